// Who is told what the platform did: the run's log. The platform tells it
// every call that changed the machine, or that the log reports, with its
// result, once the call is over; the listener only listens: it changes
// nothing, and the thread's last error is the call's afterwards. Only
// making a line may raise (out of memory), and claimedSingleRun.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace tolvane {

struct StartedProcess;
struct FileDigest;
struct RunningProcess;

class PlatformListener {
public:
    // The single-run lock, held or not. Raises where the log asked for
    // (/log FILE) cannot be made: nothing was done yet.
    virtual void claimedSingleRun(const std::wstring& name, bool claimed) = 0;
    virtual void claimedRepairLock(const std::wstring& name, bool claimed) = 0;
    virtual void toldAdministrator(bool administrator) = 0;
    virtual void toldElevated(bool elevated) = 0;

    // A program started; with a handle, one the run may wait on. The
    // elevated repair is this program.
    virtual void started(const StartedProcess& process, const std::wstring& commandLine,
                         const std::wstring& application) = 0;
    virtual void startedElevated(const StartedProcess& process) = 0;
    // ...it is the checked file; ...where it runs and how what it starts is followed.
    virtual void startedChecked(const std::wstring& application) = 0;
    virtual void tracking(const std::wstring& currentFolder, const std::wstring& temporaryFolder,
                          const std::wstring& how) = 0;
    // The processes a tracked program started, found; all of them ended.
    virtual void foundTracked(const std::vector<RunningProcess>& running) = 0;
    virtual void endedTracked() = 0;
    // A wait about to begin (the lines said so far go first), and its result.
    virtual void waiting(HANDLE handle, DWORD milliseconds) = 0;
    virtual void waited(HANDLE handle, DWORD result, DWORD error, const DWORD* exitCode) = 0;
    virtual void closed(HANDLE handle) = 0;
    virtual void terminated(HANDLE process, bool ended, DWORD error) = 0;
    virtual void currentFolderIs(const std::wstring& folder) = 0;

    virtual void looked(const std::wstring& path, bool exists) = 0;
    virtual void deleted(const std::wstring& path) = 0;
    // ...in one step: replacing what stood at `to`.
    virtual void renamed(const std::wstring& from, const std::wstring& to, bool inOneStep) = 0;
    virtual void copied(const std::wstring& source, const std::wstring& destination, const FileDigest& digest,
                        bool held) = 0;
    virtual void digested(const std::wstring& path, const FileDigest& digest) = 0;
    virtual void madeWritable(const std::wstring& path) = 0;
    virtual void foundLoaded(const std::wstring& path) = 0;
    virtual void foundHolders(const std::wstring& path, const std::vector<std::wstring>& names) = 0;
    virtual void deletesAtRestart(const std::wstring& path) = 0;
    virtual void madeAdministratorsFolder(const std::wstring& path, bool made) = 0;
    virtual void removedFolder(const std::wstring& path, bool gone) = 0;

    // A box about to be shown (the lines said so far go first), and closed.
    virtual void showing(const std::wstring& text, const std::wstring& title) = 0;
    virtual void shown(const std::wstring& title) = 0;
    virtual void windowShown(bool visible) = 0;
    // The program is about to end with this exit code.
    virtual void ending(int exitCode) = 0;
    // A line of the run's own (see Platform::note).
    virtual void noted(const std::wstring& line) = 0;
    // The log file the run writes; empty when none.
    virtual std::wstring logFile() = 0;

protected:
    ~PlatformListener() = default;
};

}  // namespace tolvane
