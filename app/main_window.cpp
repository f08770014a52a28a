#include "app/main_window.h"

namespace tolvane {

void frmMain::Form_Load() {
    hideMe();
    uninstallFlashOCX();
    bool mediumCopyInPlace = false;
    try {
        renameFlashOCX();
        renameFlashInf();
        executeFlashSetup();
        copyFlashOCX();
        mediumCopyInPlace = true;
        installFlashOCX();
    } catch (const Failure& failure) {
        // The installed control is unregistered by now and may be moved
        // aside: do not leave the machine with less than it had, nor a
        // medium's control that would not register where a retry takes it
        // for the user's own.
        throw Failure(failure.number(),
                      failure.description() + L"\r\n" + putBackInstalledControl(mediumCopyInPlace));
    }
    executeChecker();
    platform_.endProgram();
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
