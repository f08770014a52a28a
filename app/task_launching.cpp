// Starting the medium's installer and menu programs.
#include "app/main_window.h"

#include <cwctype>
#include <set>

#include "platform/text.h"

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
        processId = platform_.launchTrackedProgram(quotedPath(path), windowStyle, path).id;
    } catch (const Failure& failure) {
        platform_.showMessageBox(L"Error starting task \r\n" + failure.description(), exclamationOk, L"Error");
        return;
    }
    platform_.setWindowVisible(false);
    platform_.processPendingEvents();
    waitForProcess(processId);
    waitForHandOver();
}

bool frmMain::waitForProcess(std::uint32_t processId) {
    HANDLE process = platform_.OpenProcess(synchronize, FALSE, processId);
    if (process == nullptr) return false;
    ProcessHandle guard(platform_, process);
    platform_.WaitForSingleObject(process, INFINITE);
    return true;
}

namespace {

// True when `path` lies in `folder` or below, compared as Windows compares
// file names: without regard to case.
bool inFolder(const std::wstring& path, std::wstring folder) {
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    if (folder.empty() || path.size() <= folder.size() || path[folder.size()] != L'\\') return false;
    for (std::size_t i = 0; i < folder.size(); ++i)
        if (std::towupper(path[i]) != std::towupper(folder[i])) return false;
    return true;
}

std::wstring named(const RunningProcess& process) {
    return (process.programFile.empty() ? std::wstring(L"a process") : quotedPath(process.programFile)) +
           L" (process " + decimal(process.id) + L")";
}

}  // namespace

// Many installers unpack their real setup into the temporary folder (or
// start another program from the medium), start it and end at once; the
// control must not be copied while that setup is still at work. But an
// installer may also leave a browser on its last page, a tray helper or a
// service running for hours: those are not waited for. So the rule is where
// the program file lies: the temporary folders and the medium.
void frmMain::waitForHandOver() {
    std::vector<std::wstring> folders;
    std::set<std::uint32_t> passedOver;
    for (;;) {
        const std::vector<RunningProcess> running = platform_.trackedProcesses();
        if (!running.empty() && folders.empty()) folders = handOverFolders();
        const RunningProcess* next = nullptr;
        for (const RunningProcess& process : running) {
            if (passedOver.count(process.id) != 0) continue;
            for (const std::wstring& folder : folders)
                if (next == nullptr && inFolder(process.programFile, folder)) {
                    platform_.note(L"  " + named(process) + L", which the installer started, runs from " +
                                   quotedPath(folder) + L": waiting for it too");
                    next = &process;
                }
            if (next != nullptr) break;
            passedOver.insert(process.id);
            platform_.note(L"  not waiting for " + named(process) + L", which the installer started: " +
                           (process.programFile.empty() ? L"its program file is unknown: " + process.whyUnknown
                                                        : std::wstring(L"it runs from neither the temporary folder nor "
                                                                       L"the medium")));
        }
        if (next == nullptr) return;
        if (!waitForProcess(next->id)) passedOver.insert(next->id);
    }
}

std::vector<std::wstring> frmMain::handOverFolders() {
    std::vector<std::wstring> folders;
    // A temporary folder at a drive root (TEMP=C:\) would take in every
    // program on that drive, a browser in Program Files too.
    const auto add = [&](auto folder) {
        try {
            const std::wstring path = folder();
            if (path.size() > 3) folders.push_back(path);
            else platform_.note(L"  the temporary folder " + quotedPath(path) + L" is a drive root: not used here");
        } catch (const Failure& failure) {
            platform_.note(L"  " + failure.description());
        }
    };
    add([&] { return platform_.temporaryFolder(); });
    add([&] { return windowsFolder() + L"\\Temp"; });
    folders.push_back(mediumPath(L""));
    return folders;
}

}  // namespace tolvane
