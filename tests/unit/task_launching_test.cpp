// Starting the installer and waiting for it.
#include <gtest/gtest.h>

#include "app/main_window.h"
#include "platform/process_tree.h"
#include "unit/fake_platform.h"
#include "unit/parts.h"

namespace tolvane::testing {
namespace {

// On the handle it was started with: never opened again by its id, which
// may be refused or belong to another process by then.
TEST(InstallerWait, WaitsWithoutLimitOnTheHandleItWasStartedWithAndClosesIt) {
    FakePlatform fake;
    Parts parts(fake);
    frmMain form(fake, parts.channel);
    parts.repair.executeFlashSetup();

    EXPECT_EQ(fake.calls, (std::vector<std::wstring>{
                              L"launchProgram \"D:\\data\\install_flash_player.exe\" | 1 | "
                              L"D:\\data\\install_flash_player.exe",
                              L"setWindowVisible false",
                              L"processPendingEvents",
                              // Under way: meanwhile the medium's control is copied beside the control.
                              L"WaitForSingleObject 1000 2000",
                              L"GetSystemDirectoryA 255",
                              L"copyFile D:\\data\\Flash.ocx -> C:\\WINDOWS\\system32\\Macromed\\Flash\\flash.ocx.1.new",
                              L"WaitForSingleObject 1000 4294967295",
                              L"GetExitCodeProcess 1000 0",
                              L"CloseHandle 1000",
                          }));
    EXPECT_EQ(fake.openHandles, 0);
}

TEST(InstallerWait, MediumPathWithSpacesIsQuotedAndNamedAsTheProgram) {
    FakePlatform fake;
    fake.programFolderValue = L"C:\\My Medium";
    Parts parts(fake);
    frmMain form(fake, parts.channel);
    parts.repair.executeFlashSetup();
    form.executeChecker();

    auto launches = fake.callsTo(L"launchProgram");
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0], L"launchProgram \"C:\\My Medium\\data\\install_flash_player.exe\" | 1 | "
                           L"C:\\My Medium\\data\\install_flash_player.exe");
    EXPECT_EQ(launches[1], L"launchProgram \"C:\\My Medium\\data\\menu.exe\" | 1 | C:\\My Medium\\data\\menu.exe");
}

// After the installer ends: which of the processes it started are waited for.
TEST(InstallerWait, WaitsForWhatRunsFromTheTemporaryFoldersOrTheMediumOnly) {
    const std::wstring temp = L"c:\\DOCUMENTS AND SETTINGS\\user\\local settings\\temp";  // any case
    const struct Row {
        const char* name;
        std::vector<std::vector<RunningProcess>> found;  // what each look finds
        std::vector<std::wstring> waits;
        std::wstring temporaryFolder = L"C:\\Documents and Settings\\user\\Local Settings\\Temp";
        std::wstring programFolder = L"D:";
    } rows[] = {
        {"the user's temporary folder", {{{2000, nullptr, temp + L"\\setup.exe", L"", 0}}}, {L"WaitForSingleObject 2000"}},
        {"Windows' temporary folder, then the medium",
         {{{2001, nullptr, L"C:\\WINDOWS\\Temp\\x\\setup.exe", L"", 0}}, {{2002, nullptr, L"D:\\data\\setup2.exe", L"", 0}}},
         {L"WaitForSingleObject 2001", L"WaitForSingleObject 2002"}},
        {"a browser in Program Files, a folder named like the temporary one, an unknown file",
         {{{2003, nullptr, L"C:\\Program Files\\Browser\\browser.exe", L"", 0}, {2004, nullptr, temp + L"2\\setup.exe", L"", 0},
           {2005, nullptr, L"", L"access denied", 0}}},
         {}},
        {"TEMP at a drive root", {{{2006, nullptr, L"C:\\Program Files\\Browser\\browser.exe", L"", 0}}}, {}, L"C:\\"},
        {"the medium at a drive root: its data folder only",
         {{{2007, nullptr, L"C:\\Program Files\\Browser\\browser.exe", L"", 0}, {2008, nullptr, L"C:\\data\\setup.exe", L"", 0}}},
         {L"WaitForSingleObject 2008"}, L"C:\\Temp", L"C:\\"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        fake.handOvers = row.found;
        fake.temporaryFolderValue = row.temporaryFolder;
        fake.programFolderValue = row.programFolder;
        Parts parts(fake);
        frmMain form(fake, parts.channel);
        parts.repair.executeFlashSetup();
        std::vector<std::wstring> waits;
        for (const auto& call : fake.callsTo(L"WaitForSingleObject 2")) waits.push_back(call.substr(0, 24));
        EXPECT_EQ(waits, row.waits);
        EXPECT_EQ(fake.openHandles, 0);
        std::size_t found = 0, passedOver = 0;
        for (const auto& look : row.found) found += look.size();
        for (const auto& note : fake.notes) passedOver += note.rfind(L"  not waiting for ", 0) == 0;
        EXPECT_EQ(passedOver, found - row.waits.size());  // each named in the log
    }
}

// Without a job object: a process whose parent id is the installer's but that
// is older than the installer had another parent, whose id was reused.
TEST(InstallerWait, FollowingParentIdsTakesNoProcessThatOnlyHasAReusedId) {
    ProcessFamily family = {{100, 50}, {150, 55}};
    const std::vector<std::uint32_t> running =
        familyRunning(family, {{300, 200, 70},    // grandchild, listed before its parent
                               {200, 100, 60},    // child
                               {400, 100, 40},    // older than the installer
                               {500, 400, 80},    // its child
                               {600, 100, 0},     // creation time unknown
                               {150, 1, 90},      // a family member's id, now another process's
                               {700, 150, 95}});  // and that process's child
    EXPECT_EQ(running, (std::vector<std::uint32_t>{300, 200}));
}

}  // namespace
}  // namespace tolvane::testing
