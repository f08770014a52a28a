// The load handling: order of the steps, and what a failure does to the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "app/main_window.h"
#include "app/run_recorder.h"
#include "platform/sha256.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {
namespace {

using namespace fakePaths;

// What the fake's failures say, in this system's words.
std::wstring denied() { return systemMessage(ERROR_ACCESS_DENIED); }

// The calls that change the machine or start something, in order.
std::vector<std::wstring> actions(const FakePlatform& fake) {
    std::vector<std::wstring> found;
    for (const auto& call : fake.calls)
        for (const wchar_t* name : {L"launchProgram", L"deleteFile", L"renameFile", L"copyFile", L"replaceFile",
                                    L"clearReadOnly", L"showMessageBox", L"WaitForSingleObject", L"endProgram"})
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

    // DLL search restricted first, then the single-run lock, before the window.
    EXPECT_EQ(std::vector<std::wstring>(fake.calls.begin(), fake.calls.begin() + 5),
              (std::vector<std::wstring>{L"restrictDllSearch", L"claimSingleRun Local\\Tolvane.Repair", L"GetVersionExA 148",
                                         L"createMainWindow Tolvane", L"setWindowVisible false"}));
    EXPECT_EQ(actions(fake), (std::vector<std::wstring>{
                                 L"launchProgram regsvr32 \"" + control + L"\" /u /s | 2 | " + tool + inSystem,
                                 L"WaitForSingleObject 1000 60000",
                                 L"renameFile " + control + L" -> " + controlBackup,
                                 L"renameFile " + inf + L" -> " + infBackup,
                                 installerLaunch,
                                 // Under way: then the menu is made ready and the medium's control copied.
                                 L"WaitForSingleObject 1001 2000",
                                 L"copyFile D:\\data\\Flash.ocx -> " + control + L".1.new",
                                 L"WaitForSingleObject 1001 4294967295",
                                 L"replaceFile " + control + L".1.new -> " + control,
                                 L"launchProgram regsvr32 \"" + control + L"\" /s | 2 | " + tool + inSystem,
                                 L"WaitForSingleObject 1002 60000",
                                 L"launchProgram \"" + menu + L"\" | 1 | " + menu,
                                 L"endProgram",
                             }));
    EXPECT_EQ(fake.files[control], "medium control");
    EXPECT_EQ(fake.files[controlBackup], "installed control");
    EXPECT_EQ(fake.files[infBackup], "inf");
    EXPECT_TRUE(fake.record.empty());
}

TEST_F(Sequence, FailingBackupEndsTheRunBeforeTheInstaller) {
    fake.failingOperations.insert(L"renameFile");
    EXPECT_EQ(runProgram(fake), failedExitCode);

    // The control never left its place: it is registered again before the report.
    auto done = actions(fake);
    ASSERT_EQ(done.size(), 6u);
    EXPECT_EQ(done[2], L"renameFile " + control + L" -> " + controlBackup);
    EXPECT_EQ(done[3], L"launchProgram regsvr32 \"" + control + L"\" /s | 2 | " + tool + inSystem);
    EXPECT_NE(done[5].find(L"Details for support:\r\nrenameFile failed: " + denied() + L"\r\n"
                           L"The control at \"" + control + L"\" was registered again."),
              std::wstring::npos);
}

TEST_F(Sequence, FailingCopyEndsTheRunBeforeRegistrationAndMenu) {
    fake.failingOperations.insert(L"copyFile");
    EXPECT_EQ(runProgram(fake), failedExitCode);

    // The moves undone newest first: the INF file, the installed control;
    // the control registered, then the report.
    auto done = actions(fake);
    ASSERT_GE(done.size(), 6u);
    EXPECT_EQ(std::vector<std::wstring>(done.end() - 6, done.end() - 1),
              (std::vector<std::wstring>{L"copyFile D:\\data\\Flash.ocx -> " + control + L".1.new",
                                         L"renameFile " + infBackup + L" -> " + inf,
                                         L"renameFile " + controlBackup + L" -> " + control,
                                         L"launchProgram regsvr32 \"" + control + L"\" /s | 2 | " + tool + inSystem,
                                         L"WaitForSingleObject 1002 60000"}));
    EXPECT_NE(done.back().find(L"Details for support:\r\ncopyFile failed: " + denied() + L"\r\n"
                               L"The control that was installed was put back and registered again."),
              std::wstring::npos);
    EXPECT_EQ(fake.files[control], "installed control");
    EXPECT_FALSE(fake.called(L"launchProgram \"" + menu));
}

// Each box says first what the failure means for the person at the PC,
// then what to do, then the details for support: what failed, and what
// became of the installed control.
TEST(Reports, EachSaysWhatItMeansWhatToDoAndTheDetails) {
    const std::wstring registration = L"regsvr32 \"" + control + L"\" /s";
    const std::wstring notDone = L"The control that was installed could not be put back and registered again: ";
    const std::wstring copyFile = L"copyFile", copyFailed = L"copyFile failed: " + denied();
    const std::wstring again = L"Run the disc again. If this happens again, keep the log Tolvane.log from the "
                               L"temporary folder for support.";
    struct Row {
        const char* name;
        std::function<void(FakePlatform&)> setUp;
        std::wstring meaning, todo, details;
    } rows[] = {
        {"the control held by a browser never moved", [](FakePlatform& f) {
             f.failingOperations = {L"renameFile:" + controlBackup}, f.failureNumber = ERROR_SHARING_VIOLATION;
             f.holders[control] = {L"Web Browser"};
         },
         unchangedMeaning, L"Close \"Web Browser\" and run the disc again.",
         L"renameFile:" + controlBackup + L" failed: " + systemMessage(ERROR_SHARING_VIOLATION) + L"\r\nThe control at \"" + control + L"\" was registered again."},
        {"held, and Windows cannot tell by which program (XP)", [](FakePlatform& f) {
             f.failingOperations = {L"renameFile:" + controlBackup}, f.failureNumber = ERROR_SHARING_VIOLATION;
         },
         unchangedMeaning,
         L"Another program holds the control: close it (a browser, say) and run the disc again.", L""},
        {"the copy fails: the user's control goes back", [&](FakePlatform& f) { f.failingOperations = {copyFile}; },
         putBackMeaning, again, copyFailed + L"\r\nThe control that was installed was put back and registered again."},
        {"no control before the run", [&](FakePlatform& f) { f.files.erase(control), f.failingOperations = {copyFile}; },
         unchangedMeaning, again, copyFailed + L"\r\nThere was no control to put back."},
        {"the tool is still running",
         [&](FakePlatform& f) { f.failingOperations = {copyFile}, f.stillRunningAfterWait.insert(registration); },
         putBackMeaning, again,
         copyFailed + L"\r\nThe control that was installed was put back; its registration had not ended after 60 seconds."},
        {"the backup cannot be renamed back",
         [&](FakePlatform& f) { f.failingOperations = {copyFile, L"renameFile:" + control}; }, mayNotWorkMeaning, again,
         copyFailed + L"\r\n" + notDone + L"renameFile:" + control + L" failed: " + denied() + L" It is at \"" +
             controlBackup + L"\"."},
        {"no control before the run, the installer's own, the medium's does not register",
         [](FakePlatform& f) { f.files.erase(control), f.installerWrites = "installer's control"; }, putBackMeaning, again,
         L"registering \"" + control + L"\" failed: its registration failed (the registration tool ended with exit "
         L"code 5).\r\nThe control the installer put in place was put back and registered again."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        fake.files[control] = "installed control";
        fake.unregistrable = {"medium control"};
        row.setUp(fake);
        EXPECT_EQ(runProgram(fake), failedExitCode);
        auto boxes = fake.callsTo(L"showMessageBox");
        ASSERT_EQ(boxes.size(), 1u);
        const std::wstring head = L"showMessageBox Tolvane | 16 | " + row.meaning + L"\r\n\r\n" + row.todo +
                                  L"\r\n\r\nDetails for support:\r\n";
        EXPECT_EQ(boxes[0].substr(0, head.size()), head);
        EXPECT_EQ(boxes[0].substr(head.size()), row.details.empty() ? boxes[0].substr(head.size()) : row.details);
        EXPECT_FALSE(fake.called(L"launchProgram \"" + menu));
    }
}

// Every kind of report a person reads, in their language: Spanish of any
// country reads Spanish, everyone else English; the elevated instance is
// told the first one's; the log stays in English and names the language.
TEST(Reports, EveryKindInThePersonsLanguage) {
    for (unsigned id = 1; id < IDS_END; ++id) {
        EXPECT_FALSE(loadText(nullptr, id, englishTexts).empty()) << id;
        EXPECT_NE(loadText(nullptr, id, spanishTexts), loadText(nullptr, id, englishTexts)) << id;
    }
    const struct Kind {
        const char* name;
        std::function<void(FakePlatform&)> setUp;
        const wchar_t* commandLine;
        std::vector<unsigned> texts;  // in its box, in this order
        LANGID told = 0;              // the language the first instance told, whatever the person's
    } kinds[] = {
        {"put back", [](FakePlatform& f) { f.failingOperations = {L"copyFile"}; }, L"T.exe",
         {IDS_PUT_BACK, IDS_RUN_AGAIN, IDS_LOG_IN_TEMP, IDS_DETAILS}},
        {"held by a named program", [](FakePlatform& f) {
             f.failingOperations = {L"renameFile:" + controlBackup}, f.failureNumber = ERROR_SHARING_VIOLATION;
             f.holders[control] = {L"Web Browser"};
         }, L"T.exe", {IDS_UNCHANGED, IDS_CLOSE_NAMED, IDS_DETAILS}},
        {"held", [](FakePlatform& f) {
             f.failingOperations = {L"renameFile:" + controlBackup}, f.failureNumber = ERROR_SHARING_VIOLATION;
         }, L"T.exe", {IDS_UNCHANGED, IDS_CLOSE_THE_HOLDER, IDS_DETAILS}},
        {"the setup information file held: no program to close", [](FakePlatform& f) {
             f.files[inf] = "inf", f.failingOperations = {L"renameFile:" + infBackup}, f.failureNumber = ERROR_LOCK_VIOLATION;
         }, L"T.exe", {IDS_PUT_BACK, IDS_RUN_AGAIN, IDS_DETAILS}},
        {"may not work", [](FakePlatform& f) { f.failingOperations = {L"copyFile", L"renameFile:" + control}; }, L"T.exe",
         {IDS_MAY_NOT_WORK, IDS_RUN_AGAIN, IDS_DETAILS}},
        {"a damaged medium", [](FakePlatform& f) { mastered(f), f.files[installer] += "!"; }, L"T.exe",
         {IDS_UNCHANGED, IDS_USE_ANOTHER_DISC, IDS_DETAILS}},
        {"the menu fails after the repair", [](FakePlatform& f) { f.failingOperations = {L"launchProgram:" + menu}; },
         L"T.exe", {IDS_REPAIRED, IDS_RUN_AGAIN, IDS_DETAILS}},
        {"the elevated instance ended early", [](FakePlatform& f) { f.setVersion(2, 6, 1), f.exitCodes[L"/repair"] = 9; },
         L"T.exe", {IDS_MAY_NOT_WORK, IDS_RUN_AGAIN_TO_PUT_BACK, IDS_DETAILS, IDS_REPAIR_STOPPED}},
        {"/?", [](FakePlatform&) {}, L"T.exe /?", {IDS_SWITCHES_HELP}},
        {"a switch not known", [](FakePlatform&) {}, L"T.exe /bogus", {IDS_SWITCH_NOT_KNOWN, IDS_SWITCHES_HELP}},
        {"/log without a file", [](FakePlatform&) {}, L"T.exe /log", {IDS_SWITCH_NEEDS_FILE, IDS_SWITCHES_HELP}},
        {"the elevated instance, told Spanish", [](FakePlatform& f) { f.failingOperations = {L"copyFile"}; },
         L"T.exe /repair 1234 /language 3082", {IDS_PUT_BACK, IDS_RUN_AGAIN, IDS_DETAILS}, spanishTexts},
    };
    // Spanish of Spain and Mexico, Catalan, Basque, Galician; English, German.
    for (const LANGID person : {0x0C0A, 0x080A, 0x0403, 0x042D, 0x0456, 0x0409, 0x0407}) {
        for (const Kind& kind : kinds) {
            const bool spanish = person == 0x0C0A || person == 0x080A || person == 0x0403 || person == 0x042D || person == 0x0456;
            const LANGID language = kind.told != 0 ? kind.told : spanish ? spanishTexts : englishTexts;
            SCOPED_TRACE(std::string(kind.name) + ", the person's language " + std::to_string(person));
            FakePlatform fake;
            fake.setVersion(2, 5, 1, "Service Pack 3");
            fake.files[control] = "installed control";
            fake.uiLanguage = person;
            kind.setUp(fake);
            runProgram(fake, parseOptions(kind.commandLine));
            const auto boxes = fake.callsTo(L"showMessageBox Tolvane");
            ASSERT_EQ(boxes.size(), 1u);
            std::size_t at = 0;
            for (unsigned id : kind.texts) {
                const std::wstring text = loadText(nullptr, id, language);
                at = boxes[0].find(text.substr(0, text.find(L"%1")), at);
                EXPECT_NE(at, std::wstring::npos) << id;
            }
            // No text of the other language's table, whole or up to its "%1".
            for (unsigned id = 1; language == spanishTexts && id < IDS_END; ++id) {
                const std::wstring other = loadText(nullptr, id, englishTexts);
                EXPECT_EQ(boxes[0].find(other.substr(0, other.find(L"%1"))), std::wstring::npos) << id;
            }
            std::wstring said;
            for (const auto& note : fake.notes) said += note + L"\n";
            EXPECT_NE(said.find(language == spanishTexts ? L"reports are in Spanish" : L"reports are in English"),
                      std::wstring::npos);
            if (fake.called(L"launchElevatedRepair")) {
                EXPECT_NE(fake.callsTo(L"launchElevatedRepair")[0].find(L" /language " + std::to_wstring(language)),
                          std::wstring::npos);
            }
        }
    }
}

// A power cut after each change the run makes, then the disc again: with a
// whole medium the repair ends as if nothing had happened; with a damaged
// one the machine's control is back in place and registered: the user's,
// or the medium's where the cut run had gone through. On a machine without
// a control of its own, the installer's stands in for it. The recovery
// itself is cut too, after each of its changes, before a whole run. From a
// pressed CD and from a medium its user can write (the installer copied).
TEST(CutOff, AfterEveryChangeTheNextStartPutsTheMachinesControlBackFirst) {
    const struct Row {
        const char* name;
        std::string before;           // the machine's control ("" : none)
        std::string installerWrites;  // what the installer puts at the control path
        std::string afterDamaged;     // at the control path after a run with a damaged medium
    } rows[] = {
        {"the user's control", "installed control", "", "installed control"},
        {"the user's control, the installer's own", "installed control", "installer's control", "installed control"},
        {"no control, the installer's own", "", "installer's control", "installer's control"},
        {"no control at all", "", "", ""},
    };
    // Nothing in the control's folder but the control and its backup, no
    // record, and nothing in an installer's folder: the record names the
    // folder only once it exists, and a cut in that instant leaves it empty.
    const auto leftClean = [](const FakePlatform& fake) {
        for (const auto& [path, content] : fake.files) {
            if (path.rfind(flashFolder, 0) == 0) {
                EXPECT_TRUE(path == control || path == controlBackup) << path;
            }
            EXPECT_NE(path.rfind(L"C:\\WINDOWS\\Temp\\", 0), 0u) << path;
        }
        EXPECT_TRUE(fake.record.empty()) << std::string(fake.record.begin(), fake.record.end());
    };
    for (const Row& row : rows) {
        for (const bool writable : {false, true}) {
            const auto start = [&](const FakePlatform* earlier) {
                FakePlatform fake;
                fake.setVersion(2, 5, 1, "Service Pack 3");
                fake.files[inf] = "inf";
                fake.files[installer] = "installer";
                if (!row.before.empty()) fake.files[control] = row.before;
                else if (row.installerWrites.empty()) fake.files[infBackup] = "an older inf";  // goes aside first
                fake.installerWrites = row.installerWrites;
                fake.mediumWritable = writable;
                if (earlier != nullptr) fake.takeMachineOf(*earlier);
                return fake;
            };
            // A whole run after the cuts repairs, and keeps the user's control as its backup.
            const auto repairs = [&](const FakePlatform& cut) {
                FakePlatform whole = start(&cut);
                EXPECT_EQ(runProgram(whole), 0);
                EXPECT_EQ(whole.files[control], "medium control");
                EXPECT_EQ(whole.lastRegistered, "medium control");
                EXPECT_EQ(whole.ranInstaller, "installer");
                if (!row.before.empty()) {
                    EXPECT_EQ(whole.files[controlBackup], row.before);
                }
                EXPECT_EQ(whole.files.count(inf), 0u);
                EXPECT_EQ(whole.files[infBackup], "inf");
                leftClean(whole);
            };
            // A damaged medium after the cuts puts back what the machine had,
            // registered, and loses nothing of the user's. After one cut that
            // is the user's control, or the medium's where the run went
            // through (its record says so, or is gone); after a cut recovery
            // either.
            const auto putsBack = [&](const FakePlatform& cut, bool once) {
                const bool wentThrough = !cut.mark().empty() &&
                                         (cut.record.empty() || cut.record.find(L"finished=yes") != std::wstring::npos);
                FakePlatform damaged = start(&cut);
                damaged.unregistrable = {"medium control"};
                EXPECT_EQ(runProgram(damaged), failedExitCode);
                const std::string now = at(damaged, control);
                if (once) {
                    EXPECT_EQ(now, wentThrough ? "medium control" : row.afterDamaged);
                } else {
                    EXPECT_TRUE(now == row.afterDamaged || now == "medium control") << now;
                }
                if (!now.empty()) {
                    EXPECT_EQ(damaged.lastRegistered, now);
                }
                if (!row.before.empty()) {
                    EXPECT_TRUE(now == row.before || at(damaged, controlBackup) == row.before);
                }
                EXPECT_TRUE(at(damaged, inf) == "inf" || at(damaged, infBackup) == "inf");
                EXPECT_FALSE(damaged.called(L"launchProgram \"" + menu));
                EXPECT_EQ(damaged.callsTo(L"showMessageBox").size(), 1u);
                leftClean(damaged);
            };
            for (int changes = 1;; ++changes) {
                SCOPED_TRACE(std::string(row.name) + (writable ? ", writable medium" : ", CD") + ", cut off after " +
                             std::to_string(changes) + " changes");
                FakePlatform cut = start(nullptr);
                cut.cutOffAfterChanges = changes;
                runProgram(cut);
                if (!cut.cutOff) break;  // the run went through: every change has been cut after
                repairs(cut);
                putsBack(cut, true);
                for (int again = 1;; ++again) {
                    SCOPED_TRACE("the next start cut off after " + std::to_string(again) + " changes");
                    FakePlatform second = start(&cut);
                    second.cutOffAfterChanges = again;
                    runProgram(second);
                    if (!second.cutOff) break;
                    repairs(second);
                    putsBack(second, false);
                }
            }
        }
    }
}

// The session ends while the installer runs: it and what it started are
// ended before anything is put back, so nothing writes over the control.
TEST_F(Sequence, AnEndingSessionEndsTheStepsProcessesBeforeItPutsBack) {
    fake.sessionEndsWhileWaitingFor = L"\"" + installerCopy;
    runProgram(fake);
    const auto at = [&](const std::wstring& call) {
        return std::find(fake.calls.begin(), fake.calls.end(), call) - fake.calls.begin();
    };
    EXPECT_LT(at(L"TerminateProcess 1001"), at(L"renameFile " + controlBackup + L" -> " + control));
    EXPECT_LT(at(L"endTrackedProcesses"), at(L"renameFile " + controlBackup + L" -> " + control));
    EXPECT_LT(at(L"renameFile " + controlBackup + L" -> " + control), static_cast<long>(fake.calls.size()));
    EXPECT_EQ(fake.files[control], "installed control");
    EXPECT_EQ(fake.files[inf], "inf");
    EXPECT_EQ(fake.callsTo(L"endProgram").at(0), L"endProgram " + std::to_wstring(sessionEndedExitCode));
    EXPECT_TRUE(fake.record.empty());
}

// From Vista on the first instance, waiting for the elevated one, holds the
// end of the session briefly for that one's last lines, then ends; no menu.
TEST(FirstInstance, AnEndingSessionWaitsBrieflyForTheRepairsLastLines) {
    FakePlatform fake;
    fake.setVersion(2, 6, 1);
    fake.sessionEndsWhileWaitingFor = repairSwitch;
    runProgram(fake);
    EXPECT_EQ(fake.callsTo(L"WaitForSingleObject"),
              (std::vector<std::wstring>{L"WaitForSingleObject 1000 4294967295", L"WaitForSingleObject 1000 5000"}));
    EXPECT_EQ(fake.callsTo(L"endProgram").at(0), L"endProgram " + std::to_wstring(sessionEndedExitCode));
    EXPECT_FALSE(fake.called(L"TerminateProcess")) << "the repair puts back on its own";
}

// The unregistration's exit code never stops the run, nor does a
// registration still running after a minute.
TEST_F(Sequence, UnregistrationFailureAndSlowRegistrationStillReachTheMenu) {
    fake.exitCodes[L"regsvr32 \"" + control + L"\" /u /s"] = 3;
    fake.stillRunningAfterWait.insert(L"regsvr32 \"" + control + L"\" /s");
    EXPECT_EQ(runProgram(fake), 0);
    EXPECT_TRUE(fake.called(L"launchProgram \"" + menu));
    EXPECT_EQ(fake.openHandles, 0);
}

// The menu runs as the user who started the program, unless the repair
// failed (its report came from the elevated instance).
TEST(FirstInstance, RepairsAsAdministratorWhereItCanAndStartsTheMenuItself) {
    const struct Row {
        const char* name;
        DWORD major;
        bool administrator;
        DWORD elevationRefused;
        DWORD repairExitCode;
        int exitCode;
        bool menu;
        bool box;
    } rows[] = {
        {"later Windows, repaired", 6, true, 0, 0, 0, true, false},
        {"later Windows, the repair failed and said so", 6, true, 0, elevatedRepairFailedExitCode, failedExitCode, false,
         false},
        {"later Windows, the installer timed out", 6, true, 0, timedOutExitCode, timedOutExitCode, false, false},
        {"later Windows, the repair was ended from outside", 6, true, 0, 1, repairStoppedExitCode, false, true},
        {"later Windows, another repair at work", 6, true, 0, anotherRepairExitCode, anotherRepairExitCode, true, false},
        {"later Windows, consent declined", 6, true, ERROR_CANCELLED, 0, ERROR_CANCELLED, true, false},
        {"later Windows, no prompt and a standard user", 6, false, ERROR_ACCESS_DENIED, 0, notAnAdministratorExitCode,
         true, false},
        {"later Windows, the elevated start fails", 6, true, ERROR_FILE_NOT_FOUND, 0, failedExitCode, false, true},
        {"Windows XP, a standard user", 5, false, 0, 0, notAnAdministratorExitCode, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        fake.setVersion(2, row.major, 1, "Service Pack 3");
        fake.files[control] = "installed control";
        fake.administrator = row.administrator;
        fake.elevationRefused = row.elevationRefused;
        fake.exitCodes[repairSwitch] = row.repairExitCode;
        const int returned = runProgram(fake);
        EXPECT_EQ(fake.endedWith >= 0 ? fake.endedWith : returned, row.exitCode);
        EXPECT_EQ(fake.called(L"launchProgram \"" + menu), row.menu);
        EXPECT_EQ(fake.called(L"showMessageBox"), row.box);
        EXPECT_EQ(fake.called(L"launchElevatedRepair"), row.major >= 6);
        // The window, which the elevated instance needs only once it waits,
        // is made while that one starts: made first, it held up its start.
        if (row.major >= 6 && row.elevationRefused == 0) {
            EXPECT_LT(fake.firstCall(L"launchElevatedRepair"), fake.firstCall(L"createMainWindow"));
        }
        // Nothing of the repair in this process.
        EXPECT_FALSE(fake.called(L"renameFile")) << "the repair ran as the user";
        EXPECT_EQ(fake.openHandles, 0);
    }
}

TEST_F(Sequence, AnotherRunHoldingTheLockEndsThisStartAtOnceWithCodeZero) {
    fake.anotherRunHoldsTheLock = true;
    EXPECT_EQ(runProgram(fake), 0);
    // ...and tells the run at work, which writes the line.
    EXPECT_EQ(fake.calls, (std::vector<std::wstring>{L"restrictDllSearch", L"claimSingleRun Local\\Tolvane.Repair",
                                                     L"sendToInstance 0 " + std::to_wstring(InstanceChannel::anotherStartKind) + L" 0"}));
}

TEST_F(Sequence, MenuThatCannotStartIsReportedAndEndsWithNonZeroCode) {
    fake.failingOperations.insert(L"launchProgram:" + menu);
    EXPECT_EQ(runProgram(fake), failedExitCode);

    auto boxes = fake.callsTo(L"showMessageBox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind(L"showMessageBox Tolvane | 16 | Flash Player was repaired.\r\n\r\nRun the disc again.", 0), 0u)
        << boxes[0];
    EXPECT_NE(boxes[0].find(L"Details for support:\r\nlaunchProgram:" + menu + L" failed: " + denied()),
              std::wstring::npos);
    EXPECT_FALSE(fake.called(L"endProgram"));
    EXPECT_EQ(fake.calls.back(), boxes[0]);  // nothing after the report
}

TEST_F(Sequence, InstallerThatCannotStartShowsOneWarningAndTheRunGoesOn) {
    fake.failingOperations.insert(L"launchProgram:" + installerCopy);
    EXPECT_EQ(runProgram(fake), 0);

    auto boxes = fake.callsTo(L"showMessageBox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], L"showMessageBox Error | 48 | Error starting task \r\nlaunchProgram:" + installerCopy +
                            L" failed: " + denied());
    EXPECT_FALSE(fake.called(L"OpenProcess"));
    EXPECT_TRUE(fake.called(L"copyFile"));
    EXPECT_TRUE(fake.called(L"launchProgram \"" + menu));
    EXPECT_EQ(fake.calls.back(), L"endProgram");
}

TEST_F(Sequence, ProgramFolderAtADriveRootGetsOneBackslash) {
    fake.programFolderValue = L"E:\\";
    fake.files[L"E:\\data\\Flash.ocx"] = "medium control";
    fake.files[L"E:\\data\\install_flash_player.exe"] = "installer";
    EXPECT_EQ(runProgram(fake), 0);
    EXPECT_TRUE(fake.called(L"copyFile E:\\data\\Flash.ocx -> "));
    EXPECT_TRUE(fake.called(L"copyAndDigest E:\\data\\install_flash_player.exe -> " + installerCopy));
    EXPECT_TRUE(fake.called(installerLaunch));
    EXPECT_TRUE(fake.called(L"launchProgram \"E:\\data\\menu.exe\" | 1 | E:\\data\\menu.exe"));
}

TEST_F(Sequence, SystemFolderThatCannotBeAskedForTouchesNoFile) {
    fake.overrideFolderCount = true;
    fake.folderCount = 0;
    fake.lastError = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(runProgram(fake), failedExitCode);

    auto done = actions(fake);
    ASSERT_EQ(done.size(), 1u) << "something was done without a folder to do it in";
    EXPECT_NE(done[0].find(L"Details for support:\r\nasking Windows for the Windows folder failed: "), std::wstring::npos)
        << done[0];
}

// The log listens and changes nothing the run does: with a log on the
// platform's lines and the channel's, the same actions in the same order,
// the same exit code, every handle closed.
TEST(RecordingLayer, TheRunDoesTheSameWithTheLogAsWithout) {
    wchar_t temporary[MAX_PATH + 1];
    const std::wstring logFolder = std::wstring(temporary, ::GetTempPathW(MAX_PATH + 1, temporary)) + L"unit-log";
    ::CreateDirectoryW(logFolder.c_str(), nullptr);
    ::SetEnvironmentVariableW(L"TMP", logFolder.c_str());  // not the log the end-to-end tests read
    const std::pair<const char*, std::function<void(FakePlatform&)>> rows[] = {
        {"whole run", [](FakePlatform&) {}},
        {"copy fails", [](FakePlatform& f) { f.failingOperations.insert(L"copyFile"); }},
        {"installer missing", [](FakePlatform& f) { f.failingOperations.insert(L"launchProgram:" + installer); }},
        {"registration still running",
         [](FakePlatform& f) { f.stillRunningAfterWait.insert(L"regsvr32 \"" + control + L"\" /s"); }},
        {"another run at work", [](FakePlatform& f) { f.anotherRunHoldsTheLock = true; }},
        {"registration fails", [](FakePlatform& f) { f.exitCodes[L"regsvr32 \"" + control + L"\" /s"] = 5; }},
    };
    for (const auto& [name, setUp] : rows) {
        SCOPED_TRACE(name);
        FakePlatform plain, inner;
        for (FakePlatform* fake : {&plain, &inner}) {
            fake->setVersion(2, 5, 1, "Service Pack 3");
            fake->files[control] = "installed control";
            setUp(*fake);
        }
        const int exitCode = runProgram(plain);
        {
            RunLog log;
            RunRecorder recorder(inner, log);
            inner.listener = &recorder;
            InstanceChannel channel(inner, ProgramOptions());
            channel.useLog(log);
            EXPECT_EQ(runProgram(inner, ProgramOptions(), &channel), exitCode);
            EXPECT_TRUE(log.waiting());  // no lock told, no file: the lines kept
        }
        // Only the report names the log it sends the user to.
        std::vector<std::wstring> logged = actions(inner);
        const std::wstring path = L"\"" + logFolder + L"\\Tolvane.log\"";
        for (std::wstring& action : logged)
            if (action.find(path) != std::wstring::npos)
                action.replace(action.find(path), path.size(), L"Tolvane.log from the temporary folder");
        EXPECT_EQ(logged, actions(plain));
        EXPECT_EQ(inner.openHandles, 0);
    }
    ::SetEnvironmentVariableW(L"TMP", nullptr);
}

TEST(Switches, AreReadInAnyOrderAndCaseWithSlashOrDash) {
    const auto read = [](const wchar_t* line) { return parseOptions(line); };
    EXPECT_FALSE(read(L"\"D:\\Tolvane.exe\"").quiet);
    const ProgramOptions all = read(L"\"D:\\My CD\\Tolvane.exe\" -NoMenu /log \"C:\\My Logs\\t.log\" /QUIET");
    EXPECT_TRUE(all.quiet && all.noMenu && all.bad.empty() && !all.repairOnly);
    EXPECT_EQ(all.logFile, L"C:\\My Logs\\t.log");
    EXPECT_TRUE(read(L"Tolvane.exe /?").help && read(L"Tolvane.exe -help").help);
    EXPECT_EQ(read(L"Tolvane.exe /quiet /bogus /other").bad, L"/bogus");
    EXPECT_EQ(read(L"Tolvane.exe extra").bad, L"extra");
    EXPECT_EQ(read(L"Tolvane.exe /quiet /log").bad, L"/log");
    EXPECT_EQ(read(L"T.exe /timeout 600").timeoutSeconds, 600u);
    EXPECT_EQ(read(L"T.exe /timeout soon").bad, L"/timeout soon");
    // An empty %VAR% is skipped; /log takes no switch for its file.
    EXPECT_TRUE(read(L"Tolvane.exe \"\" /quiet \"\" /nomenu").quiet && read(L"T.exe \"\" /nomenu").noMenu);
    EXPECT_EQ(read(L"T.exe \"\" /bogus").bad, L"/bogus");
    const ProgramOptions logSwitch = read(L"T.exe /log /quiet");
    EXPECT_TRUE(logSwitch.logNeedsFile && logSwitch.quiet && logSwitch.logFile.empty());
    EXPECT_EQ(logSwitch.bad, L"/log");
    const ProgramOptions repair = read(L"\"C:\\x\\Tolvane.exe\" /repair 1234 /quiet");
    EXPECT_TRUE(repair.repairOnly && repair.quiet);
    EXPECT_EQ(repair.firstInstance, 1234u);
    EXPECT_EQ(read(L"T.exe /repair 1 /language 3082 /channel 00000000DEADbeef").channelKey, 0xDEADBEEFull);
    // The program's own switches take a number, or the start is refused:
    // the next switch is never taken for it.
    for (const wchar_t* line : {L"T.exe /repair /restore", L"T.exe /repair /quiet /nomenu", L"T.exe /language /restore",
                                L"T.exe /repair 12x", L"T.exe /repair 4294967296", L"T.exe /channel 0", L"T.exe /channel 0x1",
                                L"T.exe -repair 1"}) {
        const ProgramOptions refused = read(line);
        EXPECT_FALSE(refused.bad.empty() || refused.repairOnly) << line;
    }
    EXPECT_TRUE(read(L"T.exe /repair /quiet /nomenu").quiet);
}

// For scripts: no box with /quiet (its text goes to the log), no menu with
// /nomenu or without a desktop, /? and unknown switches change nothing, an
// elevated /quiet run repairs in its own process, a restart still needed is
// 3010. A record this program did not write is neither guessed past nor
// removed, and another repair at work is left alone: neither changes anything.
TEST(RunOutcome, ByTheSwitchesTheRecordAndAnotherRepairAtWork) {
    static const std::wstring shell32 = L"C:\\WINDOWS\\system32\\shell32.dll";
    const auto inUse = [](FakePlatform& f) { f.files[controlBackup] = "older", f.inUse = {controlBackup}; };
    const struct Row {
        const char* name;
        const wchar_t* commandLine;
        std::function<void(FakePlatform&)> setUp;
        int exitCode;
        bool box, menu, repaired, elevatedInstance, changed;
        const wchar_t* says = L"";  // in the box
    } rows[] = {
        {"/quiet, the copy fails", L"T.exe /quiet", [](FakePlatform& f) { f.failingOperations.insert(L"copyFile"); },
         failedExitCode, false, false, false, false, true},
        {"/quiet, no installer", L"T.exe /quiet",
         [](FakePlatform& f) { f.failingOperations.insert(L"launchProgram:" + installerCopy); }, 0, false, true, true, false,
         true},
        {"/qn /norestart, as toolkits pass them to every installer", L"T.exe /qn /norestart", [](FakePlatform&) {}, 0,
         false, true, true, false, true},
        {"/nomenu", L"T.exe /nomenu", [](FakePlatform&) {}, 0, false, false, true, false, true},
        {"no desktop", L"T.exe", [](FakePlatform& f) { f.desktop = false; }, 0, false, false, true, false, true},
        {"/?", L"T.exe /?", [](FakePlatform&) {}, 0, true, false, false, false, false, L"/quiet (or /qn, /q)\r\n    no box at all"},
        {"/? /quiet", L"T.exe /? /quiet", [](FakePlatform&) {}, 0, false, false, false, false, false},
        {"a switch not known", L"T.exe /bogus", [](FakePlatform&) {}, badSwitchExitCode, true, false, false, false,
         false, L"The switch \"/bogus\" is not known."},
        {"a switch not known, /quiet", L"T.exe /quiet /bogus", [](FakePlatform&) {}, badSwitchExitCode, false, false,
         false, false, false},
        {"/quiet, an old backup in use: it goes at the restart, none needed", L"T.exe /quiet", inUse, 0, false, true,
         true, false, true},
        {"the control held by a browser: restart needed", L"T.exe", [](FakePlatform& f) { f.inUse = {control}; },
         restartNeededExitCode, false, true, true, false, true},
        {"the installer asks for a restart", L"T.exe",
         [](FakePlatform& f) { f.exitCodes[L"\"" + installerCopy + L"\""] = ERROR_SUCCESS_RESTART_REQUIRED; },
         restartNeededExitCode, false, true, true, false, true},
        {"/quiet /timeout 60, the installer never ends", L"T.exe /quiet /timeout 60",
         [](FakePlatform& f) { f.stillRunningAfterWait.insert(L"\"" + installerCopy + L"\""); }, timedOutExitCode, false,
         false, false, false, true},
        {"/quiet, a second start while a run is at work", L"T.exe /quiet",
         [](FakePlatform& f) { f.anotherRunHoldsTheLock = true; }, anotherRepairExitCode, false, false, false, false,
         false},
        {"/restore, a second start while a run is at work", L"T.exe /restore",
         [](FakePlatform& f) { f.anotherRunHoldsTheLock = true; }, anotherRepairExitCode, false, false, false, false,
         false},
        {"/nomenu, a second start while a run is at work", L"T.exe /nomenu",
         [](FakePlatform& f) { f.anotherRunHoldsTheLock = true; }, anotherRepairExitCode, false, false, false, false,
         false},
        {"Windows 7, /quiet, elevated already", L"T.exe /quiet",
         [](FakePlatform& f) { f.setVersion(2, 6, 1), f.elevated = true; }, 0, false, true, true, false, true},
        {"Windows 7, /quiet, not elevated: no prompt", L"T.exe /quiet", [](FakePlatform& f) { f.setVersion(2, 6, 1); },
         elevationRequiredExitCode, false, true, false, false, false},
        {"a record of another kind", L"T.exe", [](FakePlatform& f) { f.record = L"something else\ncontrol=C:\\x\n"; }, failedExitCode,
         true, false, false, false, false, L"The record is kept and nothing was changed."},
        {"a record with a line it never writes", L"T.exe",
         [](FakePlatform& f) { f.record = L"Tolvane repair record 1\nstep=x\ncontrol=\ndelete=C:\\x\n"; }, failedExitCode, true,
         false, false, false, false, L"The record is kept and nothing was changed."},
        {"a move in a state it never writes", L"T.exe",
         [](FakePlatform& f) { f.record = L"Tolvane repair record 2\nstep=x\ncontrol=\nusersAside=sideways|||\n"; }, failedExitCode,
         true, false, false, false, false, L"its line 4 is not one this program writes"},
        {"another repair holds the machine's lock", L"T.exe",
         [](FakePlatform& f) { f.anotherRepairHoldsTheMachine = true; }, anotherRepairExitCode, false, true, false,
         false, false},
        {"a record naming a file this program never makes", L"T.exe",
         [](FakePlatform& f) {
             f.files[shell32] = "shell", f.record = L"Tolvane repair record 1\nstep=x\ncontrol=\ndiscard=" + shell32 + L"\n";
         },
         failedExitCode, true, false, false, false, false, L"\"C:\\WINDOWS\\system32\\shell32.dll\" is not a file this program makes"},
        {"a move naming a file this program never makes", L"T.exe",
         [](FakePlatform& f) {
             f.files[shell32] = "shell", f.record = L"Tolvane repair record 2\nstep=x\ncontrol=\nownFile=done||" + shell32 + L"|\n";
         },
         failedExitCode, true, false, false, false, false, L"\"C:\\WINDOWS\\system32\\shell32.dll\" is not a file this program makes"},
        {"/log followed by a switch", L"T.exe /log /quiet", [](FakePlatform&) {}, badSwitchExitCode, false, false, false,
         false, false},
        {"no desktop, the start-up fails", L"T.exe",
         [](FakePlatform& f) { f.desktop = false, f.failingOperations.insert(L"restrictDllSearch"); }, failedExitCode, false, false,
         false, false, false},
        {"the record cannot be written before the first change", L"T.exe",
         [](FakePlatform& f) { f.failingOperations.insert(L"writeRepairRecord"); }, failedExitCode, true, false, false, false, false,
         L"The installed control was not touched; nothing was changed."},
        {"a cut-off run's record, and since then a control of the user's in place", L"T.exe",
         [](FakePlatform& f) {
             f.record = L"Tolvane repair record 1\nstep=x\ncontrol=" + controlBackup + L"\nmediumCopy=yes\ncopySha256=" +
                        sha256Of("medium control") + L"\n";
         },
         0, false, true, true, false, true},
        {"the record cannot be removed after the repair", L"T.exe",
         [](FakePlatform& f) { f.failingOperations.insert(L"clearRepairRecord"); }, 0, false, true, true, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform fake;
        fake.setVersion(2, 5, 1, "Service Pack 3");
        fake.files[control] = "installed control";
        row.setUp(fake);
        const ProgramOptions options = parseOptions(row.commandLine);
        const int returned = runProgram(fake, options);
        EXPECT_EQ(fake.endedWith >= 0 ? fake.endedWith : returned, row.exitCode);
        const auto boxes = fake.callsTo(L"showMessageBox");
        EXPECT_EQ(boxes.size(), row.box ? 1u : 0u);
        if (row.box) {
            EXPECT_NE(boxes.at(0).find(row.says), std::wstring::npos) << boxes[0];
        }
        EXPECT_EQ(fake.called(L"launchProgram \"" + menu), row.menu);
        EXPECT_EQ(fake.files[control] == "medium control", row.repaired);
        EXPECT_EQ(fake.called(L"launchElevatedRepair"), row.elevatedInstance);
        if (row.exitCode == timedOutExitCode) {  // ended before anything was put back
            EXPECT_TRUE(fake.called(L"endTrackedProcesses"));
            EXPECT_EQ(fake.files[control], "installed control");
        }
        for (const wchar_t* change : {L"launchProgram regsvr32", L"renameFile"})
            EXPECT_EQ(fake.called(change), row.changed) << change;
        EXPECT_FALSE(fake.called(L"deleteFile " + shell32));
        if (row.changed) {  // the next start finds nothing to put back, and nothing it would not expect
            FakePlatform next;
            next.setVersion(2, 5, 1, "Service Pack 3");
            next.takeMachineOf(fake);
            EXPECT_EQ(runProgram(next), 0);
            // What stays is a closed record: the user's older controls beside the backup.
            EXPECT_TRUE(next.record.empty() || RepairRecord::parse(next.record).finished) << next.record;
            EXPECT_EQ(next.files[control], "medium control");
            EXPECT_EQ(next.files[controlBackup], "installed control");
        }
        if (options.quiet && !row.box && row.exitCode != 0 && row.exitCode != restartNeededExitCode &&
            row.exitCode != anotherRepairExitCode && row.exitCode != elevationRequiredExitCode) {
            bool logged = false;
            for (const auto& note : fake.notes) logged = logged || note.rfind(L"Not shown (/quiet), the box", 0) == 0;
            EXPECT_TRUE(logged) << "the report went nowhere";
        }
    }
}

// A deployment tool's cycle on one machine: the detection rule, the
// install command, the detection again, the uninstall command twice. /check
// changes nothing and shows nothing; /restore puts back the control from
// before the disc, swflash.inf too, and clears the mark.
TEST(Deployment, CheckRepairCheckRestoreAndRestoreAgain) {
    FakePlatform machine;
    machine.files[control] = "installed control";
    machine.files[inf] = "inf";
    const auto run = [&](const wchar_t* commandLine, int exitCode) {
        SCOPED_TRACE(std::wstring(commandLine).c_str());
        FakePlatform fake;
        fake.setVersion(2, 5, 1, "Service Pack 3");
        fake.takeMachineOf(machine);
        const int returned = runProgram(fake, parseOptions(commandLine));
        EXPECT_EQ(fake.endedWith >= 0 ? fake.endedWith : returned, exitCode);
        EXPECT_FALSE(fake.called(L"showMessageBox") || fake.called(L"launchProgram \"" + menu) ||
                     fake.called(L"launchElevatedRepair"));
        machine.takeMachineOf(fake);
        return fake;
    };
    const auto changes = [](const FakePlatform& fake) {
        return fake.called(L"renameFile") || fake.called(L"writeRepairRecord") || fake.called(L"launchProgram regsvr32");
    };
    EXPECT_FALSE(changes(run(L"T.exe /check", repairNeededExitCode)));
    run(L"T.exe /quiet /nomenu", 0);
    EXPECT_FALSE(changes(run(L"T.exe /check", 0)));
    run(L"T.exe /restore", 0);
    EXPECT_EQ(machine.files[control], "installed control");
    EXPECT_EQ(machine.lastRegistered, "installed control");
    EXPECT_EQ(machine.files.count(controlBackup), 0u);
    EXPECT_EQ(machine.files[inf], "inf");
    EXPECT_TRUE(machine.record.empty() && machine.mark().empty());
    run(L"T.exe /check", repairNeededExitCode);
    run(L"T.exe /restore", nothingToRestoreExitCode);
    // A control installed since is the user's: /restore leaves it, and the
    // backup, alone (registered again), and takes only the mark away.
    run(L"T.exe /quiet /nomenu", 0);
    machine.files[control] = "a newer control";
    EXPECT_FALSE(run(L"T.exe /restore", 0).called(L"renameFile"));
    EXPECT_EQ(machine.files[control], "a newer control");
    EXPECT_EQ(machine.lastRegistered, "a newer control");
    EXPECT_EQ(machine.files[controlBackup], "installed control");
    EXPECT_TRUE(machine.mark().empty());
    run(L"T.exe /check", repairNeededExitCode);
    // A machine that had no control: the uninstall takes the disc's away, and detection then says so.
    machine.files.erase(control), machine.files.erase(controlBackup);
    run(L"T.exe /quiet /nomenu", 0);
    run(L"T.exe /check", 0);
    run(L"T.exe /restore", 0);
    EXPECT_EQ(machine.files.count(control) + machine.files.count(controlBackup), 0u);
    EXPECT_TRUE(machine.record.empty() && machine.mark().empty());
    run(L"T.exe /check", repairNeededExitCode);
    run(L"T.exe /restore", nothingToRestoreExitCode);
    // A record: a repair at work (its lock held), or one cut off.
    machine.record = L"Tolvane repair record 1\nstep=x\ncontrol=" + control + L"\n";
    machine.anotherRepairHoldsTheMachine = true;
    run(L"T.exe /check", anotherRepairExitCode);
}

// The uninstall is one transaction like the repair: cut off after any of
// its changes, or failing at a rename, it tells the truth, and the next
// /restore finishes it. The machine ends as it was before the disc: the
// user's control back and registered, or none at all.
TEST(Deployment, RestoreCutOrFailedAnywhereIsFinishedByTheNext) {
    for (const std::string before : {"installed control", ""}) {
        const auto start = [&](const FakePlatform* earlier) {
            FakePlatform fake;
            fake.setVersion(2, 5, 1, "Service Pack 3");
            if (!before.empty()) fake.files[control] = before;
            if (earlier != nullptr) fake.takeMachineOf(*earlier);
            return fake;
        };
        FakePlatform repaired = start(nullptr);
        ASSERT_EQ(runProgram(repaired, parseOptions(L"T.exe /quiet /nomenu")), 0);
        const auto asBeforeTheDisc = [&](const FakePlatform& fake) {
            EXPECT_EQ(fake.files.count(control) != 0 ? fake.files.at(control) : std::string(), before);
            if (!before.empty()) {
                EXPECT_EQ(fake.lastRegistered, before);
            }
            EXPECT_EQ(fake.files.count(controlBackup), 0u);
            EXPECT_TRUE(fake.record.empty() && fake.mark().empty());
        };
        const auto finishes = [&](const FakePlatform& earlier) {
            FakePlatform again = start(&earlier);
            const int code = runProgram(again, parseOptions(L"T.exe /restore"));
            EXPECT_TRUE(code == 0 || (code == nothingToRestoreExitCode && earlier.mark().empty())) << code;
            asBeforeTheDisc(again);
        };
        for (int changes = 1;; ++changes) {
            SCOPED_TRACE((before.empty() ? "no control before, " : "a control before, ") + std::string("cut after ") +
                         std::to_string(changes));
            FakePlatform cut = start(&repaired);
            cut.cutOffAfterChanges = changes;
            runProgram(cut, parseOptions(L"T.exe /restore"));
            if (!cut.cutOff) break;
            finishes(cut);
        }
        for (const std::wstring& failing :
             std::vector<std::wstring>{L"renameFile", L"renameFile:" + control, L"deleteFile", L"writeRepairRecord"}) {
            SCOPED_TRACE((before.empty() ? "no control before, " : "a control before, ") + std::string(failing.begin(), failing.end()) + " fails");
            FakePlatform failed = start(&repaired);
            failed.failingOperations.insert(failing);
            const int code = runProgram(failed, parseOptions(L"T.exe /restore /quiet"));
            std::wstring said;
            for (const auto& note : failed.notes) said += note;
            const bool unchanged = said.find(unchangedMeaning) != std::wstring::npos;
            if (code != 0) {
                EXPECT_EQ(code, failedExitCode);
                // "Nothing was changed" only where the disc's control is in place and registered.
                if (unchanged) {
                    EXPECT_EQ(failed.lastRegistered, "medium control");
                    EXPECT_EQ(failed.files.count(control), 1u);
                }
                // Nothing went before what replaces it stood in its place: the disc's control is still there,
                // at its place or aside.
                std::size_t discs = 0;
                for (const auto& [path, content] : failed.files)
                    discs += path.rfind(control, 0) == 0 && content == "medium control";
                EXPECT_EQ(discs, 1u);
            }
            finishes(failed);
        }
    }
}

}  // namespace
}  // namespace tolvane::testing
