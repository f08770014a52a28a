// Every call of a run that can fail fails in turn, with each error Windows
// gives, before and after its effect; then a clean run. Nothing of the
// user's is lost, no report says more than is true, and the clean run ends
// where a run without the fault ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <functional>

#include "app/main_window.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {
namespace {

using namespace fakePaths;

bool ours(const std::wstring& path) {
    return path.rfind(control, 0) == 0 || path.rfind(controlBackup, 0) == 0 || path.rfind(inf, 0) == 0 ||
           path.rfind(infBackup, 0) == 0 || path.rfind(L"C:\\WINDOWS\\Temp\\Tolvane.", 0) == 0;
}

struct Machine {
    const char* name;
    std::function<void(FakePlatform&)> setUp;
    const wchar_t* commandLine;
    std::string before;  // the control that works on the machine before the run ("": none)
};

// The user's own control, an INF file, and files of others beside them.
void usersMachine(FakePlatform& fake) {
    fake.setVersion(2, 5, 1, "Service Pack 3");
    fake.files[control] = fake.lastRegistered = "user's control";
    fake.files[inf] = "inf";
    fake.files[flashFolder + L"other.dll"] = "someone else's";
}

// A repair of the user's machine, cut off after `changes` changes (0: not cut off).
// With `earlierRelease`, the mark as an earlier release kept it: one list.
std::function<void(FakePlatform&)> repairedBefore(int changes, bool earlierRelease = false) {
    return [changes, earlierRelease](FakePlatform& fake) {
        FakePlatform earlier;
        usersMachine(earlier);
        earlier.cutOffAfterChanges = changes > 0 ? changes : -1;
        runProgram(earlier, parseOptions(L"T.exe /quiet /nomenu"));
        usersMachine(fake);
        fake.takeMachineOf(earlier);
        if (earlierRelease) fake.registry = {{L"Installed", {REG_MULTI_SZ, earlier.mark(), 0}}};
    };
}

const Machine machines[] = {
    {"the user's own control", usersMachine, L"T.exe", "user's control"},
    {"no control", [](FakePlatform& f) { usersMachine(f), f.files.erase(control), f.lastRegistered.clear(); }, L"T.exe", ""},
    {"no control, the installer brings its own",
     [](FakePlatform& f) { usersMachine(f), f.files.erase(control), f.lastRegistered.clear(), f.installerWrites = "installer's control"; },
     L"T.exe", ""},
    {"an old flash.bkp", [](FakePlatform& f) { usersMachine(f), f.files[controlBackup] = "old backup"; }, L"T.exe",
     "user's control"},
    {"after an earlier repair", repairedBefore(0), L"T.exe", "medium control"},
    {"a published build", [](FakePlatform& f) { usersMachine(f), mastered(f); }, L"T.exe", "user's control"},
    {"a run cut off with the control aside", repairedBefore(4), L"T.exe", "user's control"},
    {"a run cut off with the medium's control in place", repairedBefore(9), L"T.exe", "user's control"},
    {"Vista, the first instance",
     [](FakePlatform& f) { usersMachine(f), f.setVersion(2, 6, 0), f.elevated = false; }, L"T.exe", "user's control"},
    {"a deployment tool", [](FakePlatform& f) { usersMachine(f), f.setVersion(2, 6, 1), f.elevated = true; },
     L"T.exe /quiet /nomenu /timeout 60", "user's control"},
    {"/check", repairedBefore(0), L"T.exe /check", "medium control"},
    {"/restore", repairedBefore(0), L"T.exe /restore", "medium control"},
    {"after an earlier release's repair", repairedBefore(0, true), L"T.exe", "medium control"},
    {"/restore after an earlier release's repair", repairedBefore(0, true), L"T.exe /restore", "medium control"},
};

struct Outcome {
    FakePlatform fake;
    int code;
    std::wstring said;  // boxes and log lines
};

Outcome run(const Machine& machine, const FakePlatform* earlier, const std::function<void(FakePlatform&)>& fault) {
    Outcome r{FakePlatform(), 0, L""};
    machine.setUp(r.fake);
    if (earlier != nullptr) r.fake.takeMachineOf(*earlier);
    r.fake.fallibleCalls = 0;
    r.fake.fallible.clear();
    fault(r.fake);
    const int returned = runProgram(r.fake, parseOptions(machine.commandLine));
    r.code = r.fake.endedWith >= 0 ? r.fake.endedWith : returned;
    for (const std::wstring& box : r.fake.callsTo(L"showMessageBox")) r.said += box + L"\n";
    for (const std::wstring& note : r.fake.notes) r.said += note + L"\n";
    return r;
}

// What a run leaves that the next one builds on; a file of the run's own
// that could neither be deleted nor scheduled stays, and `left` says so.
std::string state(const FakePlatform& fake, const std::wstring& left = std::wstring()) {
    std::string s;
    for (const auto& [path, content] : fake.files)
        if (path.rfind(L"C:\\", 0) == 0 && fake.atRestart.count(path) == 0 &&
            left.find(quotedPath(path) + L" stays where it is until it is deleted by hand") == std::wstring::npos)
            s += std::string(path.begin(), path.end()) + "=" + content + " ";
    const std::string registered = at(fake, control).empty() ? "" : fake.lastRegistered;
    return s + "registered=" + registered + (fake.record.empty() ? "" : " record");
}

struct Tally {
    int runs = 0, losses = 0, falseReports = 0;
};

// The checks after a faulted run, or the clean run after it. A run cut off
// reports nothing.
void check(const Machine& machine, const FakePlatform& start, const Outcome& r, Tally& tally) {
    ++tally.runs;
    const FakePlatform& f = r.fake;
    const std::wstring mode = machine.commandLine;
    bool lost = false;
    for (const auto& [path, content] : start.files) {
        if (path.rfind(flashFolder, 0) == 0 && content != "medium control") {
            bool kept = false;
            for (const auto& [now, bytes] : f.files) kept = kept || (now.rfind(flashFolder, 0) == 0 && bytes == content);
            EXPECT_TRUE(kept) << content << " is gone";
            lost = lost || !kept;
        }
        if (!ours(path)) {
            EXPECT_EQ(at(f, path), content) << "not the program's: " << std::string(path.begin(), path.end());
        }
    }
    EXPECT_TRUE(at(f, inf) == "inf" || at(f, infBackup) == "inf");
    const std::string users = machine.before == "medium control" ? "user's control" : machine.before;
    const bool mayNotWork = r.said.find(mayNotWorkMeaning) != std::wstring::npos;
    if (!users.empty() && !mayNotWork && !f.cutOff && mode.find(L"/check") == std::wstring::npos) {
        // In doubt, kept under a name the record lists until a run can tell.
        bool placed = at(f, control) == users || at(f, controlBackup) == users;
        for (const auto& [path, content] : f.files)
            placed = placed || (content == users && recordNames(f.record, path));
        EXPECT_TRUE(placed) << "the user's control is not at flash.ocx or flash.bkp";
        lost = lost || !placed;
    }
    tally.losses += lost;
    if (f.cutOff) return;
    bool falseReport = false;
    const auto expect = [&](bool truth, const char* what) {
        EXPECT_TRUE(truth) << what << " (exit code " << r.code << ") at flash.ocx: " << at(f, control)
                           << "; said:\n" << std::string(r.said.begin(), r.said.end());
        falseReport = falseReport || !truth;
    };
    const bool repair = mode.find(L"/check") == std::wstring::npos && mode.find(L"/restore") == std::wstring::npos;
    // A second start (the single-run lock taken) leaves the menu to the first one, with 0.
    const bool ran = f.called(L"createMainWindow") && !f.called(L"launchElevatedRepair");
    if (repair && ran && (r.code == 0 || r.code == restartNeededExitCode))
        expect(at(f, control) == "medium control" && f.lastRegistered == "medium control", "success without the medium's control in place");
    if (mode.find(L"/restore") != std::wstring::npos && (r.code == 0 || r.code == restartNeededExitCode))
        expect(at(f, control) == "user's control" && f.lastRegistered == "user's control",
               "restored without the user's control in place");
    // What is put back may be the control the installer put in place.
    const std::string now = at(f, control);
    const bool asBefore = now == machine.before || (!now.empty() && now == start.installerWrites &&
                                                    r.said.find(putBackMeaning) != std::wstring::npos);
    if (r.said.find(unchangedMeaning) != std::wstring::npos || r.said.find(putBackMeaning) != std::wstring::npos)
        expect(asBefore && (now.empty() || f.lastRegistered == now), "\"works as before\" is not true");
    if (r.code == anotherRepairExitCode) expect(state(f) == state(start), "1618 changed something");
    tally.falseReports += falseReport;
}

// A run with `fault`, then a clean run, each checked; the clean run ends
// where a run without the fault ends. False when the fault never came.
bool trial(const Machine& machine, const std::function<void(FakePlatform&)>& fault, Tally& tally,
           Outcome* faultedRun = nullptr) {
    const auto none = [](FakePlatform&) {};
    FakePlatform start;
    machine.setUp(start);
    Outcome faulted = run(machine, nullptr, fault);
    if (faulted.fake.faulted.empty() && !faulted.fake.cutOff) return false;
    SCOPED_TRACE(faulted.fake.faulted.empty() ? std::wstring(L"cut off") : faulted.fake.faulted.front());
    check(machine, start, faulted, tally);
    const Outcome after = run(machine, &faulted.fake, none);
    check(machine, start, after, tally);
    // A control the installer left in place is the machine's to the next run.
    std::string ended = state(after.fake, faulted.said);
    const std::string installers = std::string("C:\\WINDOWS\\system32\\Macromed\\Flash\\flash.bkp=") +
                                   start.installerWrites + " ";
    if (!start.installerWrites.empty() && ended.find(installers) != std::string::npos)
        ended.erase(ended.find(installers), installers.size());
    EXPECT_EQ(ended, state(run(machine, nullptr, none).fake)) << "the clean run after the fault ends elsewhere";
    if (faultedRun != nullptr) *faultedRun = std::move(faulted);
    return true;
}

// Every call of a run that can fail fails in turn, with each of its errors;
// then each call after it too, with access denied; then a cut after each
// change of a run that failed.
TEST(FaultSweep, EveryCallFailsInTurnAndNothingOfTheUsersIsLost) {
    const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL, ERROR_FILE_NOT_FOUND};
    Tally single, twice, cut;
    for (const Machine& machine : machines) {
        const int calls = run(machine, nullptr, [](FakePlatform&) {}).fake.fallibleCalls;
        for (int k = 1; k <= calls; ++k) {
            for (int variant = 0; variant <= 4; ++variant) {
                const DWORD error = variant < 4 ? errors[variant] : ERROR_ACCESS_DENIED;
                SCOPED_TRACE(std::string(machine.name) + ": call " + std::to_string(k) + " fails with " +
                             std::to_string(error) + (variant == 4 ? " after its effect" : ""));
                trial(machine, [&](FakePlatform& f) { f.faultsAt = {k}, f.faultError = error, f.faultAfterEffect = variant == 4; },
                      single);
            }
            Outcome failed{FakePlatform(), 0, L""};
            if (!trial(machine, [&](FakePlatform& f) { f.faultsAt = {k}; }, single, &failed)) continue;
            for (int j = k + 1; j <= failed.fake.fallibleCalls; ++j) {
                SCOPED_TRACE(std::string(machine.name) + ": calls " + std::to_string(k) + " and " + std::to_string(j) + " fail");
                trial(machine, [&](FakePlatform& f) { f.faultsAt = {k, j}; }, twice);
            }
            for (int changes = 1; changes <= failed.fake.changes; ++changes) {
                SCOPED_TRACE(std::string(machine.name) + ": call " + std::to_string(k) + " fails, cut off after " +
                             std::to_string(changes) + " changes");
                trial(machine, [&](FakePlatform& f) { f.faultsAt = {k}, f.cutOffAfterChanges = changes; }, cut);
            }
        }
    }
    for (const auto& [name, tally] : {std::pair<const char*, Tally&>{"single faults", single}, {"double faults", twice},
                                      {"a fault and a cut", cut}})
        std::printf("fault sweep, %s: %d runs, %d losses, %d false reports\n", name, tally.runs, tally.losses,
                    tally.falseReports);
}

// The smallest case of each kind that once lost the user's control or
// reported a machine falsely, a test each: the nth call of that name fails.
struct Kind {
    const char* name;
    int machine;  // in `machines`
    std::wstring call;
    int nth;
    DWORD error = ERROR_ACCESS_DENIED;
};
void PrintTo(const Kind& kind, std::ostream* os) { *os << kind.name; }

class SmallestCase : public ::testing::TestWithParam<Kind> {};

TEST_P(SmallestCase, KeepsTheUsersControlAndTellsTheTruth) {
    const Kind& kind = GetParam();
    const Machine& machine = machines[kind.machine];
    const std::wstring& call = kind.call;
    const std::vector<std::wstring> calls = run(machine, nullptr, [](FakePlatform&) {}).fake.fallible;
    int k = 0;
    for (int seen = 0; k < static_cast<int>(calls.size()) && seen < kind.nth; ++k) seen += calls[k] == call;
    ASSERT_EQ(calls.at(k - 1), call);
    Tally tally;
    EXPECT_TRUE(trial(machine, [&](FakePlatform& f) { f.faultsAt = {k}, f.faultError = kind.error; }, tally));
    EXPECT_EQ(tally.losses + tally.falseReports, 0);
}

INSTANTIATE_TEST_SUITE_P(
    FaultSweep, SmallestCase,
    ::testing::Values(Kind{"TheMarkIsNotWritten", 0, L"writeRegistryValue Sha256", 1},
                      Kind{"TheMarkCannotBeRead", 0, L"readRegistryValue Sha256", 1},
                      Kind{"AScannerHoldsTheControl", 4, L"reading " + quotedPath(control), 1, ERROR_SHARING_VIOLATION},
                      Kind{"ASearchFailsBeforeTheControlGoesAside", 0, L"looking for " + quotedPath(control), 3},
                      Kind{"ASearchFailsAtTheRegistration", 0, L"looking for " + quotedPath(control), 5},
                      Kind{"ASearchFailsAfterAnEarlierRepair", 4, L"looking for " + quotedPath(control), 3},
                      Kind{"TheVersionQueryFails", 0, L"GetVersionExA", 3},
                      Kind{"TheWaitOnTheInstallerFails", 0, L"WaitForSingleObject", 2},
                      Kind{"AFailureBeforeTheRecoveryOfARunCutOff", 6, L"creating the window", 1}),
    [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tolvane::testing
