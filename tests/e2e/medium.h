// A sample medium in the Wine prefix's C: drive, and a watched run of
// Tolvane.exe on it.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "helpers/test_files.h"

namespace tolvane::testing {

// Folder of the test executable: Tolvane.exe, standin.exe and the test
// controls are built beside it.
std::wstring buildFolder();
void copyInto(const std::wstring& source, const std::wstring& destination);
std::wstring systemFolder();
std::wstring windowsFolder();

struct MessageBoxSeen {
    std::wstring title;
    std::wstring text;
};

struct RunResult {
    bool ended = false;  // false: still running at the time limit, or cut off, then ended by force
    bool cutOff = false;  // every process of the run was ended at once (see Medium::cutOffWhenLogged)
    DWORD processId = 0;  // of the Tolvane.exe the test started
    DWORD exitCode = 0;
    double cpuSeconds = 0;          // kernel and user time of Tolvane.exe, start-up included
    // (log clock in ms, Tolvane.exe's processor seconds so far), sampled while it ran.
    std::vector<std::pair<double, double>> cpuSamples;
    bool windowFound = false;       // the main window existed while we watched
    bool windowSeenVisible = false;
    std::vector<MessageBoxSeen> boxes;  // every box Tolvane showed; each was closed with OK
    std::vector<std::string> log;       // the stand-ins' log lines, timestamps removed
    std::vector<std::pair<double, std::string>> timedLog;
    DWORD secondExitCode = 259;  // of the second start, when there was one (STILL_ACTIVE: it did not end)

    // The log lines that begin with `prefix`.
    std::vector<std::string> linesStarting(const std::string& prefix) const;
    // Time of the first log line beginning with `prefix`, or -1.
    double timeOf(const std::string& prefix) const;
    // Processor seconds Tolvane.exe used between two times of the log clock,
    // from the samples nearest inside that span.
    double cpuSecondsBetween(double fromMs, double toMs) const;
    // The whole log, one indented line each, for failure messages.
    std::string logText() const;
};

// A browser showing a page with the control: holder.exe (the stand-in)
// keeps the DLL at `dll` loaded until releaseHolders(), which every test
// that starts one calls.
std::wstring holderCommandLine(const std::wstring& dll);
void startHolder(const std::wstring& dll);
void releaseHolders();
// The files Windows is to delete at the next restart
// (PendingFileRenameOperations), as plain paths; and that list cleared.
std::vector<std::wstring> deletionsAtRestart();
void forgetDeletionsAtRestart();

// Tolvane.log in the temporary folder of the run (UTF-16, byte-order mark
// removed); "<missing>" when there is none.
std::wstring runLog(const std::wstring& temporaryFolder = L"");

// The machine's side: the installed control and the setup information file,
// in the prefix's own system and Windows folders.
struct Machine {
    static std::wstring controlFolder();  // <system>\Macromed\Flash
    static std::wstring controlPath();    // ...\flash.ocx
    static std::wstring controlBackup();  // ...\flash.bkp
    static std::wstring infFolder();      // <windows>\ServicePackFiles\i386
    static std::wstring infPath();        // ...\swflash.inf
    static std::wstring infBackup();      // ...\swflash.bkp
    // An empty control folder, no INF folder.
    static void reset();
    // The installer's folders in the Windows folder's Temp (Tolvane.*).
    static std::vector<std::wstring> installerFolders();
    // The "installed" build of the test control at the control path.
    static void installControl();
    static void installInf();
    static std::string installedControlBytes();
    static std::string mediumControlBytes();
    static const char* const infContent;
};

class Medium {
public:
    // A fresh medium folder C:\tolvane-e2e\<name> with Tolvane.exe in it.
    explicit Medium(const std::wstring& name);
    // A fresh medium at the root of the CD-ROM drive D:.
    static Medium onCdRom() { return Medium(L"D:", 0); }
    // The sample CD as the publisher's tool mastered it (the test
    // MediumTool.MastersTheSampleCd), at the root of D:, read-only.
    static Medium masteredOnCdRom();
    // The same sample in C:\tolvane-e2e\<name>, where it can be changed.
    static Medium mastered(const std::wstring& name);

    const std::wstring& root() const { return root_; }
    std::wstring operator/(const std::wstring& relative) const { return root_ + L"\\" + relative; }

    // Puts the stand-in program at `relative` (e.g. L"data\\menu.exe").
    void addStandin(const std::wstring& relative);
    // A build of the test control (medium, broken) as data\Flash.ocx.
    void addControl(const std::wstring& build = L"medium");
    // The whole medium: installer and menu stand-ins and the control.
    void layOut();
    // Every file on the medium read-only, as on a pressed CD.
    void makeReadOnly();

    // Variables the started programs see (STANDIN_*).
    std::map<std::wstring, std::wstring> environment;
    // Windows version that Wine reports to Tolvane.exe: winxp, win7, win10.
    std::wstring windowsVersion = L"winxp";
    // Switches on Tolvane.exe's command line (/quiet ...).
    std::wstring arguments;
    // Folder the program is started in; its root by default.
    std::wstring currentFolder;
    // When set, Tolvane.exe is started a second time this long after the
    // first (a double-click); RunResult::secondExitCode tells how it ended.
    DWORD secondStartAfterMs = 0;
    // When a stand-in logs a line that begins so, every process of the run
    // is ended at once, as by a power cut (RunResult::cutOff).
    std::string cutOffWhenLogged;
    // When a stand-in logs a line that begins so, `act` runs once (another
    // program of the user at work during the run).
    std::string actWhenLogged;
    std::function<void()> act;

    // Starts Tolvane.exe, watches its windows, closes every box it shows with
    // OK, waits until it and the programs it started have ended.
    RunResult run(DWORD timeLimitMs = 60000);

private:
    Medium(const std::wstring& root, int);
    std::wstring root_;
};

}  // namespace tolvane::testing
