#include "app/recording_platform.h"
#include "app/main_window.h"

#include "platform/text.h"

namespace tolvane {

void RecordingPlatform::beginLog() noexcept {
    std::vector<std::wstring> header;
    try {
        header.push_back(joined({L"Tolvane ", RunLog::fileVersion(), L", started ", inner_.localDateTime()}));
        std::wstring folder;
        try {
            folder = inner_.programFolder();
        } catch (const Failure& failure) {
            folder = L"unknown: " + failure.description();
        }
        header.push_back(L"Program folder: " + folder);
        if (describeMachine_ != nullptr)
            for (const std::wstring& line : describeMachine_(inner_)) header.push_back(line);
        header.push_back(std::wstring());
    } catch (...) {
    }
    log_.begin(header);
}

std::wstring RecordingPlatform::describe(std::uint32_t id) const {
    const auto found = started_.find(id);
    const std::wstring program = found == started_.end() ? std::wstring(L"process") : found->second.program;
    return joined({program, L" (process ", decimal(id), L")"});
}

void RecordingPlatform::started(std::uint32_t id, const std::wstring& commandLine,
                                const std::wstring& application) noexcept {
    try {
        const std::wstring program = quotedPath(application.empty() ? commandLine : application);
        started_[id] = Started{program, log_.elapsedMs()};
        log_.add(joined({L"  started ", program, L" with the command line ", commandLine, L": process id ",
                         decimal(id)}));
    } catch (...) {
    }
}

void RecordingPlatform::watch(const StartedProcess& process) noexcept {
    try {
        watched_[process.handle] = process.id;
    } catch (...) {
    }
}

DWORD RecordingPlatform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const auto found = watched_.find(handle);
    const std::uint32_t id = found == watched_.end() ? 0 : found->second;
    say([&] {
        return joined({L"  waiting for ", describe(id),
                       (milliseconds == INFINITE ? std::wstring() : joined({L", at most ", decimal(milliseconds / 1000),
                                                                            L" s"}))});
    });
    log_.flush();
    const DWORD result = inner_.WaitForSingleObject(handle, milliseconds);
    const LastErrorKept keep;
    const DWORD error = inner_.GetLastError();
    const auto start = started_.find(id);
    const DWORD ran = start == started_.end() ? 0 : log_.elapsedMs() - start->second.startedAt;
    DWORD exitCode = 0;
    const bool known = result == WAIT_OBJECT_0 && found != watched_.end() && inner_.GetExitCodeProcess(handle, &exitCode);
    say([&] {
        const std::wstring after = joined({L" after ", decimal(ran), L" ms"});
        if (known) return joined({L"  ", describe(id), L" ended with exit code ", decimal(exitCode), after});
        if (result == WAIT_OBJECT_0) return joined({L"  ", describe(id), L" ended", after,
                                                    L"; its exit code is unknown"});
        if (result == WAIT_TIMEOUT) return joined({L"  ", describe(id), L" was still running", after});
        return joined({L"  waiting for ", describe(id), L" failed: ", systemMessage(error)});
    });
    return result;
}

BOOL RecordingPlatform::CloseHandle(HANDLE handle) {
    const BOOL closed = inner_.CloseHandle(handle);
    watched_.erase(handle);
    return closed;
}

void RecordingPlatform::restrictDllSearch() {
    inner_.restrictDllSearch();
}

bool RecordingPlatform::claimSingleRun(const std::wstring& name) {
    if (!inner_.claimSingleRun(name)) {
        log_.addToOtherRun(anotherStartLine);
        return false;
    }
    beginLog();
    if (!log_.failure().empty()) throw Failure(ERROR_INSTALL_LOG_FAILURE, log_.failure());  // /log FILE: nothing done yet
    say([&] {
        return name.empty() ? widened("No named lock (as SYSTEM, or no desktop): the machine's lock only")
                            : joined({L"Holding the lock ", quotedPath(name), L": no other run is at work"});
    });
    return true;
}

bool RecordingPlatform::claimRepairLock(const std::wstring& name) {
    const bool claimed = inner_.claimRepairLock(name);
    say([&] {
        return claimed ? joined({L"Holding the lock ", quotedPath(name),
                                 L": no other repair is at work on this machine"})
                       : joined({L"Another repair is at work on this machine (it holds the lock ", quotedPath(name),
                                 L"): this run repairs nothing"});
    });
    return claimed;
}

BOOL RecordingPlatform::TerminateProcess(HANDLE process, UINT exitCode) {
    const BOOL ended = inner_.TerminateProcess(process, exitCode);
    const LastErrorKept keep;
    const auto found = watched_.find(process);
    say([&] {
        return joined({L"  ", describe(found == watched_.end() ? 0 : found->second),
                       ended ? std::wstring(L" was ended") : L" could not be ended: " + systemMessage(inner_.GetLastError())});
    });
    return ended;
}

bool RecordingPlatform::isAdministrator() {
    const bool administrator = inner_.isAdministrator();
    say([&] { return std::wstring(administrator ? L"  the user is an administrator" : L"  the user is not an administrator"); });
    return administrator;
}

bool RecordingPlatform::isElevated() {
    const bool elevated = inner_.isElevated();
    say([&] { return widened(elevated ? "  the program has a full administrator's token" : "  the program has no elevated token"); });
    return elevated;
}

bool RecordingPlatform::hasVisibleDesktop() { return inner_.hasVisibleDesktop(); }

StartedProcess RecordingPlatform::launchElevatedRepair(const std::wstring& parameters) {
    const StartedProcess process = inner_.launchElevatedRepair(parameters);
    started(process.id, std::wstring(repairSwitch) + widened(" <this instance's process id>, as administrator"), L"Tolvane.exe");
    watch(process);
    return process;
}

void RecordingPlatform::createMainWindow(const std::wstring& caption) {
    inner_.createMainWindow(caption);
}

std::wstring RecordingPlatform::programFolder() {
    return inner_.programFolder();
}

std::uint32_t RecordingPlatform::launchProgram(const std::wstring& commandLine, int windowStyle,
                                               const std::wstring& application) {
    const std::uint32_t id = inner_.launchProgram(commandLine, windowStyle, application);
    started(id, commandLine, application);
    return id;
}

std::uint32_t RecordingPlatform::launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                                      const std::wstring& application) {
    const std::uint32_t id = inner_.launchCheckedProgram(commandLine, windowStyle, application);
    started(id, commandLine, application);
    say([&] { return joined({L"  ", quotedPath(application), widened(" is the file that was checked: it runs")}); });
    return id;
}

bool RecordingPlatform::readyCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                            const std::wstring& application) {
    return inner_.readyCheckedProgram(commandLine, windowStyle, application);
}

StartedProcess RecordingPlatform::launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                                       const std::wstring& application, const std::wstring& currentFolder) {
    const StartedProcess process =
        inner_.launchProgramForWait(commandLine, windowStyle, application, currentFolder);
    started(process.id, commandLine, application);
    watch(process);
    return process;
}

TrackedStart RecordingPlatform::launchTrackedProgram(const std::wstring& commandLine, int windowStyle,
                                                     const std::wstring& application, const std::wstring& currentFolder,
                                                     const std::wstring& temporaryFolder) {
    const TrackedStart start =
        inner_.launchTrackedProgram(commandLine, windowStyle, application, currentFolder, temporaryFolder);
    started(start.process.id, commandLine, application);
    if (!currentFolder.empty())
        say([&] { return joined({L"  it runs in ", quotedPath(currentFolder), L", its temporary folder ",
                                 quotedPath(temporaryFolder)}); });
    watch(start.process);
    say([&] { return L"  the processes it starts are followed " + start.tracking; });
    return start;
}

// Names the processes found, for the lines about waiting for them; how long
// one ran counts from its own start.
std::vector<RunningProcess> RecordingPlatform::trackedProcesses() {
    std::vector<RunningProcess> running = inner_.trackedProcesses();
    try {
        for (const RunningProcess& process : running) {
            if (started_.count(process.id) != 0) continue;
            const DWORD now = log_.elapsedMs();
            started_[process.id] = Started{process.programFile.empty() ? std::wstring(L"process")
                                                                       : quotedPath(process.programFile),
                                           now - (process.ranMs < now ? process.ranMs : now)};
        }
    } catch (...) {
    }
    for (const RunningProcess& process : running)
        if (process.handle != nullptr) watch({process.handle, process.id});
    return running;
}

std::wstring RecordingPlatform::temporaryFolder() {
    return inner_.temporaryFolder();
}

bool RecordingPlatform::fileExists(const std::wstring& path) {
    const bool exists = inner_.fileExists(path);
    say([&] { return joined({L"  ", quotedPath(path), (exists ? L" is there" : L" is not there")}); });
    return exists;
}

void RecordingPlatform::deleteFile(const std::wstring& path) {
    inner_.deleteFile(path);
    say([&] { return L"  deleted " + quotedPath(path); });
}

void RecordingPlatform::renameFile(const std::wstring& oldPath, const std::wstring& newPath) {
    inner_.renameFile(oldPath, newPath);
    say([&] { return joined({L"  renamed ", quotedPath(oldPath), L" to ", quotedPath(newPath)}); });
}

FileDigest RecordingPlatform::copyFile(const std::wstring& source, const std::wstring& destination) {
    const FileDigest digest = inner_.copyFile(source, destination);
    say([&] { return joined({L"  copied ", quotedPath(source), L" to ", quotedPath(destination), L": SHA-256 ",
                             digest.sha256}); });
    return digest;
}

FileDigest RecordingPlatform::copyAndDigest(const std::wstring& source, const std::wstring& destination) {
    const FileDigest digest = inner_.copyAndDigest(source, destination);
    say([&] { return joined({L"  copied ", quotedPath(source), L" to ", quotedPath(destination), L": SHA-256 ",
                             digest.sha256, L", held"}); });
    return digest;
}

void RecordingPlatform::replaceFile(const std::wstring& from, const std::wstring& to) {
    inner_.replaceFile(from, to);
    say([&] { return joined({L"  renamed ", quotedPath(from), L" to ", quotedPath(to), L", in one step"}); });
}

void RecordingPlatform::endTrackedProcesses() noexcept {
    inner_.endTrackedProcesses();
    say([&] { return widened("  ended what the installer had started and still ran"); });
}

void RecordingPlatform::setCurrentFolder(const std::wstring& folder) {
    inner_.setCurrentFolder(folder);
    say([&] { return L"  the current folder is " + quotedPath(folder); });
}

std::wstring RecordingPlatform::mediumRecord() {
    return inner_.mediumRecord();
}

std::vector<std::wstring> RecordingPlatform::folderEntries(const std::wstring& folder) {
    return inner_.folderEntries(folder);
}

FileDigest RecordingPlatform::digestFile(const std::wstring& path, bool hold) {
    const FileDigest digest = inner_.digestFile(path, hold);
    say([&] { return joined({L"  ", quotedPath(path), L": ", decimal(digest.size), L" bytes, SHA-256 ",
                             digest.sha256}); });
    return digest;
}

bool RecordingPlatform::isLoaded(const std::wstring& path) {
    const bool loaded = inner_.isLoaded(path);
    if (loaded) say([&] { return joined({L"  ", quotedPath(path), L" is loaded by another program"}); });
    return loaded;
}

std::vector<std::wstring> RecordingPlatform::holdersOf(const std::wstring& path) {
    const std::vector<std::wstring> names = inner_.holdersOf(path);
    say([&] {
        std::wstring line = joined({L"  ", quotedPath(path), L" is held by "});
        for (const std::wstring& name : names) line += quotedPath(name) + (&name == &names.back() ? L"" : L", ");
        return names.empty() ? L"  Windows does not tell which program holds " + quotedPath(path) : line;
    });
    return names;
}

DWORD RecordingPlatform::tickCount() { return inner_.tickCount(); }

std::wstring RecordingPlatform::localDateTime() { return inner_.localDateTime(); }

void RecordingPlatform::clearReadOnly(const std::wstring& path) {
    inner_.clearReadOnly(path);
    say([&] { return joined({L"  ", quotedPath(path), L" is not read-only"}); });
}

void RecordingPlatform::deleteAtRestart(const std::wstring& path) {
    inner_.deleteAtRestart(path);
    say([&] { return joined({L"  ", quotedPath(path), widened(" will be deleted at the next restart")}); });
}

DWORD RecordingPlatform::volumeFlags(const std::wstring& path) {
    return inner_.volumeFlags(path);
}

bool RecordingPlatform::makeAdministratorsFolder(const std::wstring& path) {
    const bool made = inner_.makeAdministratorsFolder(path);
    say([&] {
        return joined({L"  ", quotedPath(path),
                       (made ? L" is made; only administrators may open it" : L" is there already")});
    });
    return made;
}

std::wstring RecordingPlatform::folderIdentity(const std::wstring& path) {
    return inner_.folderIdentity(path);
}

std::wstring RecordingPlatform::randomHex() { return inner_.randomHex(); }

bool RecordingPlatform::removeFolder(const std::wstring& path) noexcept {
    const bool gone = inner_.removeFolder(path);
    say([&] {
        return joined({L"  ", quotedPath(path),
                       widened(gone ? " is removed" : " is removed but for what goes at the next restart")});
    });
    return gone;
}

// A report is logged, whenever it comes: a box before the lock begins the log.
void RecordingPlatform::showMessageBox(const std::wstring& text, int style, const std::wstring& title) {
    if (log_.waiting()) beginLog();
    say([&] { return joined({L"  showing the box ", quotedPath(title), L":\r\n", text}); });
    log_.flush();
    inner_.showMessageBox(text, style, title);
    say([&] { return joined({L"  the box ", quotedPath(title), L" was closed"}); });
}

void RecordingPlatform::setWindowVisible(bool visible) {
    inner_.setWindowVisible(visible);
    say([&] { return std::wstring(visible ? L"  the window is shown" : L"  the window is hidden"); });
}

void RecordingPlatform::endProgram(int exitCode) {
    ended(exitCode);
    inner_.endProgram(exitCode);
}

void RecordingPlatform::ended(int exitCode) noexcept {
    if (exitCode != 0 && log_.waiting()) beginLog();  // a failure before the lock: reported where nobody sees
    say([&] {
        const std::wstring why = exitCodeMeaning(exitCode);
        return (log_.handedOver() ? L"The repair is over: exit code " : L"The run is over: exit code ") +
               decimal(static_cast<unsigned>(exitCode)) + (why.empty() ? std::wstring() : joined({L" (", why, L")"}));
    });
    log_.flush();
}

void RecordingPlatform::note(const std::wstring& line) {
    say([&] { return line; });
}

}  // namespace tolvane
