// The run's log, kept by a layer around the real platform: every operation
// the steps ask for is passed on unchanged and written down with its result,
// so the steps themselves know nothing of the log. A failure is written
// once, where the run reports it or drops it (Platform::noteDropped), not
// on its way.
#pragma once

#include "maintenance/instance_channel.h"
#include "platform/small_map.h"

#include "platform/platform.h"
#include "platform/run_log.h"

namespace tolvane {

class RecordingPlatform : public Platform {
public:
    // The lines that describe the machine at the head of the log.
    using MachineDescription = std::vector<std::wstring> (*)(Platform& platform);

    RecordingPlatform(Platform& inner, RunLog& log, MachineDescription describeMachine = nullptr)
        : inner_(inner), log_(log), describeMachine_(describeMachine) {}

    UINT GetSystemDirectoryA(LPSTR buffer, UINT size) override { return inner_.GetSystemDirectoryA(buffer, size); }
    UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) override { return inner_.GetWindowsDirectoryA(buffer, size); }
    BOOL GetVersionExA(OSVERSIONINFOA* info) override { return inner_.GetVersionExA(info); }
    HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override {
        return inner_.OpenProcess(access, inherit, processId);
    }
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) override {
        return inner_.GetExitCodeProcess(process, exitCode);
    }
    DWORD GetLastError() override { return inner_.GetLastError(); }
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;

    void restrictDllSearch() override;
    bool claimSingleRun(const std::wstring& name) override;
    bool claimRepairLock(const std::wstring& name) override;
    bool isAdministrator() override;
    bool runsAsSystem() override { return inner_.runsAsSystem(); }
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
    LANGID userLanguage() override { return inner_.userLanguage(); }
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
    bool readRegistryValue(const wchar_t* name, DWORD type, RegistryValue& value) override {
        return inner_.readRegistryValue(name, type, value);
    }
    void writeRegistryValue(const wchar_t* name, const RegistryValue& value) override {
        inner_.writeRegistryValue(name, value);
    }
    void deleteRegistryValue(const wchar_t* name) override { inner_.deleteRegistryValue(name); }
    void deleteRegistryKey() override { inner_.deleteRegistryKey(); }
    void endTrackedProcesses() noexcept override;
    bool sendToInstance(DWORD process, ULONG_PTR kind, const void* data, std::size_t size) noexcept override {
        return inner_.sendToInstance(process, kind, data, size);
    }
    void listenForData(DataListener& listener) override { inner_.listenForData(listener); }
    DWORD waitForProcessOrMessages(HANDLE process) override { return inner_.waitForProcessOrMessages(process); }
    DWORD processId() override { return inner_.processId(); }
    void guardSessionEnd(const std::wstring& reason, SessionEndListener& listener) override {
        inner_.guardSessionEnd(reason, listener);
    }
    void releaseSessionEnd() override { inner_.releaseSessionEnd(); }
    void showMessageBox(const std::wstring& text, int style, const std::wstring& title) override;
    void processPendingEvents() override { inner_.processPendingEvents(); }
    void setWindowVisible(bool visible) override;
    void endProgram(int exitCode = 0) override;
    void note(const std::wstring& line) override;
    std::wstring logFile() override { return log_.path(); }

    // The log's last line: the exit code the program ends with.
    void ended(int exitCode) noexcept;

private:
    // A program the run started: its name and when it started.
    struct Started {
        std::wstring program;
        DWORD startedAt;
    };
    // Writes the line that `text()` makes. The log itself never raises;
    // only making the line can (out of memory), and that is the run's.
    template <typename Text>
    void say(Text text) {
        log_.add(text());
    }
    void started(std::uint32_t id, const std::wstring& commandLine, const std::wstring& application) noexcept;
    // A handle the run may wait on, opened with the right to read the exit
    // code (the platform opens every such handle so).
    void watch(const StartedProcess& process) noexcept;
    // This run owns the log: the header, then what was kept so far.
    void beginLog() noexcept;
    std::wstring describe(std::uint32_t id) const;

    Platform& inner_;
    RunLog& log_;
    MachineDescription describeMachine_;
    SmallMap<std::uint32_t, Started> started_;
    SmallMap<HANDLE, std::uint32_t> watched_;  // the handles the run may wait on, with their process ids
};

}  // namespace tolvane
