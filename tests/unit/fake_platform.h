// A Platform that records every call as one line of text and plays back what
// a test set up: an in-memory file system, folders, a version record, and
// failures for chosen operations.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_listener.h"
#include "platform/sha256.h"
#include "resources/text_ids.h"

namespace tolvane::testing {

// The SHA-256 of these bytes, as the program writes it.
inline std::wstring sha256Of(const std::string& bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

// The record names the file: as a line's value, or as one of a move's names.
inline bool recordNames(const std::wstring& record, const std::wstring& path) {
    return record.find(L"=" + path + L"\n") != std::wstring::npos || record.find(L"|" + path + L"|") != std::wstring::npos;
}

// Where things are on the fake's default machine and medium.
namespace fakePaths {
inline const std::wstring installer = L"D:\\data\\install_flash_player.exe";
inline const std::wstring menu = L"D:\\data\\menu.exe";
inline const std::wstring control = L"C:\\WINDOWS\\system32\\Macromed\\Flash\\flash.ocx";
inline const std::wstring controlBackup = L"C:\\WINDOWS\\system32\\Macromed\\Flash\\flash.bkp";
inline const std::wstring flashFolder = L"C:\\WINDOWS\\system32\\Macromed\\Flash\\";
inline const std::wstring inf = L"C:\\WINDOWS\\ServicePackFiles\\i386\\swflash.inf";
inline const std::wstring infBackup = L"C:\\WINDOWS\\ServicePackFiles\\i386\\swflash.bkp";
inline const std::wstring tool = L"C:\\WINDOWS\\system32\\regsvr32.exe";
// Where the installer runs from: a copy in a folder of the run's own, whose
// random part is the fake's first.
inline const std::wstring installerFolder = L"C:\\WINDOWS\\Temp\\Tolvane.0000000000000001";
inline const std::wstring installerCopy = installerFolder + L"\\install_flash_player.exe";
// Its launch as the calls show it.
inline const std::wstring installerLaunch = L"launchProgram \"" + installerCopy + L"\" | 1 | " + installerCopy +
                                            L" | in " + installerFolder + L" | TEMP " + installerFolder + L"\\temp";
// The registration tool starts in the system folder.
inline const std::wstring inSystem = L" | in C:\\WINDOWS\\system32";
}  // namespace fakePaths

class FakePlatform : public Platform {
public:
    // --- what the test sets up
    std::wstring programFolderValue = L"D:";
    std::string systemFolder = "C:\\WINDOWS\\system32";
    std::string windowsFolder = "C:\\WINDOWS";
    // When set, the folder calls return this count instead of the folder's length.
    bool overrideFolderCount = false;
    UINT folderCount = 0;
    OSVERSIONINFOA version = {};         // copied out by GetVersionExA (all but the size field)
    // path -> content; every entry counts as a normal file. The medium's control and installer are there.
    std::map<std::wstring, std::string> files = {{L"D:\\data\\Flash.ocx", "medium control"},
                                                 {L"D:\\data\\install_flash_player.exe", "installer"}};
    std::set<std::wstring> failingOperations;   // "renameFile", "renameFile:<new path>", "launchProgram:<application>" ...
    DWORD failureNumber = ERROR_ACCESS_DENIED;  // the error they fail with

    // Sets the version record GetVersionExA hands out; `servicePack` fills
    // the start of the 128-byte field, the rest stays NUL.
    void setVersion(DWORD platformId, DWORD major, DWORD minor, const std::string& servicePack = "");
    bool openProcessGivesNothing = false;
    DWORD lastError = 0;
    std::set<std::wstring> readOnly;                    // files with the read-only attribute
    std::set<std::wstring> inUse;                       // files another program has loaded
    DWORD ticks = 0;                                    // what tickCount gives
    std::map<std::wstring, std::vector<std::wstring>> holders;  // what the Restart Manager names
    std::set<std::wstring> mapped;                      // mapped as data: deleted, the name stays
    std::map<std::wstring, DWORD> exitCodes;            // command line -> exit code (0 when not listed)
    std::set<std::wstring> stillRunningAfterWait;       // command lines whose timed wait runs out
    std::set<std::string> unregistrable;                // controls whose registration ends with exit code 5
    bool anotherRunHoldsTheLock = false;
    bool anotherRepairHoldsTheMachine = false;
    // The record of a repair at work, as the platform keeps it; none when empty.
    std::wstring record;
    // The program's other values in the registry: the mark.
    std::map<std::wstring, RegistryValue> registry;
    // The mark as lines ("sha256=..."), or an earlier release's list; none when empty.
    std::wstring mark() const;
    // A power cut: after this many changes to the machine (files, record,
    // started programs) nothing changes any more; the run goes on in vain.
    int cutOffAfterChanges = -1;
    // The session ends while the run waits for the process started with a
    // command line that begins so.
    std::wstring sessionEndsWhileWaitingFor;
    bool administrator = true;
    bool elevated = false;  // a full administrator's token
    bool desktop = true;    // a desktop somebody sees
    DWORD elevationRefused = 0;  // the error launchElevatedRepair raises (1223: the user declined)
    // What trackedProcesses() finds, one list a call; nothing once used up.
    std::vector<std::vector<RunningProcess>> handOvers;
    std::wstring temporaryFolderValue;
    // The record of the medium's files the program carries (none when empty).
    std::wstring mediumRecordValue;
    // What the installer puts at the control path while it runs (nothing when empty).
    std::string installerWrites;
    // The medium is where its user can write (a USB stick), not a pressed CD.
    bool mediumWritable = false;
    // The Windows folder's volume keeps access lists (NTFS, not FAT32).
    bool accessControl = true;
    // Folders that exist (the fake's files need none).
    std::set<std::wstring> folders;
    // What replaces the medium's installer once the program has checked it
    // (another program of the user re-points the data folder); none when empty.
    std::string installerSwappedAfterCheck;
    // The menu's path leads to another file once the program has checked it.
    bool menuSwappedAfterCheck = false;
    // A file another program puts at this path while the installer runs (at its end).
    std::wstring droppedWhileInstallerRuns;
    // The menu started suspended while the repair runs (see
    // readyCheckedProgram), and whether it can be kept so.
    std::wstring readyMenu;
    bool menuCanWait = true;
    bool system = false;  // the program runs as SYSTEM
    LANGID uiLanguage = 0x0409;  // the person's user interface language
    // Each folder's identity (see folderIdentity); one made by the program
    // gets the next number, any other in `folders` reads as "planted".
    std::map<std::wstring, std::wstring> folderIds;
    unsigned randomCount = 0;  // how many random names were handed out
    std::set<std::wstring> held;  // the files digestFile holds
    // Faults, a call at a time: every call that can fail counts, and those
    // whose count is in `faultsAt` fail with `faultError`, as Windows says
    // it; with `faultAfterEffect`, after their effect (a copy that fails at
    // its flush, a rename that went through but reports a failure).
    std::set<int> faultsAt;
    DWORD faultError = ERROR_ACCESS_DENIED;
    bool faultAfterEffect = false;
    int fallibleCalls = 0;              // how many calls could have failed so far
    std::vector<std::wstring> fallible;  // ...and which, in order
    std::vector<std::wstring> faulted;  // the calls that failed

    // --- what the program did

    std::vector<std::wstring> calls;
    std::vector<std::wstring> notes;  // the lines the steps gave for the log
    int endedWith = -1;               // the exit code endProgram was given
    int openHandles = 0;
    int changes = 0;
    bool cutOff = false;              // no change reaches the machine any more
    std::string lastRegistered;       // what stood at the control path when it last registered
    std::string ranInstaller;         // the content of the installer file that was started
    std::set<std::wstring> atRestart;  // the files to be deleted at the next restart

    // The machine as the next start finds it after this one: files,
    // attributes, the record.
    void takeMachineOf(const FakePlatform& earlier);

    // The calls whose line begins with `name`.
    std::vector<std::wstring> callsTo(const std::wstring& name) const;
    bool called(const std::wstring& name) const { return !callsTo(name).empty(); }
    // Where the first call that begins with `name` is in `calls`; its size when none does.
    std::size_t firstCall(const std::wstring& name) const {
        std::size_t at = 0;
        while (at < calls.size() && calls[at].compare(0, name.size(), name) != 0) ++at;
        return at;
    }

    UINT GetSystemDirectoryA(LPSTR buffer, UINT size) override;
    UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) override;
    BOOL GetVersionExA(OSVERSIONINFOA* info) override;
    HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override;
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
    BOOL CloseHandle(HANDLE handle) override;
    BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) override;
    DWORD GetLastError() override { return lastError; }
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;

    void restrictDllSearch() override {
        calls.push_back(L"restrictDllSearch");
        failIfAsked(L"restrictDllSearch");
    }
    bool claimSingleRun(const std::wstring& name) override;
    bool claimRepairLock(const std::wstring& name) override;
    bool isAdministrator() override { return administrator; }
    bool runsAsSystem() override { return system; }
    std::uint32_t launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                       const std::wstring& application) override;
    bool readyCheckedProgram(const std::wstring& commandLine, int windowStyle,
                             const std::wstring& application) override;
    FileDigest copyAndDigest(const std::wstring& source, const std::wstring& destination) override;
    std::wstring folderIdentity(const std::wstring& path) override;
    std::wstring randomHex() override;
    StartedProcess launchElevatedRepair(const std::wstring& parameters) override;
    bool isElevated() override { return elevated; }
    bool hasVisibleDesktop() override { return desktop; }
    void createMainWindow(const std::wstring& caption) override;
    std::wstring programFolder() override;
    std::uint32_t launchProgram(const std::wstring& commandLine, int windowStyle,
                                const std::wstring& application) override;
    StartedProcess launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                        const std::wstring& application, const std::wstring& currentFolder) override;
    void setCurrentFolder(const std::wstring& folder) override { calls.push_back(L"setCurrentFolder " + folder); }
    std::wstring mediumRecord() override { return mediumRecordValue; }
    FileDigest digestFile(const std::wstring& path, bool hold) override;
    std::vector<std::wstring> folderEntries(const std::wstring& folder) override;
    TrackedStart launchTrackedProgram(const std::wstring& commandLine, int windowStyle,
                                      const std::wstring& application, const std::wstring& currentFolder = std::wstring(),
                                      const std::wstring& temporaryFolder = std::wstring()) override;
    std::vector<RunningProcess> trackedProcesses() override;
    std::wstring temporaryFolder() override;
    bool fileExists(const std::wstring& path) override;
    void deleteFile(const std::wstring& path) override;
    void renameFile(const std::wstring& oldPath, const std::wstring& newPath) override;
    FileDigest copyFile(const std::wstring& source, const std::wstring& destination) override;
    LANGID userLanguage() override { return uiLanguage; }
    void replaceFile(const std::wstring& from, const std::wstring& to) override;
    void clearReadOnly(const std::wstring& path) override;
    bool isLoaded(const std::wstring& path) override;
    std::vector<std::wstring> holdersOf(const std::wstring& path) override;
    DWORD tickCount() override;
    std::wstring localDateTime() override;
    void deleteAtRestart(const std::wstring& path) override;
    DWORD volumeFlags(const std::wstring& path) override;
    bool makeAdministratorsFolder(const std::wstring& path) override;
    bool removeFolder(const std::wstring& path) noexcept override;
    bool readRegistryValue(const wchar_t* name, DWORD type, RegistryValue& value) override;
    void writeRegistryValue(const wchar_t* name, const RegistryValue& value) override;
    void deleteRegistryValue(const wchar_t* name) override;
    void deleteRegistryKey() override;
    void endTrackedProcesses() noexcept override { calls.push_back(L"endTrackedProcesses"); }
    bool sendToInstance(DWORD process, ULONG_PTR kind, const void* data, std::size_t size) noexcept override;
    void listenForData(DataListener& listener) override { dataListener_ = &listener; }
    // The elevated repair's installer runs at once: it says so first.
    DWORD waitForProcessOrMessages(HANDLE process) override;
    DWORD processId() override { return 4242; }
    void guardSessionEnd(const std::wstring& reason, SessionEndListener& listener) override;
    void releaseSessionEnd() override;
    void showMessageBox(const std::wstring& text, int style, const std::wstring& title) override;
    void processPendingEvents() override;
    void setWindowVisible(bool visible) override;
    void endProgram(int exitCode = 0) override;
    void note(const std::wstring& line) override {
        notes.push_back(line);
        if (listener != nullptr) listener->noted(line);
    }
    // Told the run's own lines, as the real platform tells its log.
    PlatformListener* listener = nullptr;

private:
    void startChecked(const std::wstring& application, const std::wstring& process);
    UINT folderCall(const char* name, const std::string& folder, LPSTR buffer, UINT size);
    void failIfAsked(const std::wstring& operation);
    // A call to a value of the registry, logged and failed when asked.
    std::wstring registryCall(const wchar_t* doing, const wchar_t* name);
    // Counts a call that can fail: raises when it is to fail before its
    // effect; true when it is to fail after it (then raise with `fail`).
    // `there`: what the call names is there, so it cannot fail with "not found".
    bool mayFail(const std::wstring& call, bool there = false);
    [[noreturn]] void fail(const std::wstring& call);
    // The same for a call that answers as Win32 does: true when it fails,
    // its error in `lastError`.
    bool failsWin32(const std::wstring& call);
    // Counts a change to the machine; true when it must not happen (cut off).
    bool noChange();
    SessionEndListener* sessionListener_ = nullptr;
    std::uint32_t nextProcessId_ = 1000;
    // What the main window hears; the key the elevated repair was given, and
    // whether it said its installer runs.
    DataListener* dataListener_ = nullptr;
    unsigned long long channelKey_ = 0;
    bool installerRunsSaid_ = false;
    std::map<std::uint32_t, std::wstring> commandLines_;  // process id -> what it was started with
    std::map<std::uint32_t, DWORD> exitCodesById_;
    std::uint32_t installerId_ = 0;
};

// What the file holds; empty where there is none.
inline std::string at(const FakePlatform& fake, const std::wstring& path) {
    const auto file = fake.files.find(path);
    return file == fake.files.end() ? std::string() : file->second;
}

// The program's texts as a person reads them in English (the tests carry
// the program's string tables).
inline std::wstring english(unsigned id) { return loadText(nullptr, id, englishTexts); }
inline const std::wstring unchangedMeaning = english(IDS_UNCHANGED);
inline const std::wstring putBackMeaning = english(IDS_PUT_BACK);
inline const std::wstring mayNotWorkMeaning = english(IDS_MAY_NOT_WORK);

// The record the publisher's tool writes, for the fake's medium as it is;
// `others` are more files (hashed) or folders (named) of its data folder.
std::wstring recordOf(FakePlatform& fake, const std::vector<std::wstring>& others = {});
// Windows XP, and a medium with its installer and menu whose record the
// program carries.
void mastered(FakePlatform& fake, const std::vector<std::wstring>& others = {});

}  // namespace tolvane::testing
