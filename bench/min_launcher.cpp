// The floor for the benchmark: the same system work as Tolvane.exe, in the
// same order, done as plainly as Windows allows and with nothing else:
// copy the medium's installer into a fresh folder, hashing it with SHA-256
// as it is written, unregister the installed control (waited for), move it
// aside, run the installer's copy (waited for), copy the medium's control
// in place, register it (waited for), write one registry value, start the
// menu, then remove the installer's copy. No window, no checks, no log.
// Built a second time with FLOOR_WITH_WINDOW: the same after creating a
// hidden window, which under Wine alone costs a good part of a start-up.
// From Windows Vista on, as Tolvane.exe, the repair runs in a second
// instance started with "runas" (waited for), and the first starts the menu.
#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)  // XP SP3 on; the headers for XP lack it
#endif

#include <string>

namespace {

HANDLE start(const std::wstring& application, std::wstring commandLine, WORD show) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = show;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process))
        return nullptr;
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

void waitAndClose(HANDLE process) {
    ::WaitForSingleObject(process, INFINITE);
    ::CloseHandle(process);
}

void runAndWait(const std::wstring& application, const std::wstring& commandLine, WORD show) {
    if (HANDLE process = start(application, commandLine, show)) waitAndClose(process);
}

// `source` copied to `destination` in one pass, hashed with SHA-256 as it is
// written (the digest itself is not looked at).
void copyAndHash(const std::wstring& source, const std::wstring& destination) {
    HANDLE from = ::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE to = ::CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    ::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    ::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    static char buffer[1 << 16];
    DWORD read = 0, written = 0;
    while (::ReadFile(from, buffer, sizeof buffer, &read, nullptr) && read != 0) {
        ::WriteFile(to, buffer, read, &written, nullptr);
        ::CryptHashData(hash, reinterpret_cast<const BYTE*>(buffer), read, 0);
    }
    BYTE digest[32];
    DWORD size = sizeof digest;
    ::CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    ::CryptDestroyHash(hash);
    ::CryptReleaseContext(provider, 0);
    ::FlushFileBuffers(to);
    ::CloseHandle(to);
    ::CloseHandle(from);
}

bool vistaOrLater() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return ::GetVersionExW(&version) && version.dwMajorVersion >= 6;
}

// This program again, as administrator, with the switch "/repair".
HANDLE startElevated(const wchar_t* self) {
    using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    HMODULE shell = ::LoadLibraryW((std::wstring(system) + L"\\shell32.dll").c_str());
    auto shellExecute = reinterpret_cast<ShellExecuteExFn>(
        reinterpret_cast<void*>(shell == nullptr ? nullptr : ::GetProcAddress(shell, "ShellExecuteExW")));
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"runas";
    execute.lpFile = self;
    execute.lpParameters = L"/repair";
    execute.nShow = SW_HIDE;
    return shellExecute != nullptr && shellExecute(&execute) ? execute.hProcess : nullptr;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifdef FLOOR_WITH_WINDOW
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"Floor";
    ::RegisterClassW(&windowClass);
    ::CreateWindowW(L"Floor", L"Floor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 240, nullptr, nullptr,
                    instance, nullptr);
#else
    (void)instance;
#endif
    wchar_t buffer[MAX_PATH];
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const bool repairOnly = ::wcsstr(::GetCommandLineW(), L" /repair") != nullptr;
    const bool elevating = !repairOnly && vistaOrLater();
    HANDLE elevated = elevating ? startElevated(buffer) : nullptr;
    if (elevated != nullptr) waitAndClose(elevated);
    std::wstring folder(buffer);
    folder.erase(folder.find_last_of(L'\\'));
    ::GetSystemDirectoryW(buffer, MAX_PATH);
    const std::wstring system(buffer);
    const std::wstring tool = system + L"\\regsvr32.exe";
    const std::wstring control = system + L"\\Macromed\\Flash\\flash.ocx";
    const std::wstring backup = system + L"\\Macromed\\Flash\\flash.bkp";
    const std::wstring menu = folder + L"\\data\\menu.exe";
    ::GetWindowsDirectoryW(buffer, MAX_PATH);
    const std::wstring copies = std::wstring(buffer) + L"\\Temp\\Floor." + std::to_wstring(::GetTickCount());
    const std::wstring installer = copies + L"\\install_flash_player.exe";

    if (!elevating) {
        ::CreateDirectoryW(copies.c_str(), nullptr);
        copyAndHash(folder + L"\\data\\install_flash_player.exe", installer);
        runAndWait(tool, L"regsvr32 \"" + control + L"\" /u /s", SW_SHOWMINIMIZED);
        ::DeleteFileW(backup.c_str());
        ::MoveFileW(control.c_str(), backup.c_str());
        runAndWait(installer, L"\"" + installer + L"\"", SW_SHOWNORMAL);
        ::CopyFileW((folder + L"\\data\\Flash.ocx").c_str(), control.c_str(), FALSE);
        runAndWait(tool, L"regsvr32 \"" + control + L"\" /s", SW_SHOWMINIMIZED);
        HKEY key = nullptr;
        const wchar_t mark[] = L"installed\0";
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TolvaneFloor", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr) == ERROR_SUCCESS) {
            ::RegSetValueExW(key, L"Installed", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(mark), sizeof mark);
            ::RegCloseKey(key);
        }
    }
    if (!repairOnly) {
        HANDLE started = start(menu, L"\"" + menu + L"\"", SW_SHOWNORMAL);
        if (started == nullptr) return 1;
        ::CloseHandle(started);
    }
    if (!elevating) {
        ::DeleteFileW(installer.c_str());
        ::RemoveDirectoryW(copies.c_str());
    }
    return 0;
}
