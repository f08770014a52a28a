// The load handling: order of the steps, and what a failure does to the run.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "app/main_window.h"
#include "app/recording_platform.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {
namespace {

using namespace fakePaths;

// The calls that change the machine or start something, in order.
std::vector<std::wstring> actions(const FakePlatform& fake) {
    std::vector<std::wstring> found;
    for (const auto& call : fake.calls)
        for (const wchar_t* name : {L"launchProgram", L"deleteFile", L"renameFile", L"copyFile", L"clearReadOnly",
                                    L"showMessageBox", L"WaitForSingleObject", L"endProgram"})
            if (call.rfind(name, 0) == 0) found.push_back(call);
    return found;
}

class Sequence : public ::testing::Test {
protected:
    Sequence() {
        fake.setVersion(2, 5, 1, "Service Pack 3");
        fake.files[control] = "installed control";
        fake.files[inf] = "inf";
    }
    FakePlatform fake;
};

TEST_F(Sequence, WindowsXPRunDoesEveryStepInOrderAndEnds) {
    EXPECT_EQ(runProgram(fake), 0);

    // DLL search restricted first, then the single-run lock, before the window.
    EXPECT_EQ(std::vector<std::wstring>(fake.calls.begin(), fake.calls.begin() + 4),
              (std::vector<std::wstring>{L"restrictDllSearch", L"claimSingleRun Local\\Tolvane.Repair",
                                         L"createMainWindow Tolvane", L"setWindowVisible false"}));
    EXPECT_EQ(actions(fake), (std::vector<std::wstring>{
                                 L"launchProgram regsvr32 \"" + control + L"\" /u /s | 2 | " + tool,
                                 L"WaitForSingleObject 1000 60000",
                                 L"renameFile " + control + L" -> " + controlBackup,
                                 L"renameFile " + inf + L" -> " + infBackup,
                                 L"launchProgram \"" + installer + L"\" | 1 | " + installer,
                                 L"WaitForSingleObject 1001 4294967295",
                                 L"copyFile D:\\data\\Flash.ocx -> " + control,
                                 L"clearReadOnly " + control,
                                 L"launchProgram regsvr32 \"" + control + L"\" /s | 2 | " + tool,
                                 L"WaitForSingleObject 1002 60000",
                                 L"launchProgram \"" + menu + L"\" | 1 | " + menu,
                                 L"endProgram",
                             }));
    EXPECT_EQ(fake.files[control], "medium control");
    EXPECT_EQ(fake.files[controlBackup], "installed control");
    EXPECT_EQ(fake.files[infBackup], "inf");
}

TEST_F(Sequence, FailingBackupEndsTheRunBeforeTheInstaller) {
    fake.failingOperations.insert(L"renameFile");
    EXPECT_EQ(runProgram(fake), 1);

    // The control never left its place: it is registered again before the report.
    auto done = actions(fake);
    ASSERT_EQ(done.size(), 6u);
    EXPECT_EQ(done[2], L"renameFile " + control + L" -> " + controlBackup);
    EXPECT_EQ(done[3], L"launchProgram regsvr32 \"" + control + L"\" /s | 2 | " + tool);
    EXPECT_EQ(done[5], L"showMessageBox Tolvane | 16 | renameFile failed: Access is denied.\r\n"
                       L"The control at \"" + control + L"\" was registered again.\r\n\r\n"
                       L"The repair was stopped at this point.");
}

TEST_F(Sequence, FailingCopyEndsTheRunBeforeRegistrationAndMenu) {
    fake.failingOperations.insert(L"copyFile");
    EXPECT_EQ(runProgram(fake), 1);

    // The installed control is put back and registered, then the report.
    auto done = actions(fake);
    ASSERT_GE(done.size(), 5u);
    EXPECT_EQ(std::vector<std::wstring>(done.end() - 5, done.end() - 1),
              (std::vector<std::wstring>{L"copyFile D:\\data\\Flash.ocx -> " + control,
                                         L"renameFile " + controlBackup + L" -> " + control,
                                         L"launchProgram regsvr32 \"" + control + L"\" /s | 2 | " + tool,
                                         L"WaitForSingleObject 1002 60000"}));
    EXPECT_EQ(done.back(), L"showMessageBox Tolvane | 16 | copyFile failed: Access is denied.\r\n"
                           L"The control that was installed was put back and registered again.\r\n\r\n"
                           L"The repair was stopped at this point.");
    EXPECT_EQ(fake.files[control], "installed control");
    EXPECT_FALSE(fake.called(L"launchProgram \"" + menu));
}

// What the report says after putting the old control back, by how that went.
TEST_F(Sequence, RecoveryAfterAFailedCopySaysWhatBecameOfTheInstalledControl) {
    const std::wstring registration = L"regsvr32 \"" + control + L"\" /s";
    const std::wstring notDone = L"The control that was installed could not be put back and registered again: ";
    const std::wstring copyFile = L"copyFile";
    struct Row {
        const char* name;
        bool installed;
        std::set<std::wstring> failing;
        bool registrationStillRunning;
        std::wstring line;
        std::string installerWrites = "";
        std::wstring failure = L"copyFile failed: Access is denied.";
    } rows[] = {
        {"no control before the run", false, {copyFile}, false, L"There was no control to put back."},
        {"the tool is still running", true, {copyFile}, true,
         L"The control that was installed was put back; its registration had not ended after 60 seconds."},
        {"the backup cannot be renamed back", true, {copyFile, L"renameFile:" + control}, false,
         notDone + L"renameFile:" + control + L" failed: Access is denied. It is at \"" + controlBackup + L"\"."},
        {"no control before the run, the installer's own, the medium's does not register", false, {}, false,
         L"The control the installer put in place was put back and registered again.", "installer's control",
         L"registering \"" + control + L"\" failed: the registration tool ended with exit code 5."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        if (row.installed) fake.files[control] = "installed control";
        fake.failingOperations = row.failing;
        fake.installerWrites = row.installerWrites;
        fake.unregistrable = {"medium control"};
        if (row.registrationStillRunning) fake.stillRunningAfterWait.insert(registration);
        EXPECT_EQ(runProgram(fake), 1);
        auto boxes = fake.callsTo(L"showMessageBox");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], L"showMessageBox Tolvane | 16 | " + row.failure + L"\r\n" + row.line +
                                L"\r\n\r\nThe repair was stopped at this point.");
        EXPECT_FALSE(fake.called(L"launchProgram \"" + menu));
        if (!row.installerWrites.empty()) EXPECT_EQ(fake.files[control], row.installerWrites);
    }
}

// The unregistration's exit code never stops the run, nor does a
// registration still running after a minute.
TEST_F(Sequence, UnregistrationFailureAndSlowRegistrationStillReachTheMenu) {
    fake.exitCodes[L"regsvr32 \"" + control + L"\" /u /s"] = 3;
    fake.stillRunningAfterWait.insert(L"regsvr32 \"" + control + L"\" /s");
    EXPECT_EQ(runProgram(fake), 0);
    EXPECT_TRUE(fake.called(L"launchProgram \"" + menu));
    EXPECT_EQ(fake.openHandles, 0);
}

// The menu runs as the user who started the program, unless the repair
// failed (its report came from the elevated instance).
TEST(FirstInstance, RepairsAsAdministratorWhereItCanAndStartsTheMenuItself) {
    const struct Row {
        const char* name;
        DWORD major;
        bool administrator;
        DWORD elevationRefused;
        DWORD repairExitCode;
        int exitCode;
        bool menu;
        bool box;
    } rows[] = {
        {"later Windows, repaired", 6, true, 0, 0, 0, true, false},
        {"later Windows, the repair failed", 6, true, 0, 1, 1, false, false},
        {"later Windows, consent declined", 6, true, ERROR_CANCELLED, 0, ERROR_CANCELLED, true, false},
        {"later Windows, the elevated start fails", 6, true, ERROR_FILE_NOT_FOUND, 0, 1, false, true},
        {"Windows XP, a standard user", 5, false, 0, 0, notAnAdministratorExitCode, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        fake.setVersion(2, row.major, 1, "Service Pack 3");
        fake.files[control] = "installed control";
        fake.administrator = row.administrator;
        fake.elevationRefused = row.elevationRefused;
        fake.exitCodes[repairSwitch] = row.repairExitCode;
        const int returned = runProgram(fake);
        EXPECT_EQ(fake.endedWith >= 0 ? fake.endedWith : returned, row.exitCode);
        EXPECT_EQ(fake.called(L"launchProgram \"" + menu), row.menu);
        EXPECT_EQ(fake.called(L"showMessageBox"), row.box);
        EXPECT_EQ(fake.called(L"launchElevatedRepair"), row.major >= 6);
        // Nothing of the repair in this process.
        EXPECT_FALSE(fake.called(L"renameFile")) << "the repair ran as the user";
        EXPECT_EQ(fake.openHandles, 0);
    }
}

TEST_F(Sequence, AnotherRunHoldingTheLockEndsThisStartAtOnceWithCodeZero) {
    fake.anotherRunHoldsTheLock = true;
    EXPECT_EQ(runProgram(fake), 0);
    EXPECT_EQ(fake.calls, (std::vector<std::wstring>{L"restrictDllSearch", L"claimSingleRun Local\\Tolvane.Repair"}));
}

TEST_F(Sequence, MenuThatCannotStartIsReportedAndEndsWithNonZeroCode) {
    fake.failingOperations.insert(L"launchProgram:" + menu);
    EXPECT_EQ(runProgram(fake), 1);

    auto boxes = fake.callsTo(L"showMessageBox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind(L"showMessageBox Tolvane | 16 | launchProgram:" + menu + L" failed: Access is denied.", 0),
              0u)
        << boxes[0];
    EXPECT_FALSE(fake.called(L"endProgram"));
    EXPECT_EQ(fake.calls.back(), boxes[0]);  // nothing after the report
}

TEST_F(Sequence, InstallerThatCannotStartShowsOneWarningAndTheRunGoesOn) {
    fake.failingOperations.insert(L"launchProgram:" + installer);
    EXPECT_EQ(runProgram(fake), 0);

    auto boxes = fake.callsTo(L"showMessageBox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], L"showMessageBox Error | 48 | Error starting task \r\nlaunchProgram:" + installer +
                            L" failed: Access is denied.");
    EXPECT_FALSE(fake.called(L"OpenProcess"));
    EXPECT_TRUE(fake.called(L"copyFile"));
    EXPECT_TRUE(fake.called(L"launchProgram \"" + menu));
    EXPECT_EQ(fake.calls.back(), L"endProgram");
}

TEST_F(Sequence, ProgramFolderAtADriveRootGetsOneBackslash) {
    fake.programFolderValue = L"E:\\";
    fake.files[L"E:\\data\\Flash.ocx"] = "medium control";
    EXPECT_EQ(runProgram(fake), 0);
    EXPECT_TRUE(fake.called(L"copyFile E:\\data\\Flash.ocx -> "));
    EXPECT_TRUE(fake.called(L"launchProgram \"E:\\data\\install_flash_player.exe\" | 1 | E:\\data\\install"));
    EXPECT_TRUE(fake.called(L"launchProgram \"E:\\data\\menu.exe\" | 1 | E:\\data\\menu.exe"));
}

TEST_F(Sequence, SystemFolderThatCannotBeAskedForTouchesNoFile) {
    fake.overrideFolderCount = true;
    fake.folderCount = 0;
    fake.lastError = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(runProgram(fake), 1);

    auto done = actions(fake);
    ASSERT_EQ(done.size(), 1u) << "something was done without a folder to do it in";
    EXPECT_EQ(done[0].rfind(L"showMessageBox Tolvane | 16 | asking Windows for the system folder failed: ", 0), 0u)
        << done[0];
}

// The log's layer around the platform changes nothing the run does: the
// same actions in the same order, the same exit code, every handle closed.
TEST(RecordingLayer, TheRunDoesTheSameWithTheLogAsWithout) {
    wchar_t temporary[MAX_PATH + 1];
    const std::wstring logFolder = std::wstring(temporary, ::GetTempPathW(MAX_PATH + 1, temporary)) + L"unit-log";
    ::CreateDirectoryW(logFolder.c_str(), nullptr);
    ::SetEnvironmentVariableW(L"TMP", logFolder.c_str());  // not the log the end-to-end tests read
    const std::pair<const char*, std::function<void(FakePlatform&)>> rows[] = {
        {"whole run", [](FakePlatform&) {}},
        {"copy fails", [](FakePlatform& f) { f.failingOperations.insert(L"copyFile"); }},
        {"installer missing", [](FakePlatform& f) { f.failingOperations.insert(L"launchProgram:" + installer); }},
        {"registration still running",
         [](FakePlatform& f) { f.stillRunningAfterWait.insert(L"regsvr32 \"" + control + L"\" /s"); }},
        {"another run at work", [](FakePlatform& f) { f.anotherRunHoldsTheLock = true; }},
        {"registration fails", [](FakePlatform& f) { f.exitCodes[L"regsvr32 \"" + control + L"\" /s"] = 5; }},
    };
    for (const auto& [name, setUp] : rows) {
        SCOPED_TRACE(name);
        FakePlatform plain, inner;
        for (FakePlatform* fake : {&plain, &inner}) {
            fake->setVersion(2, 5, 1, "Service Pack 3");
            fake->files[control] = "installed control";
            setUp(*fake);
        }
        const int exitCode = runProgram(plain);
        {
            RunLog log;
            RecordingPlatform recording(inner, log);
            EXPECT_EQ(runProgram(recording), exitCode);
        }
        EXPECT_EQ(actions(inner), actions(plain));
        EXPECT_EQ(inner.openHandles, 0);
    }
    ::SetEnvironmentVariableW(L"TMP", nullptr);
}

}  // namespace
}  // namespace tolvane::testing
