// The record of a repair at work and the put-back: what the repair, the
// uninstall and the recovery share.
//
// Its rules, and the functions that keep them:
//
// (1) Every move is written into the record before it is made, and judged
//     by what the disk shows after it, whatever Windows reported
//     (writeAhead, moveFile, renameAside, discard). A run cut off at any
//     instant, or failed, is undone from the record, its moves newest
//     first, or finished (putBackInstalledControl, Recovery::run).
// (2) The user's control (what stood at flash.ocx before a disc first ran,
//     or what the user installed since) always lies at flash.ocx, at
//     flash.bkp or under a name the record holds, and /restore brings back
//     the newest (Repair::renameFlashOCX, putBackInstalledControl). An
//     older one that stays beside flash.bkp stays in the record, and takes
//     the name back once flash.bkp is gone or proved the program's
//     (settleKeptBackup, olderBackups).
// (3) A control is the program's only when the mark names it or the record
//     says this run put it there (the medium's copy, what the installer
//     left): bytes alone never say so, as the user may have installed that
//     very build. In doubt it is the user's (isDiscs, placedByProgram,
//     Repair::installedByUs).
// (4) The mark names what is in place only once it is: it is written after
//     the registration and before the record says "finished", and a
//     put-back writes again the mark the run found (Repair::markInstalled,
//     restoreMark).
// (5) Nothing is deleted unless its bytes, read in this run, are a copy of
//     something that stays or the program's own by (3); so the control's
//     folder holds no more files of the program's once a run has tidied
//     up, whatever the number of discs (knownCopy, discardReplaced,
//     settleKeptBackup).
// (6) What cannot be read now never stops a run: it is listed in the record
//     for a later run, which settles it once it can (settleLeftovers).
// (7) The installer's folder is removed only when it is the very folder the
//     run made, by its identity, never by a name anyone can take
//     (removeInstallerFolder).
// (8) What is registered is what was checked: the medium's copy is read
//     again once the installer has ended (Repair::copyFlashOCX).
// (9) After a cut, what stands at flash.ocx and is not the program's by (3)
//     was put there since and stays. Where the cut came while the installer
//     ran, it may be the installer's: the next installer that writes the
//     same bytes tells (perhapsInstallers, installersAfterAll).
//
// The states of the record, and what moves it on:
//
//   none --Repair::run: beginRepair--> at work, a move at a time (writeAhead)
//   at work --markInstalled, finish--> finished (the checkpoint) --Repair::tidyUp--> none
//   at work --a failure: putBackInstalledControl, its moves undone newest first--> none
//   at work --a cut--> (the next start) Recovery::run, the same put-back --> none
//   finished --a cut--> (the next start) Recovery::run, tidied --> none
//   any --closeRecord, with what cannot be read yet (6) or older backups (2)--> finished, those only
//   none --Uninstall::run: beginRestore, the moves a repair leaves--> at work --putBackInstalledControl--> none
//
// And each move's: written ahead --the disk shows it--> done --written
// back (bringBack)--> undone, off the list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "maintenance/medium_check.h"
#include "maintenance/registration.h"
#include "maintenance/run_context.h"
#include "probes/machine.h"

namespace tolvane {

// One change a run makes on the machine, in the order made. It is written
// into the record before it is made (`ahead`: the disk tells whether it
// went through), confirmed once the disk shows it (`done`), and written
// again before it is undone (`back`: on its way from `to` to `from`).
struct Move {
    enum Kind : unsigned char {
        backupAside,    // an older backup `from`, kept aside at `to` for the newer one
        usersAside,     // the user's control (or the one the mark named) from the control path to `to`
        infAside,       // swflash.inf `from`, moved aside as its backup `to`
        folderMade,     // the installer's folder `to`, whose identity (Platform::folderIdentity) is `id`
        installerRan,   // the medium's installer; done: it ended, and left bytes with SHA-256 `id` at the control path
        ownFile,        // a file of the run's own at `to`, to be discarded
        replacedAside,  // what stood at the control path before the copy, moved aside to `to`
        copyPlaced,     // the medium's checked copy `from`, renamed to the control path `to`; its SHA-256 is `id`.
                        // back: it is not (or no more) in place
    };
    enum State : unsigned char { ahead, done, back };
    Kind kind;
    State state;
    std::wstring from, to, id;
};

// What the repair has changed so far, kept on the disk as the repair goes
// (RecordStore::writeRecord): what was known when the run began, and the
// moves it has made since, in order. A run cut off half-way is undone or
// finished from it by the next one. Paths are whole.
struct RepairRecord {
    std::wstring step;              // what the run was doing, for the log
    std::wstring control;           // where the user's control was when the run began (or a put-back
                                    // returned it); empty: there was none
    bool ownControl = false;        // ...which an earlier repair put in place: not the user's
    bool ownUnknown = false;        // ...which could not be read: it was taken for the user's
    // What stood at the control path after a run was cut off while its
    // installer ran: the user's newest control, or the installer's.
    std::wstring perhapsInstallers;
    // Older backups that earlier runs kept aside for a newer one and that
    // are not known to be a copy of a control that stays, oldest first: the
    // newest takes the backup's name back once it has none.
    std::vector<std::wstring> olderBackups;
    // What an earlier run left that could not be read then: "<SHA-256 or
    // folder identity>|<path>", settled by the next run that can read it.
    std::vector<std::wstring> leftovers;
    // The mark as it stood when the run began (empty: none), when that is
    // known: what a put-back writes again.
    bool markKnown = false;
    InstalledMark markBefore;
    std::vector<Move> moves;
    bool finished = false;  // the checkpoint: the repair went through, nothing is to be put back

    // A move added at `at` (at the end by default); its index.
    std::size_t add(Move::Kind kind, Move::State state, const std::wstring& from, const std::wstring& to,
                    const std::wstring& id = std::wstring(), std::size_t at = SIZE_MAX);
    // The move at `index` taken off the list; every move of that kind (that
    // names `to`, where it is given).
    void drop(std::size_t index) { moves.erase(moves.begin() + static_cast<std::ptrdiff_t>(index)); }
    void drop(Move::Kind kind, const std::wstring& to = std::wstring());
    std::size_t indexOf(const Move* move) const { return static_cast<std::size_t>(move - moves.data()); }
    // The newest move of that kind; null: none.
    Move* last(Move::Kind kind);
    const Move* last(Move::Kind kind) const { return const_cast<RepairRecord*>(this)->last(kind); }
    // Where the record says the user's control is (empty: there is none).
    std::wstring usersControl() const;
    // The medium's copy's SHA-256 (for /restore, the disc's control in place).
    std::wstring copySha256() const;
    // The folder the installer runs from, made by the run.
    std::wstring installerFolder() const;

    // The record's lines, each ended by a line feed.
    std::wstring text() const;
    // Raises a Failure for a record this program did not write; reads an
    // earlier build's record too.
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

// The lock of the one repair on the machine, whatever session or instance
// runs it: a file in the Windows folder, where only administrators write.
inline constexpr wchar_t machineRepairLock[] = L"\\Tolvane.lock";
// The folders the installer runs from, in the Windows folder, each with a
// random part: C:\WINDOWS\Temp\Tolvane.3f9c0a1d2b7e4c65.
inline constexpr wchar_t installerFolders[] = L"\\Temp\\Tolvane";

// What a put-back did: the line that says so for the log and the report,
// and what became of the machine.
struct PutBack {
    bool moved = false;    // a control was moved back in place
    bool finished = true;  // false: it could not finish (the line says where the user's control is)
    std::wstring line;
};

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
    // The units never edit the record: they ask for these moves, each
    // written into the record before it is made, and after it where that
    // changes what stands where.
    // A repair's record: what an earlier run left for a later one, the mark
    // as it stands (raises when it cannot be read), where the user's control
    // is, and whether the mark names it.
    void beginRepair(const std::wstring& control);
    // /restore's: the control from before the disc (empty: none), whether the
    // disc's control stands in place, the mark read (null: it could not be),
    // swflash.inf where it is to go back.
    void beginRestore(const std::wstring& usersControl, bool copyInPlace, const InstalledMark* mark,
                      const std::wstring& inf);
    // A cut-off run's record, to finish or undo.
    void takeOver(RepairRecord&& earlier);
    // The installer's folder, made, with its identity (see folderIdentity).
    void madeInstallerFolder(const std::wstring& folder);
    // The installer about to start; ended, with what it left at `control`.
    void installerStarts();
    void installerEnded(const std::wstring& control) noexcept;
    // swflash.inf moved aside as swflash.bkp.
    void moveInfAside(const std::wstring& inf);
    // An older backup moved aside to `aside`, as the kept backup with `kept`.
    void moveBackupAside(const std::wstring& backup, const std::wstring& aside, bool kept);
    // A file of the run's own listed before it is made; off the list; and
    // one listed since the record held `listed` moves discarded.
    void listOwnFile(const std::wstring& path);
    void unlistOwnFile(const std::wstring& path) noexcept {
        if (!path.empty()) record.drop(Move::ownFile, path);
    }
    std::size_t ownFilesListed() const { return record.moves.size(); }
    void discardListedSince(std::size_t listed) noexcept;
    // The medium's checked copy renamed over the control in one step.
    void placeMediumCopy(const std::wstring& copy, const std::wstring& sha256, const std::wstring& control);
    // The repair went through: nothing is to be put back.
    void finish();
    // The user's control (or the one the mark named) renamed from the
    // control path to `to`: where it goes is in the record before the
    // rename, where it is after it.
    void moveUsersControl(const std::wstring& from, const std::wstring& to);
    // Deletes one of our own files (an old backup, a control about to be
    // replaced), read-only or not: it is renamed aside first (see
    // renameAside), so that its name is free at once even where another
    // program holds the file, then deleted (see discard).
    void removeOwnFile(const std::wstring& path);
    // Renames the file to a free name in its folder (flash.ocx ->
    // flash.ocx.1.old) and returns that name. Raises when it cannot.
    // The move goes into the record first: what stood at the control path
    // moved aside (with `replacedControl`), or a file of the run's own.
    std::wstring renameAside(const std::wstring& path, bool replacedControl = false);
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
    // An older backup, after a repair: deleted when it is a copy of the
    // backup now; it takes the backup's name where there is none; else both
    // stay. Where that cannot be told, `doubt` says why. Never raises.
    void settleKeptBackup() noexcept;
    // What a repair that went through leaves, this run's or a cut-off one's:
    // what it replaced, its own files and folder, an older backup, the
    // leftovers. What cannot be told stays (`doubt`). Never raises.
    void tidyAfterRepair() noexcept;
    // What an earlier run left for a later one (see RepairRecord::leftovers)
    // settled where it can be read now; the rest stays listed. Never raises.
    void settleLeftovers() noexcept;
    // A record for a new run: only what an earlier one left for a later run
    // stays in it (and, with `keepPerhaps`, what the next installer tells).
    void freshRecord(bool keepPerhaps);
    // At the end of a run: the record cleared, or holding only what is left
    // for a later run.
    void closeRecord();
    // That folder removed, and no more in the record: only when this run
    // made it, or it is the very folder the record names (its identity); a
    // folder in doubt is left and logged. Never raises.
    void removeInstallerFolder() noexcept;
    // After a failure that stopped the run half-way, or at the end of the
    // session: the best control the machine had back at the control path
    // and registered. That is the user's own control from the backup, else
    // the one that stood there before the copy (the installer's); whatever
    // else stands at the control path goes first. Its line says what was
    // done, or where the user's control is when that could not be finished.
    PutBack putBackInstalledControl(DWORD registrationLimitMs = registrationTimeLimitMs) noexcept;
    // The file's bytes, read now, are a disc's control: the copy this run
    // put in place, or the one the mark names, now or when the run began.
    // Bytes alone never make a control the program's: the user may have
    // installed that very build. False when that cannot be told.
    bool discsControl(const std::wstring& path) noexcept;
    // The same, but raises when that cannot be told.
    bool readsAsDiscs(const std::wstring& path);
    // The same for bytes whose SHA-256 is `sha256`; the copy only with `copyCounts`.
    bool isDiscs(const std::wstring& sha256, bool copyCounts = true);
    // The file's bytes, read now, are the same as `other`'s, which stays:
    // it may go. False when that cannot be told.
    bool knownCopy(const std::wstring& path, const std::wstring& other) noexcept;
    // After a step failed: the lead from what the put-back did, and, for a
    // file that another program holds, which program to close.
    void leadAfterPutBack(const PutBack& putBack, const Failure& failure);

    // What the run has moved so far: the units read it, and ask for moves.
    const RepairRecord& state() const noexcept { return record; }
    // The record is still open on the disk: a put-back did not finish.
    bool recordOpen() const noexcept { return recording; }
    // A file the run would tidy away is in doubt: the record stays for a
    // later run.
    bool inDoubt() const noexcept { return !doubt.empty(); }

private:
    // What the run has moved, for putting it back; on the disk while `recording`.
    RepairRecord record;
    bool recording = false;
    // Why a file the run would tidy away is in doubt: the record then stays.
    std::wstring doubt;
    // The folder this run made for the installer; empty when none.
    std::wstring installerFolderMade;
    // The record is a run's that was cut off: what stands at the control
    // path may have been put there since.
    bool earlierRun = false;

    // True when the record names `path`: no new name of the run's may be one.
    bool listed(const std::wstring& path) const;
    // A move written into the record before it is made; its index.
    std::size_t writeAhead(Move::Kind kind, const std::wstring& from, const std::wstring& to,
                           const std::wstring& id = std::wstring());
    // A rename as a move: written ahead, made (moveFile), then confirmed.
    void renameWrittenAhead(Move::Kind kind, const std::wstring& from, const std::wstring& to);
    // Where the file a move names is now, by what the disk shows; empty
    // when it names none (or it is gone).
    std::wstring whereNow(const Move* move);
    // The file of that move, at `from` now, back at the control path: what
    // stands there goes aside first, and back should the rename fail.
    void bringBack(std::size_t index, const std::wstring& from, const std::wstring& control);
    // swflash.inf back where the run found it; what stays aside, if anything.
    std::wstring putInfBack(const Move& move) noexcept;
    // The file's bytes, read now, are the medium's copy where the record
    // says it stands, what the installer left, or a disc's control by the
    // mark. Raises when they cannot be read.
    bool placedByProgram(const std::wstring& path, std::wstring& sha256);
    bool installersAfterAll(const std::wstring& path);
    // What cannot be read now, listed in `list` as "<id>|<path>" (see
    // RepairRecord::leftovers) for a later run to settle; without an id
    // only said. Nothing is listed for what is gone.
    void leaveForLater(std::vector<std::wstring>& list, const std::wstring& id, const std::wstring& path,
                       const Failure& failure);
    // The mark as the run found it, where the record knows that.
    void restoreMark(bool usersInPlace);
    // A folder the installer runs from, by its name.
    bool isInstallerFolder(const std::wstring& path);
    // The control's bytes, read now, are the ones the mark named when the run
    // began; in doubt (unread), false, and the record says so.
    bool markNames(const std::wstring& control);

    RunContext& run_;
    Platform& platform_;
    Machine& machine_;
    Registration& registration_;
    MediumCheck& medium_;
};

}  // namespace tolvane
