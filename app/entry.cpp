#include <windows.h>

#include "app/main_window.h"
#include "maintenance/options.h"
#include "app/run_recorder.h"
#include "platform/win32_platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const tolvane::ProgramOptions options = tolvane::parseOptions(::GetCommandLineW());
    tolvane::Win32Platform windows(instance);
    tolvane::InstanceChannel channel(windows, options);
    // The elevated repair writes no file of its own: its lines go to the
    // first instance's log, on the one channel between the two.
    tolvane::RunLog log = options.repairOnly ? tolvane::RunLog(channel) : tolvane::RunLog();
    // Detection runs often and changes nothing: no log of its own, never
    // the repair's pushed out; with /log, its lines at that file's end.
    if (options.check) log.forDetection(options.logFile);
    else if (!options.repairOnly && !options.logFile.empty()) log.useFile(options.logFile);
    // As SYSTEM, beside the deployment tools' own logs, where Windows has that folder.
    else if (!options.repairOnly && tolvane::Win32Platform::systemAccount()) log.useSystemLogsFolder();
    channel.useLog(log);
    tolvane::RunRecorder recorder(windows, log, [](tolvane::Platform& platform) {
        return tolvane::Machine(platform).describeMachine();
    });
    windows.listen(recorder);
    const int exitCode = tolvane::runProgram(windows, options, &channel);
    // A run that goes to its end does not come back here: the last step ends
    // the program and says so in the log.
    recorder.ending(exitCode);
    return exitCode;
}
