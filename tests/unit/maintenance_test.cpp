// Registration command lines and the backups, on the recording fake.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "app/main_window.h"
#include "platform/sha256.h"
#include "unit/fake_platform.h"
#include "unit/parts.h"

namespace tolvane::testing {
namespace {

using namespace fakePaths;

TEST(Registration, CommandLinesKeepAControlPathWithSpacesWholeAndStartTheSystemTool) {
    FakePlatform fake;
    fake.systemFolder = "C:\\Win Dir\\system 32";
    const std::wstring spaced = L"C:\\Win Dir\\system 32\\Macromed\\Flash\\flash.ocx";
    fake.files[spaced] = "control";
    Parts form(fake);
    form.registration.uninstallFlashOCX();
    form.registration.installFlashOCX();

    EXPECT_EQ(fake.callsTo(L"launchProgram"),
              (std::vector<std::wstring>{
                  L"launchProgram regsvr32 \"" + spaced + L"\" /u /s | 2 | C:\\Win Dir\\system 32\\regsvr32.exe | in C:\\Win Dir\\system 32",
                  L"launchProgram regsvr32 \"" + spaced + L"\" /s | 2 | C:\\Win Dir\\system 32\\regsvr32.exe | in C:\\Win Dir\\system 32"}));
    // Each run of the tool is waited for, up to a minute, on the handle it was started with.
    EXPECT_EQ(fake.callsTo(L"WaitForSingleObject"),
              (std::vector<std::wstring>{L"WaitForSingleObject 1000 60000", L"WaitForSingleObject 1001 60000"}));
    EXPECT_FALSE(fake.called(L"OpenProcess"));
    EXPECT_EQ(fake.openHandles, 0);
}

TEST(Registration, NoControlMeansNothingIsStarted) {
    FakePlatform fake;
    Parts form(fake);
    form.registration.uninstallFlashOCX();
    form.registration.installFlashOCX();
    EXPECT_FALSE(fake.called(L"launchProgram"));
}

// An older backup goes only when it is a copy of the control that stays;
// another is kept beside, under a name of the run's.
TEST(Backups, ControlBackupDropsExactlyThreeCharactersAndReplacesAnOldOneThatIsACopyEvenReadOnly) {
    for (const std::string older : {"installed", "older"}) {
        FakePlatform fake;
        fake.files[control] = "installed";
        fake.files[controlBackup] = older;
        fake.readOnly = {controlBackup};
        Parts form(fake);
        form.repair.renameFlashOCX();
        std::vector<std::wstring> changes;
        for (const std::wstring& call : fake.calls)
            for (const wchar_t* change : {L"renameFile", L"deleteFile", L"clearReadOnly"})
                if (call.rfind(change, 0) == 0) changes.push_back(call);
        // Renamed aside first, so that its name is free even where the delete
        // only marks it (another program maps it).
        const std::wstring aside = L"renameFile " + controlBackup + L" -> " + controlBackup + L".1.old";
        const std::wstring moved = L"renameFile " + control + L" -> " + controlBackup;
        const std::vector<std::wstring> copy{L"clearReadOnly " + controlBackup, aside,
                                             L"deleteFile " + controlBackup + L".1.old", moved};
        const std::vector<std::wstring> other{aside, moved};
        EXPECT_EQ(changes, older == "installed" ? copy : other);
        EXPECT_EQ(fake.files[controlBackup], "installed");
        EXPECT_EQ(fake.files.count(control), 0u);
        EXPECT_EQ(fake.files.count(controlBackup + L".1.old"), older == "installed" ? 0u : 1u);
    }
}

// After a run cut off before the copy, the backup is the only copy left.
TEST(Backups, WithoutAControlTheOldBackupIsKept) {
    FakePlatform fake;
    fake.files[controlBackup] = "the only copy left";
    Parts form(fake);
    form.repair.renameFlashOCX();
    EXPECT_EQ(fake.files[controlBackup], "the only copy left");
    EXPECT_FALSE(fake.called(L"deleteFile"));
    EXPECT_FALSE(fake.called(L"renameFile"));
}

// Without the rights to schedule its deletion, a file in use stays aside
// under a free name, the log says so, and the run goes on.
TEST(Backups, AnOldBackupInUseThatCannotBeScheduledStaysAsideAndTheRunGoesOn) {
    FakePlatform fake;
    fake.files[control] = "installed";
    fake.files[controlBackup] = "installed";  // held by a browser
    fake.inUse = {controlBackup};
    fake.files[controlBackup + L".1.old"] = "taken by an earlier run";
    fake.failingOperations = {L"deleteAtRestart"};
    Parts(fake).repair.renameFlashOCX();
    EXPECT_EQ(fake.files[controlBackup + L".2.old"], "installed");
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
    Parts(fake).repair.renameFlashOCX();
    EXPECT_EQ(fake.files[controlBackup], "installed");
}

// A folder at the control's place is no file in use: the copy fails as it would.
TEST(Backups, AFolderAtTheControlsPlaceIsNotTakenForAFileInUse) {
    FakePlatform fake;
    fake.failingOperations = {L"copyFile"};  // as copying onto a folder: access denied
    EXPECT_THROW(Parts(fake).repair.copyFlashOCX(), Failure);
    EXPECT_FALSE(fake.called(L"renameFile"));
}

// An older backup with the INF's own bytes goes, even read-only; one with
// other bytes (the machine's own, before the installer wrote its INF) stays.
TEST(Backups, InfOnWindowsXPTakesTheBackupsNameAndKeepsAnOlderOneThatIsNoCopy) {
    for (const std::string older : {"inf", "the machine's own inf"}) {
        FakePlatform fake;
        fake.setVersion(2, 5, 1);
        fake.files[inf] = "inf";
        fake.files[infBackup] = older;
        fake.readOnly = {infBackup};
        Parts form(fake);
        form.repair.renameFlashInf();
        EXPECT_EQ(fake.files[infBackup], "inf");
        EXPECT_EQ(fake.files.count(inf), 0u);
        EXPECT_EQ(fake.files.count(infBackup + L".1.old"), older == "inf" ? 0u : 1u) << older;
        if (older != "inf") {
            EXPECT_EQ(fake.files[infBackup + L".1.old"], older);
        }
    }
}

TEST(Backups, InfBackupIsKeptWhenThereIsNoInfToReplaceIt) {
    FakePlatform fake;
    fake.setVersion(2, 5, 1);
    fake.files[infBackup] = "the only copy left";
    Parts form(fake);
    form.repair.renameFlashInf();
    EXPECT_EQ(fake.files[infBackup], "the only copy left");
    EXPECT_FALSE(fake.called(L"deleteFile"));
}

TEST(Backups, InfIsLeftAloneOnALaterWindows) {
    FakePlatform fake;
    fake.setVersion(2, 6, 1);
    fake.files[inf] = "inf";
    Parts form(fake);
    form.repair.renameFlashInf();
    EXPECT_FALSE(fake.called(L"renameFile"));
    EXPECT_FALSE(fake.called(L"deleteFile"));
}

// The standard's own examples, and a message fed in uneven pieces.
TEST(Sha256, GivesTheStandardsDigests) {
    const auto hex = [](const std::string& message, std::size_t piece) {
        Sha256 hash;
        for (std::size_t at = 0; at < message.size(); at += piece)
            hash.update(message.data() + at, std::min(piece, message.size() - at));
        return hash.finishHex();
    };
    EXPECT_EQ(hex("", 1), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc", 1), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7),
              L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(std::string(1000000, 'a'), 4093), L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Nothing is unregistered, moved, run or copied unless every file of the
// medium is the one the publisher recorded; the files stay held.
TEST(MediumCheck, OnlyTheMediumAsItWasMadeIsRepairedFrom) {
    const std::wstring changed = L" was changed after the medium was made (";
    const struct Row {
        const char* name;
        std::function<void(FakePlatform&)> change;  // after the record was made
        std::wstring report;                        // the start of the report; empty: the run goes through
    } rows[] = {
        {"as it was made", [](FakePlatform&) {}, L""},
        {"no record: not checked", [](FakePlatform& f) { f.mediumRecordValue = L"Tolvane medium record: empty\n"; }, L""},
        {"a byte added to the installer", [](FakePlatform& f) { f.files[installer] += "!"; },
         L"\"" + installer + L"\"" + changed + L"it has 10 bytes, not 9); nothing was installed."},
        {"the control swapped", [](FakePlatform& f) { f.files[L"D:\\data\\Flash.ocx"] = "evil  control!"; },
         L"\"D:\\data\\Flash.ocx\"" + changed + L"its SHA-256 is not the one recorded); nothing was installed."},
        {"the menu missing", [](FakePlatform& f) { f.files.erase(menu); }, L"\"" + menu + L"\" is missing (opening"},
        {"a DLL beside the menu swapped", [](FakePlatform& f) { f.files[L"D:\\data\\helper.dll"] = "planted"; },
         L"\"D:\\data\\helper.dll\"" + changed + L"it has 7 bytes, not 6); nothing was installed."},
        {"a DLL dropped beside the installer", [](FakePlatform& f) { f.files[L"D:\\data\\version.dll"] = "x"; },
         L"\"D:\\data\\version.dll\"" + changed + L"the medium was made without it); nothing was installed."},
        {"a damaged record",
         [](FakePlatform& f) { f.mediumRecordValue.replace(f.mediumRecordValue.find(L"file "), 5, L"fiel "); },
         L"The record of the medium's files in this program is damaged (its line 2 is not one"},
        {"a record cut short", [](FakePlatform& f) { f.mediumRecordValue.resize(f.mediumRecordValue.size() - 4); },
         L"The record of the medium's files in this program is damaged (it has no end)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        fake.files[control] = "installed control";
        fake.files[L"D:\\data\\content\\page.html"] = "page";
        fake.files[L"D:\\data\\helper.dll"] = "helper";
        mastered(fake, {L"content", L"helper.dll"});
        row.change(fake);
        const int exitCode = runProgram(fake);
        const auto boxes = fake.callsTo(L"showMessageBox");
        if (row.report.empty()) {
            EXPECT_EQ(fake.endedWith, 0);
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(fake.files[control], "medium control");
            // Checked before the first change, held until the end, the copied control checked again.
            // The installer is hashed as it is copied, before the unregistration.
            if (fake.called(L"digestFile D:\\data\\Flash.ocx | held")) {
                EXPECT_LT(fake.firstCall(L"digestFile D:\\data\\Flash.ocx | held"), fake.firstCall(L"writeRepairRecord"));
                EXPECT_LT(fake.firstCall(L"copyAndDigest " + installer), fake.firstCall(L"launchProgram regsvr32"));
                EXPECT_LT(fake.firstCall(L"copyFile D:\\data\\Flash.ocx"), fake.firstCall(L"replaceFile"));
            }
            continue;
        }
        EXPECT_EQ(exitCode, failedExitCode);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].find(L"Details for support:\r\n" + row.report), std::wstring::npos) << boxes[0];
        EXPECT_NE(boxes[0].find(L"Use the original disc, or another copy of it."), std::wstring::npos) << boxes[0];
        for (const wchar_t* change : {L"launchProgram", L"renameFile", L"copyFile"}) EXPECT_FALSE(fake.called(change)) << change;
        // The installer is checked as it is copied: its folder alone went into the record, and out again.
        EXPECT_EQ(fake.called(L"writeRepairRecord"), fake.called(L"copyAndDigest"));
        EXPECT_TRUE(fake.record.empty());
        EXPECT_TRUE(fake.folders.empty());
    }
}

// A run on the fake's mastered medium: its exit code, and what the calls
// and the log say (and do not).
struct SaidRow {
    const char* name;
    std::function<void(FakePlatform&)> setUp;
    int exitCode;
    std::wstring said;     // in the calls or the log
    std::wstring notSaid;  // in neither
    const wchar_t* commandLine = L"T.exe";
    std::function<void(const FakePlatform&)> check = nullptr;  // on the machine after the run
};

void expectSaid(const SaidRow& row) {
    SCOPED_TRACE(row.name);
    FakePlatform fake;
    fake.files[control] = "installed control";
    mastered(fake);
    row.setUp(fake);
    const int exitCode = runProgram(fake, parseOptions(row.commandLine));
    EXPECT_EQ(fake.endedWith >= 0 ? fake.endedWith : exitCode, row.exitCode);
    std::wstring said;
    for (const auto& line : fake.calls) said += line + L"\n";
    for (const auto& line : fake.notes) said += line + L"\n";
    EXPECT_NE(said.find(row.said), std::wstring::npos) << std::string(said.begin(), said.end());
    if (!row.notSaid.empty()) {
        EXPECT_EQ(said.find(row.notSaid), std::wstring::npos) << std::string(said.begin(), said.end());
    }
    EXPECT_EQ(fake.openHandles, 0);
    if (row.check) row.check(fake);
}

// Whatever its volume says of itself, what runs as administrator is a copy
// in a folder only administrators may write, under a name nobody can guess
// or use up, hashed as it is written: a data folder re-pointed after the
// check changes nothing, on a writable copy and a CD-ROM drive alike.
TEST(InstallerCopy, WhatRunsAsAdministratorIsTheCheckedCopy) {
    const std::wstring second = L"C:\\WINDOWS\\Temp\\Tolvane.0000000000000002";
    const std::wstring fromMedium = L"launchProgram \"" + installer, planted = L" was changed after the medium was made (";
    // Nothing of the run's own is left, nor anything of anyone else's removed.
    const auto ran = [](const FakePlatform& f) {
        EXPECT_EQ(f.ranInstaller, "installer");
        EXPECT_EQ(f.callsTo(L"launchProgram \"C:\\WINDOWS\\Temp").size(), 1u);
        EXPECT_TRUE(f.folders.empty() && f.record.empty());
    };
    const auto refused = [](const FakePlatform& f) {
        EXPECT_EQ(f.files.at(control), "installed control");
        EXPECT_FALSE(f.called(L"launchProgram"));
        EXPECT_NE(f.callsTo(L"showMessageBox").at(0).find(L"nothing was changed."), std::wstring::npos);
        EXPECT_TRUE(f.folders.empty() && f.record.empty());
    };
    const SaidRow rows[] = {
        {"a pressed CD", [](FakePlatform&) {}, 0, installerLaunch, fromMedium, L"T.exe", ran},
        {"a writable copy", [](FakePlatform& f) { f.mediumWritable = true; }, 0, installerLaunch, fromMedium, L"T.exe", ran},
        {"its name taken", [](FakePlatform& f) { f.folders = {installerFolder}; }, 0,
         L"launchProgram \"" + second + L"\\install_flash_player.exe\"", fromMedium, L"T.exe",
         [](const FakePlatform& f) { EXPECT_EQ(f.folders, std::set<std::wstring>{installerFolder}); }},
        {"re-pointed after the check on a CD-ROM drive", [](FakePlatform& f) { f.installerSwappedAfterCheck = "planted"; },
         failedExitCode, L"\"" + installer + L"\"" + planted + L"it has 7 bytes, not 9)", L"", L"T.exe", refused},
        {"re-pointed after the check on a writable copy",
         [](FakePlatform& f) { f.mediumWritable = true, f.installerSwappedAfterCheck = "planted"; }, failedExitCode,
         L"\"" + installer + L"\"" + planted + L"it has 7 bytes, not 9)", L"", L"T.exe", refused},
        {"no installer, no record", [](FakePlatform& f) { f.mediumRecordValue.clear(), f.files.erase(installer); }, 0,
         L"Error starting task \r\ncopying \"" + installer + L"\" failed: not found", L"launchProgram \"C:\\WINDOWS\\Temp",
         L"T.exe", [](const FakePlatform& f) { EXPECT_TRUE(f.folders.empty() && f.record.empty()); }},
        {"/quiet: the installer's own silent switches, from the record",
         [](FakePlatform& f) { f.mediumRecordValue.insert(f.mediumRecordValue.size() - 4, L"quiet -install -silent\n"); },
         0, L"launchProgram \"" + installerCopy + L"\" -install -silent | 1 | " + installerCopy, fromMedium, L"T.exe /quiet",
         ran},
        {"/quiet: the medium names none", [](FakePlatform&) {}, 0,
         L"the medium names no silent switches for its installer: it may wait for a person", fromMedium, L"T.exe /quiet",
         ran},
        {"no access control where the copy goes", [](FakePlatform& f) { f.accessControl = false; }, 0,
         L"is on a file system without access control (FAT32)", fromMedium, L"T.exe", ran},
    };
    for (const SaidRow& row : rows) expectSaid(row);
}

// What no standard user can steer: the menu that runs with administrator
// rights is the one checked, a folder named in a cut-off run's record is
// removed only when it is the one that run made, no named lock where any
// user may make it first, and a setup that left the installer's job is
// ended at the time limit with the rest.
TEST(Steering, NothingAStandardUserPutsInPlaceRunsOrGoesAsAdministrator) {
    const std::wstring folder = L"C:\\WINDOWS\\Temp\\Tolvane.00000000deadbeef";
    const std::wstring cutOff = L"Tolvane repair record 1\nstep=copying the medium's installer\ncontrol=" + control +
                                L"\ninstallerFolder=" + folder + L"\n";
    const SaidRow rows[] = {
        {"XP, an administrator: the menu checked and made ready while the installer runs, let run after the registration",
         [](FakePlatform&) {}, 0, L"launchProgram \"" + menu + L"\" | 1 | " + menu + L" | checked, made ready", L"", L"T.exe",
         [](const FakePlatform& f) {
             EXPECT_LT(f.firstCall(L"launchProgram \"" + installerCopy), f.firstCall(L"readyCheckedProgram \"" + menu));
             EXPECT_LT(f.firstCall(L"launchProgram regsvr32 \"" + control + L"\" /s"), f.firstCall(L"launchProgram \"" + menu));
         }},
        {"a menu that cannot wait suspended: checked as it starts", [](FakePlatform& f) { f.menuCanWait = false; }, 0,
         L"launchProgram \"" + menu + L"\" | 1 | " + menu + L" | checked\n", L"made ready"},
        {"the menu re-pointed after the check", [](FakePlatform& f) { f.menuSwappedAfterCheck = true; }, 0,
         L"the menu does not run: starting \"" + menu + L"\" was stopped before it ran", L""},
        {"a DLL dropped beside the menu while the installer runs", [](FakePlatform& f) {
             f.droppedWhileInstallerRuns = L"D:\\data\\version.dll"; },
         0, L"the menu does not run: \"D:\\data\\version.dll\" was put beside the menu after the medium was checked",
         L"launchProgram \"" + menu},
        {"Vista, no full token: the menu as the desktop's user", [](FakePlatform& f) { f.setVersion(2, 6, 1); }, 0,
         L"launchProgram \"" + menu + L"\" | 1 | " + menu + L"\n", L"| checked"},
        {"Vista, a full token and /quiet: the menu checked", [](FakePlatform& f) { f.setVersion(2, 6, 1), f.elevated = true; }, 0,
         L"| checked", L"", L"T.exe /quiet"},
        {"Vista, a full token: the menu checked where it runs, though the repair runs elsewhere",
         [](FakePlatform& f) { f.setVersion(2, 6, 1), f.elevated = true; }, 0, L"| checked", L""},
        {"the folder a cut-off run made", [&](FakePlatform& f) {
             f.record = cutOff + L"installerFolderId=made 9\n", f.folders = {folder}, f.folderIds[folder] = L"made 9"; },
         0, L"removeFolder " + folder, L"is left as it is"},
        {"a folder made since at that name", [&](FakePlatform& f) {
             f.record = cutOff + L"installerFolderId=made 9\n", f.folders = {folder}; },
         0, L"\"" + folder + L"\" is left as it is: it is not the folder an earlier run made there", L"removeFolder " + folder},
        {"a record that names no identity", [&](FakePlatform& f) { f.record = cutOff, f.folders = {folder}; },
         0, L"is left as it is: the record names no identity for it", L"removeFolder " + folder},
        {"as SYSTEM: no named lock", [](FakePlatform& f) { f.system = true; }, 0, L"claimSingleRun \n", L"Local\\"},
        {"no desktop: no named lock", [](FakePlatform& f) { f.desktop = false; }, 0, L"claimSingleRun \n", L"Local\\"},
        {"a setup that left the installer's job, at the time limit", [](FakePlatform& f) {
             f.stillRunningAfterWait.insert(L"\"" + installerCopy + L"\"");
             f.handOvers = {{{2000, nullptr, L"C:\\Setup\\setup.exe", L"", 0, true}}}; },
         timedOutExitCode, L"\"C:\\Setup\\setup.exe\" (process 2000) left the installer's job: it is ended too",
         L"", L"T.exe /timeout 5"},
    };
    for (const SaidRow& row : rows) expectSaid(row);
}

// Deployment tools read the code as the machine's state: a restart the
// installer started is 3010; the time limit's 1460 only with the control
// back; an installer's own failure is not the repair's, and is kept; a
// detection whose mark cannot be read answers from the disk.
TEST(Codes, SayWhatTheMachineIs) {
    const std::wstring copy = L"\"" + installerCopy + L"\"";
    const SaidRow rows[] = {
        {"the installer started a restart (1641)", [&](FakePlatform& f) { f.exitCodes[copy] = ERROR_SUCCESS_REBOOT_INITIATED; },
         restartNeededExitCode, L"the installer asks for a restart (exit code 1641)"},
        {"the installer fails", [&](FakePlatform& f) { f.exitCodes[copy] = ERROR_INSTALL_FAILURE; }, 0,
         L"the installer reports a failure (exit code 1603: ", L"",
         L"T.exe", [](const FakePlatform& f) { EXPECT_NE(f.mark().find(L"\ninstallerExitCode=1603\n"), std::wstring::npos); }},
        {"the time limit, the control put back", [&](FakePlatform& f) { f.stillRunningAfterWait.insert(copy); },
         timedOutExitCode, L"was put back and registered again", L"", L"T.exe /quiet /timeout 5"},
        {"the time limit, the control not put back", [&](FakePlatform& f) {
             f.stillRunningAfterWait.insert(copy), f.failingOperations.insert(L"renameFile:" + control); },
         failedExitCode, L"could not be put back", L"", L"T.exe /quiet /timeout 5"},
        {"/check, the mark unreadable, the disc's control in place", [](FakePlatform& f) {
             f.files[control] = "medium control", f.failingOperations.insert(L"readInstalledMark"); },
         0, L"the control on the disk decides", L"", L"T.exe /check"},
        {"after a repair, a scanner holds the control: the user's backup stays", [](FakePlatform& f) {
             f.files[control] = "medium control", f.files[controlBackup] = "installed control";
             f.registry[L"Sha256"] = {REG_SZ, sha256Of("medium control"), 0};
             f.failingOperations.insert(L"digestFile:" + control); },
         0, L"\"" + control + L"\" is handled as the user's", L"",
         L"T.exe", [](const FakePlatform& f) { EXPECT_EQ(f.files.at(controlBackup), "installed control"); }},
        {"a disc's bytes and no mark are the user's build: the older backup stays beside it", [](FakePlatform& f) {
             f.files[control] = "medium control", f.files[controlBackup] = "installed control"; },
         0, L"is handled as the user's: no mark of this program names it", L"", L"T.exe",
         [](const FakePlatform& f) {
             EXPECT_EQ(f.files.at(controlBackup), "medium control");
             EXPECT_EQ(f.files.at(controlBackup + L".1.old"), "installed control");
         }},
        {"the medium's copy written over while the installer ran is copied again",
         [](FakePlatform& f) { f.droppedWhileInstallerRuns = control + L".1.new"; }, 0,
         L"changed after it was copied and checked: it is copied again", L"", L"T.exe",
         [](const FakePlatform& f) {
             EXPECT_EQ(f.lastRegistered, "medium control");
             EXPECT_EQ(f.atRestart.size(), 0u);
         }},
        {"a search for the control fails: no answer is taken for \"not there\"",
         [](FakePlatform& f) { f.failingOperations.insert(L"fileExists:" + control); }, failedExitCode,
         L"looking for \"" + control + L"\" failed", L"launchProgram regsvr32", L"T.exe /quiet",
         [](const FakePlatform& f) { EXPECT_EQ(f.files.at(control), "installed control"); }},
        {"a wait on the installer that fails is no end of it: nothing is copied over it",
         [&](FakePlatform& f) { f.failingOperations.insert(L"WaitForSingleObject:" + copy); }, failedExitCode,
         L"waiting for the medium's installer failed", L"copyFile D:\\data\\Flash.ocx", L"T.exe /quiet",
         [](const FakePlatform& f) { EXPECT_EQ(f.files.at(control), "installed control"); }},
        {"a failed version query: a cut-off run's swflash.inf still goes back", [](FakePlatform& f) {
             f.setVersion(0, 0, 0), f.files.erase(control), f.files[controlBackup] = "installed control",
             f.files[infBackup] = "inf";
             f.record = L"Tolvane repair record 1\nstep=running the medium's installer\ncontrol=" + controlBackup +
                        L"\ninf=" + inf + L"\n"; },
         0, L"An earlier run was cut off while running the medium's installer", L"", L"T.exe /quiet",
         [](const FakePlatform& f) { EXPECT_EQ(f.files.at(inf), "inf"); }},
        {"/check, the search for the control fails", [](FakePlatform& f) { f.failingOperations.insert(L"fileExists:" + control); },
         repairNeededExitCode, L"it does: looking for", L"", L"T.exe /check"},
        {"/check, the mark unreadable, another control in place",
         [](FakePlatform& f) { f.failingOperations.insert(L"readInstalledMark"); }, repairNeededExitCode,
         L"the control on the disk decides", L"", L"T.exe /check"},
    };
    for (const SaidRow& row : rows) expectSaid(row);
}

// A cut-off run's control goes back even when the medium has changed since:
// the put-back needs nothing of it.
TEST(Recovery, ComesBeforeTheMediumsCheck) {
    FakePlatform fake;
    fake.files[controlBackup] = "installed control";
    mastered(fake);
    fake.files[installer] += "!";
    fake.record = L"Tolvane repair record 1\nstep=running the medium's installer\ncontrol=" + controlBackup + L"\n";
    EXPECT_EQ(runProgram(fake), failedExitCode);
    EXPECT_EQ(fake.files[control], "installed control");
    EXPECT_EQ(fake.lastRegistered, "installed control");
    EXPECT_TRUE(fake.record.empty());
    EXPECT_NE(fake.callsTo(L"showMessageBox").at(0).find(L"was changed after the medium was made"), std::wstring::npos);
}

// A record an earlier build wrote, cut off with a move of every kind made,
// and the same record as this build writes it: the moves are undone newest
// first (the copy and what the installer left go, then the user's control
// and the older backup take their names back).
TEST(Recovery, UndoesAnEarlierBuildsRecordAsItsOwn) {
    const std::wstring earlier =
        L"Tolvane repair record 1\nstep=putting the medium's control in place\ncontrol=" + controlBackup + L"\ninf=" + inf +
        L"\nreplaced=" + control + L".1.old\nmediumCopy=yes\ncopySha256=" + sha256Of("medium control") +
        L"\nkeptByRun=yes\ninstallerStarted=yes\ninstallerEnded=yes\ndiscard=" + control + L".2.old\nkept=" + controlBackup +
        L".1.old\n";
    for (const bool rewritten : {false, true}) {
        SCOPED_TRACE(rewritten ? "as this build writes it" : "as the earlier build wrote it");
        FakePlatform fake;
        mastered(fake);
        fake.files[installer] += "!";  // the run stops once the recovery is over
        fake.files[control] = "medium control", fake.files[control + L".1.old"] = "installer's control";
        fake.files[control + L".2.old"] = "installer's control", fake.files[controlBackup] = "user's control";
        fake.files[controlBackup + L".1.old"] = "older backup", fake.files[infBackup] = "inf";
        fake.record = rewritten ? RepairRecord::parse(earlier).text() : earlier;
        EXPECT_EQ(runProgram(fake), failedExitCode);
        std::map<std::wstring, std::string> flash;
        for (const auto& [path, bytes] : fake.files)
            if (path.rfind(flashFolder, 0) == 0) flash[path] = bytes;
        EXPECT_EQ(flash, (std::map<std::wstring, std::string>{{control, "user's control"}, {controlBackup, "older backup"}}));
        EXPECT_EQ(fake.files[inf], "inf");
        EXPECT_TRUE(fake.record.empty()) << fake.record;
    }
}

}  // namespace
}  // namespace tolvane::testing
