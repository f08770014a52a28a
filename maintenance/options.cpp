#include "maintenance/options.h"

#include "platform/text.h"

namespace tolvane {

namespace {

bool space(wchar_t c) { return c == L' ' || c == L'\t'; }

// A switch's value: a whole number from 1 to `most`, in decimal digits
// alone. False for anything else.
bool numberOf(const std::wstring& value, DWORD most, DWORD& number) {
    unsigned long long read = 0;
    const bool taken = decimalNumber(value, read) && read != 0 && read <= most;
    number = taken ? static_cast<DWORD>(read) : 0;
    return taken;
}

// The next item of the command line from `at` on, its double quotes taken
// off; empty at the end, and for "" (an empty %VAR% in a script).
std::wstring nextItem(const std::wstring& line, std::size_t& at) {
    while (at < line.size() && space(line[at])) ++at;
    std::wstring item;
    for (bool quoted = false; at < line.size() && (quoted || !space(line[at])); ++at) {
        if (line[at] == L'"') quoted = !quoted;
        else item += line[at];
    }
    return item;
}

// ASCII lower case: the switches are ASCII.
std::wstring lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

}  // namespace

ProgramOptions parseOptions(const std::wstring& commandLine) {
    ProgramOptions options;
    std::size_t at = 0;
    nextItem(commandLine, at);  // the program itself
    while (true) {
        while (at < commandLine.size() && space(commandLine[at])) ++at;
        if (at >= commandLine.size()) break;
        const std::wstring item = nextItem(commandLine, at);
        if (item.empty()) continue;  // ""
        const std::wstring name = item[0] == L'/' || item[0] == L'-' ? lower(item.substr(1)) : std::wstring();
        // /qn and /q as msiexec takes them; /norestart as toolkits pass it to
        // every installer: this program never restarts the machine.
        if (name == L"quiet" || name == L"qn" || name == L"q") {
            options.quiet = true;
        } else if (name == L"norestart") {
        } else if (name == L"check") {
            options.check = options.quiet = options.noMenu = true;
        } else if (name == L"restore") {
            options.restore = options.noMenu = true;
        } else if (name == L"nomenu") {
            options.noMenu = true;
        } else if (name == L"?" || name == L"help") {
            options.help = true;
        } else if (name == L"log") {
            // Not a switch taken for the file (/log /quiet), nor nothing.
            std::size_t next = at;
            const std::wstring file = nextItem(commandLine, next);
            if (file.empty() || file[0] == L'/' || file[0] == L'-') {
                if (options.bad.empty()) options.bad = item, options.logNeedsFile = true;
            } else {
                options.logFile = file;
                at = next;
            }
        } else if (name == L"timeout") {
            // A whole number of seconds, at most a day.
            const std::wstring seconds = nextItem(commandLine, at);
            DWORD value = 0;
            if (numberOf(seconds, 86400, value)) options.timeoutGiven = true, options.timeoutSeconds = value;
            else if (options.bad.empty()) options.bad = joined({item, L" ", seconds});
        } else if ((name == L"repair" || name == L"language" || name == L"channel") && item[0] == L'/') {
            // The program's own: a number follows, or the run is refused
            // (the next switch is never taken for it).
            std::size_t next = at;
            const std::wstring value = nextItem(commandLine, next);
            DWORD number = 0;
            const bool taken = name == L"channel"    ? hexNumber(value, options.channelKey) && options.channelKey != 0
                               : name == L"language" ? numberOf(value, 0xFFFF, number)
                                                     : numberOf(value, 0xFFFFFFFF, number);
            if (!taken) {
                if (options.bad.empty()) options.bad = item;
                continue;
            }
            at = next;
            if (name == L"repair") options.repairOnly = true, options.firstInstance = number;
            if (name == L"language") options.language = static_cast<LANGID>(number);
        } else if (options.bad.empty()) {
            options.bad = item;
        }
    }
    return options;
}

}  // namespace tolvane
