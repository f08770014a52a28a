// Unregistering and registering the control with the system's registration tool.
#include "maintenance/registration.h"

#include "platform/text.h"

namespace tolvane {

// Whatever the unregistration gives, the repair goes on: the control is
// replaced next either way.
void Registration::uninstallFlashOCX() {
    platform_.note("Unregistering the installed control");
    runRegistrationTool(L" /u /s");
}

void Registration::installFlashOCX() {
    platform_.note("Registering the control");
    registerControl();
}

bool Registration::registerControl(DWORD timeLimitMs) {
    const ToolRun run = runRegistrationTool(L" /s", timeLimitMs);
    // The codes the system's tool ends with, in words.
    const DWORD code = run.exitCode;
    if (run.state == ToolRun::ended && code != 0)
        throw Failure(code, joined({L"registering ", quotedPath(run.control), L" failed: ",
                                    (code == 3   ? L"the control could not be loaded"
                                 : code == 4 ? L"it has no registration entry point"
                                 : code == 5 ? L"its registration failed"
                                             : L"the registration tool reported a failure"), L" (the registration tool ended with exit code ", decimal(code), L")."}));
    return run.state != ToolRun::stillRunning;
}

// The tool started is always the system folder's regsvr32.exe, never one that
// Windows' search would find first in our own or the current folder; what it
// receives is the usual "regsvr32 "<control>" <switches>". The wait answers
// messages sent to our window, so a broadcast cannot hang the run; a tool
// still running at the time limit is left to run.
Registration::ToolRun Registration::runRegistrationTool(const wchar_t* switches, DWORD timeLimitMs) {
    ToolRun run{ToolRun::noControl, 0, machine_.getPathFlash()};
    if (!platform_.fileExists(run.control)) {
        platform_.note(L"  skipped: no control is installed at " + quotedPath(run.control));
        return run;
    }
    const std::wstring commandLine = joined({L"regsvr32 ", quotedPath(run.control), switches});
    // Never in a folder of the user's: it runs as administrator.
    const std::wstring folder = machine_.systemFolder();
    ProcessHandle process(platform_,
                          platform_.launchProgramForWait(commandLine, minimizedFocus, folder + L"\\regsvr32.exe", folder).handle);

    const DWORD waited = run_.waitFor(process.get(), timeLimitMs);
    if (waited == WAIT_TIMEOUT) {
        platform_.note("  the registration tool is left to run");
        run.state = ToolRun::stillRunning;
        return run;
    }
    if (waited != WAIT_OBJECT_0 || !platform_.GetExitCodeProcess(process.get(), &run.exitCode))
        throw failureFor(L"waiting for the registration tool on " + quotedPath(run.control),
                         platform_.GetLastError());
    run.state = ToolRun::ended;
    return run;
}

}  // namespace tolvane
