// The record of a repair at work, and the put-back that the repair, the
// uninstall and the recovery share.
#include "maintenance/journal.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace tolvane {

namespace {

// Names tried beside a file: flash.bkp -> flash.bkp.1.old, ...
constexpr int asideNamesTried = 99;

constexpr wchar_t notPutBack[] = L"The control that was installed could not be put back and registered again: ";

// A free name beside `path` for a file of the run's own: flash.ocx ->
// flash.ocx.1.new.
template <typename Exists>
std::wstring freeName(const std::wstring& path, const wchar_t* suffix, int n, Exists exists) {
    for (;; ++n) {
        std::wstring name = joined({path, L".", decimal(static_cast<unsigned>(n)), suffix});
        if (!exists(name) || n >= asideNamesTried) return name;
    }
}

}  // namespace

// A rename that reports a failure may have gone through all the same (a
// flush that failed after it): what the disk shows then decides.
void moveFile(Platform& platform, const std::wstring& from, const std::wstring& to) {
    try {
        platform.renameFile(from, to);
    } catch (const Failure&) {
        bool done = false;
        try {
            done = !platform.fileExists(from) && platform.fileExists(to);
        } catch (const Failure&) {
            platform.noteDropped("what the disk shows cannot be read: the rename's own failure stands");
        }
        if (!done) throw;
        platform.noteDropped("the disk shows the rename went through");
    }
}

bool Journal::listed(const std::wstring& path) const {
    if (samePath(record.control, path)) return true;
    for (const Move& move : record.moves)
        if (samePath(move.from, path) || samePath(move.to, path)) return true;
    for (const std::wstring& file : record.olderBackups)
        if (samePath(file, path)) return true;
    return false;
}

bool Journal::taken(const std::wstring& path) { return listed(path) || platform_.fileExists(path); }

std::wstring Journal::freeOwnName(const std::wstring& path, const wchar_t* suffix) {
    return freeName(path, suffix, 1, [&](const std::wstring& name) { return taken(name); });
}

void Journal::saveRecord() {
    if (recording) run_.records.writeRecord(record.text());
}

std::size_t Journal::writeAhead(Move::Kind kind, const std::wstring& from, const std::wstring& to,
                                const std::wstring& id) {
    const std::size_t index = record.add(kind, Move::ahead, from, to, id);
    saveRecord();
    return index;
}

void Journal::renameWrittenAhead(Move::Kind kind, const std::wstring& from, const std::wstring& to) {
    const std::size_t move = writeAhead(kind, from, to);
    moveFile(platform_, from, to);
    record.moves[move].state = Move::done;
    saveRecord();
}

void Journal::beginStep(const char* step) {
    record.step = widened(step);
    saveRecord();
}

bool Journal::claimMachineLock() { return platform_.claimRepairLock(machine_.windowsFolder() + machineRepairLock); }

void Journal::beginRepair(const std::wstring& control) {
    const std::wstring backup = backupPath(control);
    freshRecord(true);
    // Without it, whose control stands in place cannot be told.
    run_.records.readMark(record.markBefore);
    record.markKnown = true;
    record.control = platform_.fileExists(control)  ? control
                     : platform_.fileExists(backup) ? backup
                                                    : std::wstring();
    record.ownControl = samePath(record.control, control) && markNames(control);
    recording = true;
}

// The program's only when the mark named it when the run began: a control
// with a disc's bytes and no mark is a build the user installed. A control
// that cannot be read leaves it in doubt: it is then handled as the user's,
// and the backup there is kept beside it all the same (see settleKeptBackup).
bool Journal::markNames(const std::wstring& control) {
    const std::wstring& marked = record.markBefore.sha256;
    try {
        if (!marked.empty() && platform_.digestFile(control, false).sha256 == marked) return true;
    } catch (const Failure& failure) {
        platform_.noteFailure(failure);
        record.ownUnknown = true;
    }
    platform_.noteAbout(control, " is handled as the user's: no mark of this program names it");
    return false;
}

void Journal::beginRestore(const std::wstring& usersControl, bool copyInPlace, const InstalledMark* mark,
                           const std::wstring& inf) {
    freshRecord(true);
    record.step = L"putting the control from before the disc back";
    record.control = usersControl;
    record.markKnown = mark != nullptr;
    if (mark != nullptr) record.markBefore = *mark;
    // As a repair leaves them: the disc's control in place, swflash.inf aside.
    if (!inf.empty()) record.add(Move::infAside, Move::done, inf, backupPath(inf));
    if (copyInPlace)
        record.add(Move::copyPlaced, Move::done, std::wstring(), machine_.getPathFlash(),
                   mark != nullptr ? mark->sha256 : std::wstring());
    recording = true;
    saveRecord();
}

void Journal::takeOver(RepairRecord&& earlier) {
    record = std::move(earlier);
    recording = earlierRun = true;
}

void Journal::madeInstallerFolder(const std::wstring& folder) {
    installerFolderMade = folder;
    record.add(Move::folderMade, Move::done, std::wstring(), folder, platform_.folderIdentity(folder));
    saveRecord();
}

void Journal::installerStarts() {
    record.add(Move::installerRan, Move::ahead, std::wstring(), std::wstring());
    beginStep("running the medium's installer");
}

// What the installer left at the control path is the program's to put
// aside: its bytes go into the record. Unread, it counts as the user's.
void Journal::installerEnded(const std::wstring& control) noexcept {
    try {
        // None where the session's end put everything back meanwhile.
        Move* installer = record.last(Move::installerRan);
        if (installer == nullptr) return;
        installer->state = Move::done;
        if (platform_.fileExists(control)) installer->id = platform_.digestFile(control, false).sha256;
        saveRecord();
    } catch (...) {
        platform_.noteDropped("what the installer left is handled as the user's after a cut");
    }
}

void Journal::moveInfAside(const std::wstring& inf) { renameWrittenAhead(Move::infAside, inf, backupPath(inf)); }

void Journal::moveBackupAside(const std::wstring& backup, const std::wstring& aside, bool kept) {
    if (kept) renameWrittenAhead(Move::backupAside, backup, aside);
    else moveFile(platform_, backup, aside);
}

void Journal::listOwnFile(const std::wstring& path) { writeAhead(Move::ownFile, std::wstring(), path); }

void Journal::discardListedSince(std::size_t listed) noexcept {
    // A copy of the name: discard takes it off the list first.
    const Move* own = record.last(Move::ownFile);
    if (own != nullptr && own >= record.moves.data() + listed) discard(std::wstring(own->to));
}

// Written ahead: a run cut off around the rename is told by whether the
// copy is still beside the control.
void Journal::placeMediumCopy(const std::wstring& copy, const std::wstring& sha256, const std::wstring& control) {
    writeAhead(Move::copyPlaced, copy, control, sha256);
    platform_.replaceFile(copy, control);
    unlistOwnFile(copy);
    if (Move* placed = record.last(Move::copyPlaced)) placed->state = Move::done;
    saveRecord();
}

// From here on a cut-off run has nothing to put back.
void Journal::finish() {
    record.finished = true;
    try {
        beginStep("tidying up after the repair");
    } catch (const Failure&) {
        platform_.noteDropped("the record still names the step before");
    }
}

void Journal::moveUsersControl(const std::wstring& from, const std::wstring& to) {
    renameWrittenAhead(Move::usersAside, from, to);
}

// A backup copied from a CD by an earlier run may be read-only. Deleting a
// file that another program holds or maps either fails, or succeeds while
// its name stays until that program lets go (Windows before 10, FAT):
// renamed first, the name is free at once either way.
void Journal::removeOwnFile(const std::wstring& path) {
    platform_.clearReadOnly(path);
    discard(renameAside(path));
}

// The new name is in the record before the rename: a run cut off after it
// leaves nothing behind that the next one does not know of.
std::wstring Journal::renameAside(const std::wstring& path, bool replacedControl) {
    for (int n = 1;; ++n) {
        const std::wstring aside = joined({path, L".", decimal(static_cast<unsigned>(n)), L".old"});
        if (taken(aside)) continue;
        const std::size_t move = writeAhead(replacedControl ? Move::replacedAside : Move::ownFile,
                                            replacedControl ? path : std::wstring(), aside);
        try {
            moveFile(platform_, path, aside);
            record.moves[move].state = Move::done;
            return aside;
        } catch (const Failure& failure) {
            record.moves.pop_back();
            const bool taken = failure.number() == ERROR_ALREADY_EXISTS || failure.number() == ERROR_FILE_EXISTS;
            if (!taken || n >= asideNamesTried) throw;
            platform_.noteDropped("the name was taken meanwhile: the next one is tried");
        }
    }
}

// Only the renamed file is scheduled, never the path the run goes on using.
// Without the rights to schedule it, it stays beside the control.
void Journal::discard(const std::wstring& aside) noexcept {
    unlistOwnFile(aside);
    try {
        platform_.deleteFile(aside);
    } catch (const Failure& failure) {
        platform_.note(joined({L"  ", quotedPath(aside), L" cannot be deleted now: ", failure.description()}));
    } catch (...) {
        return platform_.noteDropped("it stays where it is");
    }
    try {
        // A delete, like a rename, is judged by what the disk shows after
        // it, whatever it reported: one that went through leaves the name
        // free for a later file, which must not go at the restart.
        if (!platform_.fileExists(aside)) return;
        platform_.deleteAtRestart(aside);
    } catch (const Failure&) {
        platform_.noteAbout(aside, " stays where it is until it is deleted by hand");
    } catch (...) {
        platform_.noteDropped("it stays where it is");
    }
}

void Journal::discardOwnFiles() noexcept {
    // The run's own by their names: one that may be there goes.
    std::vector<std::wstring> files;
    for (const Move& move : record.moves)
        if (move.kind == Move::ownFile) files.push_back(move.to);
    for (const std::wstring& file : files) {
        try {
            if (!platform_.fileExists(file)) continue;
        } catch (...) {
            platform_.noteDropped("it is deleted in case it is there");
        }
        discard(file);
    }
    removeInstallerFolder();
}

// What a repair that went through replaced: the installer's control, and
// the control an earlier repair had put in place.
// The control an earlier repair put in place goes only when its bytes, read
// now, are known to be a disc's control: in doubt it stays beside.
void Journal::discardReplaced() noexcept {
    const auto there = [&](const std::wstring& file) {  // in doubt, there
        try {
            return !file.empty() && platform_.fileExists(file);
        } catch (...) {
            platform_.noteDropped("in doubt, it is taken to be there");
            return true;
        }
    };
    const Move* replaced = record.last(Move::replacedAside);
    if (replaced != nullptr && there(replaced->to)) discard(std::wstring(replaced->to));
    const std::wstring own = record.ownControl ? record.usersControl() : std::wstring();
    try {
        if (!there(own)) return;
        if (readsAsDiscs(own)) return discard(own);
        platform_.noteAbout(own, " stays: not known to be a disc's control");
    } catch (const Failure& failure) {
        // A later run that reads it lets it go when it is the control the mark named.
        leaveForLater(record.leftovers, record.markKnown ? record.markBefore.sha256 : std::wstring(), own, failure);
    } catch (...) {
        platform_.noteDropped("it stays where it is");
    }
}

// Gone, or what stands there is no folder (a file, a link): nothing of the
// program's. Else it cannot be told now: a later run settles it.
void Journal::leaveForLater(std::vector<std::wstring>& list, const std::wstring& id, const std::wstring& path,
                            const Failure& failure) {
    const DWORD number = failure.number();
    if (number == ERROR_FILE_NOT_FOUND || number == ERROR_PATH_NOT_FOUND || number == ERROR_CANT_ACCESS_FILE) return;
    if (!id.empty()) list.push_back(joined({id, L"|", path}));
    platform_.note(joined({L"  ", quotedPath(path), L" is left for a later run: ", failure.description()}));
}

void Journal::tidyAfterRepair() noexcept {
    discardReplaced();
    discardOwnFiles();
    settleKeptBackup();
    settleLeftovers();
}

// Only a copy goes: the older backup may hold a build of the user's that
// no disc brings, or one that a disc brings but the user installed.
void Journal::settleKeptBackup() noexcept {
    std::wstring backup;
    try {
        backup = backupPath(machine_.getPathFlash());
        // What the run took for the user's control is the program's after
        // all: the control it could not read, which the mark named, or what
        // a cut-off run's installer left. It is no backup.
        const std::wstring marked = record.markKnown && record.ownUnknown ? record.markBefore.sha256 : std::wstring();
        if (samePath(record.usersControl(), backup) &&
            ((!marked.empty() && platform_.fileExists(backup) && platform_.digestFile(backup, false).sha256 == marked) ||
             installersAfterAll(backup))) {
            platform_.noteAbout(backup, " is the program's, not the user's: it goes");
            removeOwnFile(backup);
        }
        // This run's among them, newest first: the newest takes the
        // backup's name when it has none.
        std::vector<std::wstring> still = record.olderBackups;
        for (const Move& move : record.moves)
            if (move.kind == Move::backupAside) still.push_back(move.to);
        for (std::size_t i = still.size(); i-- > 0;) {
            const std::wstring& path = still[i];
            if (platform_.fileExists(path)) {
                if (!platform_.fileExists(backup)) moveFile(platform_, path, backup);
                else if (knownCopy(path, backup)) discard(path);
                else {
                    platform_.noteAbout(path, " stays beside flash.bkp: it is not known to be a copy of it");
                    continue;
                }
            }
            still.erase(still.begin() + i);
        }
        record.olderBackups.swap(still);
        record.drop(Move::backupAside);
    } catch (...) {
        doubt = L"the backups could not be read";  // the record stays: the next run reads them again
        platform_.noteDropped("the backups are left for the next run");
    }
}

// Each is settled once it can be read: it goes when it is what the earlier
// run knew it to be, and stays (no more the program's) when it is not.
void Journal::settleLeftovers() noexcept {
    std::vector<std::wstring> still;
    for (const std::wstring& left : record.leftovers) {
        const std::size_t bar = left.find(L'|');
        const std::wstring path = left.substr(bar + 1);
        try {
            const bool folder = isInstallerFolder(path);
            const std::wstring now = folder ? platform_.folderIdentity(path) : platform_.digestFile(path, false).sha256;
            if (now != left.substr(0, bar)) platform_.noteAbout(path, " is left as it is: not what an earlier run left");
            else if (folder) platform_.removeFolder(path);
            else discard(path);
        } catch (const Failure& failure) {
            leaveForLater(still, left.substr(0, bar), path, failure);
        } catch (...) {
            platform_.noteDropped("it is left for a later run");
            still.push_back(left);
        }
    }
    record.leftovers.swap(still);
}

void Journal::freshRecord(bool keepPerhaps) {
    RepairRecord fresh;
    fresh.leftovers.swap(record.leftovers);
    fresh.olderBackups.swap(record.olderBackups);
    if (keepPerhaps) fresh.perhapsInstallers.swap(record.perhapsInstallers);
    record = std::move(fresh);
    doubt.clear();
}

void Journal::closeRecord() {
    // ...and what the next installer that runs tells (see perhapsInstallers).
    freshRecord(earlierRun || record.last(Move::installerRan) == nullptr);
    record.step = L"left for a later run";
    record.finished = true;
    recording = earlierRun = false;
    if (record.leftovers.empty() && record.perhapsInstallers.empty() && record.olderBackups.empty())
        run_.records.clearRecord();
    else run_.records.writeRecord(record.text());
}

void Journal::removeInstallerFolder() noexcept {
    const Move* made = record.last(Move::folderMade);
    if (made == nullptr) return;
    const std::wstring folder = made->to, id = made->id;
    bool ours = samePath(folder, installerFolderMade);
    try {
        std::wstring why = L"the record names no identity for it";
        if (!ours && !id.empty()) {
            ours = platform_.folderIdentity(folder) == id;
            why = L"it is not the folder an earlier run made there";
        }
        if (ours) platform_.removeFolder(folder);
        else platform_.note(joined({L"  ", quotedPath(folder), L" is left as it is: ", why}));
    } catch (const Failure& failure) {
        leaveForLater(record.leftovers, id, folder, failure);
    } catch (...) {
        platform_.noteDropped("the folder is left");
    }
    record.drop(Move::folderMade);
    if (ours) installerFolderMade.clear();
    try {
        saveRecord();
    } catch (...) {
        platform_.noteDropped("the record on the disk stays as it was");
    }
}

bool Journal::isDiscs(const std::wstring& sha256, bool copyCounts) {
    if ((copyCounts && sha256 == record.copySha256()) || (record.markKnown && sha256 == record.markBefore.sha256))
        return true;
    InstalledMark mark;
    return run_.records.readMark(mark) && mark.sha256 == sha256;
}

bool Journal::placedByProgram(const std::wstring& path, std::wstring& sha256) {
    sha256 = platform_.digestFile(path, false).sha256;
    const Move *installer = record.last(Move::installerRan), *copy = record.last(Move::copyPlaced);
    return (installer != nullptr && sha256 == installer->id) || isDiscs(sha256, copy != nullptr && copy->state == Move::done);
}

// What a cut off installer may have left, taken for the user's newest
// control, proved the installer's: the same installer wrote the same bytes.
bool Journal::installersAfterAll(const std::wstring& path) {
    const Move* installer = record.last(Move::installerRan);
    return !record.perhapsInstallers.empty() && installer != nullptr && record.perhapsInstallers == installer->id &&
           platform_.fileExists(path) && platform_.digestFile(path, false).sha256 == record.perhapsInstallers;
}

// The mark names what is in place only once it is: a put-back writes again
// the one the run found.
// One that names the user's control, put back in place, goes: the user
// removed the disc's control it named, and installed that build themselves.
void Journal::restoreMark(bool usersInPlace) {
    if (!record.markKnown) return;
    InstalledMark wanted = record.markBefore, mark;
    if (usersInPlace && !wanted.sha256.empty() &&
        platform_.digestFile(machine_.getPathFlash(), false).sha256 == wanted.sha256)
        wanted = InstalledMark();
    run_.records.readMark(mark);
    if (mark == wanted) return;
    run_.records.writeMark(wanted);
}

bool Journal::readsAsDiscs(const std::wstring& path) { return isDiscs(platform_.digestFile(path, false).sha256); }

bool Journal::knownCopy(const std::wstring& path, const std::wstring& other) noexcept {
    try {
        const std::wstring sha256 = platform_.digestFile(path, false).sha256;
        return sha256 == platform_.digestFile(other, false).sha256;
    } catch (...) {
        platform_.noteDropped("not known to be a copy: it stays");
        return false;
    }
}

bool Journal::discsControl(const std::wstring& path) noexcept {
    try {
        return readsAsDiscs(path);
    } catch (...) {
        platform_.noteDropped("not known to be a disc's control");
        return false;
    }
}

// A rename under way went through when its source is gone and its target
// stands. Only the user's control's is looked for at its source: what goes
// aside beside it takes a name that nothing held before.
std::wstring Journal::whereNow(const Move* move) {
    if (move == nullptr) return std::wstring();
    const bool ahead = move->state == Move::ahead && move->kind == Move::usersAside;
    const std::wstring& named = ahead ? move->from : move->to;
    const std::wstring& then = ahead ? move->to : move->state == Move::back ? move->from : std::wstring();
    if (named.empty() || platform_.fileExists(named)) return named;
    if (!then.empty() && platform_.fileExists(then)) return then;
    return std::wstring();
}

// swflash.inf back in its place, unless something new stands there.
std::wstring Journal::putInfBack(const Move& move) noexcept {
    try {
        if (!platform_.fileExists(move.from) && platform_.fileExists(move.to)) moveFile(platform_, move.to, move.from);
        return std::wstring();
    } catch (const Failure& failure) {
        doubt = failure.description();  // the record stays: the next run puts it back
    } catch (...) {
        doubt = L"out of memory";
    }
    return L" The setup information file stays aside: " + doubt;
}

// Each rename is in the record before it is made. What stands at the
// control path goes aside, and is deleted only once the control from
// before stands in its place: a rename that fails puts it back where it was.
void Journal::bringBack(std::size_t index, const std::wstring& from, const std::wstring& control) {
    std::wstring aside;
    Move* copy = record.last(Move::copyPlaced);
    const Move::State copyWas = copy != nullptr ? copy->state : Move::back;
    if (platform_.fileExists(control)) {
        platform_.clearReadOnly(control);
        aside = renameAside(control);
        if ((copy = record.last(Move::copyPlaced)) != nullptr) copy->state = Move::back;
    }
    Move& move = record.moves[index];
    move.from = control, move.to = from, move.state = Move::back;
    saveRecord();
    try {
        moveFile(platform_, from, control);
    } catch (const Failure&) {
        record.moves[index].state = Move::done;
        if (!aside.empty()) {
            moveFile(platform_, aside, control);
            unlistOwnFile(aside);
            if ((copy = record.last(Move::copyPlaced)) != nullptr) copy->state = copyWas;
            saveRecord();
        }
        throw;
    }
    if (!aside.empty()) discard(aside);
    if (record.moves[index].kind == Move::usersAside) record.control = control;
    record.drop(index);
    saveRecord();
}

// Nothing that may be the user's control is ever deleted here, and it is
// only ever renamed back: when a step fails, the line says where the
// user's control is. The record goes once everything stands where it stood
// before the run, before the registration: a control that will not
// register is no reason to put it back again and again.
//
// First what stands is told: where the user's control is, and whether
// what stands at the control path was put there since a cut. Then the
// moves are undone newest first, down to the run's beginning; what the
// run made of its own goes last.
PutBack Journal::putBackInstalledControl(DWORD registrationLimitMs) noexcept {
    run_.puttingBack = true;
    PutBack result;
    std::wstring usersControl;
    try {
        platform_.note("Putting the installed control back");
        beginStep("putting the installed control back");
        const std::wstring control = machine_.getPathFlash(), backup = backupPath(control);
        std::vector<Move>& moves = record.moves;
        // Where the run found it (aside after an earlier cut, or for
        // /restore): as if the run had moved it there, after what it kept
        // aside for it.
        if (record.last(Move::usersAside) == nullptr && !record.control.empty()) {
            const Move* kept = record.last(Move::backupAside);
            record.add(Move::usersAside, Move::done, control, record.control, std::wstring(),
                       kept != nullptr ? record.indexOf(kept) + 1 : 0);
        }
        // Cut off while the installer ran: what stands may be what it wrote.
        Move* installer = record.last(Move::installerRan);
        const bool duringInstaller = installer != nullptr && installer->state == Move::ahead;
        // Where it stood after an earlier cut too, the same installer wrote it.
        if (duringInstaller && !record.perhapsInstallers.empty() && platform_.fileExists(control) &&
            platform_.digestFile(control, false).sha256 == record.perhapsInstallers)
            installer->id = record.perhapsInstallers;
        // A rename of the medium's copy that was under way: it happened
        // when the copy is no longer beside the control.
        Move* copy = record.last(Move::copyPlaced);
        if (copy != nullptr && copy->state == Move::ahead)
            copy->state = platform_.fileExists(copy->from) ? Move::back : Move::done;
        // The backup is what a cut off installer left: the user's control
        // is the older one, kept aside.
        const Move* kept = record.last(Move::backupAside);
        const std::wstring newestKept = kept != nullptr               ? kept->to
                                        : record.olderBackups.empty() ? std::wstring()
                                                                      : record.olderBackups.back();
        const Move* users = record.last(Move::usersAside);
        if (users != nullptr && users->state == Move::done && samePath(users->to, backup) && !newestKept.empty() &&
            platform_.fileExists(newestKept) && installersAfterAll(backup)) {
            renameAside(backup);  // deleted with the run's own files
            record.last(Move::usersAside)->to = newestKept;
            if ((kept = record.last(Move::backupAside)) != nullptr) record.drop(record.indexOf(kept));
            else record.olderBackups.pop_back();
            saveRecord();
        }
        users = record.last(Move::usersAside);
        usersControl = whereNow(users);
        if (usersControl.empty() && !record.usersControl().empty())
            platform_.noteAbout(record.usersControl(), " no longer holds the control that was installed");
        std::wstring from = usersControl, what = L"The control that was installed";
        if (from.empty() && !(from = whereNow(record.last(Move::replacedAside))).empty())
            what = L"The control the installer put in place";
        // Installed since the run was cut off (Flash no longer worked, so
        // the user installed one of their own): the newest control of the
        // user's stays where it is, and so does the one the record names,
        // an earlier disc's control apart. Where the run was cut off while
        // its installer ran, it may be the installer's: the next repair
        // tells by what its installer writes.
        std::wstring standing;
        const bool keptInPlace = !from.empty() && !samePath(from, control) && earlierRun &&
                                 platform_.fileExists(control) && !placedByProgram(control, standing);
        if (keptInPlace) {
            if (duringInstaller) record.perhapsInstallers = standing;
            platform_.note(joined({L"  ", quotedPath(control), widened(" was put there after the cut: it stays, and so does "),
                                   quotedPath(from)}));
            if (!usersControl.empty() && record.ownControl && discsControl(from)) discard(from);
        }
        if (!from.empty() && (keptInPlace || samePath(from, control))) what = L"The control at " + quotedPath(control);
        bool putBack = false, registerIt = true;
        std::wstring inf;
        for (std::size_t i = moves.size(); i-- > 0;) {
            if (i >= moves.size()) continue;  // gone with a later one
            Move& move = moves[i];
            switch (move.kind) {
            case Move::usersAside:
                if (usersControl.empty()) break;
                if (samePath(usersControl, control)) {
                    // A rename back went through, and the source's name may
                    // be taken again (an older backup's); a rename away of an
                    // earlier disc's control was overtaken by a control
                    // installed since, and the disc's copy aside goes.
                    const std::wstring to = move.to;
                    record.drop(i);
                    record.control = control;
                    if (record.ownControl && !to.empty() && !samePath(to, control) && discsControl(to)) discard(to);
                } else if (!keptInPlace) {
                    bringBack(i, usersControl, control);
                    usersControl = control;
                    putBack = result.moved = true;
                }
                break;
            case Move::replacedAside:
                // What the installer put in place comes back only where the
                // machine had no control of its own (else it goes below,
                // once that stands in its place).
                if (usersControl.empty() && !keptInPlace && !from.empty() && !samePath(from, control)) {
                    bringBack(i, from, control);
                    putBack = result.moved = true;
                }
                break;
            case Move::backupAside: {
                // What this run put aside for its backup takes its name back;
                // where that is taken, it stays aside as an older backup.
                const std::wstring kept = move.to;
                bool stays = true;
                try {
                    if (platform_.fileExists(kept) && !platform_.fileExists(backup)) {
                        saveRecord();  // where the user's control is now, before its old name is taken again
                        moveFile(platform_, kept, backup);
                    }
                    stays = platform_.fileExists(kept);
                } catch (...) {
                    platform_.noteDropped("the older backup stays aside, named in the record");
                }
                record.drop(i);
                if (stays) record.olderBackups.push_back(kept);
                break;
            }
            case Move::infAside:
                inf = putInfBack(move);
                if (doubt.empty()) record.drop(i);
                break;
            default:  // the copy and what the installer left: see below; the run's own files go last
                break;
            }
        }
        const Move* replaced = record.last(Move::replacedAside);
        if ((!usersControl.empty() || keptInPlace) && replaced != nullptr && platform_.fileExists(replaced->to))
            discard(std::wstring(replaced->to));
        if (from.empty()) {
            // Nothing, the installer's own where it stands, or only the
            // medium's copy (that would not register).
            // Only what is that copy, byte for byte: a control put there
            // since (by hand, by another installer) is kept.
            copy = record.last(Move::copyPlaced);
            const bool there = platform_.fileExists(control), copyInPlace = copy != nullptr && copy->state == Move::done;
            registerIt = there && !(copyInPlace && (copy->id.empty() || platform_.digestFile(control, false).sha256 == copy->id));
            if (there && !registerIt) removeOwnFile(control);
            // The installer's own, which the run did not find: the machine
            // works with it as it did before, not with nothing changed.
            result.moved = registerIt;
            if (registerIt && copyInPlace)
                platform_.noteAbout(control, " is not the medium's copy the record names: it is kept");
        }
        discardOwnFiles();
        restoreMark(!usersControl.empty() && !record.ownControl && !record.ownUnknown && registerIt);
        try {
            // What is left in doubt stays in the record, for the next run.
            if (doubt.empty()) closeRecord();
            else run_.records.writeRecord(record.text());
        } catch (const Failure&) {
            // Kept: the next run finds everything in place and puts nothing back.
            platform_.noteDropped("the record stays for the next run");
        }
        recording = false;
        if (!registerIt) {
            result.line = L"There was no control to put back." + inf;
            return result;
        }
        if (from.empty()) what = L"The control the installer put in place";
        result.line = registration_.registerControl(registrationLimitMs)
                          ? joined({what, (putBack ? L" was put back and registered again." : L" was registered again."), inf})
                          : joined({what, (putBack ? L" was put back" : L""), L"; its registration had not ended after ",
                                    decimal(registrationLimitMs / 1000), L" seconds.", inf});
        return result;
    } catch (const Failure& failure) {
        result.line = notPutBack + failure.description() +
                      (usersControl.empty() ? std::wstring() : joined({L" It is at ", quotedPath(usersControl), L"."}));
    } catch (...) {
        result.line = notPutBack + std::wstring(L"out of memory.");
    }
    result.finished = false;
    return result;
}

// A file that another program holds: the user can close that program.
void Journal::leadAfterPutBack(const PutBack& putBack, const Failure& failure) {
    run_.leadWith(!putBack.finished ? IDS_MAY_NOT_WORK : putBack.moved ? IDS_PUT_BACK : IDS_UNCHANGED);
    const std::uint32_t held[] = {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_USER_MAPPED_FILE};
    if (std::find(std::begin(held), std::end(held), failure.number()) == std::end(held)) return;
    // Only a file of the control's folder is held by what shows the control
    // (a browser); another (the setup information file) says nothing of who.
    std::wstring control;
    try {
        control = machine_.getPathFlash();
    } catch (const Failure&) {
        return platform_.noteDropped("no advice on what holds it: the report says what failed all the same");
    }
    if (failure.description().find(control.substr(0, control.rfind(L'\\') + 1)) == std::wstring::npos) return;
    std::wstring names;
    try {
        for (const std::wstring& name : platform_.holdersOf(control))
            names += (names.empty() ? L"" : L", ") + quotedPath(name);
    } catch (const Failure&) {
        platform_.noteDropped("the program holding the control is not named");
    }
    run_.lead.todo = names.empty() ? IDS_CLOSE_THE_HOLDER : IDS_CLOSE_NAMED;
    run_.lead.todoArgument = names;
}

}  // namespace tolvane
