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

// The medium's files are held against change, but not the folders above
// them: where a user can write the medium, the data folder can be made to
// lead elsewhere (a junction) between the check and the start, or get a DLL
// that the installer loads from its own folder. So what runs as
// administrator is a copy that nobody else can write, checked where it lies.
void frmMain::prepareInstaller() {
    const std::wstring installer = mediumPath(L"\\data\\install_flash_player.exe");
    installer_ = installer;
    installerFailure_.clear();
    platform_.note(L"Copying the medium's installer where only administrators write");
    // A volume Windows cannot tell about is taken for one that can be written.
    const auto flagsOf = [&](const std::wstring& path) {
        try {
            return platform_.volumeFlags(path);
        } catch (const Failure&) {
            return static_cast<DWORD>(0);
        }
    };
    if ((flagsOf(mediumPath(L"\\")) & FILE_READ_ONLY_VOLUME) != 0)
        return platform_.note(L"  skipped: the medium is read-only; the installer runs from it");
    const std::wstring base = windowsFolder() + installerFolders;
    for (unsigned n = 1;; ++n) {
        const std::wstring folder = base + L"." + decimal(n);
        if (n > 99) throw Failure(ERROR_CANNOT_MAKE, L"making a folder for the installer's copy failed: " +
                                                         quotedPath(base + L".1") + L" to \".99\" are all taken");
        record_.installerFolder = folder;
        saveRecord();
        if (platform_.makeAdministratorsFolder(folder)) break;
        record_.installerFolder.clear();
    }
    const std::wstring& folder = record_.installerFolder;
    if ((flagsOf(folder) & FILE_PERSISTENT_ACLS) == 0)
        platform_.note(L"  " + quotedPath(folder) + L" is on a file system without access control (FAT32): any "
                       L"program could change what runs from there");
    platform_.makeAdministratorsFolder(folder + L"\\temp");
    const std::wstring copy = folder + L"\\install_flash_player.exe";
    try {
        platform_.copyFile(installer, copy);
    } catch (const Failure& failure) {
        // Reported as the installer that cannot be started.
        installerFailure_ = failure.description();
        return;
    }
    const FileDigest digest = platform_.digestFile(copy, true);
    if (!mediumInstaller_.sha256.empty() && (digest.size != mediumInstaller_.size || digest.sha256 != mediumInstaller_.sha256))
        throw Failure(ERROR_INVALID_DATA, quotedPath(installer) + L" was changed after the medium was made (its copy " +
                                              quotedPath(copy) + L" differs from it as it was made); nothing was installed.");
    installer_ = copy;
}

void frmMain::removeInstallerFolder() noexcept {
    if (record_.installerFolder.empty()) return;
    platform_.removeFolder(record_.installerFolder);
    record_.installerFolder.clear();
    try {
        saveRecord();
    } catch (...) {
    }
}

void frmMain::executeFlashSetup() {
    platform_.note(L"Running the medium's installer");
    if (!installerFailure_.empty()) return report(L"Error starting task \r\n" + installerFailure_, exclamationOk, L"Error");
    if (quiet_ && installerQuietArgs_.empty())
        platform_.note(L"  the medium names no silent switches for its installer: it may wait for a person");
    if (installerLimitSeconds_ != 0)
        platform_.note(L"  it is waited for " + decimal(installerLimitSeconds_) + L" seconds at most (/timeout)");
    runTaskAndWait(installer_.empty() ? mediumPath(L"\\data\\install_flash_player.exe") : installer_, normalFocus);
}

// Past the time limit nobody is coming: the installer's processes are ended
// (it cannot write over the control afterwards), and the failure puts the
// user's control back.
void frmMain::waitForInstaller(HANDLE process) {
    if (installerLimitSeconds_ == 0) return static_cast<void>(waitFor(process, INFINITE));
    const DWORD limitMs = installerLimitSeconds_ * 1000, spent = platform_.tickCount() - installerStartedAt_;
    if (waitFor(process, spent < limitMs ? limitMs - spent : 0) != WAIT_TIMEOUT) return;
    platform_.endTrackedProcesses();
    throw Failure(timedOutExitCode, L"the medium's installer had not ended after " + decimal(installerLimitSeconds_) +
                                        L" seconds (/timeout): its processes were ended.");
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
    // From its own folder, it starts there with a temporary folder of its own.
    const std::wstring& folder = record_.installerFolder;
    const bool own = !folder.empty() && inFolder(path, folder);
    const std::wstring commandLine =
        quotedPath(path) + (quiet_ && !installerQuietArgs_.empty() ? L" " + installerQuietArgs_ : std::wstring());
    try {
        installerStartedAt_ = platform_.tickCount();
        start = platform_.launchTrackedProgram(commandLine, windowStyle, path, own ? folder : std::wstring(),
                                               own ? folder + L"\\temp" : std::wstring());
    } catch (const Failure& failure) {
        report(L"Error starting task \r\n" + failure.description(), exclamationOk, L"Error");
        return;
    }
    ProcessHandle installer(platform_, start.process.handle);
    platform_.setWindowVisible(false);
    platform_.processPendingEvents();
    waitForInstaller(installer.get());
    // What a restart is needed for, the installer knows best.
    DWORD exitCode = 0;
    if (platform_.GetExitCodeProcess(installer.get(), &exitCode) &&
        (exitCode == ERROR_SUCCESS_REBOOT_REQUIRED || exitCode == ERROR_SUCCESS_RESTART_REQUIRED)) {
        platform_.note(L"  the installer asks for a restart (exit code " + decimal(exitCode) + L")");
        restartNeeded_ = true;
    }
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
        waitForInstaller(next->handle);
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
    if (!record_.installerFolder.empty()) folders.push_back(record_.installerFolder);
    return folders;
}

}  // namespace tolvane
