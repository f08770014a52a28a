// The floor for the benchmark: the same system work as Tolvane.exe, in the
// same order, done as plainly as Windows allows and with nothing else:
// unregister the installed control (waited for), move it aside, run the
// medium's installer (waited for), copy the medium's control in place,
// register it (waited for), start the menu. No window, no checks, no log.
// Built a second time with FLOOR_WITH_WINDOW: the same after creating a
// hidden window, which under Wine alone costs a good part of a start-up.
// From Windows Vista on, as Tolvane.exe, the repair runs in a second
// instance started with "runas" (waited for), and the first starts the menu.
#include <windows.h>
#include <shellapi.h>

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
    const std::wstring installer = folder + L"\\data\\install_flash_player.exe";
    const std::wstring menu = folder + L"\\data\\menu.exe";

    if (!elevating) {
        runAndWait(tool, L"regsvr32 \"" + control + L"\" /u /s", SW_SHOWMINIMIZED);
        ::DeleteFileW(backup.c_str());
        ::MoveFileW(control.c_str(), backup.c_str());
        runAndWait(installer, L"\"" + installer + L"\"", SW_SHOWNORMAL);
        ::CopyFileW((folder + L"\\data\\Flash.ocx").c_str(), control.c_str(), FALSE);
        runAndWait(tool, L"regsvr32 \"" + control + L"\" /s", SW_SHOWMINIMIZED);
    }
    if (repairOnly) return 0;
    HANDLE started = start(menu, L"\"" + menu + L"\"", SW_SHOWNORMAL);
    if (started == nullptr) return 1;
    ::CloseHandle(started);
    return 0;
}
