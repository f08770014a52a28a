// Everything the program asks of Windows goes through Platform: the real one
// (win32_platform.h) and the recording fake of the tests implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/mod_main.h"

namespace tolvane {

// The one kind of failure the program raises: a number (for Win32 failures
// the GetLastError code) and a description a user can read, such as
//   starting "D:\data\menu.exe" failed: The system cannot find the file specified.
class Failure : public std::exception {
public:
    Failure(std::uint32_t number, std::wstring description)
        : number_(number), description_(std::move(description)) {}

    std::uint32_t number() const { return number_; }
    const std::wstring& description() const { return description_; }
    const char* what() const noexcept override { return "tolvane::Failure"; }

private:
    std::uint32_t number_;
    std::wstring description_;
};

// False once the run knows that nobody would answer a box (/quiet, or no
// desktop anybody sees): then not even a fault of the program's own shows one.
extern bool faultBoxShown;
// The language that box is in (textsFor's), once the run knows the
// person's (the elevated instance's is the first one's); 0 until then.
extern LANGID faultBoxLanguage;

// The system's own text for an error code, without the trailing line break;
// the thread's last error stays as it was.
std::wstring systemMessage(DWORD code);

// A Failure for `action` (e.g. L"copying \"a\" to \"b\"") that failed with `code`:
// `action` failed: <system message>
Failure failureFor(const std::wstring& action, DWORD code);

// Raises GetLastError() as a Failure for `action`; call right after the failed call.
[[noreturn]] void raiseLastError(const std::wstring& action);
// The same two for an action in plain ASCII text, kept narrow in the program.
Failure failureFor(const char* action, DWORD code);
[[noreturn]] void raiseLastError(const char* action);

// The languages of the program's own texts (resources/texts.rc): English,
// also where a text has no other, and Spanish.
inline constexpr LANGID englishTexts = 0x0409;
inline constexpr LANGID spanishTexts = 0x0C0A;
// The texts for a person whose user interface is in `userLanguage`:
// Spanish of any country, and Catalan, Basque and Galician (each a language
// pack over Spanish) of any country, read the Spanish ones; everyone else
// English.
inline LANGID textsFor(LANGID userLanguage) {
    const LANGID primary = userLanguage & 0x3FF;
    return primary == LANG_SPANISH || primary == LANG_CATALAN || primary == LANG_BASQUE || primary == LANG_GALICIAN
               ? spanishTexts
               : englishTexts;
}
// Text `id` (resources/text_ids.h) in `language` from the string tables of
// `module`, English where that language has none.
std::wstring loadText(HMODULE module, unsigned id, LANGID language);
// The same without a copy: its length, then its characters; null when
// there is none.
const wchar_t* findText(HMODULE module, unsigned id, LANGID language) noexcept;
// `text` with its "%1" replaced by `argument`.
std::wstring withArgument(const std::wstring& text, const std::wstring& argument);

// Plain ASCII text, kept narrow in the program, as the wide text it is.
std::wstring widened(const char* text);

// A path between double quotes, for descriptions and command lines.
std::wstring quotedPath(const std::wstring& path);

// How a started program's first window is shown (STARTUPINFO::wShowWindow).
enum WindowStyle : int {
    normalFocus = 1,     // SW_SHOWNORMAL
    minimizedFocus = 2,  // SW_SHOWMINIMIZED
};

// The right to read a process's exit code, times and program file
// (PROCESS_QUERY_INFORMATION, which Windows XP knows).
inline constexpr DWORD processQueryInformation = 0x0400;

// Message box styles used by the program.
enum MessageStyle : int {
    criticalOk = 16,     // MB_ICONERROR | MB_OK
    exclamationOk = 48,  // MB_ICONEXCLAMATION | MB_OK
    informationOk = 64,  // MB_ICONINFORMATION | MB_OK
};

// A program started for waiting: its process handle, which the caller
// closes (see ProcessHandle), and its identifier.
struct StartedProcess {
    HANDLE handle;
    std::uint32_t id;
};

// A program started so that the processes it starts in turn can be found.
struct TrackedStart {
    StartedProcess process;  // the caller closes its handle
    // How they are found: L"in a job object", or by parent process ids and why.
    std::wstring tracking;
};

// A file as it was read for checking: its size and SHA-256.
struct FileDigest {
    std::uint64_t size;
    std::wstring sha256;  // 64 lower-case hexadecimal digits
};

// A process that a tracked program started, directly or through one of its
// children, and that is still running.
struct RunningProcess {
    std::uint32_t id;
    // Opened once, for waiting on this very process; null when it cannot be
    // opened. The caller closes it.
    HANDLE handle;
    std::wstring programFile;  // empty when it cannot be read
    std::wstring whyUnknown;   // why the program file cannot be read
    DWORD ranMs;               // since it was started
    // Started by one of the tracked processes but outside their job (it
    // broke away from it): found by its parent process id.
    bool brokeAway = false;
};

// Told when the session (the user's log-off, a shut-down) ends while the
// repair has the control out of place. Called from the main window's
// handler, before Windows ends the program.
class SessionEndListener {
public:
    virtual void sessionEnding() noexcept = 0;

protected:
    ~SessionEndListener() = default;
};

// What the main window hears from another process (WM_COPYDATA): its kind
// (dwData) and its bytes, which live only for the call.
class DataListener {
public:
    virtual void heard(ULONG_PTR kind, const void* data, std::size_t size) noexcept = 0;

protected:
    ~DataListener() = default;
};

// The switch that starts the program as the repair alone, with the first
// instance's process id (in decimal) after it: "/repair 1234".
inline constexpr wchar_t repairSwitch[] = L"/repair";

// A value of the program's in the registry: text (REG_SZ), lines
// (REG_MULTI_SZ; here each ended by a line feed) or a number (REG_DWORD).
struct RegistryValue {
    DWORD type = 0;
    std::wstring text;
    DWORD number = 0;
};

class Platform : public modMain {
public:
    // Start-up hardening for a program that runs elevated from a folder
    // others may write to: the current folder leaves the DLL search, and
    // where Windows can (8 on, Vista and 7 with KB2533623) the program's own
    // folder too, so that DLLs loaded by bare name come from the system
    // folder. Where only the first can be done (XP SP1 to 7 without that
    // update), the program's folder is still searched first. Uses what this
    // Windows has (nothing on Windows XP without a service pack).
    virtual void restrictDllSearch() = 0;
    // Takes the named lock that one run of the program holds until it ends.
    // False when another run holds it already. An empty name takes none:
    // the machine's lock (claimRepairLock) alone keeps a second repair out.
    virtual bool claimSingleRun(const std::wstring& name) = 0;
    // The lock that one repair on the whole machine holds: the file at
    // `path` (in a folder only administrators can write), open with no
    // sharing until the process ends, made so that only administrators and
    // SYSTEM may open it. False when another run holds it (or it cannot be
    // opened): no standard user can make or hold it.
    virtual bool claimRepairLock(const std::wstring& path) = 0;

    // The program's own text `id` (resources/text_ids.h) in `language`
    // (englishTexts or spanishTexts), from the image Windows loaded (the
    // tests carry the same tables).
    std::wstring text(unsigned id, LANGID language) { return loadText(nullptr, id, language); }
    // The user interface language of the person who runs the program.
    virtual LANGID userLanguage() = 0;

    // Creates the program's main window, hidden, with this caption and the
    // application icon.
    virtual void createMainWindow(const std::wstring& caption) = 0;

    // True when the program runs with a full administrator's token (SYSTEM,
    // an elevated prompt, a deployment tool's account): from Vista on, where
    // a token can be elevated or not; false on Windows XP.
    virtual bool isElevated() = 0;
    // False where nobody can see a box or a window of the program: a
    // session without a desktop (session 0 from Vista on) or a window
    // station that is not visible (a service's).
    virtual bool hasVisibleDesktop() = 0;
    // True when the program runs as SYSTEM (a deployment tool, a startup
    // script), in whatever session.
    virtual bool runsAsSystem() = 0;
    // True when the user is a member of the Administrators group, as the
    // repair on Windows XP and 2003 needs (later Windows ask instead).
    // True too where that cannot be told: the repair is then tried.
    virtual bool isAdministrator() = 0;
    // Starts the program's own file again with administrator rights
    // ("runas": Windows asks the user's consent), hidden, in the current
    // folder, with these parameters ("/repair 1234 /timeout 600 ...").
    // Raises a Failure numbered ERROR_CANCELLED (1223) when the user
    // declines.
    virtual StartedProcess launchElevatedRepair(const std::wstring& parameters) = 0;

    // The running executable's folder: no trailing backslash except at a drive root.
    virtual std::wstring programFolder() = 0;

    // Starts a program and returns its process identifier at once. When
    // `application` is given it is the file that is started and
    // `commandLine` is only what the program receives; otherwise the first
    // item of `commandLine` is searched for as Windows does.
    // Raises a Failure when nothing can be started.
    virtual std::uint32_t launchProgram(const std::wstring& commandLine, int windowStyle,
                                        const std::wstring& application = std::wstring()) = 0;
    // Starts `application` as launchProgram does, but suspended, and lets it
    // run only when the program file its process maps is the very file
    // digestFile holds for that path (the same volume and file id): a file
    // put at that path since (a folder re-pointed, a junction planted) never
    // runs. Otherwise the process is ended and a Failure raised that says
    // why. Raises too when no such file is held.
    virtual std::uint32_t launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                               const std::wstring& application) = 0;
    // Starts and checks `application` as launchCheckedProgram does ahead of
    // time, but leaves it suspended, in a job that ends it with this
    // program, until launchCheckedProgram is asked for the same command
    // line: that then only lets it run. False, with nothing started, where
    // it cannot be kept so (this program in a job that cannot hold another).
    virtual bool readyCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                     const std::wstring& application) = 0;
    // The same, but hands back the new process's handle too, for waiting on
    // it and reading its exit code; it starts in `currentFolder`.
    virtual StartedProcess launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                                const std::wstring& application, const std::wstring& currentFolder) = 0;
    virtual void setCurrentFolder(const std::wstring& folder) = 0;

    // Starts a program as launchProgram does and keeps track of the processes
    // it starts in turn: in a job object where Windows allows one, else by
    // the parent process ids Windows keeps. Only one program is tracked at a
    // time; each call starts afresh.
    // With `currentFolder` and `temporaryFolder` given, it starts in the
    // one, with TEMP and TMP naming the other.
    virtual TrackedStart launchTrackedProgram(const std::wstring& commandLine, int windowStyle,
                                              const std::wstring& application,
                                              const std::wstring& currentFolder = std::wstring(),
                                              const std::wstring& temporaryFolder = std::wstring()) = 0;
    // The processes of the tracked program still running, itself excepted,
    // each checked to be the process that was found (Windows reuses the id
    // of a process that ended): in the job, or created when it was found.
    // With a job, the processes its members started outside it (they broke
    // away) are found by their parent process ids too.
    virtual std::vector<RunningProcess> trackedProcesses() = 0;
    // The user's temporary folder (GetTempPath) in its long form, without a
    // trailing backslash.
    virtual std::wstring temporaryFolder() = 0;

    // True when a directory search for exactly `path` finds an entry that is
    // neither hidden, nor a system file, nor a folder; false when nothing is
    // there. Raises when the search fails otherwise (access denied, a device
    // not ready): that is no answer, never a "not there".
    virtual bool fileExists(const std::wstring& path) = 0;
    virtual void deleteFile(const std::wstring& path) = 0;
    // Fails when `newPath` already exists.
    virtual void renameFile(const std::wstring& oldPath, const std::wstring& newPath) = 0;
    // Copies `source` to `destination` (which must not exist) in one pass:
    // the size and SHA-256 returned are those of the bytes written, read
    // once. The copy is on the disk, whole and writable by its owner, when
    // this returns.
    virtual FileDigest copyFile(const std::wstring& source, const std::wstring& destination) = 0;
    // The same, and the copy held as digestFile holds a file until the
    // program ends.
    virtual FileDigest copyAndDigest(const std::wstring& source, const std::wstring& destination) = 0;
    // Renames `from` to `to` in one step, over a file that stands there, and
    // has the change on the disk when this returns.
    virtual void replaceFile(const std::wstring& from, const std::wstring& to) = 0;
    // The record of the medium's files that the publisher's tool wrote into
    // the program, read from the image Windows loaded (never from the file
    // by its path, which may have been changed since); empty where the
    // program carries no such resource. Raises for a record that is not text.
    virtual std::wstring mediumRecord() = 0;
    // Reads the file's size and SHA-256 through a handle that lets no one
    // write, rename or delete it meanwhile; with `hold`, that handle stays
    // open until the program ends. Raises when it cannot be opened or read.
    virtual FileDigest digestFile(const std::wstring& path, bool hold) = 0;
    // The names of the files and folders in a folder.
    virtual std::vector<std::wstring> folderEntries(const std::wstring& folder) = 0;
    // True when another program has the file loaded or mapped (a browser
    // showing a page with the control): it cannot be opened for writing.
    virtual bool isLoaded(const std::wstring& path) = 0;
    // The programs that hold the file open, by their window title or file
    // name (the Restart Manager, Vista on); empty where Windows cannot tell.
    virtual std::vector<std::wstring> holdersOf(const std::wstring& path) = 0;
    // Where the run's log is, for the reports that send the user to it;
    // empty where that is not known (only a platform's listener knows).
    virtual std::wstring logFile() { return std::wstring(); }
    // Milliseconds since Windows started (GetTickCount).
    virtual DWORD tickCount() = 0;
    // The local date and time, "2026-12-08 10:06:39".
    virtual std::wstring localDateTime() = 0;
    // Clears the file's read-only attribute; its other attributes stay.
    virtual void clearReadOnly(const std::wstring& path) = 0;
    // Asks Windows to delete the file at the next restart. Needs
    // administrator rights.
    virtual void deleteAtRestart(const std::wstring& path) = 0;
    // The flags of the volume that holds `path` (FILE_READ_ONLY_VOLUME,
    // FILE_PERSISTENT_ACLS...). Raises when Windows cannot tell.
    virtual DWORD volumeFlags(const std::wstring& path) = 0;
    // Makes a new folder that only Administrators and SYSTEM may open (an
    // explicit, protected access list: nothing inherited from the folder
    // above), and what is made in it the same. False when something stands
    // at `path` already; raises when it cannot be made.
    virtual bool makeAdministratorsFolder(const std::wstring& path) = 0;
    // What tells this folder from any other ever made at its path: its
    // volume and file id, and its creation time where ids are used again
    // (FAT32), as text. Raises when there is no
    // folder there, or when what is there is a link (a junction, a symbolic
    // link) rather than a folder.
    virtual std::wstring folderIdentity(const std::wstring& path) = 0;
    // 16 hexadecimal digits nobody can guess (the system's random source).
    virtual std::wstring randomHex() = 0;
    // Removes a folder this program made, with all in it: files it holds
    // are let go first; links in it are removed, never followed, and a
    // folder that is itself a link is left alone (then false). What
    // cannot be removed now (another program holds it) is deleted at the
    // next restart: then false. Never raises.
    virtual bool removeFolder(const std::wstring& path) noexcept = 0;

    // The program's values in the registry, under HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane
    // (on 64-bit Windows in its 32-bit view), where only administrators
    // write, of the type wanted (REG_SZ, REG_MULTI_SZ, REG_DWORD). False
    // when the key or the value is not there; raises when it cannot be read
    // or is of another type.
    virtual bool readRegistryValue(const wchar_t* name, DWORD type, RegistryValue& value) = 0;
    // The key made where it is missing. On the disk when this returns.
    virtual void writeRegistryValue(const wchar_t* name, const RegistryValue& value) = 0;
    // Nothing to do where it is not there. On the disk when this returns.
    virtual void deleteRegistryValue(const wchar_t* name) = 0;
    // The key goes, whatever values it holds; nothing to do where it is not there.
    virtual void deleteRegistryKey() = 0;

    // Hands `kind` and the bytes to the main window of the program's
    // instance in process `process`, or with 0 to that of every other
    // instance, waiting up to 5 s for each to take it; false when there is
    // none. Never raises.
    virtual bool sendToInstance(DWORD process, ULONG_PTR kind, const void* data, std::size_t size) noexcept = 0;
    // What the main window hears from now on goes to `listener`.
    virtual void listenForData(DataListener& listener) = 0;
    // Waits until `process` ends (WAIT_OBJECT_0) or messages came and were
    // handled (WAIT_OBJECT_0 + 1); WAIT_FAILED, with the error in
    // GetLastError, when the wait failed.
    virtual DWORD waitForProcessOrMessages(HANDLE process) = 0;
    // This process's id.
    virtual DWORD processId() = 0;

    // Ends every process of the tracked program that still runs, itself
    // included, and those that broke away from its job (see
    // trackedProcesses). Never raises.
    virtual void endTrackedProcesses() noexcept = 0;

    // From now until releaseSessionEnd the main window speaks for the
    // repair when the session is to end. With a `reason` it asks Windows to
    // hold up the end and gives that reason (Vista on); with none (Windows
    // XP, where asking would cancel a log-off without a word to the user) it
    // agrees. When the session ends all the same, `listener` is told before
    // the handler returns, once.
    virtual void guardSessionEnd(const std::wstring& reason, SessionEndListener& listener) = 0;
    // The window answers the end of the session as any window does again.
    virtual void releaseSessionEnd() = 0;

    // Modal; returns when the box is closed.
    virtual void showMessageBox(const std::wstring& text, int style, const std::wstring& title) = 0;
    // Handles the window messages already waiting, once.
    virtual void processPendingEvents() = 0;
    virtual void setWindowVisible(bool visible) = 0;
    // Ends the program at once with this exit code.
    virtual void endProgram(int exitCode = 0) = 0;

    // A line for the run's log: which step begins, or why one is skipped.
    // Changes nothing; only a platform that has a listener (see
    // PlatformListener) tells it.
    virtual void note(const std::wstring& line) { (void)line; }
    // The same for a line of plain ASCII text, kept narrow in the program.
    void note(const char* line);
    // "  <its description>": a failure the run goes on after.
    void noteFailure(const Failure& failure);
    // "  \"<path>\"<what>", `what` plain ASCII.
    void noteAbout(const std::wstring& path, const char* what);
    // Called from a catch block that goes on without the failure it
    // caught: "  <its description>; <why>" (plain ASCII). Never raises.
    void noteDropped(const char* why) noexcept;
};

// Owns a process handle and closes it through the platform however the
// work with it ends.
class ProcessHandle {
public:
    ProcessHandle(modMain& kernel, HANDLE handle) : kernel_(kernel), handle_(handle) {}
    ~ProcessHandle() {
        if (handle_ != nullptr) kernel_.CloseHandle(handle_);
    }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
    HANDLE get() const { return handle_; }

private:
    modMain& kernel_;
    HANDLE handle_;
};

}  // namespace tolvane
