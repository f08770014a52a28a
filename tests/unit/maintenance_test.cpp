// Registration command lines and the backups, on the recording fake.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

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

// A file another program holds is renamed beside itself and deleted at the
// next restart; what is not a file of ours in use fails as it would.
TEST(Backups, AFileInUseIsMovedAsideAndDeletedAtTheNextRestart) {
    const std::wstring aside = controlBackup + L".1.old";
    struct Row {
        const char* name;
        std::function<void(FakePlatform&)> setUp;
        void (frmMain::*step)();
        bool fails;
        std::vector<std::wstring> expectedCalls;  // in this order, among the others
        std::wstring note = L"";                  // a line the log must have
    } rows[] = {
        {"old backup held by a browser",
         [](FakePlatform& f) { f.inUse = {controlBackup}; },
         &frmMain::renameFlashOCX, false,
         {L"deleteFile " + controlBackup, L"renameFile " + controlBackup + L" -> " + aside,
          L"deleteAtRestart " + aside, L"renameFile " + control + L" -> " + controlBackup}},
        {"scheduling refused: the run goes on",
         [&](FakePlatform& f) {
             f.inUse = {controlBackup};
             f.files[aside] = "taken by an earlier run";
             f.failingOperations = {L"deleteAtRestart"};
         },
         &frmMain::renameFlashOCX, false,
         {L"renameFile " + controlBackup + L" -> " + controlBackup + L".2.old",
          L"renameFile " + control + L" -> " + controlBackup},
         L"  \"" + controlBackup + L".2.old\" stays where it is until it is deleted by hand"},
        {"the installer's control held at the copy",
         [](FakePlatform& f) { f.inUse = {control}; },
         &frmMain::copyFlashOCX, false,
         {L"copyFile D:\\data\\Flash.ocx -> " + control, L"renameFile " + control + L" -> " + control + L".1.old",
          L"deleteAtRestart " + control + L".1.old", L"copyFile D:\\data\\Flash.ocx -> " + control}},
        {"a folder at the control's place fails as it would",
         [](FakePlatform& f) { f.files.erase(control); f.failingOperations = {L"copyFile"}; },
         &frmMain::copyFlashOCX, true, {L"copyFile D:\\data\\Flash.ocx -> " + control}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        fake.files[control] = "installed";
        fake.files[controlBackup] = "older";
        row.setUp(fake);
        frmMain form(fake);
        bool failed = false;
        try {
            (form.*row.step)();
        } catch (const Failure&) {
            failed = true;
        }
        EXPECT_EQ(failed, row.fails);
        auto next = fake.calls.begin();
        for (const auto& expected : row.expectedCalls) {
            next = std::find(next, fake.calls.end(), expected);
            ASSERT_NE(next, fake.calls.end()) << "missing or out of order: " << std::string(expected.begin(), expected.end());
        }
        if (row.fails) {
            EXPECT_FALSE(fake.called(L"renameFile"));
        }
        if (!row.note.empty()) {
            EXPECT_NE(std::find(fake.notes.begin(), fake.notes.end(), row.note), fake.notes.end());
        }
    }
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
