// The one channel between the two instances of a run, from Vista on: the
// elevated repair hands the first instance its log lines, that its
// installer runs, and its outcome. Both ends are here.
//
// A message is WM_COPYDATA to the first instance's main window; dwData says
// what it is, and the data begins with the run's key, a 64-bit number the
// first instance drew for the elevated instance it started and gave it on
// its command line alone (/channel, in hexadecimal). No program of the desktop can read the
// command line of an elevated process, so none can speak as the repair:
// the first instance takes only what carries the key, and the elevated
// instance speaks only to the main window of the process named on its own
// command line. Whatever else arrives is refused.
//
// One message needs no key: another start of the program that found this
// run at work says so. It carries nothing; the receiver writes its own line.
#pragma once

#include <windows.h>

#include <string>

namespace tolvane {

// The line a second start that found this run at work leaves in its log.
inline constexpr wchar_t anotherStartLine[] = L"Another start of Tolvane found this run at work and ended at once.";

class InstanceChannel {
public:
    // What a message that was taken said.
    enum class Heard { refused, lines, installerRuns, outcome, anotherStart };

    // The first instance's end: it takes nothing keyed until it has drawn
    // a key (see newKey).
    InstanceChannel() noexcept = default;
    // The elevated instance's end: it speaks to the main window of process
    // `firstInstance` with `key`.
    InstanceChannel(DWORD firstInstance, unsigned long long key) noexcept : peer_(firstInstance), key_(key) {}

    // In the first instance, before it starts the elevated one: the key is
    // `randomHex` (16 hexadecimal digits nobody can guess), as it goes on
    // the elevated instance's command line.
    void expect(const std::wstring& randomHex) noexcept;
    // The message WM_COPYDATA brought, read; `lines` and `outcome` are set
    // for those kinds. Only what carries this run's key is taken.
    Heard receive(const COPYDATASTRUCT& data, std::wstring& lines, DWORD& outcome) const noexcept;

    // The elevated end: lines ("<tick>\t<text>\0" each), that the installer
    // runs, the outcome. False when the first instance has no window yet:
    // the lines wait for the next hand-over.
    bool handLines(const std::wstring& lines) const noexcept;
    void handInstallerRuns() const noexcept;
    void handOutcome(DWORD exitCode) const noexcept;
    bool speaks() const noexcept { return peer_ != 0; }

    // A second start that found this run at work: to every other
    // instance's main window.
    static void tellOtherRuns() noexcept;

private:
    bool hand(ULONG_PTR kind, const void* data, std::size_t size) const noexcept;

    DWORD peer_ = 0;
    unsigned long long key_ = 0;
};

}  // namespace tolvane
