// The repair in an elevated instance, from Vista on.
#include "app/elevation.h"

#include "platform/text.h"

namespace tolvane {

void Elevation::waitForItsEnd() {
    // The elevated instance tidies up after handing back its outcome: its
    // last lines, not the person, are waited for.
    if (tidying_) run_.waitFor(elevated_, elevatedSessionEndWaitMs);
}

// The elevated instance shows its own report of a failure and ends with
// its own exit codes; any other means that it was ended from outside (Task
// Manager) or crashed before it could say so. A declined consent, or a
// user who may not give it (the prompt switched off), leaves the machine
// as it was, and the disc's content needs no repair.
DWORD Elevation::run(SessionEndListener& listener) {
    platform_.note("Starting the repair as administrator");
    StartedProcess elevated{};
    try {
        // The channel's key goes on the elevated instance's command line alone.
        elevated = platform_.launchElevatedRepair(
            joined({run_.channel.newKey(), run_.restore ? L" /restore" : L"",
                    run_.installerLimitSeconds == 0 ? std::wstring() : L" /timeout " + decimal(run_.installerLimitSeconds),
                    L" /language ", decimal(run_.lead.language)}));
    } catch (const Failure& failure) {
        if (failure.number() == ERROR_CANCELLED) {
            platform_.note("The user declined to let the repair run as administrator: the repair is skipped");
            return ERROR_CANCELLED;
        }
        if (failure.number() != ERROR_ACCESS_DENIED) throw;
        platform_.note("The repair is skipped: it needs an administrator, and this user is not one");
        return notAnAdministratorExitCode;
    }
    elevated_ = elevated.handle;
    // Made while the elevated instance starts, not before: the first window
    // of a process may take tens of milliseconds, and the elevated instance
    // hands its lines to it only once it is about to wait.
    platform_.createMainWindow(L"Tolvane");
    DWORD exitCode = 0;
    {
        SessionEndGuard guard(platform_, listener, L"",
                              "Until the repair has ended, an ending session waits briefly for its last lines");
        run_.waitingForElevated = true;
        run_.waitingFor = elevated_;
        platform_.note("  waiting for the repair to end or hand back its outcome");
        const bool waited = run_.channel.waitForRepair(elevated_, exitCode, tidying_, run_.meanwhile);
        run_.waitingFor = nullptr;
        run_.waitingForElevated = false;
        if (!waited) throw failureFor("waiting for the repair", platform_.GetLastError());
        platform_.note(joined({L"  the repair's outcome: exit code ", decimal(exitCode),
                               (tidying_ ? L", handed back while it tidies up" : L", as it ended")}));
    }
    for (int known : {0, anotherRepairExitCode, ownFaultExitCode, restartNeededExitCode, failedExitCode,
                      timedOutExitCode, nothingToRestoreExitCode})
        if (exitCode == static_cast<DWORD>(known)) return exitCode;
    platform_.note(joined({L"The repair ended with exit code ", decimal(exitCode), L" before it could say why"}));
    run_.leadWith(IDS_MAY_NOT_WORK, IDS_RUN_AGAIN_TO_PUT_BACK);
    run_.report(failureReport(platform_, run_.lead, platform_.logFile(),
                              withArgument(run_.text(IDS_REPAIR_STOPPED), decimal(exitCode))),
                criticalOk, L"Tolvane");
    return repairStoppedExitCode;
}

}  // namespace tolvane
