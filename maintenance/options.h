// The switches the program takes, for administrators who run it from a
// script, a scheduled task or a deployment tool. A start without any
// (AutoRun, a double-click) behaves as it always did.
#pragma once

#include <windows.h>

#include <string>

namespace tolvane {

struct ProgramOptions {
    bool quiet = false;    // /quiet: no box at all; every report goes to the log and the exit code
    bool noMenu = false;   // /nomenu: the repair only
    bool help = false;     // /? or /help
    bool check = false;    // /check: whether this machine needs the repair, changing nothing
    bool restore = false;  // /restore: the user's own control back, this program's discarded
    std::wstring logFile;  // /log FILE: the run log there, in place of %TEMP%\Tolvane.log
    // /timeout SECONDS: how long the installer and its setup are waited for;
    // none given: 900 s where nobody watches (/quiet), else as long as it takes.
    bool timeoutGiven = false;
    DWORD timeoutSeconds = 0;
    std::wstring bad;      // the first switch the program does not know (or "/log" without a file)
    bool logNeedsFile = false;  // `bad` is /log, given no file
    // The elevated instance's own switch, "/repair <first instance's
    // process id>"; not for users, and not listed.
    bool repairOnly = false;
    DWORD firstInstance = 0;
    // ...and "/language <LANGID>", the language of the person at the
    // desktop, whose reports the elevated instance shows. 0: not given.
    LANGID language = 0;
    // ...and "/channel <16 hexadecimal digits>", the key the first instance's window takes
    // the elevated one's messages by (see InstanceChannel). 0: not given.
    unsigned long long channelKey = 0;
};

// The switches on a command line as GetCommandLineW gives it (the program's
// own name first): case-insensitive, in any order, with / or -; a FILE with
// spaces between double quotes. What /? lists is resources/texts.rc's.
ProgramOptions parseOptions(const std::wstring& commandLine);

}  // namespace tolvane
