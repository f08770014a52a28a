// Starting the medium's installer and menu programs.
#include "app/main_window.h"

namespace tolvane {

namespace {

constexpr DWORD synchronize = 0x00100000;

// Closes the process handle however the wait ends.
class ProcessHandleGuard {
public:
    ProcessHandleGuard(modMain& kernel, HANDLE handle) : kernel_(kernel), handle_(handle) {}
    ~ProcessHandleGuard() {
        if (handle_ != nullptr) kernel_.CloseHandle(handle_);
    }
    ProcessHandleGuard(const ProcessHandleGuard&) = delete;
    ProcessHandleGuard& operator=(const ProcessHandleGuard&) = delete;

private:
    modMain& kernel_;
    HANDLE handle_;
};

}  // namespace

void frmMain::executeFlashSetup() {
    runTaskAndWait(platform_.programFolder() + L"\\data\\install_flash_player.exe", normalFocus);
}

void frmMain::executeChecker() {
    // The path is both the file started and, quoted, the command line, so a
    // medium folder with spaces can never start a program that lies beside it.
    const std::wstring path = platform_.programFolder() + L"\\data\\menu.exe";
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
    ProcessHandleGuard guard(platform_, process);
    platform_.WaitForSingleObject(process, INFINITE);
}

}  // namespace tolvane
