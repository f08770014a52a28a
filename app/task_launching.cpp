// Starting the medium's installer and menu programs.
#include "app/main_window.h"

#include <algorithm>

#include "platform/text.h"

namespace tolvane {

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

// The installer is waited for on the handle it was started with: opened
// again by its id, it could be refused (an installer that denies the right
// to wait on it) or be another process with the same id.
void frmMain::runTaskAndWait(std::wstring path, int windowStyle) {
    TrackedStart start{};
    try {
        start = platform_.launchTrackedProgram(quotedPath(path), windowStyle, path);
    } catch (const Failure& failure) {
        report(L"Error starting task \r\n" + failure.description(), exclamationOk, L"Error");
        return;
    }
    ProcessHandle installer(platform_, start.process.handle);
    platform_.setWindowVisible(false);
    platform_.processPendingEvents();
    waitFor(installer.get(), INFINITE);
    waitForHandOver();
}

namespace {

std::wstring named(const RunningProcess& process) {
    return (process.programFile.empty() ? std::wstring(L"a process") : quotedPath(process.programFile)) +
           L" (process " + decimal(process.id) + L")";
}

// Closes the handles of one look at the running processes, whatever it finds.
class HandlesOf {
public:
    HandlesOf(Platform& platform, const std::vector<RunningProcess>& processes)
        : platform_(platform), processes_(processes) {}
    ~HandlesOf() {
        for (const RunningProcess& process : processes_)
            if (process.handle != nullptr) platform_.CloseHandle(process.handle);
    }
    HandlesOf(const HandlesOf&) = delete;
    HandlesOf& operator=(const HandlesOf&) = delete;

private:
    Platform& platform_;
    const std::vector<RunningProcess>& processes_;
};

// The folder among `folders` that the process runs from, or null.
const std::wstring* folderOf(const RunningProcess& process, const std::vector<std::wstring>& folders) {
    for (const std::wstring& folder : folders)
        if (inFolder(process.programFile, folder)) return &folder;
    return nullptr;
}

}  // namespace

// Many installers unpack their real setup into the temporary folder (or
// start another program from the medium), start it and end at once; the
// control must not be copied while that setup is still at work. But an
// installer may also leave a browser on its last page, a tray helper or a
// service running for hours: those are not waited for. So the rule is where
// the program file lies: the temporary folders and the medium's data folder.
// Each look waits for one such process; every other one is left running and
// named in the log once.
void frmMain::waitForHandOver() {
    std::vector<std::wstring> folders;
    std::vector<std::uint32_t> leftRunning;
    for (;;) {
        const std::vector<RunningProcess> running = platform_.trackedProcesses();
        const HandlesOf closed(platform_, running);
        if (!running.empty() && folders.empty()) folders = handOverFolders();
        const RunningProcess* next = nullptr;
        for (const RunningProcess& process : running) {
            if (std::find(leftRunning.begin(), leftRunning.end(), process.id) != leftRunning.end()) continue;
            const std::wstring* folder = folderOf(process, folders);
            if (folder != nullptr && process.handle != nullptr) {
                platform_.note(L"  " + named(process) + L", which the installer started, runs from " +
                               quotedPath(*folder) + L": waiting for it too");
                next = &process;
                break;
            }
            leftRunning.push_back(process.id);
            platform_.note(L"  not waiting for " + named(process) + L", which the installer started: " +
                           (process.programFile.empty() ? L"its program file is unknown: " + process.whyUnknown
                                                        : std::wstring(L"it runs from neither the temporary folder nor "
                                                                       L"the medium")));
        }
        if (next == nullptr) return;
        waitFor(next->handle, INFINITE);
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
    // The medium's data folder, not the medium: a program copied to C:\ would
    // take in the whole drive.
    folders.push_back(mediumPath(L"\\data"));
    return folders;
}

}  // namespace tolvane
