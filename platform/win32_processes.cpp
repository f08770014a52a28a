// The Windows side: starting programs, following what they start (a job
// object, else parent ids), waiting for and ending them.
#include "platform/win32_platform.h"

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "platform/process_tree.h"
#include "platform/text.h"
#include "platform/win32_shared.h"

namespace tolvane {

HANDLE Win32Platform::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    return ::OpenProcess(access, inherit, processId);
}

// A plain wait would block this thread's window too: a program that sends a
// message to every top-level window (as installers do when they broadcast a
// settings change) would then wait for us while we wait for it; Windows
// would take a window that answers only sent messages for hung. So the wait
// wakes for every message, handles what is waiting, and goes back to sleep.
DWORD Win32Platform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    tell(&PlatformListener::waiting, handle, milliseconds);
    const DWORD start = ::GetTickCount();
    DWORD result;
    for (;;) {
        DWORD remaining = INFINITE;
        if (milliseconds != INFINITE) {
            DWORD elapsed = ::GetTickCount() - start;
            remaining = elapsed >= milliseconds ? 0 : milliseconds - elapsed;
        }
        result = ::MsgWaitForMultipleObjects(1, &handle, FALSE, remaining, QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1) break;
        processPendingEvents();
    }
    if (listener_ != nullptr) {
        const DWORD error = ::GetLastError();
        DWORD exitCode = 0;
        const bool known = result == WAIT_OBJECT_0 && ::GetExitCodeProcess(handle, &exitCode);
        ::SetLastError(error);
        tell(&PlatformListener::waited, handle, result, error, known ? &exitCode : nullptr);
    }
    return result;
}

BOOL Win32Platform::CloseHandle(HANDLE handle) {
    const BOOL closed = ::CloseHandle(handle);
    tell(&PlatformListener::closed, handle);
    return closed;
}

BOOL Win32Platform::GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return ::GetExitCodeProcess(process, exitCode);
}

DWORD Win32Platform::GetLastError() { return ::GetLastError(); }

BOOL Win32Platform::TerminateProcess(HANDLE process, UINT exitCode) {
    const BOOL ended = ::TerminateProcess(process, exitCode);
    tell(&PlatformListener::terminated, process, ended != FALSE, ::GetLastError());
    return ended;
}

namespace {

// This process's environment with TEMP and TMP naming `folder`.
std::vector<wchar_t> environmentWithTemporaryFolder(const std::wstring& folder) {
    std::vector<wchar_t> block;
    wchar_t* own = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = own; entry != nullptr && *entry != 0; entry += ::lstrlenW(entry) + 1) {
        const int length = ::lstrlenW(entry);  // never compared past its end
        if ((length >= 5 && ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, entry, 5, L"TEMP=", 5) == CSTR_EQUAL) ||
            (length >= 4 && ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, entry, 4, L"TMP=", 4) == CSTR_EQUAL))
            continue;
        block.insert(block.end(), entry, entry + length + 1);
    }
    if (own != nullptr) ::FreeEnvironmentStringsW(own);
    for (const wchar_t* name : {L"TEMP=", L"TMP="}) {
        const std::wstring entry = name + folder;
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace

Win32Platform::Started Win32Platform::start(const std::wstring& commandLine, int windowStyle,
                                            const std::wstring& application, DWORD flags, const wchar_t* currentFolder,
                                            const std::wstring& temporaryFolder, DWORD startupFlags) {
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');
    std::vector<wchar_t> environment;
    if (!temporaryFolder.empty()) {
        environment = environmentWithTemporaryFolder(temporaryFolder);
        flags |= CREATE_UNICODE_ENVIRONMENT;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | startupFlags;
    startup.wShowWindow = static_cast<WORD>(windowStyle);
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(application.empty() ? nullptr : application.c_str(), writableCommandLine.data(),
                          nullptr, nullptr, FALSE, flags, environment.empty() ? nullptr : environment.data(),
                          currentFolder, &startup, &started)) {
        raiseLastError(L"starting " + quotedPath(application.empty() ? commandLine : application));
    }
    return {UniqueHandle(started.hProcess), UniqueHandle(started.hThread), started.dwProcessId};
}

std::uint32_t Win32Platform::launchProgram(const std::wstring& commandLine, int windowStyle,
                                           const std::wstring& application) {
    const std::uint32_t id = start(commandLine, windowStyle, application).id;
    tell(&PlatformListener::started, StartedProcess{nullptr, id}, commandLine, application);
    return id;
}

// The process's program file is read back by its name (no handle to it can
// be had from the process), and opened again: the file found there must be
// the one held since the check. The name is read while the process is
// suspended, so nothing it loads has run yet.
namespace {

bool setJobLimits(HANDLE job, DWORD flags) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = flags;
    return ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) != FALSE;
}

}  // namespace

// Started suspended; ended and raised unless the file its process maps is
// the one held since the check.
Win32Platform::Started Win32Platform::startChecked(const std::wstring& commandLine, int windowStyle,
                                                   const std::wstring& application, DWORD startupFlags) {
    BY_HANDLE_FILE_INFORMATION expected = {};
    bool held = false;
    for (const HeldFile& file : heldFiles_)
        held = held || (samePath(file.path, application) && ::GetFileInformationByHandle(file.handle.get(), &expected));
    Started started = start(commandLine, windowStyle, application, CREATE_SUSPENDED, nullptr, std::wstring(), startupFlags);
    std::wstring why = L"it was not checked";
    try {
        if (held && sameFile(fileInformation(programFileOf(started.process.get()), 0), expected)) return started;
        if (held) why = L"the file its process runs is not the one that was checked";
    } catch (const Failure& failure) {
        why = failure.description();
    }
    ::TerminateProcess(started.process.get(), ERROR_INVALID_DATA);
    throw Failure(ERROR_INVALID_DATA, joined({L"starting ", quotedPath(application), L" was stopped before it ran: ", why}));
}

// A job that ends what it holds when its last handle closes: this program
// ending, however, ends the menu that waits. Its processes' children are
// never in it.
bool Win32Platform::readyCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                        const std::wstring& application) {
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job || !setJobLimits(job.get(), JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK))
        return false;
    // No busy cursor for a program that waits for the repair.
    Started started = startChecked(commandLine, windowStyle, application, STARTF_FORCEOFFFEEDBACK);
    if (!::AssignProcessToJobObject(job.get(), started.process.get())) {
        ::TerminateProcess(started.process.get(), ERROR_CANCELLED);
        return false;
    }
    ready_ = {std::move(started), std::move(job), commandLine};
    return true;
}

std::uint32_t Win32Platform::launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                                  const std::wstring& application) {
    ReadyProgram ready = std::move(ready_);
    Started started;
    if (ready.job && ready.commandLine == commandLine) {
        // Out of the job's hold first: it outlives this program.
        if (setJobLimits(ready.job.get(), JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK)) started = std::move(ready.program);
        else ::TerminateProcess(ready.program.process.get(), ERROR_CANCELLED);
    }
    if (!started.process) started = startChecked(commandLine, windowStyle, application);
    if (::ResumeThread(started.thread.get()) != static_cast<DWORD>(-1)) {
        tell(&PlatformListener::started, StartedProcess{nullptr, started.id}, commandLine, application);
        tell(&PlatformListener::startedChecked, application);
        return started.id;
    }
    const DWORD error = ::GetLastError();
    ::TerminateProcess(started.process.get(), ERROR_INVALID_DATA);
    throw Failure(ERROR_INVALID_DATA, joined({L"starting ", quotedPath(application), L" was stopped before it ran: ",
                                              systemMessage(error)}));
}

StartedProcess Win32Platform::launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                                   const std::wstring& application, const std::wstring& currentFolder) {
    Started started = start(commandLine, windowStyle, application, 0, currentFolder.empty() ? nullptr : currentFolder.c_str());
    const StartedProcess process{started.process.release(), started.id};
    tell(&PlatformListener::started, process, commandLine, application);
    return process;
}

namespace {

ULONGLONG creationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

ULONGLONG now() {
    FILETIME time;
    ::GetSystemTimeAsFileTime(&time);
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// \Device\HarddiskVolume1\x -> C:\x, by asking each drive for its device.
std::wstring drivePathOf(const std::wstring& devicePath) {
    wchar_t drives[26 * 4 + 1];
    const DWORD length = ::GetLogicalDriveStringsW(26 * 4 + 1, drives);
    for (const wchar_t* drive = drives; length != 0 && length <= 26 * 4 && *drive != 0; drive += ::lstrlenW(drive) + 1) {
        const wchar_t letter[3] = {drive[0], L':', 0};
        wchar_t device[MAX_PATH];
        if (::QueryDosDeviceW(letter, device, MAX_PATH) == 0) continue;
        const std::size_t size = static_cast<std::size_t>(::lstrlenW(device));
        if (inFolder(devicePath, std::wstring(device, size))) return letter + devicePath.substr(size);
    }
    return std::wstring();
}

}  // namespace

std::wstring Win32Platform::programFileByPsapi(HANDLE process) {
    using GetImageFileNameFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD);
    static const auto getImageFileName =
        libraryFunction<GetImageFileNameFn>(systemLibrary(L"psapi.dll"), "GetProcessImageFileNameW");
    if (getImageFileName == nullptr) raiseLastError("loading psapi.dll from the system folder");
    std::vector<wchar_t> buffer(1024);
    const DWORD length = getImageFileName(process, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) raiseLastError("reading the program file of a process");
    const std::wstring devicePath(buffer.data(), length);
    const std::wstring path = drivePathOf(devicePath);
    if (path.empty()) throw Failure(ERROR_PATH_NOT_FOUND, L"no drive holds " + quotedPath(devicePath));
    return path;
}

std::wstring Win32Platform::programFileOf(HANDLE process) {
    using QueryImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    const auto query = optionalKernelFunction<QueryImageNameFn>("QueryFullProcessImageNameW");
    if (query == nullptr) return longForm(programFileByPsapi(process));
    std::vector<wchar_t> buffer(1024);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!query(process, 0, buffer.data(), &length)) raiseLastError("reading the program file of a process");
    return longForm(std::wstring(buffer.data(), length));
}

// Created suspended, so that it is in the job before it can start anything.
// Inside a job of our own that allows it, the program breaks away first;
// where it cannot be put in our job (Windows XP to 7 inside a job already),
// its children are found by their parent process ids instead. The job lets
// a child break away when it asks to (a browser's sandbox, a setup with a
// job of its own), as it could before the installer ran in a job.
TrackedStart Win32Platform::launchTrackedProgram(const std::wstring& commandLine, int windowStyle,
                                                 const std::wstring& application, const std::wstring& currentFolder,
                                                 const std::wstring& temporaryFolder) {
    const wchar_t* folder = currentFolder.empty() ? nullptr : currentFolder.c_str();
    job_.reset(useJobObjects ? ::CreateJobObjectW(nullptr, nullptr) : nullptr);
    std::wstring fallback = useJobObjects ? std::wstring() : L"job objects are not used";
    if (useJobObjects && !job_) fallback = L"no job object could be made: " + systemMessage(::GetLastError());
    if (job_ && !setJobLimits(job_.get(), JOB_OBJECT_LIMIT_BREAKAWAY_OK)) {
        fallback = L"the job object cannot let children break away: " + systemMessage(::GetLastError());
        job_.reset();
    }
    BOOL inJob = FALSE;
    ::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob);
    Started started;
    try {
        started = start(commandLine, windowStyle, application,
                        CREATE_SUSPENDED | (inJob && job_ ? CREATE_BREAKAWAY_FROM_JOB : 0), folder, temporaryFolder);
    } catch (const Failure& failure) {
        if (!(inJob && job_) || failure.number() != ERROR_ACCESS_DENIED) throw;
        started = start(commandLine, windowStyle, application, CREATE_SUSPENDED, folder, temporaryFolder);
    }
    if (job_ && !::AssignProcessToJobObject(job_.get(), started.process.get())) {
        fallback = L"it cannot be put in a job object: " + systemMessage(::GetLastError());
        job_.reset();
    }
    trackedId_ = started.id;
    family_.clear();
    family_[trackedId_] = creationTime(started.process.get());
    if (::ResumeThread(started.thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = ::GetLastError();
        ::TerminateProcess(started.process.get(), 1);
        throw failureFor(L"starting " + quotedPath(application), error);
    }
    const TrackedStart tracked{{started.process.release(), started.id},
                               fallback.empty() ? std::wstring(L"in a job object") : L"by parent process ids, since " + fallback};
    tell(&PlatformListener::started, tracked.process, commandLine, application);
    tell(&PlatformListener::tracking, currentFolder, temporaryFolder, tracked.tracking);
    return tracked;
}

// The processes started by the tracked program or its children, by the
// parent process ids Windows keeps (see familyRunning).
// Only the processes that hold a family member's id or descend from one are
// opened for their creation times: opening every process on the machine
// costs the person at the PC tens of milliseconds after each installer.
std::vector<std::uint32_t> Win32Platform::familyByParents() {
    UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) raiseLastError("listing the running processes");
    std::vector<ProcessEntry> all, running;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        all.push_back({entry.th32ProcessID, entry.th32ParentProcessID, 0});
    // The family's members, then in turn every process whose parent was picked.
    const auto picked = [&](std::uint32_t id) {
        return std::any_of(running.begin(), running.end(), [&](const ProcessEntry& e) { return e.id == id; });
    };
    for (bool added = true; added;) {
        added = false;
        for (const ProcessEntry& candidate : all)
            if (!picked(candidate.id) &&
                (family_.count(candidate.id) != 0 || family_.count(candidate.parentId) != 0 || picked(candidate.parentId)))
                running.push_back(candidate), added = true;
    }
    for (ProcessEntry& found : running) {
        UniqueHandle process(::OpenProcess(processQueryInformation, FALSE, found.id));
        found.createdAt = process ? creationTime(process.get()) : 0;
    }
    return familyRunning(family_, running);
}

// Each process is opened once: the handle that shows it is the process that
// was found is the one the caller waits on, so a process that ends and
// whose id goes to another in between can never be taken for it. A setup
// that leaves the job (a child started with CREATE_BREAKAWAY_FROM_JOB) is
// still the installer's: it is found by its parent, as without a job.
std::vector<RunningProcess> Win32Platform::trackedProcesses() {
    std::vector<RunningProcess> found = findTracked();
    tell(&PlatformListener::foundTracked, found);
    return found;
}

std::vector<RunningProcess> Win32Platform::findTracked() {
    std::vector<std::uint32_t> ids;
    if (job_) {
        std::vector<ULONG_PTR> list(2 + 256);
        auto* header = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(list.data());
        for (;;) {
            header->NumberOfAssignedProcesses = static_cast<DWORD>(list.size() - 2);
            if (::QueryInformationJobObject(job_.get(), JobObjectBasicProcessIdList, header,
                                            static_cast<DWORD>(list.size() * sizeof(ULONG_PTR)), nullptr) ||
                ::GetLastError() != ERROR_MORE_DATA)
                break;
            list.resize(list.size() * 2);
            header = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(list.data());
        }
        for (DWORD i = 0; i < header->NumberOfProcessIdsInList; ++i)
            ids.push_back(static_cast<std::uint32_t>(header->ProcessIdList[i]));
    }
    const std::size_t inJob = ids.size();
    if (trackedId_ != 0) {
        try {
            for (std::uint32_t id : familyByParents())
                if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        } catch (const Failure&) {
            if (!job_) throw;
        }
    }
    std::vector<RunningProcess> found;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::uint32_t id = ids[i];
        if (id == trackedId_) continue;
        UniqueHandle process(::OpenProcess(SYNCHRONIZE | processQueryInformation, FALSE, id));
        RunningProcess running{id, nullptr, std::wstring(), std::wstring(), 0};
        running.brokeAway = job_ && i >= inJob;
        try {
            if (!process) raiseLastError("opening the process");
            const ULONGLONG created = creationTime(process.get()), at = now();
            BOOL inOurJob = FALSE;
            if (i < inJob ? !::IsProcessInJob(process.get(), job_.get(), &inOurJob) || !inOurJob
                          : created != family_[id] || (job_ && ::IsProcessInJob(process.get(), job_.get(), &inOurJob) && inOurJob))
                continue;  // it ended, and its id is another's now (or it is counted in the job)
            running.programFile = programFileOf(process.get());
            if (created != 0 && at > created) running.ranMs = static_cast<DWORD>((at - created) / 10000);
            running.handle = process.release();
        } catch (const Failure& failure) {
            running.whyUnknown = failure.description();
        }
        found.push_back(running);
    }
    return found;
}

// The job ends every process in it at once; without one, each process found
// by its parent is ended while the handle that found it keeps its id from
// going to another.
void Win32Platform::endTrackedProcesses() noexcept {
    try {
        std::vector<RunningProcess> found;
        try {
            found = findTracked();
        } catch (...) {
        }
        if (job_) ::TerminateJobObject(job_.get(), 1);
        for (const RunningProcess& process : found) {
            const UniqueHandle held(process.handle);
            if (job_ && !process.brokeAway) continue;
            const UniqueHandle ending(held ? ::OpenProcess(PROCESS_TERMINATE, FALSE, process.id) : nullptr);
            if (ending) ::TerminateProcess(ending.get(), 1);
        }
    } catch (...) {
    }
    tell(&PlatformListener::endedTracked);
}

}  // namespace tolvane
