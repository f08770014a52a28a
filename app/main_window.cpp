#include "app/main_window.h"

namespace tolvane {

void frmMain::Form_Load() {
    hideMe();
    uninstallFlashOCX();
    renameFlashOCX();
    renameFlashInf();
    executeFlashSetup();
    copyFlashOCX();
    installFlashOCX();
    executeChecker();
    platform_.endProgram();
}

void frmMain::hideMe() { platform_.setWindowVisible(false); }

int runProgram(Platform& platform) {
    try {
        platform.createMainWindow(L"Tolvane");
        frmMain form(platform);
        form.Form_Load();
        return 0;
    } catch (const Failure& failure) {
        platform.showMessageBox(failure.description() + L"\r\n\r\nThe repair was stopped at this point.",
                                criticalOk, L"Tolvane");
        return 1;
    }
}

}  // namespace tolvane
