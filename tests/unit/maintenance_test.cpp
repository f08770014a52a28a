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

    // Renamed aside first, so that its name is free even where the delete only
    // marks it (another program maps it).
    EXPECT_EQ(fake.calls.size(), 5u);
    EXPECT_EQ(fake.calls[1], L"clearReadOnly " + controlBackup);
    EXPECT_EQ(fake.calls[2], L"renameFile " + controlBackup + L" -> " + controlBackup + L".1.old");
    EXPECT_EQ(fake.calls[3], L"deleteFile " + controlBackup + L".1.old");
    EXPECT_TRUE(fake.called(L"renameFile " + control + L" -> " + controlBackup));
    EXPECT_EQ(fake.files[controlBackup], "installed");
    EXPECT_EQ(fake.files.count(control), 0u);
}

// After a run cut off before the copy, the backup is the only copy left.
TEST(Backups, WithoutAControlTheOldBackupIsKept) {
    FakePlatform fake;
    fake.files[controlBackup] = "the only copy left";
    frmMain form(fake);
    form.renameFlashOCX();
    EXPECT_EQ(fake.files[controlBackup], "the only copy left");
    EXPECT_FALSE(fake.called(L"deleteFile"));
    EXPECT_FALSE(fake.called(L"renameFile"));
}

// Without the rights to schedule its deletion, a file in use stays aside
// under a free name, the log says so, and the run goes on.
TEST(Backups, AnOldBackupInUseThatCannotBeScheduledStaysAsideAndTheRunGoesOn) {
    FakePlatform fake;
    fake.files[control] = "installed";
    fake.files[controlBackup] = "older, held by a browser";
    fake.inUse = {controlBackup};
    fake.files[controlBackup + L".1.old"] = "taken by an earlier run";
    fake.failingOperations = {L"deleteAtRestart"};
    frmMain(fake).renameFlashOCX();
    EXPECT_EQ(fake.files[controlBackup + L".2.old"], "older, held by a browser");
    EXPECT_EQ(fake.files[controlBackup], "installed");
    EXPECT_EQ(fake.notes.back(), L"  \"" + controlBackup + L".2.old\" stays where it is until it is deleted by hand");
}

// A version reader maps the old backup: deleting it succeeds, but its name
// stays until the reader lets go.
TEST(Backups, AnOldBackupMappedByAnotherProgramDoesNotBlockTheNewOne) {
    FakePlatform fake;
    fake.files[control] = "installed";
    fake.files[controlBackup] = "older, mapped";
    fake.mapped = {controlBackup};
    frmMain(fake).renameFlashOCX();
    EXPECT_EQ(fake.files[controlBackup], "installed");
}

// A folder at the control's place is no file in use: the copy fails as it would.
TEST(Backups, AFolderAtTheControlsPlaceIsNotTakenForAFileInUse) {
    FakePlatform fake;
    fake.failingOperations = {L"copyFile"};  // as copying onto a folder: access denied
    EXPECT_THROW(frmMain(fake).copyFlashOCX(), Failure);
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
