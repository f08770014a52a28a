// The run's log, kept by listening to the platform: every call that
// changed the machine, or that the log reports, is written down with its
// result once it is over, so that the steps themselves know nothing of the
// log. A failure is written once, where the run reports it or drops it
// (Platform::noteDropped), not on its way.
#pragma once

#include "platform/platform.h"
#include "platform/platform_listener.h"
#include "platform/run_log.h"
#include "platform/small_map.h"

namespace tolvane {

class RunRecorder final : public PlatformListener {
public:
    // The lines that describe the machine at the head of the log.
    using MachineDescription = std::vector<std::wstring> (*)(Platform& platform);

    // `platform` is asked only for the facts at the head of the log, unsaid.
    RunRecorder(Platform& platform, RunLog& log, MachineDescription describeMachine = nullptr)
        : platform_(platform), log_(log), describeMachine_(describeMachine) {}

    void claimedSingleRun(const std::wstring& name, bool claimed) override;
    void claimedRepairLock(const std::wstring& name, bool claimed) override;
    void toldAdministrator(bool administrator) override;
    void toldElevated(bool elevated) override;
    void started(const StartedProcess& process, const std::wstring& commandLine,
                 const std::wstring& application) override;
    void startedElevated(const StartedProcess& process) override;
    void startedChecked(const std::wstring& application) override;
    void tracking(const std::wstring& currentFolder, const std::wstring& temporaryFolder,
                  const std::wstring& how) override;
    void foundTracked(const std::vector<RunningProcess>& running) override;
    void endedTracked() override;
    void waiting(HANDLE handle, DWORD milliseconds) override;
    void waited(HANDLE handle, DWORD result, DWORD error, const DWORD* exitCode) override;
    void closed(HANDLE handle) override;
    void terminated(HANDLE process, bool ended, DWORD error) override;
    void currentFolderIs(const std::wstring& folder) override;
    void looked(const std::wstring& path, bool exists) override;
    void deleted(const std::wstring& path) override;
    void renamed(const std::wstring& from, const std::wstring& to, bool inOneStep) override;
    void copied(const std::wstring& source, const std::wstring& destination, const FileDigest& digest,
                bool held) override;
    void digested(const std::wstring& path, const FileDigest& digest) override;
    void madeWritable(const std::wstring& path) override;
    void foundLoaded(const std::wstring& path) override;
    void foundHolders(const std::wstring& path, const std::vector<std::wstring>& names) override;
    void deletesAtRestart(const std::wstring& path) override;
    void madeAdministratorsFolder(const std::wstring& path, bool made) override;
    void removedFolder(const std::wstring& path, bool gone) override;
    void showing(const std::wstring& text, const std::wstring& title) override;
    void shown(const std::wstring& title) override;
    void windowShown(bool visible) override;
    void ending(int exitCode) override;
    void noted(const std::wstring& line) override { say(line); }
    std::wstring logFile() override { return log_.path(); }

private:
    // A program the run started: its name and when it started.
    struct Started {
        std::wstring program;
        DWORD startedAt;
    };
    // Writes the line. The log itself never raises; only making the line
    // can (out of memory), and that is the run's.
    void say(const std::wstring& line);
    // A handle the run may wait on, opened with the right to read the exit
    // code (the platform opens every such handle so).
    void watch(const StartedProcess& process) noexcept;
    void noteStarted(std::uint32_t id, const std::wstring& program, const std::wstring& commandLine);
    // This run owns the log: the header, then what was kept so far.
    void beginLog() noexcept;
    std::wstring describe(std::uint32_t id) const;

    Platform& platform_;
    RunLog& log_;
    MachineDescription describeMachine_;
    bool describing_ = false;  // the header is being made: what the platform does for it goes unsaid
    SmallMap<std::uint32_t, Started> started_;
    SmallMap<HANDLE, std::uint32_t> watched_;  // the handles the run may wait on, with their process ids
};

}  // namespace tolvane
