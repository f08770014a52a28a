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
    // The elevated instance's own switch, "/repair <first instance's window>";
    // not for users, and not listed.
    bool repairOnly = false;
    HWND firstInstance = nullptr;
};

// The switches on a command line as GetCommandLineW gives it (the program's
// own name first): case-insensitive, in any order, with / or -; a FILE with
// spaces between double quotes.
ProgramOptions parseOptions(const std::wstring& commandLine);

// What /? shows.
// What /? shows: a switch a line, what it does indented under it (a box's
// font is proportional: tabs would not line up).
inline constexpr wchar_t switchesHelp[] =
    L"Tolvane [/quiet] [/nomenu] [/norestart] [/log FILE] [/timeout SECONDS] [/check | /restore]\r\n\r\n"
    L"/quiet (or /qn, /q)\r\n    no box at all: every report goes to the log and the exit code\r\n"
    L"/norestart\r\n    taken and ignored: Tolvane never restarts the machine\r\n"
    L"/nomenu\r\n    the repair only; the menu is not started\r\n"
    L"/log FILE\r\n    the run log in FILE, in place of %TEMP%\\Tolvane.log\r\n"
    L"/timeout SECONDS\r\n    how long the installer is waited for (900 with /quiet)\r\n"
    L"/check\r\n    whether this machine needs the repair (0: no, 1: yes); changes nothing\r\n"
    L"/restore\r\n    the control from before the disc back in place\r\n"
    L"/?\r\n    this list\r\n\r\n"
    L"Exit codes: 0 and 3010 (restart needed) mean success, 1618 try again later, any other a failure; "
    L"each is explained in the support page of the disc's documentation (docs/support.md).";

}  // namespace tolvane
