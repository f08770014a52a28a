// The run's own account, for whoever supports the medium: Tolvane.log in the
// user's temporary folder, in UTF-16 with CRLF line ends, as Notepad shows it.
// Nothing here raises: a log that cannot be written is simply not written,
// and the run goes on as it would without one.
#pragma once

#include <string>
#include <vector>

#include "platform/log_lines.h"
#include "platform/unique_handle.h"

namespace tolvane {

// Keeps the thread's last-error code across the log's own work, so that the
// run still reads the code of its own last call.
class LastErrorKept {
public:
    LastErrorKept() noexcept : code_(::GetLastError()) {}
    ~LastErrorKept() { ::SetLastError(code_); }
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

private:
    DWORD code_;
};

class RunLog final : public LogLines {
public:
    RunLog() noexcept;
    // The log of the elevated repair: its lines are handed through
    // `channel` to the first instance, once it has a window, which writes
    // them into its own log with the time each was said. Nothing is written to a file: the user's temporary
    // folder is the user's, and a junction on it would take an elevated
    // write anywhere. Lines are handed over in batches (see flush): each
    // hand-over costs both processes a round trip.
    explicit RunLog(LineCarrier& channel) noexcept;

    // The log goes to this file (/log FILE), with the same care as
    // Tolvane.log in the temporary folder: made under a name of its own
    // beside it, then renamed over it.
    void useFile(const std::wstring& path) noexcept;
    // A detection (/check): no log of its own, or with `path` (/log FILE)
    // the lines added at the end of that file, made where it is missing;
    // no log is ever renamed.
    void forDetection(const std::wstring& path) noexcept;
    // The file this run writes; empty when it writes none.
    const std::wstring& path() const { return path_; }
    // %WINDIR%\Logs\Tolvane.log, that folder made for administrators only
    // where it is missing (XP); one that cannot be made there is no
    // failure, and no log is written elsewhere.
    void useSystemLogsFolder() noexcept;
    // Why the file asked for could not be made; empty otherwise.
    const std::wstring& failure() const noexcept { return failure_; }
    // True until the log is begun or handed to another run.
    bool waiting() const noexcept { return state_ == waitingForOwner; }
    // True for the elevated repair's log, whose lines go to another's.
    bool handedOver() const noexcept { return state_ == handing; }
    // Milliseconds since the log was made, at the program's start.
    DWORD elapsedMs() const noexcept;
    // A line stamped with the time since the start. Until the log is begun
    // (or handed to another run) the lines wait in memory.
    void add(const std::wstring& text) noexcept override;
    // Hands the lines said so far to the first instance; the run calls it
    // before it waits, shows a box or ends, and nowhere else: while the
    // hand-over waits for the answer, messages sent to this thread (the end
    // of the session) are handled. Does nothing for a log of its own.
    void flush() noexcept override;
    // Lines handed over by the elevated instance (see LineCarrier).
    void addHanded(const std::wstring& lines) noexcept override;
    // This run owns the log: the previous run's file is replaced by a new
    // one with the header lines, unstamped, and the lines added so far.
    void begin(const std::vector<std::wstring>& header) noexcept;
    // Another run is at work and owns the log (the run tells it so, and it
    // writes its own line): nothing else of this run is written.
    void addToOtherRun(const std::wstring& text) noexcept;

    // The version in the program's own version resource, e.g. "1.0.0.0".
    static std::wstring fileVersion();

private:
    static std::wstring temporaryFolder();
    static bool isFinalPath(HANDLE file, const std::wstring& path);
    // The log file this run made, deleted and closed.
    void deleteOwnFile() noexcept;
    void write(const std::wstring& line) noexcept;

    void addAt(DWORD tick, const std::wstring& text) noexcept;

    enum State { waitingForOwner, writing, silent, handing } state_ = waitingForOwner;
    LineCarrier* channel_ = nullptr;
    std::wstring handed_;  // lines not yet handed over
    std::vector<std::wstring> kept_;
    UniqueFileHandle file_;
    std::wstring target_;   // the file asked for; empty: Tolvane.log in the temporary folder
    bool asked_ = false;
    bool systemOnly_ = false;  // only the system's Logs folder will do
    bool append_ = false;      // lines added to the file asked for (see forDetection)
    bool none_ = false;        // no file at all
    // Opens the file asked for to add lines at its end; false when it cannot.
    bool openForAdding() noexcept;
    std::wstring path_;    // target_ came from /log: a failure to make it ends the run
    std::wstring failure_;
    DWORD start_;
};

}  // namespace tolvane
