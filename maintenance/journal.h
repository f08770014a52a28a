// The record of a repair at work and the put-back: what the repair and the
// uninstall share. Every move is written into the record before it is made,
// so that a run cut off at any instant, or failed, is undone or finished
// from it; and nothing is deleted unless it is known, by the bytes read in
// this run, to be a copy of something that stays.
#pragma once

#include <string>
#include <vector>

#include "maintenance/medium_check.h"
#include "maintenance/registration.h"
#include "maintenance/run_context.h"
#include "probes/machine.h"

namespace tolvane {

// What the repair has changed so far, kept on the disk as the repair goes
// (Platform::writeRepairRecord): a run cut off half-way is completed from it
// by the next one. Paths are whole.
struct RepairRecord {
    std::wstring step;              // what the run was doing, for the log
    std::wstring usersControl;      // where the machine's own control is; empty: there was none
    bool ownControl = false;        // ...which an earlier repair put in place: not the user's
    std::wstring usersControlTo;    // where it is being renamed to, while that is under way
    std::wstring inf;               // swflash.inf, when the run moved it aside
    std::wstring replacedControl;   // what stood at the control path before the copy, kept aside
    std::wstring replacedTo;        // where that is being renamed back to, while that is under way
    std::wstring mediumCopy;        // the medium's copy, while it is being renamed to the control path
    bool mediumCopyInPlace = false; // the medium's copy stands at the control path
    std::wstring copySha256;        // ...whose SHA-256 is this
    std::wstring installerFolder;   // the folder the installer runs from, made by the run
    std::wstring installerFolderId; // ...whose identity (Platform::folderIdentity) is this
    bool finished = false;          // the repair went through: nothing is to be put back
    std::vector<std::wstring> discards;  // files of the run's own, put aside to be deleted
    // An older backup, kept aside: not known to be a copy of a control that stays.
    std::wstring keptBackup;

    // The record's lines, each ended by a line feed.
    std::wstring text() const;
    // Raises a Failure for a record this program did not write.
    static RepairRecord parse(const std::wstring& text);
};

// The failure for a record of a repair that cannot be acted on.
Failure unreadableRecord(const std::wstring& why);

// The path with its last three characters replaced: flash.ocx -> flash.bkp.
std::wstring backupPath(const std::wstring& path);

// Renames `from` to `to`. A rename that reports a failure may have gone
// through all the same (a flush that failed after it): what the disk shows
// then decides.
void moveFile(Platform& platform, const std::wstring& from, const std::wstring& to);

// The SHA-256 a mark names; empty for another text.
std::wstring markedSha256(const std::wstring& mark);

// The lock of the one repair on the machine, whatever session or instance
// runs it: a file in the Windows folder, where only administrators write.
inline constexpr wchar_t machineRepairLock[] = L"\\Tolvane.lock";
// The folders the installer runs from, in the Windows folder, each with a
// random part: C:\WINDOWS\Temp\Tolvane.3f9c0a1d2b7e4c65.
inline constexpr wchar_t installerFolders[] = L"\\Temp\\Tolvane";

class Journal {
public:
    Journal(RunContext& run, Machine& machine, Registration& registration, MediumCheck& medium)
        : run_(run), platform_(run.platform), machine_(machine), registration_(registration), medium_(medium) {}

    // The lock of the one repair on the machine; false when another holds it.
    bool claimMachineLock();
    // The record on the disk follows `record` (while `recording`).
    void saveRecord();
    // Records which step the run is at (plain ASCII, for the log).
    void beginStep(const char* step);
    // Raises when the record names a file or folder that is not one this
    // program makes: it acts on nothing else.
    void checkRecordNames(const RepairRecord& record);
    // ...or when a file stands there.
    bool taken(const std::wstring& path);
    // A name beside `path` for a file of the run's own that is not taken:
    // flash.ocx -> flash.ocx.1.new.
    std::wstring freeOwnName(const std::wstring& path, const wchar_t* suffix);
    // Deletes one of our own files (an old backup, a control about to be
    // replaced), read-only or not: it is renamed aside first (see
    // renameAside), so that its name is free at once even where another
    // program holds the file, then deleted (see discard).
    void removeOwnFile(const std::wstring& path);
    // Renames the file to a free name in its folder (flash.ocx ->
    // flash.ocx.1.old) and returns that name. Raises when it cannot.
    // The name goes into the record first: as `replaced`, or to be discarded.
    std::wstring renameAside(const std::wstring& path, std::wstring* replaced = nullptr);
    // Deletes a file that was renamed aside; one that another program holds
    // is deleted by Windows at the next restart instead. Never raises.
    void discard(const std::wstring& aside) noexcept;
    // The run's own files put aside to be deleted, and its installer's
    // folder: deleted (or at the next restart). Never raises.
    void discardOwnFiles() noexcept;
    // What a repair that went through replaced: the installer's control, and
    // the control an earlier repair had put in place, when its bytes read as
    // a disc's. Never raises; what is in doubt is left, and `doubt` says why.
    void discardReplaced() noexcept;
    // An older backup, after a repair: deleted when it, or the backup now,
    // is a copy of a control that stays (then the older one takes its
    // name); else both stay. Raises where that cannot be told.
    void settleKeptBackup();
    // That folder removed, and no more in the record: only when this run
    // made it, or it is the very folder the record names (its identity); a
    // folder in doubt is left and logged. Never raises.
    void removeInstallerFolder() noexcept;
    // After a failure that stopped the run half-way, or at the end of the
    // session: the best control the machine had back at the control path
    // and registered. That is the user's own control from the backup, else
    // the one that stood there before the copy (the installer's); whatever
    // else stands at the control path goes first. Says in one line what was
    // done, or where the user's control is when that could not be finished;
    // never raises.
    std::wstring putBackInstalledControl(DWORD registrationLimitMs = registrationTimeLimitMs) noexcept;
    // The file's bytes, read now, are a disc's control: this medium's, the
    // copy this run put in place, or the one the mark names. False when that
    // cannot be told.
    bool discsControl(const std::wstring& path) noexcept;
    // The same, but raises when that cannot be told.
    bool readsAsDiscs(const std::wstring& path);
    // The same for bytes whose SHA-256 is `sha256`.
    bool isDiscs(const std::wstring& sha256);
    // The file's bytes, read now, are a disc's control or the same as
    // `other`'s, which stays: it may go. False when that cannot be told.
    bool knownCopy(const std::wstring& path, const std::wstring& other) noexcept;
    // After a step failed: the lead from what the put-back did, and, for a
    // file that another program holds, which program to close.
    void leadAfterPutBack(const Failure& failure);

    // What the run has moved, for putting it back; on the disk while `recording`.
    RepairRecord record;
    bool recording = false;
    // What the last put-back did: moved a control back; could not finish.
    bool putBackMoved = false;
    bool putBackFailed = false;
    // Why a file the run would tidy away is in doubt: the record then stays.
    std::wstring doubt;
    // The folder this run made for the installer; empty when none.
    std::wstring installerFolderMade;

private:
    // True when the record names `path`: no new name of the run's may be one.
    bool listed(const std::wstring& path) const;
    // Where the user's control is by the record: where it was, or where it
    // was being renamed to; empty when the machine had none (or it is gone).
    std::wstring usersControlNow();
    // The same for the control the installer put in place, kept aside.
    std::wstring replacedControlNow();
    // swflash.inf back where the run found it; what stays aside, if anything.
    std::wstring putInfBack() noexcept;

    RunContext& run_;
    Platform& platform_;
    Machine& machine_;
    Registration& registration_;
    MediumCheck& medium_;
};

}  // namespace tolvane
