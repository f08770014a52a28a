#include <windows.h>

#include "app/main_window.h"
#include "app/recording_platform.h"
#include "platform/win32_platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    tolvane::RunLog log;
    tolvane::Win32Platform windows(instance);
    tolvane::RecordingPlatform platform(windows, log, [](tolvane::Platform& inner) {
        return tolvane::frmMain(inner).describeMachine();
    });
    const int exitCode = tolvane::runProgram(platform);
    // A run that goes to its end does not come back here: the last step ends
    // the program and says so in the log.
    platform.ended(exitCode);
    return exitCode;
}
