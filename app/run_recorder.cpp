#include "app/run_recorder.h"

#include "maintenance/instance_channel.h"
#include "maintenance/reports.h"
#include "platform/text.h"

namespace tolvane {

void RunRecorder::say(const std::wstring& line) {
    if (!describing_) log_.add(line);
}

void RunRecorder::beginLog() noexcept {
    std::vector<std::wstring> header;
    describing_ = true;
    try {
        header.push_back(joined({L"Tolvane ", RunLog::fileVersion(), L", started ", platform_.localDateTime()}));
        std::wstring folder;
        try {
            folder = platform_.programFolder();
        } catch (const Failure& failure) {
            folder = L"unknown: " + failure.description();
        }
        header.push_back(L"Program folder: " + folder);
        if (describeMachine_ != nullptr)
            for (const std::wstring& line : describeMachine_(platform_)) header.push_back(line);
        header.push_back(std::wstring());
    } catch (...) {
    }
    describing_ = false;
    log_.begin(header);
}

std::wstring RunRecorder::describe(std::uint32_t id) const {
    const auto found = started_.find(id);
    const std::wstring program = found == started_.end() ? std::wstring(L"process") : found->second.program;
    return joined({program, L" (process ", decimal(id), L")"});
}

void RunRecorder::noteStarted(std::uint32_t id, const std::wstring& program, const std::wstring& commandLine) {
    started_[id] = Started{program, log_.elapsedMs()};
    say(joined({L"  started ", program, L" with the command line ", commandLine, L": process id ", decimal(id)}));
}

void RunRecorder::started(const StartedProcess& process, const std::wstring& commandLine,
                          const std::wstring& application) {
    noteStarted(process.id, quotedPath(application.empty() ? commandLine : application), commandLine);
    if (process.handle != nullptr) watch(process);
}

void RunRecorder::startedElevated(const StartedProcess& process) {
    noteStarted(process.id, quotedPath(L"Tolvane.exe"),
                std::wstring(repairSwitch) + widened(" <this instance's process id>, as administrator"));
    watch(process);
}

void RunRecorder::startedChecked(const std::wstring& application) {
    say(joined({L"  ", quotedPath(application), widened(" is the file that was checked: it runs")}));
}

void RunRecorder::tracking(const std::wstring& currentFolder, const std::wstring& temporaryFolder,
                           const std::wstring& how) {
    if (!currentFolder.empty())
        say(joined({L"  it runs in ", quotedPath(currentFolder), L", its temporary folder ",
                    quotedPath(temporaryFolder)}));
    say(L"  the processes it starts are followed " + how);
}

void RunRecorder::watch(const StartedProcess& process) noexcept {
    try {
        watched_[process.handle] = process.id;
    } catch (...) {
    }
}

// Names the processes found, for the lines about waiting for them; how long
// one ran counts from its own start.
void RunRecorder::foundTracked(const std::vector<RunningProcess>& running) {
    for (const RunningProcess& process : running) {
        if (started_.count(process.id) != 0) continue;
        const DWORD now = log_.elapsedMs();
        started_[process.id] = Started{process.programFile.empty() ? std::wstring(L"process")
                                                                   : quotedPath(process.programFile),
                                       now - (process.ranMs < now ? process.ranMs : now)};
    }
    for (const RunningProcess& process : running)
        if (process.handle != nullptr) watch({process.handle, process.id});
}

void RunRecorder::endedTracked() {
    say(widened("  ended what the installer had started and still ran"));
}

void RunRecorder::waiting(HANDLE handle, DWORD milliseconds) {
    const auto found = watched_.find(handle);
    const std::uint32_t id = found == watched_.end() ? 0 : found->second;
    say(joined({L"  waiting for ", describe(id),
                (milliseconds == INFINITE ? std::wstring()
                                          : joined({L", at most ", decimal(milliseconds / 1000), L" s"}))}));
    log_.flush();
}

void RunRecorder::waited(HANDLE handle, DWORD result, DWORD error, const DWORD* exitCode) {
    const auto found = watched_.find(handle);
    const std::uint32_t id = found == watched_.end() ? 0 : found->second;
    const auto start = started_.find(id);
    const DWORD ran = start == started_.end() ? 0 : log_.elapsedMs() - start->second.startedAt;
    const bool known = exitCode != nullptr && found != watched_.end();
    say([&] {
        const std::wstring after = joined({L" after ", decimal(ran), L" ms"});
        if (known) return joined({L"  ", describe(id), L" ended with exit code ", decimal(*exitCode), after});
        if (result == WAIT_OBJECT_0) return joined({L"  ", describe(id), L" ended", after,
                                                    L"; its exit code is unknown"});
        if (result == WAIT_TIMEOUT) return joined({L"  ", describe(id), L" was still running", after});
        return joined({L"  waiting for ", describe(id), L" failed: ", systemMessage(error)});
    }());
}

void RunRecorder::closed(HANDLE handle) { watched_.erase(handle); }

void RunRecorder::terminated(HANDLE process, bool ended, DWORD error) {
    const auto found = watched_.find(process);
    say(joined({L"  ", describe(found == watched_.end() ? 0 : found->second),
                ended ? std::wstring(L" was ended") : L" could not be ended: " + systemMessage(error)}));
}

void RunRecorder::claimedSingleRun(const std::wstring& name, bool claimed) {
    if (!claimed) return log_.addToOtherRun(anotherStartLine);
    beginLog();
    // /log FILE that cannot be made: nothing is done yet.
    if (!log_.failure().empty()) throw Failure(ERROR_INSTALL_LOG_FAILURE, log_.failure());
    say(name.empty() ? widened("No named lock (as SYSTEM, or no desktop): the machine's lock only")
                     : joined({L"Holding the lock ", quotedPath(name), L": no other run is at work"}));
}

void RunRecorder::claimedRepairLock(const std::wstring& name, bool claimed) {
    say(claimed ? joined({L"Holding the lock ", quotedPath(name), L": no other repair is at work on this machine"})
                : joined({L"Another repair is at work on this machine (it holds the lock ", quotedPath(name),
                          L"): this run repairs nothing"}));
}

void RunRecorder::toldAdministrator(bool administrator) {
    say(std::wstring(administrator ? L"  the user is an administrator" : L"  the user is not an administrator"));
}

void RunRecorder::toldElevated(bool elevated) {
    say(widened(elevated ? "  the program has a full administrator's token" : "  the program has no elevated token"));
}

void RunRecorder::currentFolderIs(const std::wstring& folder) {
    say(L"  the current folder is " + quotedPath(folder));
}

void RunRecorder::looked(const std::wstring& path, bool exists) {
    say(joined({L"  ", quotedPath(path), (exists ? L" is there" : L" is not there")}));
}

void RunRecorder::deleted(const std::wstring& path) {
    say(L"  deleted " + quotedPath(path));
}

void RunRecorder::renamed(const std::wstring& from, const std::wstring& to, bool inOneStep) {
    say(joined({L"  renamed ", quotedPath(from), L" to ", quotedPath(to), (inOneStep ? L", in one step" : L"")}));
}

void RunRecorder::copied(const std::wstring& source, const std::wstring& destination, const FileDigest& digest,
                         bool held) {
    say(joined({L"  copied ", quotedPath(source), L" to ", quotedPath(destination), L": SHA-256 ", digest.sha256,
                (held ? L", held" : L"")}));
}

void RunRecorder::digested(const std::wstring& path, const FileDigest& digest) {
    say(joined({L"  ", quotedPath(path), L": ", decimal(digest.size), L" bytes, SHA-256 ", digest.sha256}));
}

void RunRecorder::madeWritable(const std::wstring& path) {
    say(joined({L"  ", quotedPath(path), L" is not read-only"}));
}

void RunRecorder::foundLoaded(const std::wstring& path) {
    say(joined({L"  ", quotedPath(path), L" is loaded by another program"}));
}

void RunRecorder::foundHolders(const std::wstring& path, const std::vector<std::wstring>& names) {
    say([&] {
        std::wstring line = joined({L"  ", quotedPath(path), L" is held by "});
        for (const std::wstring& name : names) line += quotedPath(name) + (&name == &names.back() ? L"" : L", ");
        return names.empty() ? L"  Windows does not tell which program holds " + quotedPath(path) : line;
    }());
}

void RunRecorder::deletesAtRestart(const std::wstring& path) {
    say(joined({L"  ", quotedPath(path), widened(" will be deleted at the next restart")}));
}

void RunRecorder::madeAdministratorsFolder(const std::wstring& path, bool made) {
    say(joined({L"  ", quotedPath(path),
                (made ? L" is made; only administrators may open it" : L" is there already")}));
}

void RunRecorder::removedFolder(const std::wstring& path, bool gone) {
    say(joined({L"  ", quotedPath(path),
                widened(gone ? " is removed" : " is removed but for what goes at the next restart")}));
}

// A report is logged, whenever it comes: a box before the lock begins the log.
void RunRecorder::showing(const std::wstring& text, const std::wstring& title) {
    if (log_.waiting()) beginLog();
    say(joined({L"  showing the box ", quotedPath(title), L":\r\n", text}));
    log_.flush();
}

void RunRecorder::shown(const std::wstring& title) {
    say(joined({L"  the box ", quotedPath(title), L" was closed"}));
}

void RunRecorder::windowShown(bool visible) {
    say(std::wstring(visible ? L"  the window is shown" : L"  the window is hidden"));
}

void RunRecorder::ending(int exitCode) {
    if (exitCode != 0 && log_.waiting()) beginLog();  // a failure before the lock: reported where nobody sees
    say([&] {
        const std::wstring why = exitCodeMeaning(exitCode);
        return (log_.handedOver() ? L"The repair is over: exit code " : L"The run is over: exit code ") +
               decimal(static_cast<unsigned>(exitCode)) + (why.empty() ? std::wstring() : joined({L" (", why, L")"}));
    }());
    log_.flush();
}

}  // namespace tolvane
