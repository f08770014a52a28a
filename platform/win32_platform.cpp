#include "platform/win32_platform.h"

#include <restartmanager.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/process_tree.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace tolvane {

namespace {

// The main window's client area: 4680 x 3195 twips, 15 twips to a pixel at 96 dpi.
constexpr int clientWidth = 4680 / 15;
constexpr int clientHeight = 3195 / 15;

}  // namespace

// Outside the repair's span, and for every other message, the window
// answers as any window does.
LRESULT CALLBACK Win32Platform::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32Platform*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (message == WM_COPYDATA && self != nullptr && self->logLines_ != nullptr && data->dwData == logLineData) {
        self->logLines_->addHanded(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
        return TRUE;
    }
    if (message == WM_COPYDATA && self != nullptr && data->dwData == repairOutcomeData && data->cbData == sizeof(DWORD)) {
        self->handedOutcome_ = *static_cast<const DWORD*>(data->lpData);
        self->outcomeHanded_ = true;
        return TRUE;
    }
    // taskkill without /F, Task Manager's "End task": the run goes on to its
    // end, as a half-done repair is worse than a late one.
    if (message == WM_CLOSE) {
        if (self != nullptr && self->log_ != nullptr)
            self->log_->add(L"The program was asked to close (WM_CLOSE): the run goes on to its end");
        return 0;
    }
    if (self != nullptr && self->sessionListener_ != nullptr) {
        if (message == WM_QUERYENDSESSION && self->holdingSessionEnd_) return FALSE;
        if (message == WM_ENDSESSION && wParam != FALSE) {
            SessionEndListener* listener = self->sessionListener_;
            self->sessionListener_ = nullptr;  // once, however the messages nest
            listener->sessionEnding();
            return 0;
        }
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

Win32Platform::~Win32Platform() {
    if (window_ != nullptr) ::DestroyWindow(window_);
}

UINT Win32Platform::GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return ::GetSystemDirectoryA(buffer, size);
}

UINT Win32Platform::GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return ::GetWindowsDirectoryA(buffer, size);
}

BOOL Win32Platform::GetVersionExA(OSVERSIONINFOA* info) { return ::GetVersionExA(info); }

HANDLE Win32Platform::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    return ::OpenProcess(access, inherit, processId);
}

// A plain wait would block this thread's window too: a program that sends a
// message to every top-level window (as installers do when they broadcast a
// settings change) would then wait for us while we wait for it; Windows
// would take a window that answers only sent messages for hung. So the wait
// wakes for every message, handles what is waiting, and goes back to sleep.
DWORD Win32Platform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD remaining = INFINITE;
        if (milliseconds != INFINITE) {
            DWORD elapsed = ::GetTickCount() - start;
            remaining = elapsed >= milliseconds ? 0 : milliseconds - elapsed;
        }
        DWORD result = ::MsgWaitForMultipleObjects(1, &handle, FALSE, remaining, QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1) return result;
        processPendingEvents();
    }
}

bool Win32Platform::waitForRepair(HANDLE process, DWORD& exitCode, bool& handedBack) {
    outcomeHanded_ = handedBack = false;
    for (;;) {
        const DWORD result = ::MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) return ::GetExitCodeProcess(process, &exitCode) != FALSE;
        if (result != WAIT_OBJECT_0 + 1) return false;
        processPendingEvents();
        if (outcomeHanded_) return exitCode = handedOutcome_, handedBack = true;
    }
}

BOOL Win32Platform::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

BOOL Win32Platform::GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    return ::GetExitCodeProcess(process, exitCode);
}

DWORD Win32Platform::GetLastError() { return ::GetLastError(); }

BOOL Win32Platform::TerminateProcess(HANDLE process, UINT exitCode) { return ::TerminateProcess(process, exitCode); }

namespace {

constexpr DWORD loadLibrarySearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

// A DLL from the system folder, loaded by its full path: never one that
// lies beside the program or in the current folder. Null when it cannot be.
HMODULE systemLibrary(const wchar_t* name) {
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    return ::LoadLibraryW((std::wstring(system, length) + L"\\" + name).c_str());
}

// The long form of a path (no 8.3 names), or the path itself.
std::wstring longForm(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return path;
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length);
    }
}

// The running executable's file.
std::wstring ownFile() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) raiseLastError(L"finding the program's own file");
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

// What GetFileInformationByHandle tells of the file or folder at `path`,
// opened as it is: a link is not followed.
BY_HANDLE_FILE_INFORMATION fileInformation(const std::wstring& path, DWORD flags) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        flags, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!file || !::GetFileInformationByHandle(file.get(), &information))
        raiseLastError(L"reading what stands at " + quotedPath(path));
    return information;
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other) {
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
           one.nFileIndexLow == other.nFileIndexLow;
}

std::wstring hex(const unsigned char* bytes, std::size_t count) {
    std::wstring text;
    for (std::size_t i = 0; i < count; ++i) {
        text += L"0123456789abcdef"[bytes[i] >> 4];
        text += L"0123456789abcdef"[bytes[i] & 15];
    }
    return text;
}

}  // namespace

// SetDefaultDllDirectories (Windows 8, and Vista/7 with KB2533623) takes the
// program's and the current folder out of the search; SetDllDirectoryW("")
// (XP SP1 on) takes out the current folder only. Where the first is missing
// (XP SP1 to 7 without that update), a DLL loaded later by bare name is
// still looked for in the program's own folder first: what lies beside
// Tolvane.exe on the medium must be trusted there. Both are looked up here,
// not imported, so the image still loads where they do not exist.
void Win32Platform::restrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
    const auto setDefault = optionalKernelFunction<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
    if (setDefault != nullptr && !setDefault(loadLibrarySearchSystem32))
        raiseLastError(L"restricting where DLLs are loaded from");
    const auto setDirectory = optionalKernelFunction<SetDllDirectoryFn>("SetDllDirectoryW");
    if (setDirectory != nullptr && !setDirectory(L""))
        raiseLastError(L"taking the current folder out of the DLL search");
}

namespace {

// A named mutex, kept until the process ends. Access denied means it exists
// but was made by a run with other rights: held by another run all the same.
bool claimLock(const std::wstring& name, UniqueHandle& lock) {
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD error = ::GetLastError();
    if (mutex == nullptr) {
        if (error == ERROR_ACCESS_DENIED) return false;
        throw failureFor(L"creating the lock " + quotedPath(name), error);
    }
    lock.reset(mutex);
    return error != ERROR_ALREADY_EXISTS;
}

}  // namespace

bool Win32Platform::claimSingleRun(const std::wstring& name) { return name.empty() || claimLock(name, runLock_); }

namespace {

// A security descriptor built from its text, freed with it.
class SecurityDescriptor {
public:
    explicit SecurityDescriptor(const wchar_t* text) {
        using ConvertFn = BOOL(WINAPI*)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
        const auto convert = libraryFunction<ConvertFn>(systemLibrary(L"advapi32.dll"),
                                                        "ConvertStringSecurityDescriptorToSecurityDescriptorW");
        if (convert == nullptr || !convert(text, 1 /* SDDL_REVISION_1 */, &descriptor_, nullptr))
            raiseLastError(L"building the access list that lets only administrators in");
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
    }
    ~SecurityDescriptor() { ::LocalFree(descriptor_); }
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_ = {};
};

}  // namespace

// Not a named mutex: any user may make one first, in every namespace
// Windows XP has. A file in the Windows folder only an administrator can
// make, and made so only administrators may open it; it goes when the
// process ends, however it ends.
bool Win32Platform::claimRepairLock(const std::wstring& path) {
    SecurityDescriptor administrators(administratorsOnly);
    UniqueFileHandle lock(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                        administrators.attributes(), OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!lock) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) return false;
        throw failureFor(L"opening the lock " + quotedPath(path), error);
    }
    repairLock_ = std::move(lock);
    return true;
}

// Checked where the repair would run as this user (Windows XP and 2003).
// The functions come from the system folder's advapi32.dll, loaded only
// here; where they cannot be had, the repair is tried as before.
bool Win32Platform::isAdministrator() { return tokenHas(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, true); }

bool Win32Platform::tokenHas(BYTE count, DWORD first, DWORD second, bool unknown) {
    using AllocateSidFn = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                        DWORD, DWORD, PSID*);
    using CheckMembershipFn = BOOL(WINAPI*)(HANDLE, PSID, PBOOL);
    using FreeSidFn = PVOID(WINAPI*)(PSID);
    HMODULE advapi = systemLibrary(L"advapi32.dll");
    const auto allocate = libraryFunction<AllocateSidFn>(advapi, "AllocateAndInitializeSid");
    const auto check = libraryFunction<CheckMembershipFn>(advapi, "CheckTokenMembership");
    const auto free = libraryFunction<FreeSidFn>(advapi, "FreeSid");
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (allocate == nullptr || check == nullptr || free == nullptr ||
        !allocate(&nt, count, first, second, 0, 0, 0, 0, 0, 0, &sid))
        return unknown;
    BOOL member = unknown;
    if (!check(nullptr, sid, &member)) member = unknown;
    free(sid);
    return member != FALSE;
}

// For the head of the log: what was started, by whom, where, with which rights.
std::vector<std::wstring> Win32Platform::describeRun() {
    using GetUserNameFn = BOOL(WINAPI*)(LPWSTR, LPDWORD);
    const auto userName = libraryFunction<GetUserNameFn>(systemLibrary(L"advapi32.dll"), "GetUserNameW");
    wchar_t user[257] = L"?", computer[MAX_COMPUTERNAME_LENGTH + 1] = L"?";
    DWORD userLength = 257, computerLength = MAX_COMPUTERNAME_LENGTH + 1;
    if (userName == nullptr || !userName(user, &userLength)) user[0] = L'?', user[1] = 0;
    if (!::GetComputerNameW(computer, &computerLength)) computer[0] = L'?', computer[1] = 0;
    return {L"Command line: " + std::wstring(::GetCommandLineW()),
            L"User: " + std::wstring(user) + L" on " + computer + L"; " +
                (systemAccount() ? L"SYSTEM" : elevatedToken() ? L"a full administrator's token" : L"no elevated token")};
}

bool Win32Platform::systemAccount() { return tokenHas(1, SECURITY_LOCAL_SYSTEM_RID, 0, false); }

// TokenElevation (Vista on) from the system folder's advapi32.dll, loaded
// here; where the class is unknown (Windows XP) the token is no elevated one.
bool Win32Platform::isElevated() { return elevatedToken(); }

bool Win32Platform::elevatedToken() {
    using OpenTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    using TokenInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD, PDWORD);
    HMODULE advapi = systemLibrary(L"advapi32.dll");
    const auto open = libraryFunction<OpenTokenFn>(advapi, "OpenProcessToken");
    const auto information = libraryFunction<TokenInformationFn>(advapi, "GetTokenInformation");
    HANDLE token = nullptr;
    if (open == nullptr || information == nullptr || !open(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const UniqueHandle owned(token);
    DWORD elevated = 0, size = 0;
    constexpr int tokenElevation = 20;  // TOKEN_INFORMATION_CLASS::TokenElevation
    return information(token, tokenElevation, &elevated, sizeof elevated, &size) && elevated != 0;
}

// From Vista on services run in session 0, which has no desktop anybody
// sees (on XP the first user shares it); a service's window station is not
// visible on any Windows.
bool Win32Platform::hasVisibleDesktop() {
    using SessionOfFn = BOOL(WINAPI*)(DWORD, DWORD*);
    const auto sessionOf = optionalKernelFunction<SessionOfFn>("ProcessIdToSessionId");
    DWORD session = 1;
    if (LOBYTE(LOWORD(::GetVersion())) >= 6 && sessionOf != nullptr && sessionOf(::GetCurrentProcessId(), &session) &&
        session == 0)
        return false;
    USEROBJECTFLAGS flags = {};
    HWINSTA station = ::GetProcessWindowStation();
    return station == nullptr || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// ShellExecuteExW comes from the system folder's shell32.dll, loaded only
// on the Windows that ask for consent. The elevated instance finds this
// one's window by the number after the switch, to hand it its log lines.
StartedProcess Win32Platform::launchElevatedRepair(const std::wstring& switches) {
    using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
    using GetProcessIdFn = DWORD(WINAPI*)(HANDLE);
    const auto shellExecute = libraryFunction<ShellExecuteExFn>(systemLibrary(L"shell32.dll"), "ShellExecuteExW");
    if (shellExecute == nullptr) raiseLastError(L"loading shell32.dll from the system folder");
    const std::wstring self = ownFile();
    DWORD length;
    std::vector<wchar_t> folder(MAX_PATH);
    while ((length = ::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data())) >= folder.size())
        folder.resize(length + 1);
    const std::wstring parameters =
        std::wstring(repairSwitch) + L" " + decimal(reinterpret_cast<ULONG_PTR>(window_)) + switches;
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof execute;
    // No owner window: with a hidden one, Windows may show the consent
    // prompt behind other windows, as a flashing taskbar button.
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"runas";
    execute.lpFile = self.c_str();
    execute.lpParameters = parameters.c_str();
    execute.lpDirectory = length == 0 ? nullptr : folder.data();
    execute.nShow = SW_HIDE;
    if (!shellExecute(&execute)) raiseLastError(L"starting the repair as administrator");
    if (execute.hProcess == nullptr) throw Failure(ERROR_INVALID_HANDLE, L"starting the repair as administrator gave no process");
    const auto processId = optionalKernelFunction<GetProcessIdFn>("GetProcessId");
    return {execute.hProcess, processId == nullptr ? 0 : processId(execute.hProcess)};
}

void Win32Platform::createMainWindow(const std::wstring& caption) {
    HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(applicationIconId));
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance_;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = mainWindowClass;
    if (::RegisterClassExW(&windowClass) == 0) raiseLastError(L"registering the main window class");

    const DWORD style = WS_OVERLAPPEDWINDOW;  // no WS_VISIBLE: the window is never shown
    RECT frame = {0, 0, clientWidth, clientHeight};
    ::AdjustWindowRect(&frame, style, FALSE);
    window_ = ::CreateWindowExW(0, mainWindowClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                instance_, nullptr);
    if (window_ == nullptr) raiseLastError(L"creating the main window");
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

// In its long form: started through an 8.3 path (PROGRA~1), the program
// would not see that a setup started from the medium runs from its folder.
std::wstring Win32Platform::programFolder() {
    const std::wstring path = ownFile();
    std::wstring::size_type slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) return path;
    std::wstring folder = longForm(path.substr(0, slash));
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';  // drive root keeps its backslash
    return folder;
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
                                            const std::wstring& temporaryFolder) {
    std::vector<wchar_t> writableCommandLine(commandLine.begin(), commandLine.end());
    writableCommandLine.push_back(L'\0');
    std::vector<wchar_t> environment;
    if (!temporaryFolder.empty()) {
        environment = environmentWithTemporaryFolder(temporaryFolder);
        flags |= CREATE_UNICODE_ENVIRONMENT;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
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
    return start(commandLine, windowStyle, application).id;
}

// The process's program file is read back by its name (no handle to it can
// be had from the process), and opened again: the file found there must be
// the one held since the check. The name is read while the process is
// suspended, so nothing it loads has run yet.
std::uint32_t Win32Platform::launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                                  const std::wstring& application) {
    BY_HANDLE_FILE_INFORMATION expected = {};
    bool held = false;
    for (const HeldFile& file : heldFiles_)
        held = held || (samePath(file.path, application) && ::GetFileInformationByHandle(file.handle.get(), &expected));
    Started started = start(commandLine, windowStyle, application, CREATE_SUSPENDED);
    std::wstring why = L"it was not checked";
    try {
        if (held && sameFile(fileInformation(programFileOf(started.process.get()), 0), expected)) why.clear();
        else if (held) why = L"the file its process runs is not the one that was checked";
    } catch (const Failure& failure) {
        why = failure.description();
    }
    if (why.empty() && ::ResumeThread(started.thread.get()) != static_cast<DWORD>(-1)) return started.id;
    ::TerminateProcess(started.process.get(), ERROR_INVALID_DATA);
    throw Failure(ERROR_INVALID_DATA, L"starting " + quotedPath(application) + L" was stopped before it ran: " +
                                          (why.empty() ? systemMessage(::GetLastError()) : why));
}

StartedProcess Win32Platform::launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                                   const std::wstring& application, const std::wstring& currentFolder) {
    Started started = start(commandLine, windowStyle, application, 0, currentFolder.empty() ? nullptr : currentFolder.c_str());
    return {started.process.release(), started.id};
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
    if (getImageFileName == nullptr) raiseLastError(L"loading psapi.dll from the system folder");
    std::vector<wchar_t> buffer(1024);
    const DWORD length = getImageFileName(process, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) raiseLastError(L"reading the program file of a process");
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
    if (!query(process, 0, buffer.data(), &length)) raiseLastError(L"reading the program file of a process");
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
    if (job_) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        if (!::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            fallback = L"the job object cannot let children break away: " + systemMessage(::GetLastError());
            job_.reset();
        }
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
    return {{started.process.release(), started.id},
            fallback.empty() ? std::wstring(L"in a job object") : L"by parent process ids, since " + fallback};
}

// The processes started by the tracked program or its children, by the
// parent process ids Windows keeps (see familyRunning).
// Only the processes that hold a family member's id or descend from one are
// opened for their creation times: opening every process on the machine
// costs the person at the PC tens of milliseconds after each installer.
std::vector<std::uint32_t> Win32Platform::familyByParents() {
    UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) raiseLastError(L"listing the running processes");
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
            if (!process) raiseLastError(L"opening the process");
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

std::wstring Win32Platform::temporaryFolder() { return userTemporaryFolder(); }

std::wstring Win32Platform::userTemporaryFolder() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) raiseLastError(L"asking Windows for the temporary folder");
    std::wstring path = longForm(std::wstring(folder, length));
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

bool Win32Platform::fileExists(const std::wstring& path) {
    const DWORD notNormal = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle search(::FindFirstFileW(path.c_str(), &entry));
    if (!search) {
        // Only "nothing there" is an answer; a search that failed is none.
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES) return false;
        throw failureFor(L"looking for " + quotedPath(path), error);
    }
    do {
        if ((entry.dwFileAttributes & notNormal) == 0) return true;
    } while (::FindNextFileW(search.get(), &entry));
    return false;
}

void Win32Platform::deleteFile(const std::wstring& path) {
    if (!::DeleteFileW(path.c_str())) raiseLastError(L"deleting " + quotedPath(path));
}

void Win32Platform::renameFile(const std::wstring& oldPath, const std::wstring& newPath) {
    if (!::MoveFileW(oldPath.c_str(), newPath.c_str()))
        raiseLastError(L"renaming " + quotedPath(oldPath) + L" to " + quotedPath(newPath));
}

// A medium's file is read-only; its copy is made writable before it is
// flushed, since only a handle with the right to write can flush.
void Win32Platform::copyFile(const std::wstring& source, const std::wstring& destination) {
    const std::wstring action = L"copying " + quotedPath(source) + L" to " + quotedPath(destination);
    if (!::CopyFileW(source.c_str(), destination.c_str(), TRUE)) raiseLastError(action);
    clearReadOnly(destination);
    UniqueFileHandle copy(::CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy || !::FlushFileBuffers(copy.get())) raiseLastError(action + L" to the disk");
}

// Read through a handle that lets nobody write the source meanwhile, and
// written through one nobody else may open; then held for reading only.
FileDigest Win32Platform::copyAndDigest(const std::wstring& source, const std::wstring& destination) {
    const auto fail = [&] { raiseLastError(L"copying " + quotedPath(source) + L" to " + quotedPath(destination)); };
    UniqueFileHandle from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    UniqueFileHandle to(from ? ::CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr)
                             : INVALID_HANDLE_VALUE);
    if (!to) fail();
    Sha256 hash;
    FileDigest digest{0, std::wstring()};
    std::vector<char> buffer(1 << 16);
    for (DWORD read = 1, written = 0; read != 0; digest.size += read) {
        if (!::ReadFile(from.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) ||
            !::WriteFile(to.get(), buffer.data(), read, &written, nullptr) || written != read)
            fail();
        hash.update(buffer.data(), read);
    }
    if (!::FlushFileBuffers(to.get())) fail();
    to.reset();  // shared with nobody: closed before it is opened again to be held
    to.reset(::CreateFileW(destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!to) fail();
    heldFiles_.push_back({destination, std::move(to)});
    digest.sha256 = hash.finishHex();
    return digest;
}

void Win32Platform::replaceFile(const std::wstring& from, const std::wstring& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        raiseLastError(L"renaming " + quotedPath(from) + L" to " + quotedPath(to));
}

void Win32Platform::setCurrentFolder(const std::wstring& folder) {
    if (!::SetCurrentDirectoryW(folder.c_str())) raiseLastError(L"making " + quotedPath(folder) + L" the current folder");
}

std::wstring Win32Platform::mediumRecord() {
    HRSRC found = ::FindResourceW(nullptr, L"MEDIUM", MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = found == nullptr ? nullptr : ::LoadResource(nullptr, found);
    const char* text = static_cast<const char*>(loaded == nullptr ? nullptr : ::LockResource(loaded));
    int size = text == nullptr ? 0 : static_cast<int>(::SizeofResource(nullptr, found));
    while (size > 0 && (text[size - 1] == ' ' || text[size - 1] == 0)) --size;  // the room the record leaves
    if (size == 0) return std::wstring();
    std::vector<wchar_t> wide(static_cast<std::size_t>(size));
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, wide.data(), size);
    if (length == 0) raiseLastError(L"reading the record of the medium's files in this program");
    return std::wstring(wide.data(), static_cast<std::size_t>(length));
}

FileDigest Win32Platform::digestFile(const std::wstring& path, bool hold) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) raiseLastError(L"opening " + quotedPath(path));
    Sha256 hash;
    FileDigest digest{0, std::wstring()};
    std::vector<char> buffer(65536);
    for (DWORD read = 1; read != 0; digest.size += read) {
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            raiseLastError(L"reading " + quotedPath(path));
        hash.update(buffer.data(), read);
    }
    digest.sha256 = hash.finishHex();
    if (hold) heldFiles_.push_back({path, std::move(file)});
    return digest;
}

std::vector<std::wstring> Win32Platform::folderEntries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!search) raiseLastError(L"listing " + quotedPath(folder));
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(search.get(), &entry));
    return names;
}

// A file mapped as an image or as data cannot be opened for writing
// (ERROR_SHARING_VIOLATION, ERROR_USER_MAPPED_FILE); the handle, opened with
// every sharing, changes nothing.
bool Win32Platform::isLoaded(const std::wstring& path) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = ::GetLastError();
    return !file && (error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE);
}

// The Restart Manager from the system folder's rstrtmgr.dll (Vista on),
// loaded here: a session of its own, the one file, the list.
std::vector<std::wstring> Win32Platform::holdersOf(const std::wstring& path) {
    using StartFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
    using RegisterFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
    using ListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD);
    using EndFn = DWORD(WINAPI*)(DWORD);
    HMODULE manager = systemLibrary(L"rstrtmgr.dll");
    const auto start = libraryFunction<StartFn>(manager, "RmStartSession");
    const auto add = libraryFunction<RegisterFn>(manager, "RmRegisterResources");
    const auto list = libraryFunction<ListFn>(manager, "RmGetList");
    const auto end = libraryFunction<EndFn>(manager, "RmEndSession");
    std::vector<std::wstring> names;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (start == nullptr || add == nullptr || list == nullptr || end == nullptr || start(&session, 0, key) != ERROR_SUCCESS)
        return names;
    LPCWSTR file = path.c_str();
    std::vector<RM_PROCESS_INFO> found(4);
    UINT needed = 0, count = static_cast<UINT>(found.size());
    DWORD reasons = 0, error = add(session, 1, &file, 0, nullptr, 0, nullptr);
    if (error == ERROR_SUCCESS && (error = list(session, &needed, &count, found.data(), &reasons)) == ERROR_MORE_DATA) {
        found.resize(needed);
        count = needed;
        error = list(session, &needed, &count, found.data(), &reasons);
    }
    for (UINT i = 0; error == ERROR_SUCCESS && i < count && i < found.size(); ++i)
        names.push_back(found[i].strAppName);
    end(session);
    return names;
}

DWORD Win32Platform::tickCount() { return ::GetTickCount(); }

std::wstring Win32Platform::localDateTime() { return RunLog::localDateTime(); }

void Win32Platform::clearReadOnly(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) raiseLastError(L"reading the attributes of " + quotedPath(path));
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
    const DWORD rest = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!::SetFileAttributesW(path.c_str(), rest == 0 ? FILE_ATTRIBUTE_NORMAL : rest))
        raiseLastError(L"making " + quotedPath(path) + L" writable");
}

namespace {

// A 32-bit program on 64-bit Windows sees SysWOW64 under the system
// folder's name, but the session manager, a 64-bit program, carries out the
// deletions at the restart without that redirection: the path it is given
// must name SysWOW64. Both functions are looked up (XP SP2, XP x64 on).
std::wstring unredirectedPath(const std::wstring& path) {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    using GetSystemWow64DirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);
    const auto isWow64 = optionalKernelFunction<IsWow64ProcessFn>("IsWow64Process");
    const auto wow64Folder = optionalKernelFunction<GetSystemWow64DirectoryFn>("GetSystemWow64DirectoryW");
    BOOL wow64 = FALSE;
    if (isWow64 == nullptr || wow64Folder == nullptr || !isWow64(::GetCurrentProcess(), &wow64) || !wow64) return path;
    wchar_t system[MAX_PATH], redirected[MAX_PATH];
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    const UINT redirectedLength = wow64Folder(redirected, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH || redirectedLength == 0 || redirectedLength >= MAX_PATH ||
        !inFolder(path, std::wstring(system, systemLength)))
        return path;
    return std::wstring(redirected, redirectedLength) + path.substr(systemLength);
}

}  // namespace

void Win32Platform::deleteAtRestart(const std::wstring& path) {
    if (!::MoveFileExW(unredirectedPath(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        raiseLastError(L"scheduling the deletion of " + quotedPath(path) + L" at the next restart");
}

DWORD Win32Platform::volumeFlags(const std::wstring& path) {
    std::vector<wchar_t> volume(path.size() + 2);
    DWORD flags = 0;
    if (!::GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size())) ||
        !::GetVolumeInformationW(volume.data(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        raiseLastError(L"asking Windows about the volume of " + quotedPath(path));
    return flags;
}

bool Win32Platform::makeAdministratorsFolder(const std::wstring& path) { return createAdministratorsFolder(path); }

bool Win32Platform::createAdministratorsFolder(const std::wstring& path) {
    SecurityDescriptor administrators(administratorsOnly);
    if (::CreateDirectoryW(path.c_str(), administrators.attributes())) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS) return false;
    throw failureFor(L"making the folder " + quotedPath(path), error);
}

std::wstring Win32Platform::folderIdentity(const std::wstring& path) {
    const BY_HANDLE_FILE_INFORMATION information =
        fileInformation(path, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw Failure(ERROR_CANT_ACCESS_FILE, quotedPath(path) + L" is a link or a file, not a folder");
    const DWORD parts[] = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow,
                           information.ftCreationTime.dwHighDateTime, information.ftCreationTime.dwLowDateTime};
    return hex(reinterpret_cast<const unsigned char*>(parts), sizeof parts);
}

// RtlGenRandom, exported by name as SystemFunction036 from XP on.
std::wstring Win32Platform::randomHex() {
    using GenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);
    static const auto generate = libraryFunction<GenRandomFn>(systemLibrary(L"advapi32.dll"), "SystemFunction036");
    unsigned char bytes[8];
    if (generate == nullptr || !generate(bytes, sizeof bytes))
        throw Failure(ERROR_PROC_NOT_FOUND, L"asking Windows for a random name failed");
    return hex(bytes, sizeof bytes);
}

namespace {

// Empties and removes a folder; a link in it is removed itself, never what
// it leads to. False when something is left for the next restart.
bool removeTree(const std::wstring& folder) noexcept {
    bool gone = true;
    const auto atRestart = [&](const std::wstring& path) {
        gone = false;
        ::MoveFileExW(unredirectedPath(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    };
    try {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
        if (search) do {
                const std::wstring name = entry.cFileName, path = folder + L"\\" + name;
                if (name == L"." || name == L"..") continue;
                const DWORD attributes = entry.dwFileAttributes;
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                    gone = removeTree(path) && gone;
                } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    if (!::RemoveDirectoryW(path.c_str())) atRestart(path);
                } else {
                    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    if (!::DeleteFileW(path.c_str())) atRestart(path);
                }
            } while (::FindNextFileW(search.get(), &entry));
        if (!::RemoveDirectoryW(folder.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) atRestart(folder);
    } catch (...) {
        gone = false;
    }
    return gone;
}

}  // namespace

bool Win32Platform::removeFolder(const std::wstring& path) noexcept {
    for (auto held = heldFiles_.begin(); held != heldFiles_.end();)
        held = inFolder(held->path, path) ? heldFiles_.erase(held) : held + 1;
    try {
        folderIdentity(path);  // a link at its root is never followed
    } catch (...) {
        return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    return removeTree(path);
}

namespace {

// The record lives under HKEY_LOCAL_MACHINE\SOFTWARE, which only
// administrators can change (on 64-bit Windows, in its 32-bit view). The
// registry functions come from the system folder's advapi32.dll, loaded
// only for the repair.
constexpr wchar_t recordKey[] = L"SOFTWARE\\Tolvane";
constexpr wchar_t recordValue[] = L"RepairInProgress";
constexpr wchar_t markValue[] = L"Installed";  // the mark as older versions kept it: one list of lines
// The mark's lines each as a value of its own that a deployment tool's
// registry rule can match: line key, value name, and whether it is a number.
struct MarkValue {
    const wchar_t* key;
    const wchar_t* name;
    bool number;
};
constexpr MarkValue markValues[] = {{L"sha256", L"Sha256", false},
                                    {L"version", L"Version", false},
                                    {L"when", L"When", false},
                                    {L"exitCode", L"ExitCode", true},
                                    {L"installerExitCode", L"InstallerExitCode", true}};

struct Registry {
    using OpenFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    using CreateFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
    using QueryFn = LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    using SetFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
    using DeleteValueFn = LONG(WINAPI*)(HKEY, LPCWSTR);
    using KeyFn = LONG(WINAPI*)(HKEY);

    HMODULE advapi = systemLibrary(L"advapi32.dll");
    OpenFn open = libraryFunction<OpenFn>(advapi, "RegOpenKeyExW");
    CreateFn create = libraryFunction<CreateFn>(advapi, "RegCreateKeyExW");
    QueryFn query = libraryFunction<QueryFn>(advapi, "RegQueryValueExW");
    SetFn set = libraryFunction<SetFn>(advapi, "RegSetValueExW");
    DeleteValueFn deleteValue = libraryFunction<DeleteValueFn>(advapi, "RegDeleteValueW");
    using DeleteKeyFn = LONG(WINAPI*)(HKEY, LPCWSTR);
    DeleteKeyFn deleteKey = libraryFunction<DeleteKeyFn>(advapi, "RegDeleteKeyW");
    KeyFn flush = libraryFunction<KeyFn>(advapi, "RegFlushKey");
    KeyFn close = libraryFunction<KeyFn>(advapi, "RegCloseKey");

    static const Registry& loaded() {
        static const Registry registry;
        return registry;
    }
    static const Registry& get(const std::wstring& action) {
        const Registry& registry = loaded();
        if (registry.open == nullptr || registry.create == nullptr || registry.query == nullptr ||
            registry.set == nullptr || registry.deleteValue == nullptr || registry.deleteKey == nullptr ||
            registry.flush == nullptr || registry.close == nullptr)
            throw Failure(ERROR_PROC_NOT_FOUND, action + L" failed: advapi32.dll in the system folder lacks the registry's functions");
        return registry;
    }
};

// Open registry keys, owned as the platform's other handles are; closed
// with the RegCloseKey that Registry::get found.
struct RegistryKeyTraits {
    using Value = HKEY;
    static HKEY invalid() { return nullptr; }
    static void close(HKEY key) { Registry::loaded().close(key); }
};
using RegistryKey = UniqueResource<RegistryKeyTraits>;

// What the record's failures say they were doing it to.
std::wstring recordAction(const wchar_t* doing) {
    return doing + std::wstring(L" the record of the repair (") + repairRecordPlace + L")";
}

void raiseFor(const std::wstring& action, LONG error) {
    if (error != ERROR_SUCCESS) throw failureFor(action, static_cast<DWORD>(error));
}

// The program's key with `access`: made where it is missing (`create`), or
// else empty where there is none. Inlined where it is used: a function of
// its own would cost the image an unwind entry more than the copies do.
inline __attribute__((always_inline)) RegistryKey recordKeyFor(const Registry& registry, const std::wstring& action,
                                                               REGSAM access, bool create = false) {
    HKEY key = nullptr;
    const LONG error = create ? registry.create(HKEY_LOCAL_MACHINE, recordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                access, nullptr, &key, nullptr)
                              : registry.open(HKEY_LOCAL_MACHINE, recordKey, 0, access, &key);
    if (create || error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
    return RegistryKey(key);
}

}  // namespace

bool Win32Platform::readRepairRecord(std::wstring& text) { return readLines(recordValue, text); }

void Win32Platform::writeRepairRecord(const std::wstring& text) { writeLines(recordValue, text); }

// A value at a time; the lines in the order of markValues. A mark kept by an
// older version (one list) is read as it is.
bool Win32Platform::readInstalledMark(std::wstring& text) {
    const std::wstring action = recordAction(L"reading");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_QUERY_VALUE);
    if (!key) return false;
    text.clear();
    for (const MarkValue& value : markValues) {
        wchar_t data[128] = {};
        DWORD type = 0, size = sizeof data - sizeof(wchar_t), number = 0;
        const LONG error = registry.query(key.get(), value.name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        if (error == ERROR_FILE_NOT_FOUND) continue;
        raiseFor(action, error);
        if (type != (value.number ? REG_DWORD : REG_SZ))
            throw Failure(ERROR_INVALID_DATA, action + L" failed: its value " + value.name + L" is of another type");
        std::memcpy(&number, data, sizeof number);
        text += value.key + std::wstring(L"=") + (value.number ? decimal(number) : std::wstring(data)) + L"\n";
    }
    return !text.empty();
}

void Win32Platform::writeInstalledMark(const std::wstring& text) {
    const std::wstring action = recordAction(L"writing");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_SET_VALUE | KEY_QUERY_VALUE, true);
    const std::vector<std::wstring> all = lines(text);
    for (const MarkValue& value : markValues) {
        const std::wstring prefix = value.key + std::wstring(L"=");
        const auto line = std::find_if(all.begin(), all.end(), [&](const std::wstring& l) { return l.rfind(prefix, 0) == 0; });
        if (line == all.end()) {
            const LONG error = registry.deleteValue(key.get(), value.name);
            if (error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
            continue;
        }
        const std::wstring data = line->substr(prefix.size());
        DWORD number = 0;
        for (wchar_t c : data) number = number * 10 + static_cast<DWORD>(c - L'0');
        raiseFor(action, value.number ? registry.set(key.get(), value.name, 0, REG_DWORD,
                                                     reinterpret_cast<const BYTE*>(&number), sizeof number)
                                      : registry.set(key.get(), value.name, 0, REG_SZ,
                                                     reinterpret_cast<const BYTE*>(data.c_str()),
                                                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
    }
    registry.deleteValue(key.get(), markValue);  // an older version's list
    raiseFor(action, registry.flush(key.get()));
    // An empty mark (the uninstall): the key goes too when no record is in it.
    DWORD type = 0, size = 0;
    if (all.empty() && registry.query(key.get(), recordValue, nullptr, &type, nullptr, &size) == ERROR_FILE_NOT_FOUND)
        registry.deleteKey(HKEY_LOCAL_MACHINE, recordKey);
}

bool Win32Platform::readLines(const wchar_t* value, std::wstring& text) {
    const std::wstring action = recordAction(L"reading");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_QUERY_VALUE);
    if (!key) return false;
    DWORD type = 0, size = 0;
    LONG error = registry.query(key.get(), value, nullptr, &type, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND) return false;
    raiseFor(action, error);
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    error = registry.query(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    raiseFor(action, error);
    if (type != REG_MULTI_SZ) throw Failure(ERROR_INVALID_DATA, action + L" failed: it is not a list of lines");
    text.clear();
    for (const wchar_t* line = data.data(); *line != 0 && line < data.data() + data.size(); line += ::lstrlenW(line) + 1)
        text += line + std::wstring(1, L'\n');
    return true;
}

// A list of lines in the registry (REG_MULTI_SZ): each ends with a NUL, the
// list with another.
void Win32Platform::writeLines(const wchar_t* value, const std::wstring& text) {
    const std::wstring action = recordAction(L"writing");
    const Registry& registry = Registry::get(action);
    std::wstring data = text;
    for (wchar_t& c : data)
        if (c == L'\n') c = L'\0';
    data += L'\0';
    const RegistryKey key = recordKeyFor(registry, action, KEY_SET_VALUE, true);
    raiseFor(action, registry.set(key.get(), value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                  static_cast<DWORD>(data.size() * sizeof(wchar_t))));
    raiseFor(action, registry.flush(key.get()));
}

void Win32Platform::clearRepairRecord() {
    const std::wstring action = recordAction(L"removing");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_SET_VALUE);
    if (!key) return;
    const LONG error = registry.deleteValue(key.get(), recordValue);
    if (error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
    raiseFor(action, registry.flush(key.get()));
}

// The job ends every process in it at once; without one, each process found
// by its parent is ended while the handle that found it keeps its id from
// going to another.
void Win32Platform::endTrackedProcesses() noexcept {
    try {
        std::vector<RunningProcess> found;
        try {
            found = trackedProcesses();
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
}

namespace {

using ShutdownBlockReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ShutdownBlockReasonDestroyFn = BOOL(WINAPI*)(HWND);

// A user32 function that this Windows may lack, or null.
template <typename Function>
Function optionalUserFunction(const char* name) {
    return libraryFunction<Function>(::GetModuleHandleW(L"user32.dll"), name);
}

}  // namespace

// Vista on, a window that answers FALSE is listed with its reason, and the
// user chooses to wait or to end the session anyway. On Windows XP a FALSE
// answer cancels a log-off without a word, so there the program agrees and
// puts the control back when WM_ENDSESSION comes.
void Win32Platform::guardSessionEnd(const std::wstring& reason, SessionEndListener& listener) {
    sessionListener_ = &listener;
    holdingSessionEnd_ = !reason.empty();
    const auto create = optionalUserFunction<ShutdownBlockReasonCreateFn>("ShutdownBlockReasonCreate");
    if (holdingSessionEnd_ && create != nullptr && window_ != nullptr) create(window_, reason.c_str());
}

void Win32Platform::releaseSessionEnd() {
    const auto destroy = optionalUserFunction<ShutdownBlockReasonDestroyFn>("ShutdownBlockReasonDestroy");
    if (holdingSessionEnd_ && destroy != nullptr && window_ != nullptr) destroy(window_);
    sessionListener_ = nullptr;
    holdingSessionEnd_ = false;
}

void Win32Platform::showMessageBox(const std::wstring& text, int style, const std::wstring& title) {
    if (::MessageBoxW(nullptr, text.c_str(), title.c_str(), static_cast<UINT>(style)) == 0)
        raiseLastError(L"showing the message " + quotedPath(title));
}

void Win32Platform::processPendingEvents() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void Win32Platform::setWindowVisible(bool visible) {
    if (window_ != nullptr) ::ShowWindow(window_, visible ? SW_SHOW : SW_HIDE);
}

void Win32Platform::endProgram(int exitCode) { ::ExitProcess(static_cast<UINT>(exitCode)); }

}  // namespace tolvane
