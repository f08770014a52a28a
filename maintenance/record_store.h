// The program's own values in the registry, kept through the platform's
// plain ones: the record of a repair at work, and the mark of what the last
// repair that went through put in place.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace tolvane {

// Where the record of a repair at work is kept, for the reports that name it.
inline constexpr wchar_t repairRecordPlace[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane, value RepairInProgress";

// What the last repair that went through put in place, and how it ended:
// kept a value each, for a deployment tool's registry rule to match.
struct InstalledMark {
    std::wstring sha256;  // the control's; empty: none
    std::wstring when;    // the local date and time
    std::optional<DWORD> exitCode;
    std::optional<DWORD> installerExitCode;  // the installer's own

    // "sha256=...", a line each, each ended by a line feed: the form the
    // record and the log keep, and an earlier release's one list.
    std::wstring lines() const;
    static InstalledMark fromLines(const std::wstring& text);
    bool operator==(const InstalledMark& other) const {
        return sha256 == other.sha256 && when == other.when && exitCode == other.exitCode &&
               installerExitCode == other.installerExitCode;
    }
    // No value at all: no mark.
    bool empty() const { return sha256.empty() && when.empty() && !exitCode && !installerExitCode; }
};

// Where only administrators can write, and on the disk when a write
// returns, so that a run cut off half-way is found and completed by the
// next one. Every change, and the record found, is noted in the run's log.
class RecordStore {
public:
    explicit RecordStore(Platform& platform) : platform_(platform) {}

    // The record's lines, each ended by a line feed. False when there is
    // none; raises when one is there but cannot be read.
    bool readRecord(std::wstring& text);
    void writeRecord(const std::wstring& text);
    void clearRecord();
    // False when there is none; what a cut left of one counts. The one list
    // an earlier release kept is read as it is.
    bool readMark(InstalledMark& mark);
    // Written whole. An empty one removes the mark, and the key with it
    // where no record is kept.
    void writeMark(const InstalledMark& mark);

private:
    Platform& platform_;
};

}  // namespace tolvane
