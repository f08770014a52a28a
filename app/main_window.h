// frmMain: the program's one window object. It is never shown; its load
// handling chooses what the run does (the repair, here or in an elevated
// instance; /check; /restore), hands over to that unit, starts the menu and
// ends the program. It owns the pieces the units share, and speaks for the
// run when the session ends.
#pragma once

#include <string>

#include "maintenance/options.h"
#include "maintenance/reports.h"
#include "app/repair.h"
#include "maintenance/journal.h"
#include "platform/platform.h"

namespace tolvane {

class frmMain : private SessionEndListener, private WhileRepairRuns {
public:
    frmMain(Platform& platform, InstanceChannel& channel, const ProgramOptions& options = ProgramOptions(),
            ReportLead* lead = nullptr)
        : run_(platform, options, lead != nullptr ? *lead : ownLead_, channel), platform_(platform), machine_(platform),
          registration_(run_, machine_), medium_(run_, machine_), journal_(run_, machine_, registration_, medium_) {}
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    // The load handling of the program as the user started it: the repair,
    // here on Windows XP and 2003 where the user is an administrator, else in
    // an elevated instance of the program; then the menu, as this user,
    // unless the repair failed; then the end of the program, with the exit
    // code that says how the repair went.
    void Form_Load();
    // The load handling of the elevated instance: the repair alone (or,
    // with /restore, the restore alone).
    void repairOnly();
    // /check (see Detection).
    int checkOnly();

    void hideMe();
    void executeChecker();

private:
    // The lock, an earlier run's record, then the repair (see Repair): false
    // when another repair holds the machine's lock: nothing was done.
    bool repairHere(Repair& repair);
    // The same for /restore (see Uninstall); 1618 when another holds the lock.
    int restoreHere();
    // The menu runs with administrator rights: on XP as an administrator,
    // from Vista on with a full token.
    bool menuRunsAsAdministrator();
    // The session ends during the repair: the step's processes ended, the
    // control put back, no menu. In the first instance that waits for the
    // elevated one: that one's lines waited for, briefly.
    void sessionEnding() noexcept override;
    // The menu that will run with administrator rights, made ready; in the
    // elevated instance, the first one told that the installer runs.
    void whileRepairRuns() noexcept override;

    ReportLead ownLead_;
    RunContext run_;
    Platform& platform_;
    Machine machine_;
    Registration registration_;
    MediumCheck medium_;
    Journal journal_;
    bool repairOnly_ = false;
};

// The lock that keeps a second start (a double-click on the medium) from
// running the repair while one is at work.
inline constexpr wchar_t singleRunLock[] = L"Local\\Tolvane.Repair";

// Restricts the DLL search, takes the single-run lock, creates the main window
// and runs its load handling. An unhandled failure is reported in a box titled
// "Tolvane" (with /quiet, in the log) and gives exit code 1; otherwise 0,
// also when another run holds the lock (that run will start the menu). /? and
// a switch the program does not know change nothing. The elevated instance
// (`repairOnly`) takes no lock and runs only the repair. The channel to the
// other instance is `channel`, or one of the run's own on `platform`.
int runProgram(Platform& platform, const ProgramOptions& options = ProgramOptions(), InstanceChannel* channel = nullptr);

}  // namespace tolvane
