// The program's exit codes and the texts of its reports to the person at
// the PC, in one place: what the units of the program say, they take from here.
#pragma once

#include <string>

#include "platform/platform.h"
#include "resources/text_ids.h"

namespace tolvane {

// The exit codes, read as deployment tools read installers' codes: 0 and
// 3010 are success, 1618 "try again later", anything else a failure. One
// table in docs/support.md lists them (the test Docs.ExitCodesTable reads it).
//
// A step failed, or the session ended during the repair (ERROR_INSTALL_FAILURE);
// the elevated instance ends so after its own report, too.
inline constexpr int failedExitCode = 1603;
inline constexpr int sessionEndedExitCode = failedExitCode;
inline constexpr int elevatedRepairFailedExitCode = failedExitCode;
// The repair skipped because the user is not an administrator
// (ERROR_ACCESS_DENIED): on Windows XP or 2003, or where the consent prompt
// is switched off.
inline constexpr int notAnAdministratorExitCode = 5;
// A switch the program does not know (ERROR_INVALID_PARAMETER): nothing done.
inline constexpr int badSwitchExitCode = 87;
// Repaired, but a program held the control that was replaced, or the
// installer asked for a restart (ERROR_SUCCESS_REBOOT_REQUIRED).
inline constexpr int restartNeededExitCode = 3010;
// Another repair was at work on this machine, or another /quiet start of
// the program: nothing was repaired (ERROR_INSTALL_ALREADY_RUNNING).
inline constexpr int anotherRepairExitCode = 1618;
// The elevated instance ended without its own report (ERROR_PROCESS_ABORTED).
inline constexpr int repairStoppedExitCode = 1067;
// /check: the machine needs the repair.
inline constexpr int repairNeededExitCode = 1;
// /restore: there is no backup of the user's control (ERROR_UNKNOWN_PRODUCT).
inline constexpr int nothingToRestoreExitCode = 1605;
// A fault of the program's own (ERROR_INTERNAL_ERROR; see lean_runtime.cpp).
inline constexpr int ownFaultExitCode = 1359;
// The installer had not ended within the time limit (ERROR_TIMEOUT).
inline constexpr int timedOutExitCode = 1460;
// /quiet without a full administrator's token, from Vista on: nobody to ask
// for consent (ERROR_ELEVATION_REQUIRED).
inline constexpr int elevationRequiredExitCode = 740;
// The log asked for could not be made (ERROR_INSTALL_LOG_FAILURE).
inline constexpr int logFailureExitCode = 1622;
// What an exit code means, in words, for the log's last line; empty for 0.
std::wstring exitCodeMeaning(int exitCode);
// What the report of a failure tells the person at the PC first, as
// texts of resources/texts.rc: what it means for them, then what to do
// (with `todoArgument` for its "%1"); the details for support come last.
// All in the person's language; the log stays in English.
struct ReportLead {
    unsigned meaning = IDS_UNCHANGED;
    unsigned todo = 0;  // 0: run the disc again, and keep the log for support
    std::wstring todoArgument;
    LANGID language = englishTexts;
};

// The text of a failure's report: what it means, what to do (by default:
// run the disc again, and keep the log for support), then the details.
std::wstring failureReport(Platform& platform, const ReportLead& lead, const std::wstring& logFile,
                           const std::wstring& details);

// A box, or with `quiet` a line in the log that says what it would have said.
void report(Platform& platform, bool quiet, const std::wstring& text, int style, const std::wstring& title);

}  // namespace tolvane
