// The whole repair on a machine with (or without) the control installed.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e/medium.h"

namespace tolvane::testing {
namespace {

class RepairRun : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::reset();
        forgetDeletionsAtRestart();
    }
    // TOLVANE_E2E_KEEP_MACHINE leaves the files and the deletions scheduled
    // for a restart to the caller (tests/wine/restart_test.sh).
    void TearDown() override {
        releaseHolders();
        if (::GetEnvironmentVariableW(L"TOLVANE_E2E_KEEP_MACHINE", nullptr, 0) != 0) return;
        Machine::reset();
        forgetDeletionsAtRestart();
    }
    // The one file scheduled for deletion at the next restart, which must be
    // in the control's folder; empty when there is not exactly one.
    static std::wstring theOneDeletionAtRestart() {
        const auto scheduled = deletionsAtRestart();
        EXPECT_EQ(scheduled.size(), 1u);
        if (scheduled.size() != 1) return std::wstring();
        EXPECT_EQ(scheduled[0].rfind(Machine::controlFolder() + L"\\", 0), 0u) << narrow(scheduled[0]);
        return scheduled[0];
    }

    static std::string registered(const std::wstring& path, const char* mark) {
        return "control register " + narrow(path) + " mark=" + mark;
    }
    static std::string unregistered(const std::wstring& path, const char* mark) {
        return "control unregister " + narrow(path) + " mark=" + mark;
    }
    // A run that went through: no box, exit code 0 (3010 where a program held
    // the control that was replaced), the medium's control registered at the
    // control path, the menu started.
    static void expectTheRunReachedTheMenu(const RunResult& result, DWORD exitCode = 0) {
        ASSERT_TRUE(result.ended);
        EXPECT_EQ(result.exitCode, exitCode);
        EXPECT_TRUE(result.boxes.empty());
        EXPECT_EQ(result.linesStarting(registered(Machine::controlPath(), "medium")).size(), 1u) << result.logText();
        EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << result.logText();
    }
    // The report names the failed action and, on its next line, what became
    // of the installed control (`recovery`); the medium's control is not
    // registered and the menu does not start.
    static void expectNothingAfterTheFailure(const RunResult& result, const std::wstring& failedAction,
                                             const std::wstring& recovery = L"") {
        ASSERT_TRUE(result.ended);
        EXPECT_NE(result.exitCode, 0u);
        ASSERT_EQ(result.boxes.size(), 1u) << result.logText();
        EXPECT_EQ(result.boxes[0].title, L"Tolvane");
        EXPECT_NE(result.boxes[0].text.find(L"\r\n\r\nDetails for support:\r\n" + failedAction), std::wstring::npos)
            << narrow(result.boxes[0].text);
        EXPECT_NE(result.boxes[0].text.find(L"\r\n" + recovery), std::wstring::npos) << narrow(result.boxes[0].text);
        for (const auto& line : result.linesStarting("control register"))
            EXPECT_EQ(line.find("mark=medium"), std::string::npos) << result.logText();
        EXPECT_TRUE(result.linesStarting("menu.exe").empty()) << result.logText();
    }
    // Each of `parts` is in the run's log, in this order.
    static void expectInTheRunLog(const std::vector<std::wstring>& parts) {
        const std::wstring log = runLog();
        std::size_t at = 0;
        for (const auto& part : parts) {
            at = log.find(part, at);
            ASSERT_NE(at, std::wstring::npos) << "not in the log, or out of order: " << narrow(part) << "\n" << narrow(log);
        }
    }
    static std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }
};

TEST_F(RepairRun, OnWindowsXPTheWholeRunRepairsTheControl) {
    Machine::installControl();
    Machine::installInf();
    Medium medium(L"repair-xp");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_WRITES"] = Machine::controlPath();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"1500";
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    // The old control was unregistered where it lay, before it was moved aside.
    EXPECT_EQ(result.linesStarting(unregistered(Machine::controlPath(), "installed")).size(), 1u) << result.logText();
    // Backups: the old control and the service pack's INF file.
    EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());
    EXPECT_EQ(readFile(Machine::infBackup()), Machine::infContent);
    EXPECT_FALSE(isFile(Machine::infPath()));
    // The medium's control replaced what the installer put there, byte for byte.
    EXPECT_EQ(result.linesStarting("install_flash_player.exe wrote").size(), 1u) << result.logText();
    EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
    // The registration tool loaded the medium's control after the installer had ended.
    double installerEnd = result.timeOf("install_flash_player.exe end");
    double registration = result.timeOf("control register");
    EXPECT_GT(registration, installerEnd) << result.logText();
    // The run's log: each step with its paths and results.
    const std::wstring control = quoted(Machine::controlPath());
    expectInTheRunLog({L"counts as Windows XP: yes",
                       L"copied " + quoted(medium / L"data\\install_flash_player.exe") + L" to \"" + windowsFolder() +
                           L"\\Temp\\Tolvane.", L"\\install_flash_player.exe\": SHA-256 ",
                       L"regsvr32 " + control + L" /u /s: process id ",
                       L"ended with exit code 0", L"renamed " + control + L" to " + quoted(Machine::controlBackup()),
                       L"renamed " + quoted(Machine::infPath()) + L" to " + quoted(Machine::infBackup()),
                       L"started \"" + windowsFolder() + L"\\Temp\\Tolvane.", L"\\install_flash_player.exe\"",
                       L"ended with exit code 0 after ",
                       L"copied " + quoted(medium / L"data\\Flash.ocx") + L" to " + quoted(Machine::controlPath() + L".1.new"),
                       L"renamed " + quoted(Machine::controlPath() + L".1.new") + L" to " + control + L", in one step",
                       L"regsvr32 " + control + L" /s: process id ", L"ended with exit code 0",
                       L"marked as installed by this program: sha256=",
                       L"started " + quoted(medium / L"data\\menu.exe"),  // the tidying comes after
                       L"\\Temp\\Tolvane.", L"\" is removed", L"the record of the repair is removed",
                       L"The run is over: exit code 0"});
}

TEST_F(RepairRun, WithoutAWritableTemporaryFolderTheRunGoesOnWithoutALog) {
    Medium medium(L"no-temp");
    medium.layOut();
    medium.environment[L"TMP"] = medium / L"no such folder";
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    EXPECT_EQ(runLog(medium / L"no such folder"), L"<missing>");
}

// The system's registration tool swapped for the spy (see standin.cpp), so
// the tests can read the command lines it receives.
class RegistrationSpy {
public:
    RegistrationSpy() : tool_(systemFolder() + L"\\regsvr32.exe"), saved_(tool_ + L".tolvane-saved") {
        ::MoveFileExW(tool_.c_str(), saved_.c_str(), MOVEFILE_REPLACE_EXISTING);
        copyInto(buildFolder() + L"\\standin.exe", tool_);
        setOverride(L"native");  // Wine would otherwise run its built-in tool whatever the file holds
    }
    ~RegistrationSpy() {
        setOverride(nullptr);
        ::MoveFileExW(saved_.c_str(), tool_.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    RegistrationSpy(const RegistrationSpy&) = delete;
    RegistrationSpy& operator=(const RegistrationSpy&) = delete;

private:
    static void setOverride(const wchar_t* value) {
        HKEY key;
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        if (value == nullptr)
            ::RegDeleteValueW(key, L"regsvr32.exe");
        else
            ::RegSetValueExW(key, L"regsvr32.exe", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             static_cast<DWORD>((::lstrlenW(value) + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
    }

    std::wstring tool_;
    std::wstring saved_;
};

TEST_F(RepairRun, RegistrationToolGetsTheUsualCommandLinesMinimised) {
    RegistrationSpy spy;
    Machine::installControl();
    Medium medium(L"command-lines");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"1000";
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    const std::string control = narrow(Machine::controlPath());
    EXPECT_EQ(result.linesStarting("spy regsvr32"),
              (std::vector<std::string>{"spy regsvr32 start show=2 cmd=regsvr32 \"" + control + "\" /u /s",
                                        "spy regsvr32 end code=0",
                                        "spy regsvr32 start show=2 cmd=regsvr32 \"" + control + "\" /s",
                                        "spy regsvr32 end code=0"}))
        << result.logText();
    // Each run of the tool had ended before the next step.
    EXPECT_LT(result.timeOf("spy regsvr32 end"), result.timeOf("install_flash_player.exe start"));
    EXPECT_LT(result.timeOf("control register"), result.timeOf("menu.exe start"));
}

// The parent process ids show who ran what: only the repair as
// administrator (under Wine every process has a full token, and "runas"
// asks nobody), the menu as the user who started the program.
TEST_F(RepairRun, OnALaterWindowsOnlyTheRepairRunsAsAdministratorAndTheInfFileIsLeftAlone) {
    RegistrationSpy spy;
    Machine::installControl();
    Machine::installInf();
    Medium medium(L"repair-win7");
    medium.layOut();
    medium.windowsVersion = L"win7";
    medium.environment[L"STANDIN_LOG_PARENTS"] = L"1";
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    EXPECT_EQ(readFile(Machine::infPath()), Machine::infContent);
    EXPECT_FALSE(isFile(Machine::infBackup()));
    EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());
    EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
    const std::string user = std::to_string(result.processId);
    const auto installer = result.linesStarting("install_flash_player.exe parent=");
    ASSERT_EQ(installer.size(), 1u) << result.logText();
    const std::size_t at = std::string("install_flash_player.exe parent=").size();
    const std::string elevated = installer[0].substr(at, installer[0].find(' ', at) - at);
    EXPECT_NE(elevated, user);
    EXPECT_EQ(installer[0], "install_flash_player.exe parent=" + elevated + " grandparent=" + user);
    for (const auto& tool : result.linesStarting("regsvr32.exe parent="))
        EXPECT_EQ(tool, "regsvr32.exe parent=" + elevated + " grandparent=" + user);
    EXPECT_EQ(result.linesStarting("regsvr32.exe parent=").size(), 2u) << result.logText();
    EXPECT_EQ(result.linesStarting("menu.exe parent=").at(0).rfind("menu.exe parent=" + user + " ", 0), 0u);
    // One log, the user's, with the elevated instance's lines in it: its
    // outcome is handed back once the control is registered, the menu
    // starts, and its tidying lines come after.
    expectInTheRunLog({L"Starting the repair as administrator", L"The repair runs in a process of its own",
                       L"Registering the control", L"Handing the outcome (exit code 0) back before tidying up",
                       L"the repair's outcome: exit code 0, handed back while it tidies up",
                       L"started \"" + (medium / L"data\\menu.exe") + L"\"", L"Tidying up after the repair",
                       L"The repair is over: exit code 0",
                       L"\"Tolvane.exe\" (process " + std::wstring(elevated.begin(), elevated.end()) + L") ended with exit code 0",
                       L"The run is over: exit code 0"});
}

// A deployment script as an administrator on Windows 7: the repair in the
// program's own process (no elevated instance), no box, no menu, the log
// where the script wants it; a switch not known changes nothing.
TEST_F(RepairRun, FromAScriptTheSwitchesGiveNoBoxNoMenuAndTheLogWhereAsked) {
    Machine::installControl();
    Medium medium(L"deploy");
    medium.layOut();
    medium.windowsVersion = L"win7";
    medium.environment[L"STANDIN_LOG_PARENTS"] = L"1";
    // A toolkit's log folder not made yet, and the switch it passes to every installer.
    removeTree(L"C:\\tolvane-e2e\\deploy logs");
    const std::wstring logFile = L"C:\\tolvane-e2e\\deploy logs\\Software\\Tolvane.log";
    medium.arguments = L"/QUIET -nomenu /norestart /log \"" + logFile + L"\"";
    RunResult result = medium.run();
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_TRUE(result.linesStarting("menu.exe").empty()) << result.logText();
    EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
    const auto installer = result.linesStarting("install_flash_player.exe parent=");
    ASSERT_EQ(installer.size(), 1u) << result.logText();
    EXPECT_EQ(installer[0].rfind("install_flash_player.exe parent=" + std::to_string(result.processId) + " ", 0), 0u)
        << installer[0];
    const std::wstring log = runLog(L"C:\\tolvane-e2e\\deploy logs\\Software");
    EXPECT_NE(log.find(L"the program has a full administrator's token"), std::wstring::npos) << narrow(log);
    EXPECT_NE(log.find(L"The menu is not started (/nomenu)"), std::wstring::npos) << narrow(log);
    EXPECT_NE(log.find(L"The run is over: exit code 0"), std::wstring::npos) << narrow(log);

    medium.arguments = L"/quiet /bogus";
    result = medium.run();
    EXPECT_EQ(result.exitCode, 87u);
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_TRUE(result.log.empty()) << result.logText();
}

// A run cut off after the backup left it as the only copy of the user's control.
TEST_F(RepairRun, WithOnlyABackupNothingIsUnregisteredAndTheBackupIsKept) {
    copyInto(buildFolder() + L"\\testctl_installed.dll", Machine::controlBackup());
    Medium medium(L"no-control");
    medium.layOut();
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    EXPECT_TRUE(result.linesStarting("control unregister").empty()) << result.logText();
    EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());
    EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
}

TEST_F(RepairRun, ASecondRepairOnWindowsXPReplacesTheOldInfBackup) {
    Machine::installControl();
    Machine::installInf();
    writeFile(Machine::infBackup(), "the backup of an earlier repair");
    Medium medium(L"second-repair");
    medium.layOut();
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    EXPECT_EQ(readFile(Machine::infBackup()), Machine::infContent);
    EXPECT_FALSE(isFile(Machine::infPath()));
}

// A scratched disc: the installer put its own control in place, then the
// medium's cannot be read. The user tries again.
TEST_F(RepairRun, AMissingMediumControlAfterTheInstallersOwnPutsTheUsersControlBackAttemptAfterAttempt) {
    Machine::installControl();
    Medium medium(L"no-medium-control");
    medium.addStandin(L"data\\install_flash_player.exe");
    medium.addStandin(L"data\\menu.exe");
    medium.environment[L"STANDIN_INSTALLER_WRITES"] = Machine::controlPath();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        RunResult result = medium.run();
        expectNothingAfterTheFailure(result,
                                     L"copying \"" + (medium / L"data\\Flash.ocx") + L"\" to \"" +
                                         Machine::controlPath() + L".1.new\" failed: ",
                                     L"The control that was installed was put back and registered again.");
        EXPECT_EQ(result.linesStarting("install_flash_player.exe wrote").size(), 1u) << result.logText();
        // Back in its place and registered there, before the report.
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::installedControlBytes());
        EXPECT_FALSE(isFile(Machine::controlBackup()));
        EXPECT_GT(result.timeOf(registered(Machine::controlPath(), "installed")),
                  result.timeOf("install_flash_player.exe end"))
            << result.logText();
        // The report, line by line, in the run's log.
        std::vector<std::wstring> report;
        for (std::size_t from = 0, end; from < result.boxes[0].text.size(); from = end + 2) {
            end = std::min(result.boxes[0].text.find(L"\r\n", from), result.boxes[0].text.size());
            if (end > from) report.push_back(result.boxes[0].text.substr(from, end - from));
        }
        expectInTheRunLog(report);
    }
}

// The user logs off while the installer runs and, on a later Windows, ends
// the session anyway when asked to wait.
TEST_F(RepairRun, AnEndingSessionPutsTheUsersControlBackAndStartsNoMenu) {
    for (const wchar_t* windows : {L"winxp", L"win7"}) {
        SCOPED_TRACE(narrow(windows));
        Machine::installControl();
        Medium medium(L"session-end");
        medium.layOut();
        medium.windowsVersion = windows;
        medium.environment[L"STANDIN_INSTALLER_ENDS_SESSION"] = L"1";
        RunResult result = medium.run();
        ASSERT_TRUE(result.ended);
        EXPECT_EQ(result.exitCode, 1603u);  // ERROR_INSTALL_FAILURE
        EXPECT_TRUE(result.boxes.empty());
        // Windows XP is let go; a later Windows is asked to wait.
        EXPECT_EQ(result.linesStarting("session end asked, answer=").at(0),
                  windows == std::wstring(L"winxp") ? "session end asked, answer=1" : "session end asked, answer=0");
        // The installer was ended before anything was put back: it never
        // came back from telling the program.
        EXPECT_TRUE(result.linesStarting("session end told").empty()) << result.logText();
        EXPECT_GT(result.timeOf(registered(Machine::controlPath(), "installed")),
                  result.timeOf("session end asked"))
            << result.logText();
        EXPECT_TRUE(result.linesStarting("menu.exe").empty()) << result.logText();
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::installedControlBytes());
        EXPECT_FALSE(isFile(Machine::controlBackup()));
        expectInTheRunLog({L"The session is ending", L"The control that was installed was put back and registered again.",
                           L"The run is over: exit code 1"});
    }
}

// Every process of a run is ended at once during the registration, as by a
// power cut: the medium's copy stands at the control's place, the user's
// control in the backup. The next start puts the user's control back before
// it repairs, so that it is the backup again afterwards.
TEST_F(RepairRun, ARunCutOffDuringTheRegistrationIsCompletedByTheNextStart) {
    for (const wchar_t* windows : {L"winxp", L"win7"}) {  // in the program's own process, and in the elevated one
        SCOPED_TRACE(narrow(windows));
        Machine::reset();
        Machine::installControl();
        Medium medium(L"cut-off");
        medium.layOut();
        medium.windowsVersion = windows;
        medium.environment[L"TESTCTL_REGISTER_HANGS"] = L"medium";
        medium.cutOffWhenLogged = registered(Machine::controlPath(), "medium");
        RunResult cut = medium.run();
        ASSERT_TRUE(cut.cutOff) << cut.logText();
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
        EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());

        medium.environment.clear();
        medium.cutOffWhenLogged.clear();
        RunResult next = medium.run();
        expectTheRunReachedTheMenu(next);
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
        EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());
        EXPECT_LT(next.timeOf(registered(Machine::controlPath(), "installed")),
                  next.timeOf(unregistered(Machine::controlPath(), "installed")))
            << next.logText();
        auto left = filesIn(Machine::controlFolder());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::wstring>{L"flash.bkp", L"flash.ocx"}));
        expectInTheRunLog({L"An earlier run was cut off while registering the medium's control; the control it had "
                           L"moved aside was put back. The control that was installed was put back and registered "
                           L"again.",
                           L"The run is over: exit code 0"});
    }
}

TEST_F(RepairRun, AMissingControlFolderEndsTheRunBeforeRegistrationAndMenu) {
    removeTree(systemFolder() + L"\\Macromed");
    Medium medium(L"no-control-folder");
    medium.layOut();
    RunResult result = medium.run();

    expectNothingAfterTheFailure(result, L"copying \"" + (medium / L"data\\Flash.ocx") + L"\" to \"" +
                                             Machine::controlPath() + L".1.new\" failed: ");
}

TEST_F(RepairRun, ABackupThatCannotBeMadeEndsTheRunBeforeTheInstaller) {
    Machine::installControl();
    makeFolders(Machine::controlBackup());  // a folder where the backup should go
    Medium medium(L"backup-blocked");
    medium.layOut();
    RunResult result = medium.run();

    expectNothingAfterTheFailure(result,
                                 L"renaming \"" + Machine::controlPath() + L"\" to \"" + Machine::controlBackup() +
                                     L"\" failed: ",
                                 L"The control at \"" + Machine::controlPath() + L"\" was registered again.");
    EXPECT_TRUE(result.linesStarting("install_flash_player.exe").empty()) << result.logText();
    EXPECT_EQ(readFile(Machine::controlPath()), Machine::installedControlBytes());
}

// A pressed CD, mastered by the publisher's tool: the medium at the root of
// a CD-ROM drive, every file read-only, on a machine where an earlier run
// from such a CD left a read-only control and backup. Every run must get
// through.
TEST_F(RepairRun, FromTheRootOfAReadOnlyCdEveryRunGetsThrough) {
    Machine::installControl();
    writeFile(Machine::controlBackup(), "a read-only backup from an earlier repair");
    for (const auto& file : {Machine::controlPath(), Machine::controlBackup()})
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    Medium medium = Medium::masteredOnCdRom();
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        RunResult result = medium.run();
        ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
        EXPECT_FALSE(::GetFileAttributesW(Machine::controlPath().c_str()) & FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(result.linesStarting("install_flash_player.exe start show=1 cmd=\"" + narrow(windowsFolder()) + "\\Temp\\Tolvane.")
                      .size(),
                  1u)
            << result.logText();
        EXPECT_EQ(result.linesStarting("menu.exe start show=1 cmd=\"D:\\data\\menu.exe\"").size(), 1u);
        expectInTheRunLog({L"all as the medium was made (the installer as it is copied); held until the program ends",
                           L"Unregistering the installed control", L"is the file that was checked: it runs"});
    }
}

// A mastered medium where its user can write, with one byte added to its
// installer (or a DLL dropped beside it): nothing runs, nothing changes.
TEST_F(RepairRun, AMediumChangedAfterItWasMadeRunsNothing) {
    for (const wchar_t* change : {L"data\\install_flash_player.exe", L"data\\version.dll"}) {
        SCOPED_TRACE(narrow(change));
        Machine::installControl();
        Medium medium = Medium::mastered(L"changed");
        const std::wstring file = medium / change;
        writeFile(file, (isFile(file) ? readFile(file) : std::string()) + "!");
        RunResult result = medium.run();
        ASSERT_TRUE(result.ended);
        EXPECT_EQ(result.exitCode, 1603u);  // ERROR_INSTALL_FAILURE
        ASSERT_EQ(result.boxes.size(), 1u) << result.logText();
        EXPECT_EQ(result.boxes[0].text.rfind(L"Your Flash Player works as before; nothing was changed.\r\n\r\n"
                                             L"Use the original disc, or another copy of it.\r\n\r\n"
                                             L"Details for support:\r\n\"" + file + L"\" was changed after the medium was made (", 0), 0u)
            << narrow(result.boxes[0].text);
        EXPECT_NE(result.boxes[0].text.find(L"); nothing was installed."), std::wstring::npos);
        EXPECT_TRUE(result.log.empty()) << result.logText();  // no installer, tool, control or menu ran
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::installedControlBytes());
        EXPECT_FALSE(isFile(Machine::controlBackup()));
    }
}

// `data` is a link (here a Unix symbolic link, for a junction) that another
// program re-points at a folder with another installer once the
// unregistration has begun, on a copy its user can write and on a CD-ROM
// drive (which says it is read-only, and may be an image the user mounted):
// what runs as administrator is the copy checked in a folder of the run's
// own, never what was planted, and that folder goes at the end. The menu,
// which would run with the same rights, is not the file that was checked,
// whether it is made ready while the installer runs or started at the end:
// it never runs, and the repair's code stands.
TEST_F(RepairRun, ADataFolderRePointedDuringTheRunNeverRunsWhatWasPlanted) {
    for (const bool cdRom : {false, true}) {
        SCOPED_TRACE(cdRom ? "a CD-ROM drive" : "a writable copy");
        Machine::reset();
        Machine::installControl();
        removeUnixLink(cdRom ? L"D:\\data" : L"C:\\tolvane-e2e\\relinked\\data");  // an earlier run's
        Medium medium = cdRom ? Medium::masteredOnCdRom() : Medium::mastered(L"relinked");
        const std::wstring real = medium / L"data.real", planted = medium / L"data.planted";
        removeTree(real);
        removeTree(planted);
        ASSERT_TRUE(::MoveFileW((medium / L"data").c_str(), real.c_str()));
        makeFolders(planted);
        for (const std::wstring& name : filesIn(real)) copyInto(real + L"\\" + name, planted + L"\\" + name);
        writeFile(planted + L"\\install_flash_player.exe", readFile(planted + L"\\install_flash_player.exe") + "!");
        ASSERT_TRUE(makeUnixSymlink(real, medium / L"data"));
        medium.actWhenLogged = unregistered(Machine::controlPath(), "installed");
        medium.act = [&] { ASSERT_TRUE(makeUnixSymlink(planted, medium / L"data")); };
        // Long enough, on the CD-ROM drive, for the menu to be made ready
        // while the installer runs; else it is checked as it starts.
        if (cdRom) medium.environment[L"STANDIN_INSTALLER_MS"] = L"2500";
        RunResult result = medium.run();
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.linesStarting(registered(Machine::controlPath(), "medium")).size(), 1u) << result.logText();
        EXPECT_TRUE(medium.actWhenLogged.empty()) << "the link was never re-pointed";
        const auto installers = result.linesStarting("install_flash_player.exe start");
        ASSERT_EQ(installers.size(), 1u) << result.logText();
        const std::string folder = narrow(windowsFolder()) + "\\Temp\\Tolvane.";
        EXPECT_NE(installers[0].find("cmd=\"" + folder), std::string::npos) << installers[0];
        EXPECT_TRUE(result.linesStarting("menu.exe start").empty()) << result.logText();
        expectInTheRunLog({L"all as the medium was made", L"is made; only administrators may open it",
                           L"Unregistering the installed control", L"it runs in \"" + windowsFolder() + L"\\Temp\\Tolvane.",
                           cdRom ? L"Making the medium's menu ready while the repair runs"
                                 : L"only the file that was checked may run",
                           L"the menu does not run: starting \"" + (medium / L"data\\menu.exe") + L"\" was stopped before it ran",
                           L"The run is over: exit code 0"});
        EXPECT_TRUE(Machine::installerFolders().empty());
        removeUnixLink(medium / L"data");
        removeTree(real);
        removeTree(planted);
    }
}

// A record left by a cut-off run names its installer's folder, and another
// program has since put a link at that name to a folder of its own (any
// user may make one in the Windows folder's Temp): the recovery leaves the
// link and all it leads to. Folders made ahead at guessable names
// (Tolvane.1 to .99) stop nothing.
TEST_F(RepairRun, TheRecoveryRemovesOnlyTheFolderARunMadeAndNoNameCanBeTakenAhead) {
    Machine::installControl();
    const std::wstring temp = windowsFolder() + L"\\Temp\\", users = L"C:\\tolvane-e2e\\users-folder";
    const std::wstring link = temp + L"Tolvane.00000000deadbeef";
    for (int n = 1; n <= 99; ++n) makeFolders(temp + L"Tolvane." + std::to_wstring(n));
    makeFolders(users);
    writeFile(users + L"\\keep.txt", "the user's");
    ASSERT_TRUE(makeUnixSymlink(users, link));
    std::wstring record = L"Tolvane repair record 1|step=copying the medium's installer|control=" + Machine::controlPath() +
                          L"|installerFolder=" + link + L"|installerFolderId=00000000000000000000000000000000||";
    std::replace(record.begin(), record.end(), L'|', L'\0');
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tolvane", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), 0);
    ::RegSetValueExW(key, L"RepairInProgress", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(record.data()),
                     static_cast<DWORD>(record.size() * sizeof(wchar_t)));
    ::RegCloseKey(key);
    Medium medium(L"taken-ahead");
    medium.layOut();
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    EXPECT_EQ(readFile(users + L"\\keep.txt"), "the user's");
    expectInTheRunLog({L"\"" + link + L"\" is left as it is", L"An earlier run was cut off while copying the medium's installer",
                       L"\\Temp\\Tolvane.", L"\" is removed", L"The run is over: exit code 0"});
    EXPECT_EQ(Machine::installerFolders().size(), 100u);  // the 99 and the link
    removeUnixLink(link);
}

// A deployment tool runs the disc where nobody watches, with an installer
// that never ends: after the time limit its processes are ended, the user's
// control is back and registered, and the code says so.
TEST_F(RepairRun, AnInstallerThatNeverEndsIsEndedAtTheTimeLimitAndTheControlGoesBack) {
    Machine::installControl();
    Medium medium(L"never-ends");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"600000";
    medium.arguments = L"/quiet /nomenu /timeout 3";
    RunResult result = medium.run(30000);
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 1460u);  // ERROR_TIMEOUT
    EXPECT_TRUE(result.boxes.empty());
    EXPECT_TRUE(result.linesStarting("install_flash_player.exe end").empty()) << result.logText();
    EXPECT_EQ(readFile(Machine::controlPath()), Machine::installedControlBytes());
    EXPECT_EQ(result.linesStarting(registered(Machine::controlPath(), "installed")).size(), 1u) << result.logText();
    expectInTheRunLog({L"it is waited for 3 seconds at most (/timeout)",
                       L"had not ended after 3 seconds (/timeout): its processes were ended.",
                       L"The control that was installed was put back and registered again."});
}

// A deployment tool's cycle: the detection rule, the install command, the
// detection again, the uninstall command, and the uninstall command again.
TEST_F(RepairRun, CheckRepairCheckRestoreAndRestoreAgainAsADeploymentToolRunsThem) {
    Machine::installControl();
    Machine::installInf();
    Medium medium(L"deployment");
    medium.layOut();
    // Then a machine that had no control before the disc: the uninstall
    // takes the disc's away, its mark too, and detection then says so.
    const struct Step {
        const wchar_t* arguments;  // null: the control goes (a machine without one)
        DWORD exitCode;
        const char* controlThen;  // "installed", "medium" or "" (none)
    } steps[] = {{L"/check", 1, "installed"},   {L"/quiet /nomenu", 0, "medium"},  {L"/check", 0, "medium"},
                 {L"/restore", 0, "installed"}, {L"/check", 1, "installed"},      {L"/restore", 1605, "installed"},
                 {nullptr, 0, ""},              {L"/quiet /nomenu", 0, "medium"},  {L"/check", 0, "medium"},
                 {L"/restore", 0, ""},          {L"/check", 1, ""},               {L"/restore", 1605, ""}};
    for (const Step& step : steps) {
        if (step.arguments == nullptr) {
            ::DeleteFileW(Machine::controlPath().c_str());
            continue;
        }
        SCOPED_TRACE(narrow(step.arguments));
        medium.arguments = step.arguments;
        const std::wstring logBefore = runLog();
        RunResult result = medium.run();
        ASSERT_TRUE(result.ended);
        EXPECT_EQ(result.exitCode, step.exitCode) << result.logText();
        // Detection, run hourly, leaves the repair's log (and the one before) alone.
        if (std::wstring(step.arguments) == L"/check") {
            EXPECT_EQ(runLog(), logBefore);
        }
        EXPECT_TRUE(result.boxes.empty());
        EXPECT_TRUE(result.linesStarting("menu.exe").empty()) << result.logText();
        const std::string then = step.controlThen;
        EXPECT_EQ(isFile(Machine::controlPath()) ? readFile(Machine::controlPath()) : std::string(),
                  then == "medium" ? Machine::mediumControlBytes() : then == "installed" ? Machine::installedControlBytes() : "");
    }
    EXPECT_FALSE(isFile(Machine::controlBackup()));
    EXPECT_EQ(readFile(Machine::infPath()), Machine::infContent);
    HKEY key = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tolvane", 0, KEY_READ, &key), ERROR_SUCCESS)
        << "the mark's key stays";
}

// An installer that starts a restart itself (1641): the repair went through,
// and the code says a restart completes it.
TEST_F(RepairRun, AnInstallerThatStartsARestartGives3010) {
    Machine::installControl();
    Medium medium(L"restarts");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_EXIT"] = L"1641";
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result, 3010));
    expectInTheRunLog({L"the installer asks for a restart (exit code 1641)",
                       L"The run is over: exit code 3010 (repaired; a restart completes it)"});
}

// An impatient double-click: the second start leaves the run in progress alone.
TEST_F(RepairRun, ASecondStartWhileARunIsAtWorkEndsAtOnce) {
    Machine::installControl();
    Medium medium(L"double-start");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"2000";
    medium.secondStartAfterMs = 300;
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    EXPECT_EQ(result.secondExitCode, 0u);
    EXPECT_EQ(result.linesStarting("install_flash_player.exe start").size(), 1u) << result.logText();
    // One log, the first run's, with the second start's line in it.
    expectInTheRunLog({L"Holding the lock", L"Another start of Tolvane found this run at work", L"The run is over"});
    EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());
}

// A deployment tool's retry too soon, with the /log it always passes: the
// start that ends at once writes its one line at that file too.
TEST_F(RepairRun, ASecondStartWritesItsLineAtTheLogItWasGiven) {
    Medium medium(L"double-start-log");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"2000";
    medium.secondStartAfterMs = 300;
    const std::wstring folder = L"C:\\tolvane-e2e\\retry logs";
    removeTree(folder);
    medium.arguments = L"/nomenu /log \"" + folder + L"\\Tolvane.log\"";
    RunResult result = medium.run();
    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.secondExitCode, 1618u);  // /nomenu: told to try again
    const std::wstring log = runLog(folder);
    const std::wstring line = L"Another start of Tolvane found this run at work and ended at once.";
    const std::size_t first = log.find(line);
    ASSERT_NE(first, std::wstring::npos) << narrow(log);
    EXPECT_NE(log.find(line, first + 1), std::wstring::npos) << "the second start's own line: " << narrow(log);
}

// A damaged disc, and the user tries again: each attempt ends where it began.
TEST_F(RepairRun, AMediumControlWhoseRegistrationFailsLeavesTheUsersControlInPlaceAttemptAfterAttempt) {
    Machine::installControl();
    Medium medium(L"broken-control");
    medium.addStandin(L"data\\install_flash_player.exe");
    medium.addStandin(L"data\\menu.exe");
    medium.addControl(L"broken");
    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        RunResult result = medium.run();
        expectNothingAfterTheFailure(result,
                                     L"registering \"" + Machine::controlPath() +
                                         L"\" failed: its registration failed (the registration tool ended with exit code 5).",
                                     L"The control that was installed was put back and registered again.");
        EXPECT_EQ(result.exitCode, 1603u);  // ERROR_INSTALL_FAILURE
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::installedControlBytes());
        EXPECT_FALSE(isFile(Machine::controlBackup()));
        EXPECT_GT(result.timeOf(registered(Machine::controlPath(), "installed")),
                  result.timeOf(registered(Machine::controlPath(), "broken")))
            << result.logText();
    }
}

// The same disc run three times, the last from a damaged disc, and a
// browser keeps the control the first run put in place loaded: the user's
// own control stays the backup whatever happens, and the medium's control
// that stood in place goes aside, back should a run fail, and is deleted at
// the next restart when it is held (tests/wine/restart_test.sh shows the
// restart).
TEST_F(RepairRun, AControlHeldByABrowserIsMovedAsideAndDeletedAtTheNextRestart) {
    Machine::installControl();
    Medium medium(L"held-control");
    medium.layOut();
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        if (run == 2) startHolder(Machine::controlPath());
        if (run == 3) medium.addControl(L"broken");
        RunResult result = medium.run();
        if (run < 3) {
            ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result, run == 1 ? 0 : 3010));
        } else {  // the control that stood in place is back
            EXPECT_EQ(result.exitCode, 1603u);  // ERROR_INSTALL_FAILURE
            EXPECT_EQ(result.boxes.size(), 1u);
            EXPECT_TRUE(result.linesStarting("menu.exe").empty()) << result.logText();
            EXPECT_EQ(result.linesStarting(registered(Machine::controlPath(), "medium")).size(), 1u) << result.logText();
        }
        EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
        if (run == 1) continue;
        const std::wstring aside = theOneDeletionAtRestart();
        EXPECT_EQ(readFile(aside), Machine::mediumControlBytes());
        if (run == 2)
            expectInTheRunLog({L"an earlier repair put " + quoted(Machine::controlPath()) + L" in place: " +
                                   quoted(Machine::controlBackup()) + L" is kept",
                               L"renamed " + quoted(Machine::controlPath()) + L" to " + quoted(aside),
                               quoted(aside) + L" cannot be deleted now",
                               quoted(aside) + L" will be deleted at the next restart"});
    }
}

// A machine repaired by an earlier release, whose mark was one list: a
// disc of another control finds the control in place to be a disc's, and
// the user's backup stays.
TEST_F(RepairRun, TheMarkOfAnEarlierReleaseIsRead) {
    Machine::installControl();
    Medium medium(L"earlier-release");
    medium.layOut();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(medium.run()));
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tolvane", 0, KEY_READ | KEY_SET_VALUE, &key), 0);
    wchar_t sha256[80] = {};
    DWORD size = sizeof sha256 - sizeof(wchar_t);
    ASSERT_EQ(::RegQueryValueExW(key, L"Sha256", nullptr, nullptr, reinterpret_cast<BYTE*>(sha256), &size), 0);
    for (const wchar_t* value : {L"Sha256", L"When", L"ExitCode", L"InstallerExitCode"}) ::RegDeleteValueW(key, value);
    const std::wstring list = std::wstring(L"sha256=") + sha256 + L'\0' + L"exitCode=0" + L'\0' + L'\0';
    ::RegSetValueExW(key, L"Installed", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                     static_cast<DWORD>(list.size() * sizeof(wchar_t)));
    ::RegCloseKey(key);
    medium.addControl(L"installed");  // another disc's control
    RunResult result = medium.run();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << result.logText();
    expectInTheRunLog({L"an earlier repair put " + quoted(Machine::controlPath()) + L" in place: " +
                       quoted(Machine::controlBackup()) + L" is kept"});
    EXPECT_EQ(readFile(Machine::controlBackup()), Machine::installedControlBytes());
}

// The installer puts its own control in place and opens a browser on it.
TEST_F(RepairRun, TheInstallersControlHeldByItsBrowserIsReplacedAndDeletedAtTheNextRestart) {
    Machine::installControl();
    Medium medium(L"installer-holds");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_WRITES"] = Machine::controlPath();
    medium.environment[L"STANDIN_INSTALLER_COPIES"] = buildFolder() + L"\\testctl_installed.dll";
    medium.environment[L"STANDIN_INSTALLER_STARTS"] = holderCommandLine(Machine::controlPath());
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result, 3010));  // its browser holds what was replaced
    EXPECT_EQ(result.linesStarting("holder.exe holds").size(), 1u) << result.logText();
    EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
    // The browser started in the installer's folder, which therefore goes at the restart too.
    const std::wstring folders = windowsFolder() + L"\\Temp\\Tolvane.";
    std::vector<std::wstring> scheduled = deletionsAtRestart();
    const auto isFolder = [&](const std::wstring& path) { return path.rfind(folders, 0) == 0 && path.find(L'\\', folders.size()) == std::wstring::npos; };
    EXPECT_EQ(std::count_if(scheduled.begin(), scheduled.end(), isFolder), 1);
    scheduled.erase(std::remove_if(scheduled.begin(), scheduled.end(), isFolder), scheduled.end());
    ASSERT_EQ(scheduled.size(), 1u) << narrow(scheduled[0]) << " " << narrow(scheduled.back());
    EXPECT_EQ(readFile(scheduled[0]), Machine::installedControlBytes());
}

// A bootstrapper: the installer unpacks its real setup into the temporary
// folder, starts it and ends; the setup works on and puts its own control in
// place, and may end by opening a browser, which is not waited for.
TEST_F(RepairRun, AnInstallerThatHandsOverToASetupInTheTemporaryFolderIsWaitedForUntilTheSetupEnds) {
    for (bool opensABrowser : {false, true}) {
        SCOPED_TRACE(opensABrowser ? "the setup opens a browser" : "the setup only");
        Machine::installControl();
        Medium medium(L"hands-over");
        medium.layOut();
        medium.environment[L"STANDIN_INSTALLER_HANDS_OVER"] = L"1";
        medium.environment[L"STANDIN_INSTALLER_WRITES"] = Machine::controlPath();
        if (opensABrowser)
            medium.environment[L"STANDIN_INSTALLER_STARTS"] = holderCommandLine(buildFolder() + L"\\testctl_medium.dll");
        RunResult result = medium.run();
        ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
        EXPECT_EQ(result.linesStarting("tolvane-setup.exe wrote").size(), 1u) << result.logText();
        EXPECT_GT(result.timeOf(registered(Machine::controlPath(), "medium")), result.timeOf("tolvane-setup.exe end"))
            << result.logText();
        EXPECT_EQ(readFile(Machine::controlPath()), Machine::mediumControlBytes());
        if (opensABrowser) {  // still running when the menu started, and after
            EXPECT_EQ(result.linesStarting("holder.exe holds").size(), 1u) << result.logText();
            EXPECT_TRUE(result.linesStarting("holder.exe end").empty()) << result.logText();
            expectInTheRunLog({L"the processes it starts are followed in a job object", L"tolvane-setup.exe\" (process ",
                               L"waiting for it too", L"not waiting for \"C:\\tolvane-e2e\\holder.exe\""});
        }
        releaseHolders();
    }
}

// The temporary folder can be written without administrator rights: a
// Tolvane.log planted there as a link to a system file must not be written
// through.
TEST_F(RepairRun, ALogPlantedAsALinkToASystemFileLeavesThatFileAlone) {
    const std::wstring target = systemFolder() + L"\\tolvane-e2e-target.dll";
    const std::string content = "a file of the system folder";
    wchar_t folder[MAX_PATH + 1];
    const std::wstring log = std::wstring(folder, ::GetTempPathW(MAX_PATH + 1, folder)) + L"Tolvane.log";
    Medium medium(L"planted-log");
    medium.layOut();
    for (const char* kind : {"hard link", "symbolic link"}) {
        SCOPED_TRACE(kind);
        writeFile(target, content);
        ::DeleteFileW(log.c_str());
        ASSERT_TRUE(kind[0] == 'h' ? ::CreateHardLinkW(log.c_str(), target.c_str(), nullptr) != FALSE
                                   : makeUnixSymlink(target, log));
        ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(medium.run()));
        EXPECT_EQ(readFile(target), content);
        expectInTheRunLog({L"Holding the lock", L"The run is over: exit code 0"});
    }
    ::DeleteFileW(target.c_str());
}

TEST_F(RepairRun, ARegistrationToolPlantedBesideTheProgramOrInTheCurrentFolderNeverRuns) {
    Machine::installControl();
    Medium medium(L"planted-tool");
    medium.layOut();
    medium.addStandin(L"regsvr32.exe");
    medium.addStandin(L"cwd\\regsvr32.exe");
    medium.currentFolder = medium / L"cwd";
    RunResult result = medium.run();
    ASSERT_NO_FATAL_FAILURE(expectTheRunReachedTheMenu(result));
    EXPECT_TRUE(result.linesStarting("regsvr32.exe").empty()) << result.logText();
}

}  // namespace
}  // namespace tolvane::testing
