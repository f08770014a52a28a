// The Windows side: the DLL search, the locks, tokens and rights, the
// consent prompt, folders only administrators may open, random names.
#include "platform/win32_platform.h"

#include <shellapi.h>

#include <vector>

#include "platform/text.h"
#include "platform/win32_shared.h"

namespace tolvane {

namespace {

constexpr DWORD loadLibrarySearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

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
        raiseLastError("restricting where DLLs are loaded from");
    const auto setDirectory = optionalKernelFunction<SetDllDirectoryFn>("SetDllDirectoryW");
    if (setDirectory != nullptr && !setDirectory(L""))
        raiseLastError("taking the current folder out of the DLL search");
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

bool Win32Platform::claimSingleRun(const std::wstring& name) {
    const bool claimed = name.empty() || claimLock(name, runLock_);
    tell(&PlatformListener::claimedSingleRun, name, claimed);
    return claimed;
}

namespace {

// A security descriptor built from its text, freed with it.
class SecurityDescriptor {
public:
    explicit SecurityDescriptor(const wchar_t* text) {
        using ConvertFn = BOOL(WINAPI*)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);
        const auto convert = libraryFunction<ConvertFn>(systemLibrary(L"advapi32.dll"),
                                                        "ConvertStringSecurityDescriptorToSecurityDescriptorW");
        if (convert == nullptr || !convert(text, 1 /* SDDL_REVISION_1 */, &descriptor_, nullptr))
            raiseLastError("building the access list that lets only administrators in");
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
    const bool claimed = !!lock;
    const DWORD error = ::GetLastError();
    if (!claimed && error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
        throw failureFor(L"opening the lock " + quotedPath(path), error);
    if (claimed) repairLock_ = std::move(lock);
    tell(&PlatformListener::claimedRepairLock, path, claimed);
    return claimed;
}

// Checked where the repair would run as this user (Windows XP and 2003).
// The functions come from the system folder's advapi32.dll, loaded only
// here; where they cannot be had, the repair is tried as before.
bool Win32Platform::isAdministrator() {
    const bool administrator = tokenHas(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, true);
    tell(&PlatformListener::toldAdministrator, administrator);
    return administrator;
}

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
            joined({L"User: ", std::wstring(user), L" on ", computer, L"; ",
                    systemAccount() ? L"SYSTEM" : elevatedToken() ? L"a full administrator's token" : L"no elevated token"})};
}

bool Win32Platform::systemAccount() { return tokenHas(1, SECURITY_LOCAL_SYSTEM_RID, 0, false); }

// TokenElevation (Vista on) from the system folder's advapi32.dll, loaded
// here; where the class is unknown (Windows XP) the token is no elevated one.
bool Win32Platform::isElevated() {
    const bool elevated = elevatedToken();
    tell(&PlatformListener::toldElevated, elevated);
    return elevated;
}

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
// on the Windows that ask for consent.
StartedProcess Win32Platform::launchElevatedRepair(const std::wstring& parameters) {
    using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
    using GetProcessIdFn = DWORD(WINAPI*)(HANDLE);
    const auto shellExecute = libraryFunction<ShellExecuteExFn>(systemLibrary(L"shell32.dll"), "ShellExecuteExW");
    if (shellExecute == nullptr) raiseLastError("loading shell32.dll from the system folder");
    const std::wstring self = ownFile();
    DWORD length;
    std::vector<wchar_t> folder(MAX_PATH);
    while ((length = ::GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data())) >= folder.size())
        folder.resize(length + 1);
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
    if (!shellExecute(&execute)) raiseLastError("starting the repair as administrator");
    if (execute.hProcess == nullptr) throw Failure(ERROR_INVALID_HANDLE, L"starting the repair as administrator gave no process");
    const auto processId = optionalKernelFunction<GetProcessIdFn>("GetProcessId");
    const StartedProcess process{execute.hProcess, processId == nullptr ? 0 : processId(execute.hProcess)};
    tell(&PlatformListener::startedElevated, process);
    return process;
}

bool Win32Platform::makeAdministratorsFolder(const std::wstring& path) {
    const bool made = createAdministratorsFolder(path);
    tell(&PlatformListener::madeAdministratorsFolder, path, made);
    return made;
}

bool Win32Platform::createAdministratorsFolder(const std::wstring& path) {
    SecurityDescriptor administrators(administratorsOnly);
    if (::CreateDirectoryW(path.c_str(), administrators.attributes())) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS) return false;
    throw failureFor(L"making the folder " + quotedPath(path), error);
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

}  // namespace tolvane
