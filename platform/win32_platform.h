// The platform on Windows itself.
#pragma once

#include <vector>

#include "platform/platform.h"
#include "platform/platform_listener.h"
#include "platform/process_tree.h"
#include "platform/unique_handle.h"

namespace tolvane {

// A function that this Windows may lack, or null.
template <typename Function>
Function libraryFunction(HMODULE library, const char* name) {
    FARPROC found = library == nullptr ? nullptr : ::GetProcAddress(library, name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

// The same from kernel32.
template <typename Function>
Function optionalKernelFunction(const char* name) {
    return libraryFunction<Function>(::GetModuleHandleW(L"kernel32.dll"), name);
}

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
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;

    void restrictDllSearch() override;
    bool claimSingleRun(const std::wstring& name) override;
    bool claimRepairLock(const std::wstring& name) override;
    bool isAdministrator() override;
    bool runsAsSystem() override { return systemAccount(); }
    StartedProcess launchElevatedRepair(const std::wstring& parameters) override;
    bool isElevated() override;
    bool hasVisibleDesktop() override;
    void createMainWindow(const std::wstring& caption) override;
    std::wstring programFolder() override;
    std::uint32_t launchProgram(const std::wstring& commandLine, int windowStyle,
                                const std::wstring& application = std::wstring()) override;
    std::uint32_t launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                       const std::wstring& application) override;
    bool readyCheckedProgram(const std::wstring& commandLine, int windowStyle,
                             const std::wstring& application) override;
    StartedProcess launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                        const std::wstring& application, const std::wstring& currentFolder) override;
    void setCurrentFolder(const std::wstring& folder) override;
    std::wstring mediumRecord() override;
    FileDigest digestFile(const std::wstring& path, bool hold) override;
    std::vector<std::wstring> folderEntries(const std::wstring& folder) override;
    TrackedStart launchTrackedProgram(const std::wstring& commandLine, int windowStyle,
                                      const std::wstring& application, const std::wstring& currentFolder = std::wstring(),
                                      const std::wstring& temporaryFolder = std::wstring()) override;
    std::vector<RunningProcess> trackedProcesses() override;
    std::wstring temporaryFolder() override;
    bool fileExists(const std::wstring& path) override;
    void deleteFile(const std::wstring& path) override;
    void renameFile(const std::wstring& oldPath, const std::wstring& newPath) override;
    FileDigest copyFile(const std::wstring& source, const std::wstring& destination) override;
    LANGID userLanguage() override { return ::GetUserDefaultUILanguage(); }
    FileDigest copyAndDigest(const std::wstring& source, const std::wstring& destination) override;
    void replaceFile(const std::wstring& from, const std::wstring& to) override;
    void clearReadOnly(const std::wstring& path) override;
    bool isLoaded(const std::wstring& path) override;
    std::vector<std::wstring> holdersOf(const std::wstring& path) override;
    DWORD tickCount() override;
    std::wstring localDateTime() override;
    void deleteAtRestart(const std::wstring& path) override;
    DWORD volumeFlags(const std::wstring& path) override;
    bool makeAdministratorsFolder(const std::wstring& path) override;
    std::wstring folderIdentity(const std::wstring& path) override;
    std::wstring randomHex() override;
    bool removeFolder(const std::wstring& path) noexcept override;
    bool readRegistryValue(const wchar_t* name, DWORD type, RegistryValue& value) override;
    void writeRegistryValue(const wchar_t* name, const RegistryValue& value) override;
    void deleteRegistryValue(const wchar_t* name) override;
    void deleteRegistryKey() override;
    void endTrackedProcesses() noexcept override;
    bool sendToInstance(DWORD process, ULONG_PTR kind, const void* data, std::size_t size) noexcept override;
    void listenForData(DataListener& listener) override { dataListener_ = &listener; }
    DWORD waitForProcessOrMessages(HANDLE process) override;
    DWORD processId() override { return ::GetCurrentProcessId(); }
    void guardSessionEnd(const std::wstring& reason, SessionEndListener& listener) override;
    void releaseSessionEnd() override;
    void showMessageBox(const std::wstring& text, int style, const std::wstring& title) override;
    void processPendingEvents() override;
    void setWindowVisible(bool visible) override;
    void endProgram(int exitCode = 0) override;

    void note(const std::wstring& line) override { tell(&PlatformListener::noted, line); }
    std::wstring logFile() override { return listener_ == nullptr ? std::wstring() : listener_->logFile(); }
    // Who is told what the platform did from now on: the run's log.
    void listen(PlatformListener& listener) { listener_ = &listener; }

    // The user's temporary folder (GetTempPath) in its long form, without a
    // trailing backslash but at a drive root. Raises when Windows cannot
    // give it.
    static std::wstring userTemporaryFolder();

    // The access list of what only administrators may open, in the
    // security descriptor language; tests read the descriptor built from it.
    static constexpr wchar_t administratorsOnly[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

    // For the head of the run's log: the command line; the user, the
    // computer and the rights the run has.
    static std::vector<std::wstring> describeRun();
    // The program runs as SYSTEM (a deployment tool, a startup script).
    static bool systemAccount();
    // Makes a folder with the access list administratorsOnly; false when
    // something stands at `path` already. Raises when it cannot be made.
    static bool createAdministratorsFolder(const std::wstring& path);

    // Off only in tests: tracks by parent process ids as where Windows cannot
    // put the started program in a job of ours.
    bool useJobObjects = true;

    // The program file of a process, as a drive path: QueryFullProcessImageNameW
    // where kernel32 has it (Vista on), else programFileByPsapi. Raises when
    // it cannot be read.
    static std::wstring programFileOf(HANDLE process);
    // The Windows XP way: GetProcessImageFileNameW from the system folder's
    // psapi.dll, loaded at run time, its device path turned into a drive path.
    static std::wstring programFileByPsapi(HANDLE process);

private:
    static bool elevatedToken();
    std::vector<std::uint32_t> familyByParents();
    // The processes trackedProcesses finds, unsaid.
    std::vector<RunningProcess> findTracked();
    // Whether the token holds the NT authority's SID with these RIDs;
    // `unknown` where that cannot be told.
    static bool tokenHas(BYTE count, DWORD first, DWORD second, bool unknown);

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    // A started program: its process and first thread, owned.
    struct Started {
        UniqueHandle process;
        UniqueHandle thread;
        std::uint32_t id = 0;
    };
    Started start(const std::wstring& commandLine, int windowStyle, const std::wstring& application,
                  DWORD flags = 0, const wchar_t* currentFolder = nullptr, const std::wstring& temporaryFolder = std::wstring(),
                  DWORD startupFlags = 0);
    // Started suspended and checked (see launchCheckedProgram); ended and
    // raised when it is not the file held since the check.
    Started startChecked(const std::wstring& commandLine, int windowStyle, const std::wstring& application,
                         DWORD startupFlags = 0);

    HINSTANCE instance_;
    HWND window_ = nullptr;
    UniqueHandle runLock_;     // held until the process ends
    UniqueFileHandle repairLock_;  // the same
    // The tracked program: its job, or (without one) its id and the
    // creation times of the processes found to be its so far.
    UniqueHandle job_;
    std::uint32_t trackedId_ = 0;
    ProcessFamily family_;
    // While the repair has the control out of place: who is told when the
    // session ends, and whether the end is held up (Vista on).
    SessionEndListener* sessionListener_ = nullptr;
    bool holdingSessionEnd_ = false;
    // Who hears what another process hands the main window (WM_COPYDATA).
    DataListener* dataListener_ = nullptr;
    PlatformListener* listener_ = nullptr;
    // The listener told, where there is one (the log keeps the thread's last error).
    template <typename Hook, typename... Arguments>
    void tell(Hook hook, const Arguments&... arguments) {
        if (listener_ != nullptr) (listener_->*hook)(arguments...);
    }
    // The checked files (the medium's, the installer's copy), until the
    // process ends or their folder is removed.
    struct HeldFile {
        std::wstring path;
        UniqueFileHandle handle;
    };
    std::vector<HeldFile> heldFiles_;
    // A checked program that waits, suspended, in a job that ends it with
    // this process (see readyCheckedProgram).
    struct ReadyProgram {
        Started program;
        UniqueHandle job;
        std::wstring commandLine;
    };
    ReadyProgram ready_;
};

}  // namespace tolvane
