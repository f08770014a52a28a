// frmMain: the program's one window object. It is never shown; its load
// handling runs the repair sequence and ends the program.
#pragma once

#include <string>
#include <vector>

#include "app/options.h"
#include "app/reports.h"
#include "platform/platform.h"

namespace tolvane {

// How long a run of the registration tool is waited for; one still running
// then is left to run. When the session ends, Windows ends the program soon
// after it has been told: the registration is waited for a shorter time.
inline constexpr DWORD registrationTimeLimitMs = 60000;
inline constexpr DWORD sessionEndRegistrationLimitMs = 3000;

// How long the installer is waited for where nobody watches, by default.
inline constexpr DWORD quietInstallerLimitSeconds = 900;

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

// The refusal of a medium's file at `path` that is not as it was made:
// `what` is " is missing (", " could not be read (" or " was changed after
// the medium was made (", then `why`.
Failure refusedMediumFile(const std::wstring& path, const std::wstring& why,
                          const wchar_t* what = L" was changed after the medium was made (");

class frmMain : private SessionEndListener {
public:
    ~frmMain() {
        if (elevated_ != nullptr) platform_.CloseHandle(elevated_);
    }
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;
    explicit frmMain(Platform& platform, const ProgramOptions& options = ProgramOptions(), ReportLead* lead = nullptr)
        : platform_(platform), lead_(lead != nullptr ? *lead : ownLead_), quiet_(options.quiet), noMenu_(options.noMenu), restore_(options.restore),
          installerLimitSeconds_(options.timeoutGiven ? options.timeoutSeconds
                                 : options.quiet      ? quietInstallerLimitSeconds
                                                      : 0) {}

    // The load handling of the program as the user started it: the repair
    // (see repair), here on Windows XP and 2003 where the user is an
    // administrator, else in an elevated instance of the program; then the
    // menu, as this user, unless the repair failed; then the end of the
    // program, with the exit code that says how the repair went.
    void Form_Load();
    // The load handling of the elevated instance: the repair alone (or,
    // with /restore, the restore alone).
    void repairOnly();
    // /check: the exit code that says whether the machine needs the repair:
    // 0 when the control in place is the one this medium brings, put there
    // by a repair that went through, and no repair was cut off; 1 when it
    // needs it; 1618 while a repair is at work. Changes nothing.
    int checkOnly();
    // /restore: the user's own control back from the backup and registered
    // (on XP swflash.inf too), this program's discarded, its mark cleared.
    // Its exit code: 0, 3010, 1605 without a backup, 1618, or 1603 raised.
    int restoreUsersControl();

    void hideMe();
    // A box, or with /quiet (and where nobody would see it) a line in the log.
    void report(const std::wstring& text, int style, const std::wstring& title);
    void uninstallFlashOCX();
    void renameFlashOCX();
    void renameFlashInf();
    void executeFlashSetup();
    void copyFlashOCX();
    void installFlashOCX();
    void executeChecker();
    std::wstring getPathFlash();
    std::wstring getPathInf();
    bool isWindowsXP();
    // Windows Vista or later, where a program asks for administrator rights
    // when it needs them.
    bool isVistaOrLater();
    // For the run's log: the Windows version as the program sees it, and the
    // system and Windows folders, one line each. Never raises for a probe
    // that fails; its line says why instead.
    std::vector<std::wstring> describeMachine();

private:
    // From the unregistration to the registration. A failure in a step
    // leaves at once; the steps after it do not run. A failure after the
    // unregistration, up to and including the registration, first puts the
    // installed control back in place and registers it again; so does the
    // end of the session in that span.
    // False when another repair holds the machine's lock: nothing was done.
    bool repair();
    // What a repair that went through leaves to tidy (what it replaced, the
    // installer's folder, the record): after the menu has started.
    void tidyUp() noexcept;
    // Before the repair changes anything: every file of the medium is the
    // one the publisher's tool recorded in the program, and held so until
    // the program ends. Raises, naming the file, when one is not.
    void checkMedium();
    // The lock of the one repair on the machine; false when another holds it.
    bool claimMachineLock();
    // Completes a run that was cut off, from its record, before anything
    // else; raises when that cannot be done.
    void recoverEarlierRun();
    // Raises when the record names a file or folder that is not one this
    // program makes: it acts on nothing else.
    void checkRecordNames(const RepairRecord& record);
    // True when the record names `path`: no new name of the run's may be one.
    bool listed(const std::wstring& path) const;
    // ...or when a file stands there.
    bool taken(const std::wstring& path);
    // A name beside `path` for a file of the run's own that is not taken:
    // flash.ocx -> flash.ocx.1.new.
    std::wstring freeOwnName(const std::wstring& path, const wchar_t* suffix);
    // From whatever volume: the installer copied to a new folder only
    // administrators may write, under a name nobody can guess, checked in
    // the same pass against the record and held; it runs from there.
    void prepareInstaller();
    // That folder removed, and no more in the record: only when this run
    // made it, or it is the very folder the record names (its identity); a
    // folder in doubt is left and logged. Never raises.
    void removeInstallerFolder() noexcept;
    // The menu runs with administrator rights: on XP as an administrator,
    // from Vista on with a full token.
    bool menuRunsAsAdministrator();
    // Whether the control is, by its bytes read now, this disc's or the one
    // the last repair that went through put in place (see
    // Platform::readInstalledMark); and that mark written.
    bool installedByUs(const std::wstring& control);
    // The file's bytes, read now, are a disc's control: this medium's, or
    // the one the mark names. False when that cannot be told.
    bool discsControl(const std::wstring& path) noexcept;
    // The same, but raises when that cannot be told.
    bool readsAsDiscs(const std::wstring& path);
    void markInstalled(const std::wstring& control) noexcept;
    void discardReplaced() noexcept;
    // An older backup, after a repair: deleted when it, or the backup now,
    // is a copy of a control that stays (then the older one takes its
    // name); else both stay. Raises where that cannot be told.
    void settleKeptBackup();
    // The run's own files put aside to be deleted, and its installer's
    // folder: deleted (or at the next restart). Never raises.
    void discardOwnFiles() noexcept;
    // A program has the control loaded: a restart is needed (3010).
    void noteLoaded(const std::wstring& control);
    // The record on the disk follows `record_` (while the repair is at work).
    void saveRecord();
    void beginStep(const wchar_t* step);
    // The repair in an elevated instance: its exit code, or ERROR_CANCELLED
    // when the user declined.
    DWORD repairElevated();
    void runTaskAndWait(std::wstring path, int windowStyle);
    // Waits for the process as the platform does; meanwhile it is the one an
    // ending session ends first (see sessionEnding).
    DWORD waitFor(HANDLE process, DWORD milliseconds);
    // Waits for a process of the installer's within the installer's time
    // limit; when that has run out, ends the installer's processes and raises.
    void waitForInstaller(HANDLE process);
    // After the installer has ended: waits for what it handed over to.
    void waitForHandOver();
    // Where a setup the installer hands over to runs from: the user's and
    // Windows' temporary folders, and the medium's data folder.
    std::vector<std::wstring> handOverFolders();
    // The program's folder followed by `fragment` (which begins with a
    // backslash), with one backslash at a drive root: D:\data\menu.exe.
    std::wstring mediumPath(const wchar_t* fragment);

    using FolderCall = UINT (modMain::*)(LPSTR buffer, UINT size);
    // The folder that `folderCall` writes, e.g. C:\WINDOWS\system32.
    std::wstring folderPrefix(FolderCall folderCall, const wchar_t* folderName);
    std::wstring systemFolder();
    std::wstring windowsFolder();

    // How a run of the registration tool went.
    struct ToolRun {
        enum State { noControl, ended, stillRunning } state;
        DWORD exitCode;
        std::wstring control;
    };
    // Starts the system's registration tool on the installed control, if
    // there is one, and waits for it up to registrationTimeLimitMs.
    ToolRun runRegistrationTool(const wchar_t* switches, DWORD timeLimitMs = registrationTimeLimitMs);
    // Registers the installed control; raises when the tool reports a
    // failure. False when the tool was still running at the time limit.
    bool registerControl(DWORD timeLimitMs = registrationTimeLimitMs);
    // After a failure that stopped the run half-way, or at the end of the
    // session: the best control the machine had back at the control path
    // and registered. That is the user's own control from the backup, else
    // the one that stood there before the copy (the installer's); whatever
    // else stands at the control path goes first. Says in one line what was
    // done, or where the user's control is when that could not be finished;
    // never raises.
    std::wstring putBackInstalledControl(DWORD registrationLimitMs = registrationTimeLimitMs) noexcept;
    // Where the user's control is by the record: where it was, or where it
    // was being renamed to; empty when the machine had none (or it is gone).
    std::wstring usersControlNow();
    // The same for the control the installer put in place, kept aside.
    std::wstring replacedControlNow();
    // swflash.inf back where the run found it; what stays aside, if anything.
    std::wstring putInfBack() noexcept;
    // The session ends during the repair: the step's processes ended, the
    // control put back, no menu. In the first instance that waits for the
    // elevated one: that one's lines waited for, briefly.
    void sessionEnding() noexcept override;
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

    // The lead of a failure's report, as far as the run has come.
    void leadWith(const std::wstring& meaning, const std::wstring& todo = std::wstring());
    // After a step failed: the lead from what the put-back did, and, for a
    // file that another program holds, which program to close.
    void leadAfterPutBack(const Failure& failure);

    Platform& platform_;
    ReportLead ownLead_;
    ReportLead& lead_;
    // What the last put-back did: moved a control back; could not finish.
    bool putBackMoved_ = false;
    bool putBackFailed_ = false;
    bool quiet_;   // /quiet: no box
    bool noMenu_;  // /nomenu
    bool restore_;  // /restore in place of the repair
    DWORD installerLimitSeconds_;  // how long the installer is waited for; 0: as long as it takes
    DWORD installerStartedAt_ = 0;  // GetTickCount when it started
    std::wstring installerQuietArgs_;  // the installer's own switches for a run nobody watches
    // A program held the control that was replaced, or the installer asked
    // for a restart: the machine needs one for the repair to take effect.
    bool restartNeeded_ = false;
    DWORD installerExitCode_ = 0;  // the installer's own, kept in the mark
    // What the run has moved, for putting it back; on the disk while
    // `recording_`.
    RepairRecord record_;
    bool recording_ = false;
    bool puttingBack_ = false;
    bool repairOnly_ = false;
    // The process the run waits for (a step's, or the elevated instance):
    // ended first when the session ends.
    HANDLE waitingFor_ = nullptr;
    bool waitingForElevated_ = false;
    // The elevated instance, while it still tidies up after handing back
    // its outcome: waited for briefly after the menu, for its last lines.
    HANDLE elevated_ = nullptr;
    bool elevatedTidying_ = false;
    // The SHA-256 of the medium's control and installer, from the
    // program's record.
    std::wstring mediumControlSha256_;
    FileDigest mediumInstaller_{0, std::wstring()};
    // The installer the run starts, or why it cannot be (its copy failed).
    std::wstring installer_;
    std::wstring installerFailure_;
    // The folder this run made for the installer; empty when none.
    std::wstring installerFolderMade_;
    // The medium's files were checked against the record and are held; or
    // why they are not what it says (for the menu's start).
    bool mediumChecked_ = false;
    // Why a file the run would tidy away is in doubt: the record then stays.
    std::wstring doubt_;
    std::wstring menuRefused_;
};


// The lock that keeps a second start (a double-click on the medium) from
// running the repair while one is at work.
inline constexpr wchar_t singleRunLock[] = L"Local\\Tolvane.Repair";
// The lock of the one repair on the machine, whatever session or instance
// runs it: a file in the Windows folder, where only administrators write.
inline constexpr wchar_t machineRepairLock[] = L"\\Tolvane.lock";
// The folders the installer runs from, in the Windows folder, each with a
// random part: C:\WINDOWS\Temp\Tolvane.3f9c0a1d2b7e4c65.
inline constexpr wchar_t installerFolders[] = L"\\Temp\\Tolvane";

// Restricts the DLL search, takes the single-run lock, creates the main window
// and runs its load handling. An unhandled failure is reported in a box titled
// "Tolvane" (with /quiet, in the log) and gives exit code 1; otherwise 0,
// also when another run holds the lock (that run will start the menu). /? and
// a switch the program does not know change nothing. The elevated instance
// (`repairOnly`) takes no lock and runs only the repair.
int runProgram(Platform& platform, const ProgramOptions& options = ProgramOptions());

// The path with its last three characters replaced: flash.ocx -> flash.bkp.
std::wstring backupPath(const std::wstring& path);

}  // namespace tolvane
