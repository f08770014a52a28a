// What every part of one run shares: the platform, the switches, the lead
// of a failure's report, and what the end of the session must know (the
// process the run waits for, a put-back under way).
#pragma once

#include <string>

#include "maintenance/instance_channel.h"
#include "maintenance/options.h"
#include "maintenance/record_store.h"
#include "maintenance/reports.h"
#include "platform/platform.h"

namespace tolvane {

// How long the installer is waited for where nobody watches, by default.
inline constexpr DWORD quietInstallerLimitSeconds = 900;

struct RunContext {
    RunContext(Platform& platform, const ProgramOptions& options, ReportLead& lead, InstanceChannel& channel)
        : platform(platform), lead(lead), records(platform), channel(channel), quiet(options.quiet), noMenu(options.noMenu), restore(options.restore),
          installerLimitSeconds(options.timeoutGiven ? options.timeoutSeconds
                                : options.quiet      ? quietInstallerLimitSeconds
                                                     : 0) {}
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    // Waits for the process as the platform does; meanwhile it is the one an
    // ending session ends first.
    DWORD waitFor(HANDLE process, DWORD milliseconds);
    // A box, or with /quiet (and where nobody would see it) a line in the log.
    void report(const std::wstring& text, int style, const std::wstring& title);
    // The lead of a failure's report, as far as the run has come.
    void leadWith(unsigned meaning, unsigned todo = 0, const std::wstring& todoArgument = std::wstring());
    // The program's own text `id` in the person's language.
    std::wstring text(unsigned id) { return platform.text(id, lead.language); }
    // A program has the control loaded: a restart is needed (3010).
    void noteLoaded(const std::wstring& control);

    Platform& platform;
    ReportLead& lead;
    RecordStore records;  // the record of a repair at work, and the mark
    InstanceChannel& channel;  // to the other instance of this run
    const bool quiet;   // /quiet: no box
    const bool noMenu;  // /nomenu
    const bool restore; // /restore in place of the repair
    const DWORD installerLimitSeconds;  // how long the installer is waited for; 0: as long as it takes
    // A program held the control that was replaced, or the installer asked
    // for a restart: the machine needs one for the repair to take effect.
    bool restartNeeded = false;
    // The process the run waits for (a step's, or the elevated instance).
    HANDLE waitingFor = nullptr;
    bool waitingForElevated = false;
    // The control is being put back: an ending session lets that finish.
    bool puttingBack = false;
    // Told once the installer runs (see WhileRepairRuns).
    WhileRepairRuns* meanwhile = nullptr;
};

// Holds the window to the repair's side of the session's end for as long
// as it lives, however the span ends. Where Windows lets a program ask
// (`reason` given: Vista on), the end is held up with that reason.
class SessionEndGuard {
public:
    SessionEndGuard(Platform& platform, SessionEndListener& listener, const std::wstring& reason, const char* line)
        : platform_(platform) {
        platform_.guardSessionEnd(reason, listener);
        platform_.note(line);
    }
    ~SessionEndGuard() { platform_.releaseSessionEnd(); }
    SessionEndGuard(const SessionEndGuard&) = delete;
    SessionEndGuard& operator=(const SessionEndGuard&) = delete;

private:
    Platform& platform_;
};

// The guard of a span in which the control is out of place: from Vista on
// the end of the session is held up with a reason; on XP, where asking
// would cancel a log-off without a word, the control is put back first.
SessionEndGuard controlOutOfPlace(RunContext& run, SessionEndListener& listener, bool holdUp);

// How long the first instance holds the session's end for the elevated
// one's last lines.
inline constexpr DWORD elevatedSessionEndWaitMs = 5000;

}  // namespace tolvane
