// The platform on Windows itself.
#pragma once

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace tolvane {

// The window class of the program's main window; tests look for it.
inline constexpr wchar_t mainWindowClass[] = L"TolvaneMain";
// Resource id of the application icon.
inline constexpr int applicationIconId = 1;

class Win32Platform : public Platform {
public:
    explicit Win32Platform(HINSTANCE instance) : instance_(instance) {}
    ~Win32Platform() override;

    UINT GetSystemDirectoryA(LPSTR buffer, UINT size) override;
    UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) override;
    BOOL GetVersionExA(OSVERSIONINFOA* info) override;
    HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override;
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) override;
    DWORD GetLastError() override;

    void restrictDllSearch() override;
    bool claimSingleRun(const std::wstring& name) override;
    void createMainWindow(const std::wstring& caption) override;
    std::wstring programFolder() override;
    std::uint32_t launchProgram(const std::wstring& commandLine, int windowStyle,
                                const std::wstring& application = std::wstring()) override;
    StartedProcess launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                const std::wstring& application) override;
    bool fileExists(const std::wstring& path) override;
    void deleteFile(const std::wstring& path) override;
    void renameFile(const std::wstring& oldPath, const std::wstring& newPath) override;
    void copyFile(const std::wstring& source, const std::wstring& destination) override;
    void clearReadOnly(const std::wstring& path) override;
    void deleteAtRestart(const std::wstring& path) override;
    void showMessageBox(const std::wstring& text, int style, const std::wstring& title) override;
    void processPendingEvents() override;
    void setWindowVisible(bool visible) override;
    void endProgram() override;

private:
    // Starts the program; the caller owns both handles in the result.
    PROCESS_INFORMATION start(const std::wstring& commandLine, int windowStyle, const std::wstring& application);

    HINSTANCE instance_;
    HWND window_ = nullptr;
    UniqueHandle runLock_;  // held until the process ends
};

}  // namespace tolvane
