// Starting the installer and waiting for it.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {
namespace {

TEST(InstallerWait, OpensTheStartedProcessWaitsWithoutLimitAndClosesTheHandle) {
    FakePlatform fake;
    frmMain form(fake);
    form.executeFlashSetup();

    EXPECT_EQ(fake.calls, (std::vector<std::wstring>{
                              L"launchProgram \"D:\\data\\install_flash_player.exe\" | 1 | "
                              L"D:\\data\\install_flash_player.exe",
                              L"setWindowVisible false",
                              L"processPendingEvents",
                              L"OpenProcess 1048576 0 1000",
                              L"WaitForSingleObject 1000 4294967295",
                              L"CloseHandle 1000",
                          }));
    EXPECT_EQ(fake.openHandles, 0);
}

TEST(InstallerWait, NoWaitAndNoCloseWhenTheProcessCannotBeOpened) {
    FakePlatform fake;
    fake.openProcessGivesNothing = true;
    frmMain form(fake);
    form.executeFlashSetup();

    EXPECT_TRUE(fake.called(L"OpenProcess"));
    EXPECT_FALSE(fake.called(L"WaitForSingleObject"));
    EXPECT_FALSE(fake.called(L"CloseHandle"));
    EXPECT_FALSE(fake.called(L"showMessageBox"));
}

TEST(InstallerWait, MediumPathWithSpacesIsQuotedAndNamedAsTheProgram) {
    FakePlatform fake;
    fake.programFolderValue = L"C:\\My Medium";
    frmMain form(fake);
    form.executeFlashSetup();
    form.executeChecker();

    auto launches = fake.callsTo(L"launchProgram");
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0], L"launchProgram \"C:\\My Medium\\data\\install_flash_player.exe\" | 1 | "
                           L"C:\\My Medium\\data\\install_flash_player.exe");
    EXPECT_EQ(launches[1], L"launchProgram \"C:\\My Medium\\data\\menu.exe\" | 1 | C:\\My Medium\\data\\menu.exe");
}

}  // namespace
}  // namespace tolvane::testing
