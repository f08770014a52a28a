// Tolvane.exe on sample media, watched from outside as a user's machine would see it.
#include <gtest/gtest.h>

#include "e2e/medium.h"

namespace tolvane::testing {
namespace {

std::string logText(const RunResult& result) {
    std::string text;
    for (const auto& line : result.log) text += "  " + line + "\n";
    return text;
}

TEST(Launching, InstallerRunsInANormalWindowAndIsWaitedForBeforeTheMenu) {
    Medium medium(L"launch-wait");
    medium.addInstallerAndMenu();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"3000";
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(result.boxes.empty());
    auto installer = result.linesStarting("install_flash_player.exe start");
    auto menu = result.linesStarting("menu.exe start");
    ASSERT_EQ(installer.size(), 1u) << logText(result);
    ASSERT_EQ(menu.size(), 1u) << logText(result);
    EXPECT_NE(installer[0].find(" show=1 "), std::string::npos) << installer[0];
    EXPECT_NE(menu[0].find(" show=1 "), std::string::npos) << menu[0];

    double installerEnd = result.timeOf("install_flash_player.exe end");
    double menuStart = result.timeOf("menu.exe start");
    ASSERT_GT(installerEnd, 0);
    EXPECT_GE(menuStart, installerEnd) << "the menu started before the installer had ended";
    EXPECT_GE(installerEnd - result.timeOf("install_flash_player.exe start"), 2900);
}

TEST(Launching, MainWindowExistsButIsNeverVisibleAndTheWaitCostsNoProcessorTime) {
    Medium medium(L"invisible");
    medium.addInstallerAndMenu();
    medium.environment[L"STANDIN_INSTALLER_MS"] = L"4000";
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_TRUE(result.windowFound) << "the watch never saw the main window, so it proves nothing";
    EXPECT_FALSE(result.windowSeenVisible);
    // A wait that polled would burn most of the installer's four seconds.
    EXPECT_LT(result.cpuSeconds, 0.5) << "processor time while waiting for a 4 s installer";
}

TEST(Launching, MissingInstallerGivesOneWarningAndTheRunGoesOn) {
    Medium medium(L"no-installer");
    medium.addStandin(L"data\\menu.exe");
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_EQ(result.exitCode, 0u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].title, L"Error");
    EXPECT_EQ(result.boxes[0].text.rfind(L"Error starting task \r\n", 0), 0u) << narrow(result.boxes[0].text);
    EXPECT_NE(result.boxes[0].text.find(L"install_flash_player.exe"), std::wstring::npos);
    EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << logText(result);
}

TEST(Launching, InstallerBroadcastingToAllWindowsDoesNotHangTheRun) {
    Medium medium(L"broadcast");
    medium.addInstallerAndMenu();
    medium.environment[L"STANDIN_BROADCAST"] = L"1";
    RunResult result = medium.run(30000);

    EXPECT_TRUE(result.ended) << "Tolvane.exe and the installer waited for each other";
    EXPECT_EQ(result.linesStarting("install_flash_player.exe broadcast answered").size(), 1u) << logText(result);
    EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << logText(result);
    EXPECT_FALSE(result.windowSeenVisible);
}

TEST(Launching, MediumPathWithSpacesNeverStartsTheDecoyBesideIt) {
    Medium medium(L"My Medium");
    medium.addInstallerAndMenu();
    copyInto(buildFolder() + L"\\standin.exe", L"C:\\tolvane-e2e\\My.exe");
    RunResult result = medium.run();
    ::DeleteFileW(L"C:\\tolvane-e2e\\My.exe");

    ASSERT_TRUE(result.ended);
    EXPECT_TRUE(result.linesStarting("my.exe").empty()) << logText(result);
    EXPECT_EQ(result.linesStarting("install_flash_player.exe start").size(), 1u) << logText(result);
    EXPECT_EQ(result.linesStarting("menu.exe start").size(), 1u) << logText(result);
}

TEST(Launching, MissingMenuIsReportedAndGivesANonZeroExitCode) {
    Medium medium(L"no-menu");
    medium.addStandin(L"data\\install_flash_player.exe");
    RunResult result = medium.run();

    ASSERT_TRUE(result.ended);
    EXPECT_NE(result.exitCode, 0u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].title, L"Tolvane");
    EXPECT_EQ(result.boxes[0].text.rfind(L"starting \"" + (medium / L"data\\menu.exe") + L"\" failed: ", 0), 0u)
        << narrow(result.boxes[0].text);
}

}  // namespace
}  // namespace tolvane::testing
