// The real platform layer, on what the steps rely on.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "helpers/test_files.h"
#include "maintenance/instance_channel.h"
#include "platform/run_log.h"
#include "platform/win32_platform.h"

namespace tolvane {
namespace {

using testing::readFile;
using testing::removeTree;
using testing::writeFile;

// A fresh folder under the temporary folder, removed with what it holds.
class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"tolvane-platform-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { removeTree(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static inline int counter_ = 0;
    std::wstring path_;
};

class RealPlatform : public ::testing::Test {
protected:
    Win32Platform platform{::GetModuleHandleW(nullptr)};
    ScratchFolder scratch;
};

TEST_F(RealPlatform, FileExistsCountsOnlyNormalFiles) {
    writeFile(scratch / L"plain.ocx", "x");
    writeFile(scratch / L"hidden.ocx", "x");
    writeFile(scratch / L"system.ocx", "x");
    ::SetFileAttributesW((scratch / L"hidden.ocx").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW((scratch / L"system.ocx").c_str(), FILE_ATTRIBUTE_SYSTEM);
    ::CreateDirectoryW((scratch / L"folder.ocx").c_str(), nullptr);
    writeFile(scratch / L"readonly.ocx", "x");
    ::SetFileAttributesW((scratch / L"readonly.ocx").c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_TRUE(platform.fileExists(scratch / L"plain.ocx"));
    EXPECT_TRUE(platform.fileExists(scratch / L"readonly.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"hidden.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"system.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"folder.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"missing.ocx"));
    EXPECT_FALSE(platform.fileExists(scratch / L"nowhere\\missing.ocx"));
}

TEST_F(RealPlatform, RenameMovesTheFileButNeverOverAnExistingOne) {
    writeFile(scratch / L"flash.ocx", "control");
    platform.renameFile(scratch / L"flash.ocx", scratch / L"flash.bkp");
    EXPECT_EQ(readFile(scratch / L"flash.bkp"), "control");
    EXPECT_FALSE(platform.fileExists(scratch / L"flash.ocx"));

    writeFile(scratch / L"flash.ocx", "new control");
    try {
        platform.renameFile(scratch / L"flash.ocx", scratch / L"flash.bkp");
        FAIL() << "renaming over an existing file succeeded";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::uint32_t>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(failure.description().rfind(L"renaming \"" + (scratch / L"flash.ocx") + L"\" to \"", 0), 0u)
            << std::string(failure.description().begin(), failure.description().end());
    }
    EXPECT_EQ(readFile(scratch / L"flash.bkp"), "control");
    EXPECT_EQ(readFile(scratch / L"flash.ocx"), "new control");
}

// The medium's control is copied to a name of its own, never over a file,
// writable although the CD's file is read-only, and then takes the
// control's name in one step.
TEST_F(RealPlatform, CopyGoesToAFreshNameAndThenReplacesTheControlInOneStep) {
    writeFile(scratch / L"medium.ocx", "medium control");
    ::SetFileAttributesW((scratch / L"medium.ocx").c_str(), FILE_ATTRIBUTE_READONLY);
    writeFile(scratch / L"flash.ocx", "installer's control, longer than the medium's");
    platform.copyFile(scratch / L"medium.ocx", scratch / L"flash.ocx.1.new");
    EXPECT_EQ(::GetFileAttributesW((scratch / L"flash.ocx.1.new").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    const auto failureOfCopy = [&](const std::wstring& source) {
        try {
            platform.copyFile(scratch / source, scratch / L"flash.ocx");
        } catch (const Failure& failure) {
            return failure;
        }
        return Failure(0, L"it succeeded");
    };
    EXPECT_EQ(failureOfCopy(L"medium.ocx").number(), static_cast<std::uint32_t>(ERROR_FILE_EXISTS));
    EXPECT_EQ(failureOfCopy(L"gone.ocx").description(),
              L"copying \"" + (scratch / L"gone.ocx") + L"\" to \"" + (scratch / L"flash.ocx") + L"\" failed: " +
                  systemMessage(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(readFile(scratch / L"flash.ocx"), "installer's control, longer than the medium's");
    platform.replaceFile(scratch / L"flash.ocx.1.new", scratch / L"flash.ocx");
    EXPECT_EQ(readFile(scratch / L"flash.ocx"), "medium control");
    EXPECT_EQ(::GetFileAttributesW((scratch / L"flash.ocx.1.new").c_str()), INVALID_FILE_ATTRIBUTES);
    ::SetFileAttributesW((scratch / L"medium.ocx").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(RealPlatform, DeleteRemovesAFileAndFailsOnAMissingOne) {
    writeFile(scratch / L"flash.bkp", "old");
    platform.deleteFile(scratch / L"flash.bkp");
    EXPECT_FALSE(platform.fileExists(scratch / L"flash.bkp"));
    EXPECT_THROW(platform.deleteFile(scratch / L"flash.bkp"), Failure);
}

// What the installer writes into its folder leaves the folder's identity as
// it was: a run cut off then is recognised by the next, which removes it.
TEST_F(RealPlatform, AFoldersIdentityOutlivesWhatIsMadeInItAndAFileHasNone) {
    const std::wstring folder = scratch / L"Tolvane.00000000000000a1";
    ASSERT_TRUE(platform.makeAdministratorsFolder(folder));
    const std::wstring before = platform.folderIdentity(folder);
    ::Sleep(1100);
    platform.makeAdministratorsFolder(folder + L"\\temp");
    writeFile(folder + L"\\install_flash_player.exe", "installer");
    EXPECT_EQ(platform.folderIdentity(folder), before);
    EXPECT_TRUE(platform.removeFolder(folder));
    writeFile(folder, "a file at the folder's name");
    try {
        platform.folderIdentity(folder);
        ADD_FAILURE() << "a file has an identity";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), static_cast<std::uint32_t>(ERROR_CANT_ACCESS_FILE));
    }
}

TEST_F(RealPlatform, LaunchReturnsAnIdentifierThatCanBeWaitedOn) {
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    std::uint32_t id = platform.launchProgram(L"cmd.exe /c exit 3", minimizedFocus, cmd);
    ASSERT_NE(id, 0u);

    HANDLE process = platform.OpenProcess(0x00100000, FALSE, id);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(platform.WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    platform.CloseHandle(process);
}

TEST_F(RealPlatform, ClearReadOnlyKeepsTheOtherAttributes) {
    writeFile(scratch / L"flash.ocx", "x");
    ::SetFileAttributesW((scratch / L"flash.ocx").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    platform.clearReadOnly(scratch / L"flash.ocx");
    EXPECT_EQ(::GetFileAttributesW((scratch / L"flash.ocx").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_THROW(platform.clearReadOnly(scratch / L"missing.ocx"), Failure);
}

// A DLL planted beside an elevated program must not be loaded by its bare
// name; the test control, built beside this test program, plays the plant.
TEST_F(RealPlatform, AfterRestrictingTheDllSearchADllBesideTheProgramIsNotLoadedByItsName) {
    const std::wstring planted = testing::besideThisProgram(L"testctl_installed.dll");

    platform.restrictDllSearch();
    EXPECT_EQ(::LoadLibraryW(L"testctl_installed.dll"), nullptr);
    HMODULE byPath = ::LoadLibraryW(planted.c_str());
    EXPECT_NE(byPath, nullptr) << "the plant could not be loaded at all, so the test proves nothing";
    if (byPath != nullptr) ::FreeLibrary(byPath);
}

TEST_F(RealPlatform, LaunchRaisesWhenNothingCanBeStarted) {
    std::wstring missing = scratch / L"data\\menu.exe";
    try {
        platform.launchProgram(quotedPath(missing), normalFocus, missing);
        FAIL() << "starting a missing program succeeded";
    } catch (const Failure& failure) {
        EXPECT_NE(failure.number(), 0u);
        EXPECT_EQ(failure.description().rfind(L"starting \"" + missing + L"\" failed: ", 0), 0u);
        EXPECT_GT(failure.description().size(), (L"starting \"" + missing + L"\" failed: ").size());
    }
    EXPECT_THROW(platform.launchProgram(L"tolvane-no-such-program-here.exe", normalFocus), Failure);
}

TEST_F(RealPlatform, ProgramFolderIsTheExecutablesFolderWithoutTrailingBackslash) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring expected(self);
    expected.erase(expected.find_last_of(L'\\'));

    std::wstring folder = platform.programFolder();
    EXPECT_EQ(folder, expected);
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
}

// A second start hands its line to the running instance's window: it opens
// no file by name, a plain log or a hard link planted in the temporary
// folder alike.
TEST_F(RealPlatform, ASecondStartWritesNoFileOfItsOwn) {
    ::SetEnvironmentVariableW(L"TMP", (scratch / L"").c_str());
    for (bool linked : {false, true}) {
        writeFile(scratch / L"target.dll", "content");
        ::DeleteFileW((scratch / L"Tolvane.log").c_str());
        if (linked) ::CreateHardLinkW((scratch / L"Tolvane.log").c_str(), (scratch / L"target.dll").c_str(), nullptr);
        else writeFile(scratch / L"Tolvane.log", "content");
        RunLog().addToOtherRun(L"another start");
        EXPECT_EQ(readFile(scratch / L"target.dll"), "content");
        EXPECT_EQ(readFile(scratch / L"Tolvane.log"), "content");
    }
    ::SetEnvironmentVariableW(L"TMP", nullptr);
}

// A junction on the temporary folder (here a Unix symbolic link) would take
// a log written with administrator rights elsewhere: the file opened is not
// the one asked for, and the log writes nothing.
TEST_F(RealPlatform, ALogWhoseFolderLeadsElsewhereWritesNothing) {
    ::CreateDirectoryW((scratch / L"elsewhere").c_str(), nullptr);
    ASSERT_TRUE(testing::makeUnixSymlink(scratch / L"elsewhere", scratch / L"temp"));
    ::SetEnvironmentVariableW(L"TMP", (scratch / L"temp").c_str());
    RunLog().begin({L"a header"});
    EXPECT_EQ(readFile(scratch / L"elsewhere\\Tolvane.log"), "<missing>");
    EXPECT_TRUE(testing::filesIn(scratch / L"elsewhere").empty()) << "a file of the log's own stays";
    ::SetEnvironmentVariableW(L"TMP", nullptr);

    // A folder asked for by its short (8.3) name is the one asked for.
    const std::wstring folder = scratch / L"deployment logs folder";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    wchar_t shortName[MAX_PATH] = {};
    const DWORD length = ::GetShortPathNameW(folder.c_str(), shortName, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH && folder != shortName);
    {
        RunLog log;
        log.useFile(std::wstring(shortName) + L"\\deploy.log");
        log.begin({L"a header"});
        EXPECT_TRUE(log.failure().empty()) << testing::narrow(log.failure());
    }
    EXPECT_NE(readFile(folder + L"\\deploy.log"), "<missing>");
}

// A deployment tool tries a failed run again within minutes: the log
// before stays beside the new one, whose head says what was started, by
// whom, where and with which rights.
TEST_F(RealPlatform, TheLogBeforeStaysBesideTheNewOneWhoseHeadSaysWhoRanWhat) {
    ::SetEnvironmentVariableW(L"TMP", (scratch / L"").c_str());
    RunLog().begin({L"the first run"});
    RunLog().begin({L"the second run"});
    const auto text = [&](const std::wstring& name) {
        const std::string bytes = readFile(scratch / name);
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    };
    EXPECT_NE(text(L"Tolvane-previous.log").find(L"the first run"), std::wstring::npos);
    const std::wstring latest = text(L"Tolvane.log");
    EXPECT_NE(latest.find(L"the second run\r\nCommand line: "), std::wstring::npos) << testing::narrow(latest);
    EXPECT_NE(latest.find(L"\r\nUser: "), std::wstring::npos);
    EXPECT_NE(latest.find(L"a full administrator's token"), std::wstring::npos);  // every process under Wine
    ::SetEnvironmentVariableW(L"TMP", nullptr);
}

// The Restart Manager names the program that holds a file (here this test
// program, which opens it without sharing). Under Wine 8 the list is
// empty: the report then says "another program", as on XP.
TEST_F(RealPlatform, TheProgramHoldingAFileIsNamedWhereWindowsCanTell) {
    writeFile(scratch / L"held.ocx", "control");
    UniqueFileHandle held(::CreateFileW((scratch / L"held.ocx").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::vector<std::wstring> names = platform.holdersOf(scratch / L"held.ocx");
    if (!names.empty()) {
        EXPECT_EQ(names.size(), 1u);
        EXPECT_NE(names[0].find(L"platform_tests"), std::wstring::npos) << testing::narrow(names[0]);
    }
    std::printf("the Restart Manager names %u program(s) holding the file\n", static_cast<unsigned>(names.size()));
}

// Where Tolvane.log cannot be replaced (here a folder of that name), the
// log keeps its own name and says so.
TEST_F(RealPlatform, ALogThatCannotTakeItsNameKeepsItsOwnAndSaysSo) {
    ::SetEnvironmentVariableW(L"TMP", (scratch / L"").c_str());
    ::CreateDirectoryW((scratch / L"Tolvane.log").c_str(), nullptr);
    RunLog().begin({L"a header"});
    const std::string bytes = readFile(scratch / (L"Tolvane-" + std::to_wstring(::GetCurrentProcessId()) + L"-1.log"));
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    EXPECT_NE(text.find(L"\r\nThis log could not be named \"" + (scratch / L"Tolvane.log") + L"\" and stays "),
              std::wstring::npos)
        << bytes;
    ::SetEnvironmentVariableW(L"TMP", nullptr);
}

// A bootstrapper (the stand-in) copies itself into the temporary folder,
// starts that copy and ends: the copy is found after the installer's end,
// with its program file, in a job object and by parent process ids.
TEST_F(RealPlatform, ASetupStartedByTheInstallerIsFoundEitherWay) {
    ::CopyFileW(testing::besideThisProgram(L"standin.exe").c_str(), (scratch / L"install_flash_player.exe").c_str(), FALSE);
    const auto waitFor = [](HANDLE process) {
        ::WaitForSingleObject(process, 10000);
        ::CloseHandle(process);
    };
    // Last: a setup that asks to break away from the job may (as a browser's
    // sandbox does); it is found by its parent all the same, and ended with
    // the job's processes.
    for (const wchar_t* way : {L"job object", L"parent process ids", L"breaking away"}) {
        SCOPED_TRACE(testing::narrow(way));
        const bool breaksAway = way[0] == L'b';
        ::SetEnvironmentVariableW(L"STANDIN_INSTALLER_HANDS_OVER", breaksAway ? L"breakaway" : L"1");
        platform.useJobObjects = way[0] != L'p';
        const std::wstring installer = scratch / L"install_flash_player.exe";
        const TrackedStart start = platform.launchTrackedProgram(quotedPath(installer), normalFocus, installer);
        EXPECT_EQ(start.tracking.rfind(way[0] == L'p' ? L"by parent process ids" : L"in a job object", 0), 0u);
        ::WaitForSingleObject(start.process.handle, 10000);
        DWORD exitCode = 1;
        ::GetExitCodeProcess(start.process.handle, &exitCode);
        EXPECT_EQ(exitCode, 0u) << "the setup could not be started";
        waitFor(start.process.handle);
        const std::vector<RunningProcess> running = platform.trackedProcesses();
        ASSERT_EQ(running.size(), 1u);
        EXPECT_EQ(running[0].brokeAway, breaksAway);
        EXPECT_EQ(::lstrcmpiW(running[0].programFile.c_str(), (platform.temporaryFolder() + L"\\tolvane-setup.exe").c_str()),
                  0)
            << testing::narrow(running[0].programFile);
        if (breaksAway) {
            platform.endTrackedProcesses();
            EXPECT_EQ(::WaitForSingleObject(running[0].handle, 1000), WAIT_OBJECT_0) << "it was not ended";
        }
        waitFor(running[0].handle);
    }
    ::SetEnvironmentVariableW(L"STANDIN_INSTALLER_HANDS_OVER", nullptr);
    // The Windows XP way to a program file gives the same drive path.
    EXPECT_EQ(Win32Platform::programFileByPsapi(::GetCurrentProcess()), testing::besideThisProgram(L"platform_tests.exe"));
}

TEST_F(RealPlatform, WaitWithTimeLimitReturnsOnTimeout) {
    HANDLE never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD start = ::GetTickCount();
    EXPECT_EQ(platform.WaitForSingleObject(never, 200), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(::GetTickCount() - start, 150u);
    ::CloseHandle(never);
}

namespace {

// From another thread, as another process would: a forged outcome without
// the key, one with another key, then the repair's own, started with the
// command line the first instance gave it.
DWORD WINAPI speakOnTheChannel(void* given) {
    DWORD zero = 0;
    COPYDATASTRUCT forged = {InstanceChannel::outcomeKind, sizeof zero, &zero};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(::FindWindowExW(nullptr, nullptr, mainWindowClass, nullptr), WM_COPYDATA, 0,
                          reinterpret_cast<LPARAM>(&forged), SMTO_NORMAL, 5000, &ignored);
    Win32Platform elevated(::GetModuleHandleW(nullptr));
    const std::wstring commandLine = L"T.exe " + *static_cast<const std::wstring*>(given);
    const std::wstring otherKey = commandLine.substr(0, commandLine.size() - 1) + (commandLine.back() == L'0' ? L'1' : L'0');
    InstanceChannel(elevated, parseOptions(otherKey)).handOutcome(0);
    InstanceChannel(elevated, parseOptions(commandLine)).handOutcome(7);
    return 0;
}

}  // namespace

// Only the repair this run started speaks on the channel: whatever else
// hands the window an outcome is refused, and the wait goes on.
TEST_F(RealPlatform, TheChannelTakesOnlyTheRepairThisRunStarted) {
    InstanceChannel channel(platform, ProgramOptions());
    platform.createMainWindow(L"Tolvane");
    std::wstring parameters = channel.newKey();
    const HANDLE speaker = ::CreateThread(nullptr, 0, speakOnTheChannel, &parameters, 0, nullptr);
    ASSERT_NE(speaker, nullptr);
    DWORD exitCode = 0;
    bool handedBack = false;
    EXPECT_TRUE(channel.waitForRepair(::GetCurrentProcess(), exitCode, handedBack, nullptr));
    EXPECT_TRUE(handedBack);
    EXPECT_EQ(exitCode, 7u);
    ::WaitForSingleObject(speaker, 10000);
    ::CloseHandle(speaker);
}

}  // namespace
}  // namespace tolvane
