// Registration command lines and the backups, on the recording fake.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {
namespace {

using namespace fakePaths;

TEST(Registration, CommandLinesKeepAControlPathWithSpacesWholeAndStartTheSystemTool) {
    FakePlatform fake;
    fake.systemFolder = "C:\\Win Dir\\system 32";
    const std::wstring spaced = L"C:\\Win Dir\\system 32\\Macromed\\Flash\\flash.ocx";
    fake.files[spaced] = "control";
    frmMain form(fake);
    form.uninstallFlashOCX();
    form.installFlashOCX();

    EXPECT_EQ(fake.callsTo(L"launchProgram"),
              (std::vector<std::wstring>{
                  L"launchProgram regsvr32 \"" + spaced + L"\" /u /s | 2 | C:\\Win Dir\\system 32\\regsvr32.exe",
                  L"launchProgram regsvr32 \"" + spaced + L"\" /s | 2 | C:\\Win Dir\\system 32\\regsvr32.exe"}));
    // Each run of the tool is waited for, up to a minute, on the handle it was started with.
    EXPECT_EQ(fake.callsTo(L"WaitForSingleObject"),
              (std::vector<std::wstring>{L"WaitForSingleObject 1000 60000", L"WaitForSingleObject 1001 60000"}));
    EXPECT_FALSE(fake.called(L"OpenProcess"));
    EXPECT_EQ(fake.openHandles, 0);
}

TEST(Registration, NoControlMeansNothingIsStarted) {
    FakePlatform fake;
    frmMain form(fake);
    form.uninstallFlashOCX();
    form.installFlashOCX();
    EXPECT_FALSE(fake.called(L"launchProgram"));
}

TEST(Backups, ControlBackupDropsExactlyThreeCharactersAndReplacesTheOldOneEvenReadOnly) {
    FakePlatform fake;
    fake.files[control] = "installed";
    fake.files[controlBackup] = "older";
    fake.readOnly = {controlBackup};
    frmMain form(fake);
    form.renameFlashOCX();

    EXPECT_EQ(fake.calls.size(), 4u);
    EXPECT_EQ(fake.calls[1], L"clearReadOnly " + controlBackup);
    EXPECT_EQ(fake.calls[2], L"deleteFile " + controlBackup);
    EXPECT_TRUE(fake.called(L"renameFile " + control + L" -> " + controlBackup));
    EXPECT_EQ(fake.files[controlBackup], "installed");
    EXPECT_EQ(fake.files.count(control), 0u);
}

TEST(Backups, WithoutAControlTheOldBackupIsStillDeleted) {
    FakePlatform fake;
    fake.files[controlBackup] = "older";
    frmMain form(fake);
    form.renameFlashOCX();
    EXPECT_EQ(fake.files.count(controlBackup), 0u);
    EXPECT_FALSE(fake.called(L"renameFile"));
}

TEST(Backups, InfOnWindowsXPReplacesAnOldBackupEvenReadOnly) {
    FakePlatform fake;
    fake.setVersion(2, 5, 1);
    fake.files[inf] = "inf";
    fake.files[infBackup] = "older";
    fake.readOnly = {infBackup};
    frmMain form(fake);
    form.renameFlashInf();
    EXPECT_EQ(fake.files[infBackup], "inf");
    EXPECT_EQ(fake.files.count(inf), 0u);
}

TEST(Backups, InfBackupIsKeptWhenThereIsNoInfToReplaceIt) {
    FakePlatform fake;
    fake.setVersion(2, 5, 1);
    fake.files[infBackup] = "the only copy left";
    frmMain form(fake);
    form.renameFlashInf();
    EXPECT_EQ(fake.files[infBackup], "the only copy left");
    EXPECT_FALSE(fake.called(L"deleteFile"));
}

TEST(Backups, InfIsLeftAloneOnALaterWindows) {
    FakePlatform fake;
    fake.setVersion(2, 6, 1);
    fake.files[inf] = "inf";
    frmMain form(fake);
    form.renameFlashInf();
    EXPECT_FALSE(fake.called(L"renameFile"));
    EXPECT_FALSE(fake.called(L"deleteFile"));
}

}  // namespace
}  // namespace tolvane::testing
