#include "app/main_window.h"

#include <algorithm>
#include <iterator>

#include "platform/text.h"

namespace tolvane {

namespace {

// Holds the window to the repair's side of the session's end for as long
// as it lives, however the span ends. Where Windows lets a program ask
// (`reason` given: Vista on), the end is held up with that reason.
class SessionEndGuard {
public:
    SessionEndGuard(Platform& platform, SessionEndListener& listener, const wchar_t* reason, const wchar_t* line)
        : platform_(platform) {
        platform_.guardSessionEnd(reason, listener);
        platform_.note(line);
    }
    ~SessionEndGuard() { platform_.releaseSessionEnd(); }
    SessionEndGuard(const SessionEndGuard&) = delete;
    SessionEndGuard& operator=(const SessionEndGuard&) = delete;

private:
    Platform& platform_;
};

// The guard of a span in which the control is out of place: from Vista on
// the end of the session is held up with a reason; on XP, where asking
// would cancel a log-off without a word, the control is put back first.
SessionEndGuard controlOutOfPlace(Platform& platform, SessionEndListener& listener, bool holdUp) {
    return SessionEndGuard(platform, listener, holdUp ? sessionEndReason : L"",
                           holdUp ? L"Until the control is registered, the end of the session is held up with a reason"
                                  : L"Until the control is registered, an ending session has the control put back first");
}

// How long the first instance holds the session's end for the elevated
// one's last lines.
constexpr DWORD elevatedSessionEndWaitMs = 5000;
// How long a step's process that was ended is given to let go of its files.
constexpr DWORD endedProcessWaitMs = 1000;

}  // namespace

// On Windows XP a program that needs administrator rights does not ask
// for them (the "runas" verb there opens the Run As dialog): the repair runs
// here, or not at all for a user without them. Later Windows ask, and the
// menu, with every page it opens, never runs with the rights of the repair.
// With /quiet, a program that runs with a full administrator's token already
// (SYSTEM, a deployment tool) repairs in its own process, as on XP: there is
// nobody to ask, and no other instance to hand lines to. Without one, a
// /quiet run asks nobody either: it repairs nothing (740).
void frmMain::Form_Load() {
    hideMe();
    DWORD outcome = 0;
    if (isVistaOrLater() && !(quiet_ && platform_.isElevated())) {
        if (quiet_) {
            platform_.note("The repair is skipped: with /quiet nobody is asked for consent, and this program has no "
                           "full administrator's token");
            outcome = elevationRequiredExitCode;
        } else {
            outcome = repairElevated();
        }
        const bool menu = outcome == 0 || outcome == ERROR_CANCELLED || outcome == notAnAdministratorExitCode ||
                          outcome == anotherRepairExitCode || outcome == restartNeededExitCode ||
                          outcome == elevationRequiredExitCode;
        if (!menu) return platform_.endProgram(static_cast<int>(outcome));
    } else if (platform_.isAdministrator()) {
        outcome = restore_ ? restoreUsersControl()
                  : repair() ? (restartNeeded_ ? restartNeededExitCode : 0)
                             : anotherRepairExitCode;
    } else {
        platform_.note("The repair is skipped: on this Windows it needs an administrator, and this user is not one");
        outcome = notAnAdministratorExitCode;
    }
    if (outcome == 0 || outcome == restartNeededExitCode) leadWith(repairedMeaning);
    if (noMenu_) {
        platform_.note("The menu is not started (/nomenu)");
    } else {
        try {
            executeChecker();
        } catch (...) {
            tidyUp();
            throw;
        }
    }
    tidyUp();
    // The elevated instance tidies up after handing back its outcome: its
    // last lines, not the person, are waited for.
    if (elevatedTidying_) waitFor(elevated_, elevatedSessionEndWaitMs);
    platform_.endProgram(static_cast<int>(outcome));
}

void frmMain::repairOnly() {
    repairOnly_ = true;
    platform_.note("The repair runs in a process of its own");
    hideMe();
    // Not the folder the user started the program from, which the user may
    // fill with what an administrator's program then loads.
    platform_.setCurrentFolder(platform_.programFolder());
    if (restore_) return platform_.endProgram(restoreUsersControl());
    if (!repair()) return platform_.endProgram(anotherRepairExitCode);
    // The first instance starts the menu while this one tidies up.
    platform_.handRepairOutcome(restartNeeded_ ? restartNeededExitCode : 0);
    tidyUp();
    if (restartNeeded_) platform_.endProgram(restartNeededExitCode);
}

void frmMain::leadWith(const std::wstring& meaning, const std::wstring& todo) {
    lead_.meaning = meaning;
    lead_.todo = todo;
}

// A file that another program holds: the user can close that program.
void frmMain::leadAfterPutBack(const Failure& failure) {
    leadWith(putBackFailed_ ? mayNotWorkMeaning : putBackMoved_ ? putBackMeaning : unchangedMeaning);
    const std::uint32_t held[] = {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_USER_MAPPED_FILE};
    if (std::find(std::begin(held), std::end(held), failure.number()) == std::end(held)) return;
    std::wstring names;
    try {
        for (const std::wstring& name : platform_.holdersOf(getPathFlash()))
            names += (names.empty() ? L"" : L", ") + quotedPath(name);
    } catch (const Failure&) {
    }
    lead_.todo = names.empty() ? std::wstring(closeTheHolder)
                               : L"Close " + names + L" and run the disc again.";
}

void frmMain::report(const std::wstring& text, int style, const std::wstring& title) {
    tolvane::report(platform_, quiet_, text, style, title);
}

// One repair at a time on the machine: a second one would take the first
// one's backup for the user's control. From the first change on, the record
// on the disk says where the user's control is, so that a run cut off at
// any instant is completed by the next one: first of all, whatever the
// medium now holds, since that needs nothing of it.
bool frmMain::repair() {
    if (!claimMachineLock()) return false;
    // From the unregistration until the registration has ended the user's
    // control is out of place; after a cut-off, until it is back.
    const bool holdUp = isVistaOrLater();
    {
        const SessionEndGuard guard = controlOutOfPlace(platform_, *this, holdUp);
        recoverEarlierRun();
    }
    // What the report says of the machine: after a recovery, what it put back.
    const wchar_t* const asBefore = putBackMoved_ ? putBackMeaning : unchangedMeaning;
    leadWith(asBefore, useAnotherDisc);
    checkMedium();
    leadWith(asBefore);
    {
        const SessionEndGuard guard = controlOutOfPlace(platform_, *this, holdUp);
        const std::wstring control = getPathFlash();
        const std::wstring backup = backupPath(control);
        record_ = RepairRecord{};
        record_.usersControl = platform_.fileExists(control) ? control
                               : platform_.fileExists(backup) ? backup
                                                              : std::wstring();
        record_.ownControl = samePath(record_.usersControl, control) && installedByUs(control);
        recording_ = true;
        try {
            beginStep(L"copying the medium's installer");
            prepareInstaller();
        } catch (const Failure& failure) {
            // Nothing of the user's was touched yet. An installer that is
            // not as it was made is the medium's fault.
            if (failure.number() == ERROR_INVALID_DATA) leadWith(unchangedMeaning, useAnotherDisc);
            removeInstallerFolder();
            recording_ = false;
            try {
                platform_.clearRepairRecord();
            } catch (const Failure&) {
            }
            throw Failure(failure.number(), failure.description() + L"\r\nThe installed control was not touched; nothing was changed.");
        }
        try {
            beginStep(L"unregistering the installed control");
            uninstallFlashOCX();
            beginStep(L"moving the installed control aside");
            renameFlashOCX();
            beginStep(L"moving the setup information file aside");
            renameFlashInf();
            beginStep(L"running the medium's installer");
            executeFlashSetup();
            beginStep(L"putting the medium's control in place");
            copyFlashOCX();
            beginStep(L"registering the medium's control");
            installFlashOCX();
            markInstalled(control);
        } catch (const Failure& failure) {
            // The installed control is unregistered by now and may be moved
            // aside: do not leave the machine with less than it had, nor a
            // medium's control that would not register where a retry takes
            // it for the user's own.
            const std::wstring outcome = putBackInstalledControl();
            leadAfterPutBack(failure);
            // The time limit's code says the machine's control is back.
            const std::uint32_t number =
                putBackFailed_ && failure.number() == timedOutExitCode ? failedExitCode : failure.number();
            throw Failure(number, failure.description() + L"\r\n" + outcome);
        }
        // From here on a cut-off run has nothing to put back.
        record_.finished = true;
        try {
            beginStep(L"tidying up after the repair");
        } catch (const Failure&) {
        }
    }
    return true;
}

// After the menu has started: the person waits for none of it, and a run
// cut off here is finished by the next one from its record.
void frmMain::tidyUp() noexcept {
    if (!record_.finished || !recording_) return;
    platform_.note("Tidying up after the repair");
    discardReplaced();
    removeInstallerFolder();
    try {
        settleKeptBackup();
    } catch (const Failure& failure) {
        doubt_ = failure.description();
    } catch (...) {
    }
    if (!doubt_.empty()) return platform_.note(L"  the record stays, for the next run to finish: " + doubt_);
    recording_ = false;
    try {
        platform_.clearRepairRecord();
    } catch (...) {
        // Repaired all the same; the next run finds the record says so.
        platform_.note("  the record stays; the next run finds the repair finished and removes it");
    }
}

// What a repair that went through replaced: the installer's control, and
// the control an earlier repair had put in place.
// The control an earlier repair put in place goes only when its bytes, read
// now, are known to be a disc's control: in doubt it stays beside.
void frmMain::discardReplaced() noexcept {
    const auto there = [&](const std::wstring& file) {  // in doubt, there
        try {
            return !file.empty() && platform_.fileExists(file);
        } catch (...) {
            return true;
        }
    };
    if (there(record_.replacedControl)) discard(record_.replacedControl);
    const std::wstring own = record_.ownControl ? record_.usersControl : std::wstring();
    try {
        if (!there(own)) return;
        if (readsAsDiscs(own)) return discard(own);
        platform_.note(L"  " + quotedPath(own) + L" stays: not known to be a disc's control");
    } catch (const Failure& failure) {
        doubt_ = failure.description();  // the record stays: the next run reads it again
    } catch (...) {
        doubt_ = L"out of memory";
    }
}

// The SHA-256 a mark names; empty for another text.
static std::wstring markedSha256(const std::wstring& mark) {
    const std::vector<std::wstring> all = lines(mark);
    return all.empty() || all[0].compare(0, 7, L"sha256=") != 0 ? std::wstring() : all[0].substr(7);
}

bool frmMain::readsAsDiscs(const std::wstring& path) {
    const std::wstring sha256 = platform_.digestFile(path, false).sha256;
    if ((!mediumControlSha256_.empty() && sha256 == mediumControlSha256_) || sha256 == record_.copySha256) return true;
    std::wstring mark;
    return platform_.readInstalledMark(mark) && markedSha256(mark) == sha256;
}

bool frmMain::discsControl(const std::wstring& path) noexcept {
    try {
        return readsAsDiscs(path);
    } catch (...) {
        return false;
    }
}

// This program's when its bytes are this disc's control or the one the
// mark names. A control or a mark that cannot be read (a scanner holds it)
// leaves it in doubt: it is then handled as the user's, and the backup
// there is kept beside it all the same (see renameFlashOCX), until the
// repair has gone through and their bytes tell.
bool frmMain::installedByUs(const std::wstring& control) {
    if (discsControl(control)) return true;
    platform_.note(L"  " + quotedPath(control) + L" is handled as the user's: it is not known to be a disc's control");
    return false;
}

void frmMain::markInstalled(const std::wstring& control) noexcept {
    try {
        const std::wstring sha256 =
            mediumControlSha256_.empty() ? platform_.digestFile(control, false).sha256 : mediumControlSha256_;
        platform_.writeInstalledMark(L"sha256=" + sha256 + L"\nwhen=" + platform_.localDateTime() + L"\nexitCode=" +
                                     decimal(restartNeeded_ ? restartNeededExitCode : 0) + L"\ninstallerExitCode=" +
                                     decimal(installerExitCode_) + L"\n");
    } catch (const Failure& failure) {
        // The next run tells the disc's control by its bytes all the same.
        platform_.note(L"  " + failure.description());
    } catch (...) {
    }
}

bool frmMain::claimMachineLock() { return platform_.claimRepairLock(windowsFolder() + machineRepairLock); }

// For a detection rule: reads, and changes nothing. A record that the
// lock's holder keeps is a repair at work; one nobody holds was left by a
// run that was cut off. Without administrator rights the lock cannot be
// opened: the record then counts as a repair at work.
int frmMain::checkOnly() {
    platform_.note("Checking whether this machine needs the repair (/check): nothing is changed");
    const auto needs = [&](const std::wstring& why) {
        platform_.note(L"  it does: " + why);
        return repairNeededExitCode;
    };
    std::wstring text;
    if (platform_.readRepairRecord(text)) {
        if (claimMachineLock()) return needs(L"an earlier repair was cut off");
        platform_.note("  a repair is at work: try again when it is over");
        return anotherRepairExitCode;
    }
    const std::wstring control = getPathFlash();
    try {
        if (!platform_.fileExists(control)) return needs(L"there is no control at " + quotedPath(control));
    } catch (const Failure& failure) {  // no answer: nothing says the disc's control is there
        return needs(failure.description());
    }
    std::wstring mark, sha256;
    try {
        sha256 = platform_.digestFile(control, false).sha256;
        checkMedium();
    } catch (const Failure& failure) {
        platform_.note(L"  " + failure.description());
    }
    // A mark that cannot be read is no answer: what is on the disk is.
    bool marked = false;
    try {
        marked = platform_.readInstalledMark(mark) && markedSha256(mark) == sha256;
    } catch (const Failure& failure) {
        platform_.note(L"  " + failure.description() + L": the control on the disk decides");
        marked = !mediumControlSha256_.empty();
    }
    if (!marked || sha256.empty())
        return needs(L"no repair of this program put the control at " + quotedPath(control) + L" in place");
    if (!mediumControlSha256_.empty() && sha256 != mediumControlSha256_)
        return needs(L"the control in place is not the one this medium brings");
    platform_.note("  it does not: the control this medium brings is in place, put there by a repair that went through");
    return 0;
}

// The uninstall command: the same lock, record and put-back as the repair.
int frmMain::restoreUsersControl() {
    platform_.note("Putting the control from before the disc back (/restore)");
    if (!claimMachineLock()) return anotherRepairExitCode;
    const SessionEndGuard guard = controlOutOfPlace(platform_, *this, isVistaOrLater());
    recoverEarlierRun();
    const std::wstring control = getPathFlash(), backup = backupPath(control), inf = getPathInf();
    std::wstring mark;
    bool marked = true;  // a mark that cannot be read may be there
    try {
        marked = platform_.readInstalledMark(mark);
    } catch (const Failure& failure) {
        platform_.note(L"  " + failure.description());
    }
    const bool there = platform_.fileExists(control), ours = there && readsAsDiscs(control);
    if (!marked && !ours) {
        platform_.note("  nothing of the disc's is here: nothing to take away");
        return nothingToRestoreExitCode;
    }
    // A control installed since (by the user, by another installer) is no
    // more this program's to discard than the backup is: it stays, and is
    // registered again (a /restore cut off while registering it may have
    // left it unregistered); only the mark goes.
    if (there && !ours) {
        platform_.note(L"  " + quotedPath(control) + L" was not put there by this program: it stays" +
                       (platform_.fileExists(backup) ? L", and so does " + quotedPath(backup) : std::wstring()));
        if (!registerControl()) platform_.note("  its registration had not ended in time");
    } else {
        // The disc's control goes, and what the machine had before comes
        // back: the user's control from its backup, or none. Written ahead,
        // before the unregistration: a run cut off at any instant is
        // finished by the next, and nothing goes before what replaces it
        // stands in its place.
        record_ = RepairRecord{};
        record_.step = L"putting the control from before the disc back";
        record_.usersControl = platform_.fileExists(backup) ? backup : std::wstring();
        record_.mediumCopyInPlace = there;
        record_.copySha256 = markedSha256(mark);
        if (!inf.empty() && !platform_.fileExists(inf) && platform_.fileExists(backupPath(inf))) record_.inf = inf;
        recording_ = true;
        saveRecord();
        if (there) {
            noteLoaded(control);
            uninstallFlashOCX();
        }
        const std::wstring outcome = putBackInstalledControl();
        puttingBack_ = false;
        if (recording_ || putBackFailed_) {
            // Where the disc's control is back in its place, the machine is
            // as it was once that is registered again.
            bool asBefore = false;
            try {
                asBefore = !putBackMoved_ && there && discsControl(control) && registerControl();
            } catch (const Failure&) {
            }
            leadWith(asBefore ? unchangedMeaning : mayNotWorkMeaning);
            if (asBefore) {  // nothing is left for a later run to finish
                recording_ = false;
                try {
                    platform_.clearRepairRecord();
                } catch (const Failure&) {
                }
            }
            throw Failure(failedExitCode, L"putting the control from before the disc back failed.\r\n" + outcome +
                                              (asBefore ? L" The disc's control is registered again." : L""));
        }
        platform_.note(outcome);
    }
    try {
        platform_.writeInstalledMark(std::wstring());
        platform_.note("  the mark of what this program installed is removed");
    } catch (const Failure& failure) {
        platform_.note(L"  " + failure.description());
    }
    return restartNeeded_ ? restartNeededExitCode : 0;
}

// Before anything else: a record left on the disk means that an earlier
// run was cut off half-way (a power cut, Task Manager). Its user's control
// goes back as after a failure, and only then does this run begin. A run
// cut off after its repair went through leaves only its own files to tidy.
void frmMain::recoverEarlierRun() {
    platform_.note("Looking for the record of an earlier repair that was cut off");
    std::wstring text;
    RepairRecord record;
    try {
        if (!platform_.readRepairRecord(text)) return;
        record = RepairRecord::parse(text);
        checkRecordNames(record);
    } catch (const Failure&) {
        // What a run cut off left aside cannot be told: nobody is told it works as before.
        leadWith(mayNotWorkMeaning);
        throw;
    }
    record_ = record;
    recording_ = true;
    leadWith(mayNotWorkMeaning);  // until what the cut-off run moved is back
    if (record_.finished) {
        leadWith(unchangedMeaning);
        discardReplaced();
        discardOwnFiles();
        settleKeptBackup();
        if (!doubt_.empty()) throw Failure(ERROR_CAN_NOT_COMPLETE, L"tidying up after an earlier repair failed: " + doubt_);
        recording_ = false;
        platform_.clearRepairRecord();
        return platform_.note("An earlier run had finished its repair; what it left behind was removed");
    }
    const std::wstring cutOff = L"An earlier run was cut off while " + record_.step;
    const bool usersControl = !record_.usersControl.empty();
    const std::wstring outcome = putBackInstalledControl();
    puttingBack_ = false;
    if (recording_ || !doubt_.empty())
        throw Failure(ERROR_CAN_NOT_COMPLETE, cutOff + L", and what it had moved aside could not be put back.\r\n" + outcome);
    platform_.note(cutOff + (usersControl ? L"; the control it had moved aside was put back. "
                                          : L"; the machine had no control of its own. ") + outcome);
}

// The elevated instance shows its own report of a failure and ends with
// its own exit codes; any other means that it was ended from outside (Task
// Manager) or crashed before it could say so. A declined consent, or a
// user who may not give it (the prompt switched off), leaves the machine
// as it was, and the disc's content needs no repair.
DWORD frmMain::repairElevated() {
    platform_.note("Starting the repair as administrator");
    StartedProcess elevated{};
    try {
        elevated = platform_.launchElevatedRepair(
            (restore_ ? L" /restore" : L"") +
            (installerLimitSeconds_ == 0 ? std::wstring() : L" /timeout " + decimal(installerLimitSeconds_)));
    } catch (const Failure& failure) {
        if (failure.number() == ERROR_CANCELLED) {
            platform_.note("The user declined to let the repair run as administrator: the repair is skipped");
            return ERROR_CANCELLED;
        }
        if (failure.number() != ERROR_ACCESS_DENIED) throw;
        platform_.note("The repair is skipped: it needs an administrator, and this user is not one");
        return notAnAdministratorExitCode;
    }
    elevated_ = elevated.handle;
    // A menu that will run with this instance's full token is checked
    // while the repair runs, not after it.
    if (!noMenu_ && menuRunsAsAdministrator()) {
        try {
            checkMedium();
        } catch (const Failure& failure) {
            menuRefused_ = failure.description();
        }
    }
    DWORD exitCode = 0;
    {
        SessionEndGuard guard(platform_, *this, L"",
                              L"Until the repair has ended, an ending session waits briefly for its last lines");
        waitingForElevated_ = true;
        waitingFor_ = elevated_;
        const bool waited = platform_.waitForRepair(elevated_, exitCode, elevatedTidying_);
        waitingFor_ = nullptr;
        waitingForElevated_ = false;
        if (!waited) throw failureFor("waiting for the repair", platform_.GetLastError());
    }
    for (int known : {0, anotherRepairExitCode, ownFaultExitCode, restartNeededExitCode, failedExitCode,
                      timedOutExitCode, nothingToRestoreExitCode})
        if (exitCode == static_cast<DWORD>(known)) return exitCode;
    platform_.note(L"The repair ended with exit code " + decimal(exitCode) + L" before it could say why");
    report(failureReport({mayNotWorkMeaning, runAgainToPutBack},
                         platform_.logFile(),
                         L"The repair stopped before it finished (its process ended with exit code " + decimal(exitCode) +
                             L")."),
           criticalOk, L"Tolvane");
    return repairStoppedExitCode;
}

// Windows ends the program soon after this returns: nothing here may wait
// long, show a box or start the menu. What the step waits for is ended
// first, so that nothing writes over the control after it is put back.
void frmMain::sessionEnding() noexcept {
    if (waitingForElevated_) {
        platform_.note("The session is ending: the repair's last lines are waited for, at most 5 s");
        platform_.WaitForSingleObject(waitingFor_, elevatedSessionEndWaitMs);
        return platform_.endProgram(sessionEndedExitCode);
    }
    if (puttingBack_) {
        platform_.note("The session is ending while the installed control is being put back");
    } else {
        platform_.note("The session is ending: the repair stops here and the installed control is put back");
        if (waitingFor_ != nullptr && platform_.TerminateProcess(waitingFor_, sessionEndedExitCode))
            platform_.WaitForSingleObject(waitingFor_, endedProcessWaitMs);
        platform_.endTrackedProcesses();
        platform_.note(putBackInstalledControl(sessionEndRegistrationLimitMs));
    }
    platform_.endProgram(repairOnly_ ? elevatedRepairFailedExitCode : sessionEndedExitCode);
}

DWORD frmMain::waitFor(HANDLE process, DWORD milliseconds) {
    waitingFor_ = process;
    const DWORD waited = platform_.WaitForSingleObject(process, milliseconds);
    waitingFor_ = nullptr;
    return waited;
}

void frmMain::hideMe() {
    platform_.note("Hiding the program's window");
    platform_.setWindowVisible(false);
}

namespace {

// Shows the report of a failure that ended the run (with /quiet, writes it
// to the log). Nothing may escape from here: the program is about to end
// either way.
void reportFailure(Platform& platform, const ProgramOptions& options, const ReportLead& lead,
                   const std::wstring& what) noexcept {
    try {
        report(platform, options.quiet, failureReport(lead, platform.logFile(), what), criticalOk, L"Tolvane");
    } catch (...) {
    }
}

}  // namespace

// The elevated instance's failures have an exit code of their own, so that
// the first instance can tell them from an end by force.
int runProgram(Platform& platform, const ProgramOptions& given) {
    ProgramOptions options = given;
    ReportLead lead;
    // Where nobody would see a box, none may wait for an answer: settled
    // before anything that can fail, so that not even a failure of the
    // start-up, nor the one about a switch, nor a fault of the program's own
    // shows one.
    const bool desktop = options.repairOnly || platform.hasVisibleDesktop();
    if (!desktop) options.quiet = options.noMenu = true;
    faultBoxShown = !options.quiet;
    try {
        platform.restrictDllSearch();
        // A second start: the run at work starts the menu. A script is told
        // to try again once that run is over. In session 0 and as SYSTEM a
        // named lock lives where any user may make it first: there the
        // machine's lock, which only administrators can hold, is the lock.
        const bool namedLock = desktop && !platform.runsAsSystem();
        if (!options.repairOnly && !platform.claimSingleRun(namedLock ? singleRunLock : L""))
            return !options.bad.empty() ? badSwitchExitCode : options.quiet || options.noMenu ? anotherRepairExitCode : 0;
        if (!desktop) platform.note("No desktop anybody sees: as with /quiet /nomenu");
        if (!options.bad.empty()) {
            const std::wstring what = L"The switch " + quotedPath(options.bad) +
                                      (options.logNeedsFile ? L" needs a file: /log FILE" : L" is not known");
            platform.note(what + L": nothing is done");
            report(platform, options.quiet, what + L".\r\n\r\n" + switchesHelp, exclamationOk, L"Tolvane");
            return badSwitchExitCode;
        }
        if (options.help) {
            platform.note("Listing the switches (/?): nothing is done");
            report(platform, options.quiet, switchesHelp, informationOk, L"Tolvane");
            return 0;
        }
        platform.createMainWindow(L"Tolvane");
        frmMain form(platform, options, &lead);
        if (options.check) return form.checkOnly();
        if (options.repairOnly) form.repairOnly();
        else form.Form_Load();
        return 0;
    } catch (const Failure& failure) {
        // Nothing this run changed is no comfort where a run cut off earlier
        // left the control aside: its record says so.
        if (lead.meaning == unchangedMeaning) {
            std::wstring record;
            try {
                if (platform.readRepairRecord(record) && record.find(L"\nfinished=yes\n") == std::wstring::npos)
                    lead.meaning = mayNotWorkMeaning;
            } catch (...) {
                lead.meaning = mayNotWorkMeaning;
            }
        }
        reportFailure(platform, options, lead, failure.description());
        for (int code : {timedOutExitCode, ownFaultExitCode, logFailureExitCode})
            if (failure.number() == static_cast<std::uint32_t>(code)) return code;
    } catch (const std::exception&) {
        reportFailure(platform, options, lead, L"Tolvane ran out of memory");
    }
    return failedExitCode;
}

}  // namespace tolvane
