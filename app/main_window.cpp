#include "app/main_window.h"

namespace tolvane {

namespace {

// Holds the window to the repair's side of the session's end for as long
// as it lives, however the span ends. Where Windows lets a program ask
// (`holdUp`: Vista on), the end is held up with a reason.
class SessionEndGuard {
public:
    SessionEndGuard(Platform& platform, SessionEndListener& listener, bool holdUp) : platform_(platform) {
        platform_.guardSessionEnd(holdUp ? sessionEndReason : L"", listener);
        platform_.note(holdUp ? L"Until the control is registered, the end of the session is held up with a reason"
                              : L"Until the control is registered, an ending session has the control put back first");
    }
    ~SessionEndGuard() { platform_.releaseSessionEnd(); }
    SessionEndGuard(const SessionEndGuard&) = delete;
    SessionEndGuard& operator=(const SessionEndGuard&) = delete;

private:
    Platform& platform_;
};

}  // namespace

// On Windows XP a program that needs administrator rights does not ask
// for them (the "runas" verb there opens the Run As dialog): the repair runs
// here, or not at all for a user without them. Later Windows ask, and the
// menu, with every page it opens, never runs with the rights of the repair.
void frmMain::Form_Load() {
    hideMe();
    DWORD outcome = 0;
    if (isVistaOrLater()) {
        outcome = repairElevated();
        if (outcome != 0 && outcome != ERROR_CANCELLED) return platform_.endProgram(static_cast<int>(outcome));
    } else if (platform_.isAdministrator()) {
        repair();
    } else {
        platform_.note(L"The repair is skipped: on this Windows it needs an administrator, and this user is not one");
        outcome = notAnAdministratorExitCode;
    }
    executeChecker();
    platform_.endProgram(static_cast<int>(outcome));
}

void frmMain::repairOnly() {
    platform_.note(L"The repair runs in a process of its own");
    hideMe();
    repair();
}

void frmMain::repair() {
    {
        // From the unregistration until the registration has ended the
        // user's control is out of place.
        SessionEndGuard guard(platform_, *this, isVistaOrLater());
        uninstallFlashOCX();
        try {
            renameFlashOCX();
            renameFlashInf();
            executeFlashSetup();
            copyFlashOCX();
            installFlashOCX();
        } catch (const Failure& failure) {
            // The installed control is unregistered by now and may be moved
            // aside: do not leave the machine with less than it had, nor a
            // medium's control that would not register where a retry takes
            // it for the user's own.
            throw Failure(failure.number(), failure.description() + L"\r\n" + putBackInstalledControl());
        }
    }
    if (!replacedControl_.empty()) discard(replacedControl_);
}

// The elevated instance shows its own report of a failure; a declined
// consent leaves the machine as it was, and the disc's content needs no
// repair.
DWORD frmMain::repairElevated() {
    platform_.note(L"Starting the repair as administrator");
    StartedProcess elevated{};
    try {
        elevated = platform_.launchElevatedRepair();
    } catch (const Failure& failure) {
        if (failure.number() != ERROR_CANCELLED) throw;
        platform_.note(L"The user declined to let the repair run as administrator: the repair is skipped");
        return ERROR_CANCELLED;
    }
    ProcessHandle process(platform_, elevated.handle);
    DWORD exitCode = 0;
    if (platform_.WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        !platform_.GetExitCodeProcess(process.get(), &exitCode))
        throw failureFor(L"waiting for the repair", platform_.GetLastError());
    return exitCode;
}

// Windows ends the program soon after this returns: nothing here may wait
// long, show a box or start the menu. The installer gets its own messages.
void frmMain::sessionEnding() noexcept {
    if (puttingBack_) {
        platform_.note(L"The session is ending while the installed control is being put back");
    } else {
        platform_.note(L"The session is ending: the repair stops here and the installed control is put back");
        platform_.note(putBackInstalledControl(sessionEndRegistrationLimitMs));
    }
    platform_.endProgram(sessionEndedExitCode);
}

void frmMain::hideMe() {
    platform_.note(L"Hiding the program's window");
    platform_.setWindowVisible(false);
}

namespace {

// Shows the report of a failure that ended the run. Nothing may escape from
// here: the program is about to end either way.
void reportFailure(Platform& platform, const std::wstring& what) noexcept {
    try {
        platform.showMessageBox(what + L"\r\n\r\nThe repair was stopped at this point.", criticalOk, L"Tolvane");
    } catch (...) {
    }
}

}  // namespace

int runProgram(Platform& platform, bool repairOnly) {
    try {
        platform.restrictDllSearch();
        if (!repairOnly && !platform.claimSingleRun(singleRunLock)) return 0;
        platform.createMainWindow(L"Tolvane");
        frmMain form(platform);
        if (repairOnly) form.repairOnly();
        else form.Form_Load();
        return 0;
    } catch (const Failure& failure) {
        reportFailure(platform, failure.description());
    } catch (const std::exception&) {
        reportFailure(platform, L"Tolvane ran out of memory");
    }
    return 1;
}

}  // namespace tolvane
