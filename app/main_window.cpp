#include "app/main_window.h"

namespace tolvane {

namespace {

// Holds the window to the repair's side of the session's end for as long
// as it lives, however the span ends.
class SessionEndGuard {
public:
    SessionEndGuard(Platform& platform, SessionEndListener& listener) : platform_(platform) {
        platform_.note(platform_.guardSessionEnd(sessionEndReason, listener)
                           ? L"Until the control is registered, the end of the session is held up with a reason"
                           : L"Until the control is registered, an ending session has the control put back first");
    }
    ~SessionEndGuard() { platform_.releaseSessionEnd(); }
    SessionEndGuard(const SessionEndGuard&) = delete;
    SessionEndGuard& operator=(const SessionEndGuard&) = delete;

private:
    Platform& platform_;
};

}  // namespace

void frmMain::Form_Load() {
    hideMe();
    {
        // From the unregistration until the registration has ended the
        // user's control is out of place.
        SessionEndGuard guard(platform_, *this);
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
    executeChecker();
    platform_.endProgram();
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

int runProgram(Platform& platform) {
    try {
        platform.restrictDllSearch();
        if (!platform.claimSingleRun(singleRunLock)) return 0;
        platform.createMainWindow(L"Tolvane");
        frmMain form(platform);
        form.Form_Load();
        return 0;
    } catch (const Failure& failure) {
        reportFailure(platform, failure.description());
    } catch (const std::exception&) {
        reportFailure(platform, L"Tolvane ran out of memory");
    }
    return 1;
}

}  // namespace tolvane
