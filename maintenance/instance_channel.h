// The one channel between the two instances of a run, from Vista on: the
// elevated repair hands the first instance its log lines, that its
// installer runs, and its outcome. Both ends are here, above the plain
// messages of Platform (sendToInstance, listenForData).
//
// A message's kind says what it is, and its data begins with the run's key,
// a 64-bit number the first instance drew for the elevated instance it
// started and gave it on its command line alone (/channel, in hexadecimal).
// No program of the desktop can read the command line of an elevated
// process, so none can speak as the repair: the first instance takes only
// what carries the key, and the elevated instance speaks only to the main
// window of the process named on its own command line. Whatever else
// arrives is refused, and said once in the log.
//
// One message needs no key: another start of the program that found this
// run at work says so. It carries nothing; the receiver writes its own line.
#pragma once

#include <string>

#include "maintenance/options.h"
#include "platform/log_lines.h"
#include "platform/platform.h"

namespace tolvane {

// The line a second start that found this run at work leaves in its log.
inline constexpr wchar_t anotherStartLine[] = L"Another start of Tolvane found this run at work and ended at once.";

// What the run does while the medium's installer runs rather than after
// the repair: in the program's own repair, told once it started; in the
// first instance, told once the elevated one says so (handInstallerRuns).
class WhileRepairRuns {
public:
    virtual void whileRepairRuns() noexcept = 0;

protected:
    ~WhileRepairRuns() = default;
};

class InstanceChannel final : public LineCarrier, private DataListener {
public:
    // The kind of each message.
    enum Kind : ULONG_PTR {
        linesKind = 0x546F6C76,          // "Tolv": UTF-16 lines
        outcomeKind = 0x546F6C77,        // "Tolw": the exit code, a DWORD
        installerRunsKind = 0x546F6C78,  // "Tolx": nothing
        anotherStartKind = 0x546F6C79,   // "Toly": nothing, and no key
    };

    // The elevated instance's end when the options say this is one (its
    // peer and key from /repair and /channel), else the first instance's,
    // which takes nothing keyed until it has drawn a key (see newKey).
    // What the main window hears is the channel's from the start.
    InstanceChannel(Platform& platform, const ProgramOptions& options);
    InstanceChannel(const InstanceChannel&) = delete;
    InstanceChannel& operator=(const InstanceChannel&) = delete;

    // The run's log: the first instance writes there what it hears, the
    // elevated one hands its lines over before its outcome.
    void useLog(LogLines& log) noexcept { log_ = &log; }

    // The first instance's end. Before it starts the elevated instance: the
    // command line's end that names this process and the key, a new one
    // nobody can guess, which only that instance then knows.
    std::wstring newKey();
    // Waits for the elevated repair until it ends or hands back its
    // outcome, whichever comes first: then `exitCode` is that outcome, and
    // `handedBack` says it came before the end. False, with the error in
    // GetLastError, when the wait or the exit code failed. When the repair says that its installer runs,
    // `meanwhile` (if any) is told, from within the wait.
    bool waitForRepair(HANDLE process, DWORD& exitCode, bool& handedBack, WhileRepairRuns* meanwhile);

    // The elevated end: lines ("<tick>\t<text>\0" each), that the installer
    // runs, the outcome (the log's lines first: the first instance may end
    // once it has it). False when the first instance has no window yet: the
    // lines wait for the next hand-over. Nothing where there is no first
    // instance.
    bool handLines(const std::wstring& lines) noexcept override;
    void handInstallerRuns() noexcept;
    void handOutcome(DWORD exitCode) noexcept;

    // A second start that found this run at work: to every other
    // instance's main window.
    void tellOtherRuns() noexcept;

private:
    void heard(ULONG_PTR kind, const void* data, std::size_t size) noexcept override;
    bool hand(ULONG_PTR kind, const void* data, std::size_t size) noexcept;
    void say(const std::wstring& line) noexcept {
        if (log_ != nullptr) log_->add(line);
    }

    Platform& platform_;
    LogLines* log_ = nullptr;
    DWORD peer_;
    unsigned long long key_;
    // What the elevated instance said during the wait.
    bool outcomeHanded_ = false, installerRuns_ = false, refusedSaid_ = false;
    DWORD outcome_ = 0;
};

}  // namespace tolvane
