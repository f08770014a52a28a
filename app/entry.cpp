#include <windows.h>

#include "app/main_window.h"
#include "app/recording_platform.h"
#include "platform/win32_platform.h"

namespace {

// The first instance's window after the repair switch, as the elevated
// instance is started: "<program>" /repair 1234. Null for a plain start
// (`repairOnly` false) and where no number follows the switch.
HWND repairSwitchWindow(const wchar_t* commandLine, bool& repairOnly) {
    const wchar_t* at = commandLine;
    if (*at == L'"') {
        at = ::wcschr(at + 1, L'"');
        at = at == nullptr ? L"" : at + 1;
    }
    while (*at != 0 && *at != L' ' && *at != L'\t') ++at;
    while (*at == L' ' || *at == L'\t') ++at;
    const std::size_t length = ::wcslen(tolvane::repairSwitch);
    repairOnly = ::_wcsnicmp(at, tolvane::repairSwitch, length) == 0 && (at[length] == 0 || at[length] == L' ');
    if (!repairOnly) return nullptr;
    ULONG_PTR window = 0;
    for (at += length; *at == L' '; ++at) {
    }
    for (; *at >= L'0' && *at <= L'9'; ++at) window = window * 10 + static_cast<ULONG_PTR>(*at - L'0');
    return reinterpret_cast<HWND>(window);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    bool repairOnly = false;
    const HWND firstInstance = repairSwitchWindow(::GetCommandLineW(), repairOnly);
    // The elevated repair writes no file of its own: its lines go to the
    // first instance's log.
    tolvane::RunLog log = repairOnly ? tolvane::RunLog(firstInstance) : tolvane::RunLog();
    tolvane::Win32Platform windows(instance);
    if (!repairOnly) windows.receiveLogLines(log);
    windows.keepLog(log);
    tolvane::RecordingPlatform platform(windows, log, [](tolvane::Platform& inner) {
        return tolvane::frmMain(inner).describeMachine();
    });
    const int exitCode = tolvane::runProgram(platform, repairOnly);
    // A run that goes to its end does not come back here: the last step ends
    // the program and says so in the log.
    platform.ended(exitCode);
    return exitCode;
}
