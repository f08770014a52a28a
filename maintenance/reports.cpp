// The exit codes in words, and the text of a failure's report.
#include "maintenance/reports.h"

#include <cstring>

#include "platform/text.h"

namespace tolvane {

std::wstring exitCodeMeaning(int exitCode) {
    static const struct {
        int code;
        const char* meaning;  // narrow: plain ASCII
    } meanings[] = {
        {0, ""},
        {repairNeededExitCode, "/check: the repair is needed"},
        {notAnAdministratorExitCode, "not an administrator: no repair"},
        {badSwitchExitCode, "a switch not known: nothing done"},
        {ERROR_CANCELLED, "consent declined: no repair"},
        {ownFaultExitCode, "a fault of the program's own"},
        {timedOutExitCode, "installer timed out; the control is back"},
        {failedExitCode, "not repaired: see the failed step above"},
        {nothingToRestoreExitCode, "/restore: nothing of the disc's here"},
        {anotherRepairExitCode, "another run at work: try again later"},
        {logFailureExitCode, "the log could not be made: nothing done"},
        {elevationRequiredExitCode, "/quiet without a full token: no repair"},
        {restartNeededExitCode, "repaired; a restart completes it"},
        {repairStoppedExitCode, "the repair ended early: run the disc again"},
    };
    for (const auto& known : meanings)
        if (known.code == exitCode) return std::wstring(known.meaning, known.meaning + std::strlen(known.meaning));
    return L"not a code of the program's own";
}

std::wstring failureReport(Platform& platform, const ReportLead& lead, const std::wstring& logFile,
                           const std::wstring& details) {
    const auto text = [&](unsigned id) { return platform.text(id, lead.language); };
    const std::wstring log = logFile.empty() ? text(IDS_LOG_IN_TEMP) : quotedPath(logFile);
    return joined({text(lead.meaning), L"\r\n\r\n",
                   lead.todo == 0 ? withArgument(text(IDS_RUN_AGAIN), log) : withArgument(text(lead.todo), lead.todoArgument),
                   L"\r\n\r\n", text(IDS_DETAILS), L"\r\n", details});
}

void report(Platform& platform, bool quiet, const std::wstring& text, int style, const std::wstring& title) {
    if (!quiet) return platform.showMessageBox(text, style, title);
    platform.note(joined({L"Not shown (/quiet), the box ", quotedPath(title), L":\r\n", text}));
}

}  // namespace tolvane
