// Tolvane.exe on sample media, watched from outside as a user's machine would see it.
#include <gtest/gtest.h>

#include <cstdio>

#include "e2e/medium.h"

namespace tolvane::testing {
namespace {

class Launching : public ::testing::Test {
protected:
    void SetUp() override { Machine::reset(); }
};

TEST_F(Launching, InstallerRunsInANormalWindowAndIsWaitedForBeforeTheMenu) {
    Medium medium(L"launch-wait");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"3000";
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(result.boxes.empty());
    auto installer = result.linesStarting("install_flash_player.exe start");
    auto menu = result.linesStarting("menu.exe start");
    ASSERT_EQ(installer.size(), 1u) << result.logText();
    ASSERT_EQ(menu.size(), 1u) << result.logText();
    EXPECT_NE(installer[0].find(" show=1 "), std::string::npos) << installer[0];
    EXPECT_NE(menu[0].find(" show=1 "), std::string::npos) << menu[0];

    double installerEnd = result.timeOf("install_flash_player.exe end");
    double menuStart = result.timeOf("menu.exe start");
    ASSERT_GT(installerEnd, 0);
    EXPECT_GE(menuStart, installerEnd) << "the menu started before the installer had ended";
    EXPECT_GE(installerEnd - result.timeOf("install_flash_player.exe start"), 2900);
}

TEST_F(Launching, MainWindowExistsButIsNeverVisibleAndTheWaitCostsNoProcessorTime) {
    Medium medium(L"invisible");
    medium.layOut();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"4000";
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_TRUE(result.windowFound) << "the watch never saw the main window, so it proves nothing";
    EXPECT_FALSE(result.windowSeenVisible);
    // A wait that polled would burn a large part of the installer's four seconds.
    double from = result.timeOf("install_flash_player.exe start") + 500;  // Tolvane.exe is waiting by then
    double to = result.timeOf("install_flash_player.exe end");
    ASSERT_GT(to - from, 3000) << result.logText();
    double waiting = result.cpuSecondsBetween(from, to);
    std::printf("Tolvane.exe used %.3f s of processor time while the installer ran %.1f s (%.3f s in all)\n",
                waiting, (to - from) / 1000, result.cpuSeconds);
    EXPECT_GE(waiting, 0);
    EXPECT_LT(waiting, 0.04) << "processor time while waiting for the installer";
}

TEST_F(Launching, MissingInstallerGivesOneWarningAndTheRunGoesOn) {
    Medium medium(L"no-installer");
    medium.addStandin(L"data\\menu.exe");
    medium.addControl();
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].title, L"Error");
    EXPECT_EQ(result.boxes[0].text.rfind(L"Error starting task \r\n", 0), 0u) << narrow(result.boxes[0].text);
    EXPECT_NE(result.boxes[0].text.find(L"install_flash_player.exe"), std::wstring::npos);
    EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << result.logText();
}

TEST_F(Launching, InstallerBroadcastingToAllWindowsDoesNotHangTheRun) {
    Medium medium(L"broadcast");
    medium.layOut();
    medium.environment[L"STANDIN_BROADCAST"] = L"1";
    RunResult result = medium.run(30000);

    EXPECT_TRUE(result.ended) << "Tolvane.exe and the installer waited for each other";
    EXPECT_EQ(result.linesStarting("install_flash_player.exe broadcast answered").size(), 1u) << result.logText();
    EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << result.logText();
    EXPECT_FALSE(result.windowSeenVisible);
}

TEST_F(Launching, MediumPathWithSpacesNeverStartsTheDecoyBesideIt) {
    Medium medium(L"My Medium");
    medium.layOut();
    copyInto(buildFolder() + L"\\standin.exe", L"C:\\tolvane-e2e\\My.exe");
    RunResult result = medium.run();
    ::DeleteFileW(L"C:\\tolvane-e2e\\My.exe");

    ASSERT_TRUE(result.ended);
    EXPECT_TRUE(result.linesStarting("my.exe").empty()) << result.logText();
    EXPECT_EQ(result.linesStarting("install_flash_player.exe start").size(), 1u) << result.logText();
    EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << result.logText();
}

TEST_F(Launching, MissingMenuIsReportedAndGivesANonZeroExitCode) {
    Medium medium(L"no-menu");
    medium.addStandin(L"data\\install_flash_player.exe");
    medium.addControl();
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_NE(result.exitCode, 0u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].title, L"Tolvane");
    EXPECT_NE(result.boxes[0].text.find(L"Details for support:\r\nstarting \"" + (medium / L"data\\menu.exe") + L"\" failed: "),
              std::wstring::npos)
        << narrow(result.boxes[0].text);
}

}  // namespace
}  // namespace tolvane::testing
