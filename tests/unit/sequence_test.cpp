// The load handling: order of the steps, and what a failure does to the run.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {
namespace {

using namespace fakePaths;

// The calls that change the machine or start something, in order.
std::vector<std::wstring> actions(const FakePlatform& fake) {
    std::vector<std::wstring> found;
    for (const auto& call : fake.calls)
        for (const wchar_t* name : {L"launchProgram", L"deleteFile", L"renameFile", L"copyFile", L"showMessageBox",
                                    L"WaitForSingleObject", L"endProgram"})
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

    EXPECT_EQ(fake.calls[0], L"createMainWindow Tolvane");
    EXPECT_EQ(fake.calls[1], L"setWindowVisible false");
    EXPECT_EQ(actions(fake), (std::vector<std::wstring>{
                                 L"launchProgram regsvr32 \"" + control + L"\" /u /s | 2 | " + tool,
                                 L"renameFile " + control + L" -> " + controlBackup,
                                 L"renameFile " + inf + L" -> " + infBackup,
                                 L"launchProgram \"" + installer + L"\" | 1 | " + installer,
                                 L"WaitForSingleObject 1001 4294967295",
                                 L"copyFile D:\\data\\Flash.ocx -> " + control,
                                 L"launchProgram regsvr32 \"" + control + L"\" /s | 2 | " + tool,
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

    auto done = actions(fake);
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[1], L"renameFile " + control + L" -> " + controlBackup);
    EXPECT_EQ(done[2], L"showMessageBox Tolvane | 16 | renameFile failed: Access is denied.\r\n\r\n"
                       L"The repair was stopped at this point.");
}

TEST_F(Sequence, FailingCopyEndsTheRunBeforeRegistrationAndMenu) {
    fake.failingOperations.insert(L"copyFile");
    EXPECT_EQ(runProgram(fake), 1);

    auto done = actions(fake);
    ASSERT_GE(done.size(), 2u);
    EXPECT_EQ(done[done.size() - 2], L"copyFile D:\\data\\Flash.ocx -> " + control);
    EXPECT_EQ(done.back().rfind(L"showMessageBox Tolvane | 16 | copyFile failed", 0), 0u);
    EXPECT_FALSE(fake.called(L"launchProgram regsvr32 \"" + control + L"\" /s"));
    EXPECT_FALSE(fake.called(L"launchProgram \"" + menu));
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

TEST_F(Sequence, ProgramFolderAtADriveRootIsJoinedUnchanged) {
    fake.programFolderValue = L"E:\\";
    fake.files[L"E:\\\\data\\Flash.ocx"] = "medium control";
    EXPECT_EQ(runProgram(fake), 0);
    EXPECT_TRUE(fake.called(L"copyFile E:\\\\data\\Flash.ocx -> "));
    EXPECT_TRUE(fake.called(L"launchProgram \"E:\\\\data\\menu.exe\" | 1 | E:\\\\data\\menu.exe"));
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

}  // namespace
}  // namespace tolvane::testing
