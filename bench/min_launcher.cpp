// The floor for the benchmark: the least a launcher can do. Starts the
// medium's installer, waits for it, starts the menu, ends.
#include <windows.h>

#include <string>

namespace {

HANDLE start(const std::wstring& path) {
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
        return nullptr;
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self);
    folder.erase(folder.find_last_of(L'\\'));

    if (HANDLE installer = start(folder + L"\\data\\install_flash_player.exe")) {
        ::WaitForSingleObject(installer, INFINITE);
        ::CloseHandle(installer);
    }
    HANDLE menu = start(folder + L"\\data\\menu.exe");
    if (menu == nullptr) return 1;
    ::CloseHandle(menu);
    return 0;
}
