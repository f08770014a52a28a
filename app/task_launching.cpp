// Starting the medium's installer, from a copy of its own, and waiting for
// it and for what it hands over to.
#include "app/repair.h"

#include <algorithm>

#include "platform/text.h"

namespace tolvane {

namespace {

std::wstring named(const RunningProcess& process) {
    return joined({process.programFile.empty() ? std::wstring(L"a process") : quotedPath(process.programFile),
                   L" (process ", decimal(process.id), L")"});
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

// The medium's files are held against change, but not the folders above
// them, and no volume's own word says who controls what it holds: a disc
// image the user mounted can be ejected and replaced, a share or a CD-ROM
// drive's folder re-pointed, a DLL put beside the installer. So what runs
// as administrator is always a copy that nobody else can write, hashed as
// it is written, in a folder whose name nobody can guess ahead.
void Repair::prepareInstaller() {
    const std::wstring installer = machine_.mediumPath(L"\\data\\install_flash_player.exe");
    installer_ = installer;
    installerFailure_.clear();
    platform_.note("Copying the medium's installer where only administrators write");
    const std::wstring base = machine_.windowsFolder() + installerFolders;
    std::wstring folder;
    do folder = joined({base, L".", platform_.randomHex()});
    while (!platform_.makeAdministratorsFolder(folder));
    // In the record only once it exists, with what tells it from a folder
    // anyone makes at that name later.
    journal_.madeInstallerFolder(folder);
    try {
        if ((platform_.volumeFlags(folder) & FILE_PERSISTENT_ACLS) == 0)
            platform_.noteAbout(folder, " is on a file system without access control (FAT32): any "
                           "program could change what runs from there");
    } catch (const Failure& failure) {
        platform_.noteFailure(failure);
    }
    platform_.makeAdministratorsFolder(folder + L"\\temp");
    const std::wstring copy = folder + L"\\install_flash_player.exe";
    FileDigest digest{0, std::wstring()};
    try {
        digest = platform_.copyAndDigest(installer, copy);
    } catch (const Failure& failure) {
        // Without a record, reported as the installer that cannot be started.
        if (medium_.installer.sha256.empty()) return static_cast<void>(installerFailure_ = failure.description());
        const bool missing = failure.number() == ERROR_FILE_NOT_FOUND || failure.number() == ERROR_PATH_NOT_FOUND;
        throw refusedMediumFile(installer, failure.description(), missing ? L" is missing (" : L" could not be read (");
    }
    if (!medium_.installer.sha256.empty() && digest.size != medium_.installer.size)
        throw refusedMediumFile(installer, joined({L"it has ", decimal(digest.size), L" bytes, not ",
                                                   decimal(medium_.installer.size)}));
    if (!medium_.installer.sha256.empty() && digest.sha256 != medium_.installer.sha256)
        throw refusedMediumFile(installer, L"its SHA-256 is not the one recorded");
    installer_ = copy;
}

void Repair::executeFlashSetup() {
    platform_.note("Running the medium's installer");
    if (!installerFailure_.empty()) return run_.report(L"Error starting task \r\n" + installerFailure_, exclamationOk, L"Error");
    if (run_.quiet && medium_.installerQuietArgs.empty())
        platform_.note("  the medium names no silent switches for its installer: it may wait for a person");
    if (run_.installerLimitSeconds != 0)
        platform_.note(joined({L"  it is waited for ", decimal(run_.installerLimitSeconds),
                               L" seconds at most (/timeout)"}));
    runTaskAndWait(installer_.empty() ? machine_.mediumPath(L"\\data\\install_flash_player.exe") : installer_, normalFocus);
}

// Past the time limit nobody is coming: the installer's processes are ended
// (it cannot write over the control afterwards), and the failure puts the
// user's control back.
void Repair::waitForInstaller(HANDLE process) {
    const DWORD limitMs = run_.installerLimitSeconds * 1000, spent = platform_.tickCount() - installerStartedAt_;
    const DWORD waited = run_.waitFor(process, run_.installerLimitSeconds == 0 ? INFINITE : spent < limitMs ? limitMs - spent : 0);
    if (waited == WAIT_OBJECT_0) return;
    // A wait that failed is no end: the installer may still be writing.
    if (waited != WAIT_TIMEOUT) throw failureFor("waiting for the medium's installer", platform_.GetLastError());
    try {
        const std::vector<RunningProcess> running = platform_.trackedProcesses();
        const HandlesOf closed(platform_, running);
        for (const RunningProcess& other : running)
            if (other.brokeAway) platform_.note(joined({L"  ", named(other),
                                                        L" left the installer's job: it is ended too"}));
    } catch (const Failure& failure) {
        platform_.noteFailure(failure);
    }
    platform_.endTrackedProcesses();
    throw Failure(timedOutExitCode, joined({L"the medium's installer had not ended after ",
                                            decimal(run_.installerLimitSeconds), L" seconds (/timeout): its processes were ended."}));
}

// The installer is waited for on the handle it was started with: opened
// again by its id, it could be refused (an installer that denies the right
// to wait on it) or be another process with the same id.
void Repair::runTaskAndWait(std::wstring path, int windowStyle) {
    TrackedStart start{};
    // From its own folder, it starts there with a temporary folder of its own.
    const std::wstring folder = journal_.state().installerFolder();
    const bool own = !folder.empty() && inFolder(path, folder);
    const std::wstring commandLine =
        quotedPath(path) + (run_.quiet && !medium_.installerQuietArgs.empty() ? L" " + medium_.installerQuietArgs : std::wstring());
    try {
        installerStartedAt_ = platform_.tickCount();
        start = platform_.launchTrackedProgram(commandLine, windowStyle, path, own ? folder : std::wstring(),
                                               own ? folder + L"\\temp" : std::wstring());
    } catch (const Failure& failure) {
        run_.report(L"Error starting task \r\n" + failure.description(), exclamationOk, L"Error");
        return;
    }
    ProcessHandle installer(platform_, start.process.handle);
    platform_.setWindowVisible(false);
    platform_.processPendingEvents();
    // What can be done while the installer runs is done once it is under
    // way (at its start it would slow it down): the run's `meanwhile` (the
    // menu made ready), and the medium's control copied beside the control.
    if (run_.waitFor(installer.get(), installerUnderWayMs) == WAIT_TIMEOUT) {
        if (run_.meanwhile != nullptr) run_.meanwhile->whileRepairRuns();
        prepareControlCopy();
    }
    waitForInstaller(installer.get());
    // What a restart is needed for, the installer knows best. Its failure
    // is not the repair's: the disc's own control is put in place after it
    // all the same, and the mark keeps its code.
    DWORD exitCode = 0;
    if (platform_.GetExitCodeProcess(installer.get(), &exitCode)) {
        installerExitCode_ = exitCode;
        if (exitCode == ERROR_SUCCESS_REBOOT_REQUIRED || exitCode == ERROR_SUCCESS_RESTART_REQUIRED ||
            exitCode == ERROR_SUCCESS_REBOOT_INITIATED) {
            platform_.note(joined({L"  the installer asks for a restart (exit code ", decimal(exitCode), L")"}));
            run_.restartNeeded = true;
        } else if (exitCode != 0) {
            platform_.note(joined({L"  the installer reports a failure (exit code ", decimal(exitCode), L": ",
                                   systemMessage(exitCode), widened("); the disc's control goes in all the same")}));
        }
    }
    waitForHandOver();
}

// Many installers unpack their real setup into the temporary folder (or
// start another program from the medium), start it and end at once; the
// control must not be copied while that setup is still at work. But an
// installer may also leave a browser on its last page, a tray helper or a
// service running for hours: those are not waited for. So the rule is where
// the program file lies: the temporary folders and the medium's data folder.
// Each look waits for one such process; every other one is left running and
// named in the log once.
void Repair::waitForHandOver() {
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
                platform_.note(joined({L"  ", named(process), L", which the installer started, runs from ",
                                       quotedPath(*folder), L": waiting for it too"}));
                next = &process;
                break;
            }
            leftRunning.push_back(process.id);
            platform_.note(joined({L"  not waiting for ", named(process), L", which the installer started: ",
                                   (process.programFile.empty() ? L"its program file is unknown: " + process.whyUnknown
                                                        : std::wstring(L"it runs from neither the temporary folder nor "
                                                                       L"the medium"))}));
        }
        if (next == nullptr) return;
        waitForInstaller(next->handle);
    }
}

std::vector<std::wstring> Repair::handOverFolders() {
    std::vector<std::wstring> folders;
    // A temporary folder at a drive root (TEMP=C:\) would take in every
    // program on that drive, a browser in Program Files too.
    const auto add = [&](auto folder) {
        try {
            const std::wstring path = folder();
            if (path.size() > 3) folders.push_back(path);
            else platform_.note(joined({L"  the temporary folder ", quotedPath(path),
                                        L" is a drive root: not used here"}));
        } catch (const Failure& failure) {
            platform_.noteFailure(failure);
        }
    };
    add([&] { return platform_.temporaryFolder(); });
    add([&] { return machine_.windowsFolder() + L"\\Temp"; });
    // The medium's data folder, not the medium: a program copied to C:\ would
    // take in the whole drive.
    folders.push_back(machine_.mediumPath(L"\\data"));
    if (!journal_.state().installerFolder().empty()) folders.push_back(journal_.state().installerFolder());
    return folders;
}

}  // namespace tolvane
