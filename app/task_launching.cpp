// Starting the medium's installer and menu programs.
#include "app/main_window.h"

namespace tolvane {

namespace {

constexpr DWORD synchronize = 0x00100000;

}  // namespace

std::wstring frmMain::mediumPath(const wchar_t* fragment) {
    std::wstring folder = platform_.programFolder();
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder + fragment;
}

void frmMain::executeFlashSetup() {
    platform_.note(L"Running the medium's installer");
    runTaskAndWait(mediumPath(L"\\data\\install_flash_player.exe"), normalFocus);
}

void frmMain::executeChecker() {
    // The path is both the file started and, quoted, the command line, so a
    // medium folder with spaces can never start a program that lies beside it.
    platform_.note(L"Starting the medium's menu");
    const std::wstring path = mediumPath(L"\\data\\menu.exe");
    platform_.launchProgram(quotedPath(path), normalFocus, path);
}

void frmMain::runTaskAndWait(std::wstring path, int windowStyle) {
    std::uint32_t processId = 0;
    try {
        processId = platform_.launchProgram(quotedPath(path), windowStyle, path);
    } catch (const Failure& failure) {
        platform_.showMessageBox(L"Error starting task \r\n" + failure.description(), exclamationOk, L"Error");
        return;
    }
    platform_.setWindowVisible(false);
    platform_.processPendingEvents();

    HANDLE process = platform_.OpenProcess(synchronize, FALSE, processId);
    if (process == nullptr) return;
    ProcessHandle guard(platform_, process);
    platform_.WaitForSingleObject(process, INFINITE);
}

}  // namespace tolvane
