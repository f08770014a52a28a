// The repair's own steps: the sequence, moving the installed files aside,
// putting the medium's control in place, the mark, and the tidying up.
#include "app/repair.h"

#include <algorithm>

#include "platform/text.h"

namespace tolvane {

// One repair at a time on the machine (frmMain holds its lock): a second
// one would take the first one's backup for the user's control. From the
// first change on, the record on the disk says where the user's control
// is, so that a run cut off at any instant is completed by the next one.
void Repair::run(SessionEndListener& listener) {
    // From the unregistration until the registration has ended the user's
    // control is out of place.
    const bool holdUp = machine_.isVistaOrLater();
    // What the report says of the machine: after a recovery, what it put back.
    const unsigned asBefore = run_.lead.meaning == IDS_PUT_BACK ? IDS_PUT_BACK : IDS_UNCHANGED;
    run_.leadWith(asBefore, IDS_USE_ANOTHER_DISC);
    medium_.checkMedium();
    run_.leadWith(asBefore);
    {
        const SessionEndGuard guard = controlOutOfPlace(run_, listener, holdUp);
        const std::wstring control = machine_.getPathFlash();
        bool begun = false;
        try {
            journal_.beginRepair(control);
            begun = true;
            journal_.beginStep("copying the medium's installer");
            prepareInstaller();
        } catch (const Failure& failure) {
            // Nothing of the user's was touched yet. An installer that is
            // not as it was made is the medium's fault.
            if (begun) {
                if (failure.number() == ERROR_INVALID_DATA) run_.leadWith(IDS_UNCHANGED, IDS_USE_ANOTHER_DISC);
                journal_.removeInstallerFolder();
                try {
                    journal_.closeRecord();
                } catch (const Failure&) {
                    platform_.noteDropped("the record stays");
                }
            }
            throw Failure(failure.number(), failure.description() + L"\r\nThe installed control was not touched; nothing was changed.");
        }
        try {
            journal_.beginStep("unregistering the installed control");
            registration_.uninstallFlashOCX();
            journal_.beginStep("moving the installed control aside");
            renameFlashOCX();
            journal_.beginStep("moving the setup information file aside");
            renameFlashInf();
            journal_.installerStarts();
            executeFlashSetup();
            journal_.installerEnded(control);
            journal_.beginStep("putting the medium's control in place");
            copyFlashOCX();
            journal_.beginStep("registering the medium's control");
            registration_.installFlashOCX();
            journal_.beginStep("writing the mark");
            markInstalled();
        } catch (const Failure& failure) {
            // The installed control is unregistered by now and may be moved
            // aside: do not leave the machine with less than it had, nor a
            // medium's control that would not register where a retry takes
            // it for the user's own.
            const PutBack outcome = journal_.putBackInstalledControl();
            journal_.leadAfterPutBack(outcome, failure);
            // The time limit's code says the machine's control is back.
            const std::uint32_t number = !outcome.finished && failure.number() == timedOutExitCode
                                             ? failedExitCode
                                             : failure.number();
            throw Failure(number, joined({failure.description(), L"\r\n", outcome.line}));
        }
        journal_.finish();
    }
}

// After the menu has started: the person waits for none of it, and a run
// cut off here is finished by the next one from its record.
void Repair::tidyUp() noexcept {
    if (!journal_.state().finished || !journal_.recordOpen()) return;
    platform_.note("Tidying up after the repair");
    journal_.tidyAfterRepair();
    if (journal_.inDoubt()) return platform_.note("  the record stays, for the next run to finish");
    try {
        journal_.closeRecord();
    } catch (...) {
        // Repaired all the same; the next run finds the record says so.
        platform_.note("  the record stays; the next run finds the repair finished and removes it");
    }
}

// A step of the repair: a mark that cannot be written fails it, as the
// control would otherwise be the user's to the next run.
void Repair::markInstalled() {
    InstalledMark mark;
    mark.sha256 = journal_.state().copySha256();
    mark.when = platform_.localDateTime();
    mark.exitCode = run_.restartNeeded ? restartNeededExitCode : 0;
    mark.installerExitCode = installerExitCode_;
    run_.records.writeMark(mark);
}

// An old backup goes only when there is a control to take its place: after
// a run that was cut off between the backup and the copy, it is the only
// copy of the user's control (and the record says so).
void Repair::renameFlashOCX() {
    platform_.note("Moving the installed control aside");
    const std::wstring control = machine_.getPathFlash();
    const std::wstring backup = backupPath(control);
    const bool installed = platform_.fileExists(control);
    // What an earlier repair put in place is no backup of the user's: the
    // backup stays as it is, and that control goes aside as a file of the
    // run's own, to go back should this run fail.
    if (installed && journal_.state().ownControl) {
        run_.noteLoaded(control);
        platform_.note(joined({L"  an earlier repair put ", quotedPath(control), L" in place: ", quotedPath(backup),
                               L" is kept"}));
        return journal_.moveUsersControl(control, journal_.freeOwnName(control, L".old"));
    }
    // An older backup goes only when its bytes are known to be a copy of
    // a control that stays: else it is kept aside, and settled once the
    // repair went through (see settleKeptBackup).
    if (platform_.fileExists(backup)) {
        if (!installed) {
            platform_.note(joined({L"  kept: ", quotedPath(backup), widened(" is the only copy of the control that was installed")}));
        } else {
            makeWay(backup, control, true);
        }
    }
    if (!installed) return platform_.note(L"  skipped: no control is installed at " + quotedPath(control));
    run_.noteLoaded(control);
    journal_.moveUsersControl(control, backup);
}

// An older backup makes way for `newer`, which takes its name: it goes when
// its bytes are known to be a copy of a file that stays; else it goes aside
// under a free name, in the record as the kept backup with `kept`.
void Repair::makeWay(const std::wstring& backup, const std::wstring& newer, bool kept) {
    // A control taken for the user's in doubt may be the program's, which
    // goes once that can be told: the older backup then takes its name.
    if (!(kept && journal_.state().ownUnknown) && journal_.knownCopy(backup, newer)) return journal_.removeOwnFile(backup);
    const std::wstring aside = journal_.freeOwnName(backup, L".old");
    platform_.note(joined({L"  ", quotedPath(backup), L" is kept as ", quotedPath(aside),
                           widened(": it is not known to be a copy of a file that stays")}));
    journal_.moveBackupAside(backup, aside, kept);
}

// Only on Windows XP. An old backup makes way, so that a second repair on
// the same machine does not stop here, only when there is an INF file to
// take its place. It goes when its bytes are that file's; else it stays
// beside it under a free name, which no run deletes (it may be the
// machine's own, from before a repair that the installer's INF followed).
void Repair::renameFlashInf() {
    platform_.note("Moving the setup information file aside");
    const std::wstring inf = machine_.getPathInf();
    if (inf.empty()) return platform_.note("  skipped: this is not Windows XP");
    const std::wstring backup = backupPath(inf);
    if (!platform_.fileExists(inf)) return platform_.note(L"  skipped: there is no " + quotedPath(inf));
    if (platform_.fileExists(backup)) makeWay(backup, inf, false);
    journal_.moveInfAside(inf);
}

// The medium's control is copied beside the control under a name of its
// own, and takes the control's name in one step: a run cut off at any
// instant leaves a whole control there, or none. What the installer put in
// place is kept aside until the medium's control has been registered: where
// the machine had no control of its own, it is the best one to put back
// should that fail. A file another program holds (a browser on the
// installer's "installed" page) can be renamed all the same.
// Listed in the record before it exists. Checked where only administrators
// write, as it is written, before it is registered.
std::wstring Repair::copyMediumControl(std::wstring& sha256) {
    const std::wstring copy = journal_.freeOwnName(machine_.getPathFlash(), L".new");
    journal_.listOwnFile(copy);
    sha256 = platform_.copyFile(machine_.mediumPath(L"\\data\\Flash.ocx"), copy).sha256;
    if (!medium_.controlSha256.empty() && sha256 != medium_.controlSha256)
        throw Failure(ERROR_INVALID_DATA, joined({L"the copy ", quotedPath(copy),
                                                  L" differs from the medium's control as it was made"}));
    return copy;
}

void Repair::prepareControlCopy() noexcept {
    const std::size_t listed = journal_.ownFilesListed();
    try {
        platform_.note("Copying the medium's control beside the control while the installer runs");
        preparedCopy_ = copyMediumControl(preparedSha256_);
        return;
    } catch (const Failure& failure) {
        platform_.noteFailure(failure);
    } catch (...) {
        platform_.noteDropped("the copy is made after the installer");
    }
    journal_.discardListedSince(listed);
}

bool Repair::stillAsCopied(const std::wstring& copy, const std::wstring& sha256) noexcept {
    try {
        if (platform_.digestFile(copy, false).sha256 == sha256) return true;
        platform_.noteAbout(copy, " changed after it was copied and checked: it is copied again");
    } catch (...) {
        platform_.noteDropped("it is copied again");
    }
    return false;
}

void Repair::copyFlashOCX() {
    platform_.note("Putting the medium's control in place");
    const std::wstring control = machine_.getPathFlash();
    std::wstring copy = preparedCopy_, sha256 = preparedSha256_;
    // Made while the installer ran, unless the installer took it away. What
    // is registered is what was checked: read again now that the installer
    // has ended, a copy written over meanwhile is copied afresh.
    if (!copy.empty() && platform_.fileExists(copy) && !stillAsCopied(copy, sha256)) journal_.discard(copy), copy.clear();
    if (copy.empty() || !platform_.fileExists(copy)) {
        journal_.unlistOwnFile(copy);
        copy = copyMediumControl(sha256);
    }
    if (platform_.fileExists(control)) {
        run_.noteLoaded(control);
        try {
            platform_.clearReadOnly(control);
            journal_.renameAside(control, true);
        } catch (const Failure&) {
            platform_.note(joined({L"  what stands at ", quotedPath(control), L" is replaced in place"}));
        }
    }
    journal_.placeMediumCopy(copy, sha256, control);
}

}  // namespace tolvane
