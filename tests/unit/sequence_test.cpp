// The load handling: order of the steps, and what a failure does to the run.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {
namespace {

const std::wstring installer = L"D:\\data\\install_flash_player.exe";
const std::wstring menu = L"D:\\data\\menu.exe";

TEST(Sequence, NormalRunHidesFirstWaitsForInstallerStartsMenuAndEnds) {
    FakePlatform fake;
    EXPECT_EQ(runProgram(fake), 0);

    ASSERT_GE(fake.calls.size(), 3u);
    EXPECT_EQ(fake.calls[0], L"createMainWindow Tolvane");
    EXPECT_EQ(fake.calls[1], L"setWindowVisible false");
    EXPECT_EQ(fake.callsTo(L"launchProgram"),
              (std::vector<std::wstring>{L"launchProgram \"" + installer + L"\" | 1 | " + installer,
                                         L"launchProgram \"" + menu + L"\" | 1 | " + menu}));
    EXPECT_EQ(fake.calls.back(), L"endProgram");
    EXPECT_FALSE(fake.called(L"showMessageBox"));
}

TEST(Sequence, MenuThatCannotStartIsReportedAndEndsWithNonZeroCode) {
    FakePlatform fake;
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

TEST(Sequence, InstallerThatCannotStartShowsOneWarningAndTheRunGoesOn) {
    FakePlatform fake;
    fake.failingOperations.insert(L"launchProgram:" + installer);
    EXPECT_EQ(runProgram(fake), 0);

    auto boxes = fake.callsTo(L"showMessageBox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], L"showMessageBox Error | 48 | Error starting task \r\nlaunchProgram:" + installer +
                            L" failed: Access is denied.");
    EXPECT_FALSE(fake.called(L"OpenProcess"));
    EXPECT_FALSE(fake.called(L"WaitForSingleObject"));
    EXPECT_EQ(fake.callsTo(L"launchProgram").size(), 2u);
    EXPECT_EQ(fake.calls.back(), L"endProgram");
}

TEST(Sequence, ProgramFolderAtADriveRootIsJoinedUnchanged) {
    FakePlatform fake;
    fake.programFolderValue = L"E:\\";
    runProgram(fake);
    EXPECT_EQ(fake.callsTo(L"launchProgram")[1],
              L"launchProgram \"E:\\\\data\\menu.exe\" | 1 | E:\\\\data\\menu.exe");
}

}  // namespace
}  // namespace tolvane::testing
