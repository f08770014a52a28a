// frmMain: the hidden window and its load handling, which chooses the unit
// that runs; the menu; the end of the session; runProgram.
#include "app/main_window.h"

#include <optional>

#include "app/detection.h"
#include "app/elevation.h"
#include "app/recovery.h"
#include "app/uninstall.h"
#include "platform/text.h"

namespace tolvane {

namespace {

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
    // Where the repair runs in an elevated instance, the window is made
    // while that one starts (see Elevation::run).
    const bool elevating = machine_.isVistaOrLater() && !(run_.quiet && platform_.isElevated());
    if (!elevating) platform_.createMainWindow(L"Tolvane");
    hideMe();
    Repair repair(run_, machine_, registration_, medium_, journal_);
    Elevation elevation(run_);
    // A menu that will run with administrator rights is made ready while
    // the repair runs, not after it.
    if (!run_.noMenu && menuRunsAsAdministrator()) run_.meanwhile = this;
    DWORD outcome = 0;
    if (elevating) {
        if (run_.quiet) {
            platform_.note("The repair is skipped: with /quiet nobody is asked for consent, and this program has no "
                           "full administrator's token");
            outcome = elevationRequiredExitCode;
        } else {
            outcome = elevation.run(*this);
        }
        const bool menu = outcome == 0 || outcome == ERROR_CANCELLED || outcome == notAnAdministratorExitCode ||
                          outcome == anotherRepairExitCode || outcome == restartNeededExitCode ||
                          outcome == elevationRequiredExitCode;
        if (!menu) return platform_.endProgram(static_cast<int>(outcome));
    } else if (platform_.isAdministrator()) {
        outcome = run_.restore       ? restoreHere()
                  : repairHere(repair) ? (run_.restartNeeded ? restartNeededExitCode : 0)
                                       : anotherRepairExitCode;
    } else {
        platform_.note("The repair is skipped: on this Windows it needs an administrator, and this user is not one");
        outcome = notAnAdministratorExitCode;
    }
    if (outcome == 0 || outcome == restartNeededExitCode) run_.leadWith(IDS_REPAIRED);
    if (run_.noMenu) {
        platform_.note("The menu is not started (/nomenu)");
    } else {
        try {
            executeChecker();
        } catch (...) {
            repair.tidyUp();
            throw;
        }
    }
    repair.tidyUp();
    elevation.waitForItsEnd();
    platform_.endProgram(static_cast<int>(outcome));
}

void frmMain::repairOnly() {
    repairOnly_ = true;
    run_.meanwhile = this;
    platform_.note("The repair runs in a process of its own");
    hideMe();
    // Not the folder the user started the program from, which the user may
    // fill with what an administrator's program then loads.
    platform_.setCurrentFolder(platform_.programFolder());
    if (run_.restore) return platform_.endProgram(restoreHere());
    Repair repair(run_, machine_, registration_, medium_, journal_);
    if (!repairHere(repair)) return platform_.endProgram(anotherRepairExitCode);
    // The first instance starts the menu while this one tidies up.
    const DWORD outcome = run_.restartNeeded ? restartNeededExitCode : 0;
    platform_.note(joined({L"Handing the outcome (exit code ", decimal(outcome), L") back before tidying up"}));
    run_.channel.handOutcome(outcome);
    repair.tidyUp();
    if (run_.restartNeeded) platform_.endProgram(restartNeededExitCode);
}

// One repair at a time on the machine: a second one would take the first
// one's backup for the user's control. A record left by a run that was cut
// off is dealt with first of all, whatever the medium now holds, since that
// needs nothing of it.
bool frmMain::repairHere(Repair& repair) {
    if (!journal_.claimMachineLock()) return false;
    {
        // After a cut-off, the user's control is out of place until it is back.
        const SessionEndGuard guard = controlOutOfPlace(run_, *this, machine_.isVistaOrLater());
        Recovery(run_, journal_).run();
    }
    repair.run(*this);
    return true;
}

// The uninstall: the same lock, record and put-back as the repair.
int frmMain::restoreHere() {
    platform_.note("Putting the control from before the disc back (/restore)");
    if (!journal_.claimMachineLock()) return anotherRepairExitCode;
    const SessionEndGuard guard = controlOutOfPlace(run_, *this, machine_.isVistaOrLater());
    Recovery(run_, journal_).run();
    return Uninstall(run_, machine_, registration_, journal_).run();
}

int frmMain::checkOnly() { return Detection(run_, machine_, medium_, journal_).run(); }

bool frmMain::menuRunsAsAdministrator() {
    return machine_.isVistaOrLater() ? platform_.isElevated() : platform_.isAdministrator();
}

// The path is both the file started and, quoted, the command line, so a
// medium folder with spaces can never start a program that lies beside it.
// With administrator rights, only the menu that was checked runs: a file
// put at its path since (a folder re-pointed) is ended before it runs, and
// a file put beside it since (a DLL it would load) keeps it from running. The
// run's outcome stays what the repair made it.
void frmMain::executeChecker() {
    platform_.note("Starting the medium's menu");
    const std::wstring path = machine_.mediumPath(L"\\data\\menu.exe");
    const bool asAdministrator = menuRunsAsAdministrator();
    // What refuses the menu is noted; a start that fails goes on as a
    // failure, but for a checked start's refusal (ERROR_INVALID_DATA).
    enum { checking, starting, startingChecked } stage = checking;
    try {
        if (asAdministrator) {
            if (!medium_.menuRefused.empty()) throw Failure(ERROR_INVALID_DATA, medium_.menuRefused);
            if (!medium_.checked) medium_.checkMedium();
        }
        if (!asAdministrator || !medium_.checked) {
            stage = starting;
            return static_cast<void>(platform_.launchProgram(quotedPath(path), normalFocus, path));
        }
        platform_.note("  it runs with administrator rights: only the file that was checked may run, beside nothing else");
        medium_.checkNothingAdded();  // what cannot be told refuses the menu too
        stage = startingChecked;
        platform_.launchCheckedProgram(quotedPath(path), normalFocus, path);
    } catch (const Failure& failure) {
        if (stage == starting || (stage == startingChecked && failure.number() != ERROR_INVALID_DATA)) throw;
        platform_.note(L"  the menu does not run: " + failure.description());
    }
}

// Checked, and started suspended, while the installer runs, once it is
// under way: once the repair is over, the menu only has to be let run. A menu refused is said when it is due; any
// other failure is met again then. The elevated instance tells the first.
void frmMain::whileRepairRuns() noexcept {
    if (repairOnly_) return run_.channel.handInstallerRuns();
    try {
        platform_.note("Making the medium's menu ready while the repair runs");
        if (!medium_.checked) medium_.checkMedium();
        if (!medium_.checked) return;
        const std::wstring path = machine_.mediumPath(L"\\data\\menu.exe");
        platform_.noteAbout(path, platform_.readyCheckedProgram(quotedPath(path), normalFocus, path)
                                      ? " is the file that was checked: started suspended, it runs once the repair is over"
                                      : " cannot wait here: it is started once the repair is over");
    } catch (const Failure& failure) {
        if (failure.number() == ERROR_INVALID_DATA || !medium_.checked) medium_.menuRefused = failure.description();
    } catch (...) {
        platform_.noteDropped("the menu is made ready after the repair");
    }
}

// Windows ends the program soon after this returns: nothing here may wait
// long, show a box or start the menu. What the step waits for is ended
// first, so that nothing writes over the control after it is put back.
void frmMain::sessionEnding() noexcept {
    if (run_.waitingForElevated) {
        platform_.note("The session is ending: the repair's last lines are waited for, at most 5 s");
        platform_.WaitForSingleObject(run_.waitingFor, elevatedSessionEndWaitMs);
        return platform_.endProgram(sessionEndedExitCode);
    }
    if (run_.puttingBack) {
        platform_.note("The session is ending while the installed control is being put back");
    } else {
        platform_.note("The session is ending: the repair stops here and the installed control is put back");
        if (run_.waitingFor != nullptr && platform_.TerminateProcess(run_.waitingFor, sessionEndedExitCode))
            platform_.WaitForSingleObject(run_.waitingFor, endedProcessWaitMs);
        platform_.endTrackedProcesses();
        platform_.note(journal_.putBackInstalledControl(sessionEndRegistrationLimitMs).line);
    }
    platform_.endProgram(repairOnly_ ? elevatedRepairFailedExitCode : sessionEndedExitCode);
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
        report(platform, options.quiet, failureReport(platform, lead, platform.logFile(), what), criticalOk, L"Tolvane");
    } catch (...) {
        platform.noteDropped("the report is not shown");
    }
}

}  // namespace

// The elevated instance's failures have an exit code of their own, so that
// the first instance can tell them from an end by force.
int runProgram(Platform& platform, const ProgramOptions& given, InstanceChannel* channel) {
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
        std::optional<InstanceChannel> ownChannel;
        if (channel == nullptr) channel = &ownChannel.emplace(platform, options);
        if (!options.repairOnly && !platform.claimSingleRun(namedLock ? singleRunLock : L"")) {
            channel->tellOtherRuns();
            return !options.bad.empty() ? badSwitchExitCode : options.quiet || options.noMenu ? anotherRepairExitCode : 0;
        }
        if (!desktop) platform.note("No desktop anybody sees: as with /quiet /nomenu");
        // What a person reads is in their language (the elevated instance's
        // person is the first instance's); the log stays in English.
        lead.language = options.language != 0 ? textsFor(options.language) : textsFor(platform.userLanguage());
        faultBoxLanguage = lead.language;
        platform.note(lead.language == spanishTexts ? "The person's reports are in Spanish (0C0A)"
                                                    : "The person's reports are in English (0409)");
        const auto text = [&](unsigned id) { return platform.text(id, lead.language); };
        if (!options.bad.empty()) {
            const unsigned what = options.logNeedsFile ? IDS_SWITCH_NEEDS_FILE : IDS_SWITCH_NOT_KNOWN;
            platform.note(withArgument(platform.text(what, englishTexts), quotedPath(options.bad)) + L" Nothing is done.");
            report(platform, options.quiet, joined({withArgument(text(what), quotedPath(options.bad)), L"\r\n\r\n",
                                                    text(IDS_SWITCHES_HELP)}),
                   exclamationOk, L"Tolvane");
            return badSwitchExitCode;
        }
        if (options.help) {
            platform.note("Listing the switches (/?): nothing is done");
            report(platform, options.quiet, text(IDS_SWITCHES_HELP), informationOk, L"Tolvane");
            return 0;
        }
        // The load handling makes its window itself (see Form_Load).
        if (options.check || options.repairOnly) platform.createMainWindow(L"Tolvane");
        frmMain form(platform, *channel, options, &lead);
        if (options.check) return form.checkOnly();
        if (options.repairOnly) form.repairOnly();
        else form.Form_Load();
        return 0;
    } catch (const Failure& failure) {
        // Nothing this run changed is no comfort where a run cut off earlier
        // left the control aside: its record says so.
        if (lead.meaning == IDS_UNCHANGED) {
            std::wstring record;
            try {
                if (RecordStore(platform).readRecord(record) && !RepairRecord::parse(record).finished)
                    lead.meaning = IDS_MAY_NOT_WORK;
            } catch (...) {  // a record that cannot be read or acted on
                platform.noteDropped("the report says the control may not work as before");
                lead.meaning = IDS_MAY_NOT_WORK;
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
