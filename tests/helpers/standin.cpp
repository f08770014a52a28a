// Stands in for the medium's installer and menu, and for programs that must
// never run (decoys). It behaves by its own file name and logs its start,
// command line and show state; see test_log.h.
//
// As regsvr32.exe in the system folder it stands in for the system's
// registration tool (a spy): it logs as "spy regsvr32", then does the tool's
// job on the quoted control path, calling DllUnregisterServer for /u and
// DllRegisterServer otherwise, logs when the control cannot be loaded, and
// ends with the tool's exit code (0 done, 3 not loaded, 4 no entry point,
// 5 the entry point failed), which it logs too.
//
//   STANDIN_INSTALLER_MS      run this many milliseconds before ending
//   STANDIN_INSTALLER_EXIT    end with this exit code (1641: it started a restart)
//   STANDIN_BROADCAST=1       send a message to every top-level window and wait for the answers
//   STANDIN_INSTALLER_WRITES  put a control of its own at this path
//   STANDIN_INSTALLER_COPIES  ...namely a copy of this file (a real DLL)
//   STANDIN_INSTALLER_STARTS  start this command line, as an installer opens a
//                             browser on its last page, and wait until it is ready
// Every name, with STANDIN_LOG_PARENTS=1, also logs "<name> parent=<id>
// grandparent=<id>" from Toolhelp's parent process ids.
//
// As install_flash_player.exe it also reads:
//   STANDIN_INSTALLER_ENDS_SESSION=1  as Windows at a log-off: send
//                             WM_QUERYENDSESSION, then WM_ENDSESSION (TRUE: the
//                             user ends the session anyway) to Tolvane's hidden
//                             window, logging the answer, and end its process
//                             once the second has returned
//   STANDIN_INSTALLER_HANDS_OVER=1  as a bootstrapper: copy itself to the
//                             temporary folder as tolvane-setup.exe, start that
//                             and end at once. The setup works for two seconds,
//                             then does all of the above under its own name.
//                             =breakaway: the same, but the setup is started
//                             out of the installer's job; the installer's exit
//                             code is CreateProcess's error, 0 when it started.
//
// As holder.exe it stands in for a browser showing a page with the control:
// it loads the DLL named (quoted) on its command line, signals the event
// TolvaneTestHolderReady and keeps the DLL loaded until the event
// TolvaneTestReleaseHolders is signalled (two minutes at most). As
// scanner.exe, the same with the file open for reading, shared for reading
// only (a virus scanner at work).
#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "helpers/test_log.h"

namespace {

std::wstring environment(const wchar_t* name) {
    wchar_t value[1024];
    DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
    return length == 0 || length >= 1024 ? std::wstring() : std::wstring(value, length);
}

std::wstring ownName() {
    wchar_t path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path);
    name = name.substr(name.find_last_of(L'\\') + 1);
    for (auto& c : name) c = static_cast<wchar_t>(::towlower(c));
    return name;
}

DWORD handOver() {
    using tolvane::testing::appendTestLog;
    wchar_t self[MAX_PATH], temporary[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ::GetTempPathW(MAX_PATH, temporary);
    std::wstring setup = std::wstring(temporary) + L"tolvane-setup.exe";
    ::CopyFileW(self, setup.c_str(), FALSE);
    std::wstring commandLine = L"\"" + setup + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    const DWORD flags = environment(L"STANDIN_INSTALLER_HANDS_OVER") == L"breakaway" ? CREATE_BREAKAWAY_FROM_JOB : 0;
    if (!::CreateProcessW(setup.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                          &started))
        return ::GetLastError();
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    appendTestLog(L"install_flash_player.exe handed over to " + setup);
    return 0;
}

// The process that started `id`, or 0.
DWORD parentOf(DWORD id) {
    DWORD parent = 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == id) parent = entry.th32ParentProcessID;
    ::CloseHandle(snapshot);
    return parent;
}

// The Tolvane.exe that started this installer is the one at work.
void endTheSession() {
    using tolvane::testing::appendTestLog;
    const DWORD id = parentOf(::GetCurrentProcessId());
    HWND window = nullptr;
    DWORD owner = 0;
    while ((window = ::FindWindowExW(nullptr, window, L"TolvaneMain", nullptr)) != nullptr &&
           (::GetWindowThreadProcessId(window, &owner), owner != id)) {
    }
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, id);
    const LRESULT answer = ::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    appendTestLog(L"session end asked, answer=" + std::to_wstring(answer));
    ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    appendTestLog(L"session end told");
    if (process != nullptr) {
        ::TerminateProcess(process, 99);
        ::CloseHandle(process);
    }
}

int runInstaller(const std::wstring& name) {
    using tolvane::testing::appendTestLog;
    if (environment(L"STANDIN_INSTALLER_ENDS_SESSION") == L"1") endTheSession();
    if (name == L"install_flash_player.exe" && !environment(L"STANDIN_INSTALLER_HANDS_OVER").empty())
        return static_cast<int>(handOver());
    if (name == L"tolvane-setup.exe") ::Sleep(2000);
    std::wstring writes = environment(L"STANDIN_INSTALLER_WRITES");
    std::wstring copies = environment(L"STANDIN_INSTALLER_COPIES");
    if (!writes.empty() && !copies.empty()) {
        ::CopyFileW(copies.c_str(), writes.c_str(), FALSE);
        appendTestLog(name + L" wrote " + writes);
    } else if (!writes.empty()) {
        HANDLE file = ::CreateFileW(writes.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            const char content[] = "the installer's own control";
            DWORD written = 0;
            ::WriteFile(file, content, sizeof content - 1, &written, nullptr);
            ::CloseHandle(file);
        }
        appendTestLog(name + L" wrote " + writes);
    }
    if (environment(L"STANDIN_BROADCAST") == L"1") {
        UINT message = ::RegisterWindowMessageW(L"TolvaneTestBroadcast");
        appendTestLog(L"install_flash_player.exe broadcast sent");
        ::SendMessageW(HWND_BROADCAST, message, 0, 0);
        appendTestLog(L"install_flash_player.exe broadcast answered");
    }
    std::wstring starts = environment(L"STANDIN_INSTALLER_STARTS");
    if (!starts.empty()) {
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, L"TolvaneTestHolderReady");
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        if (::CreateProcessW(nullptr, &starts[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
            ::WaitForSingleObject(ready, 10000);
            ::CloseHandle(started.hThread);
            ::CloseHandle(started.hProcess);
        }
        ::CloseHandle(ready);
    }
    std::wstring ms = environment(L"STANDIN_INSTALLER_MS");
    if (!ms.empty()) ::Sleep(static_cast<DWORD>(std::stoul(ms)));
    const std::wstring exitCode = environment(L"STANDIN_INSTALLER_EXIT");
    return exitCode.empty() ? 0 : std::stoi(exitCode);
}

bool inSystemFolder() {
    wchar_t self[MAX_PATH], system[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ::GetSystemDirectoryW(system, MAX_PATH);
    std::wstring folder(self);
    folder.erase(folder.find_last_of(L'\\'));
    return ::lstrcmpiW(folder.c_str(), system) == 0;
}

int registerAsTheToolWould(const std::wstring& commandLine) {
    using tolvane::testing::appendTestLog;
    std::wstring::size_type open = commandLine.find(L'"');
    std::wstring::size_type close = open == std::wstring::npos ? open : commandLine.find(L'"', open + 1);
    if (close == std::wstring::npos) return 1;
    std::wstring control = commandLine.substr(open + 1, close - open - 1);
    bool unregister = commandLine.find(L" /u", close) != std::wstring::npos;
    HMODULE module = ::LoadLibraryW(control.c_str());
    if (module == nullptr) {
        appendTestLog(L"spy regsvr32 could not load " + control + L": error " + std::to_wstring(::GetLastError()));
        return 3;
    }
    using Entry = HRESULT(WINAPI*)();
    auto entry = reinterpret_cast<Entry>(
        ::GetProcAddress(module, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
    int code = entry == nullptr ? 4 : FAILED(entry()) ? 5 : 0;
    ::FreeLibrary(module);
    return code;
}

int runRegistrationSpy(const std::wstring& commandLine, int show) {
    using tolvane::testing::appendTestLog;
    appendTestLog(L"spy regsvr32 start show=" + std::to_wstring(show) + L" cmd=" + commandLine);
    int code = registerAsTheToolWould(commandLine);
    appendTestLog(L"spy regsvr32 end code=" + std::to_wstring(code));
    return code;
}

int holdControl(const std::wstring& commandLine) {
    using tolvane::testing::appendTestLog;
    // The last argument, quoted or (without a space) not.
    const bool quoted = !commandLine.empty() && commandLine.back() == L'"';
    std::wstring::size_type open = quoted ? commandLine.rfind(L'"', commandLine.size() - 2) : commandLine.rfind(L' ');
    std::wstring control = commandLine.substr(open + 1, commandLine.size() - open - (quoted ? 2 : 1));
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, L"TolvaneTestReleaseHolders");
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, L"TolvaneTestHolderReady");
    // As scanner.exe, a virus scanner reading it: open, shared for reading only.
    const bool scanner = ownName() == L"scanner.exe";
    const bool held = scanner ? ::CreateFileW(control.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              0, nullptr) != INVALID_HANDLE_VALUE
                              : ::LoadLibraryW(control.c_str()) != nullptr;
    appendTestLog(ownName() + (held ? L" holds " : L" could not load ") + control);
    ::SetEvent(ready);
    ::WaitForSingleObject(release, 120000);
    appendTestLog(ownName() + L" end");
    return held ? 0 : 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using tolvane::testing::appendTestLog;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

    const std::wstring name = ownName();
    if (environment(L"STANDIN_LOG_PARENTS") == L"1") {
        const DWORD parent = parentOf(::GetCurrentProcessId());
        appendTestLog(name + L" parent=" + std::to_wstring(parent) + L" grandparent=" + std::to_wstring(parentOf(parent)));
    }
    if (name == L"holder.exe" || name == L"scanner.exe") return holdControl(::GetCommandLineW());
    if (name == L"regsvr32.exe" && inSystemFolder()) return runRegistrationSpy(::GetCommandLineW(), show);
    appendTestLog(name + L" start show=" + std::to_wstring(show) + L" cmd=" + ::GetCommandLineW());
    const int code = name == L"install_flash_player.exe" || name == L"tolvane-setup.exe" ? runInstaller(name) : 0;
    appendTestLog(name + L" end");
    return code;
}
