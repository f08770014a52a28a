// Unregistering and registering the installed control with the system's
// registration tool.
#pragma once

#include <string>

#include "maintenance/run_context.h"
#include "probes/machine.h"

namespace tolvane {

// How long a run of the registration tool is waited for; one still running
// then is left to run. When the session ends, Windows ends the program soon
// after it has been told: the registration is waited for a shorter time.
inline constexpr DWORD registrationTimeLimitMs = 60000;
inline constexpr DWORD sessionEndRegistrationLimitMs = 3000;

class Registration {
public:
    Registration(RunContext& run, Machine& machine) : run_(run), platform_(run.platform), machine_(machine) {}

    void uninstallFlashOCX();
    void installFlashOCX();
    // Registers the installed control; raises when the tool reports a
    // failure. False when the tool was still running at the time limit.
    bool registerControl(DWORD timeLimitMs = registrationTimeLimitMs);

private:
    // How a run of the registration tool went.
    struct ToolRun {
        enum State { noControl, ended, stillRunning } state;
        DWORD exitCode;
        std::wstring control;
    };
    // Starts the system's registration tool on the installed control, if
    // there is one, and waits for it up to `timeLimitMs`.
    ToolRun runRegistrationTool(const wchar_t* switches, DWORD timeLimitMs = registrationTimeLimitMs);

    RunContext& run_;
    Platform& platform_;
    Machine& machine_;
};

}  // namespace tolvane
