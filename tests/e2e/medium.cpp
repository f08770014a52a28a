#include "e2e/medium.h"

#include <algorithm>

#include "helpers/test_log.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <set>
#include <sstream>

namespace tolvane::testing {

std::wstring buildFolder() {
    const std::wstring folder = besideThisProgram(L"");
    return folder.substr(0, folder.size() - 1);
}

void copyInto(const std::wstring& source, const std::wstring& destination) {
    makeFolders(destination.substr(0, destination.find_last_of(L'\\')));
    if (!::CopyFileW(source.c_str(), destination.c_str(), FALSE))
        ADD_FAILURE() << "copying " << narrow(source) << " to " << narrow(destination) << " failed";
}

std::wstring systemFolder() {
    wchar_t folder[MAX_PATH];
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return folder;
}

std::wstring windowsFolder() {
    wchar_t folder[MAX_PATH];
    ::GetWindowsDirectoryW(folder, MAX_PATH);
    return folder;
}

std::vector<std::string> RunResult::linesStarting(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& line : log)
        if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
    return found;
}

double RunResult::timeOf(const std::string& prefix) const {
    for (const auto& [time, line] : timedLog)
        if (line.compare(0, prefix.size(), prefix) == 0) return time;
    return -1;
}

std::wstring runLog(const std::wstring& temporaryFolder) {
    wchar_t folder[MAX_PATH + 1];
    const std::wstring path = (temporaryFolder.empty() ? std::wstring(folder, ::GetTempPathW(MAX_PATH + 1, folder))
                                                       : temporaryFolder + L"\\") + L"Tolvane.log";
    const std::string bytes = readFile(path);
    if (bytes == "<missing>" || bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0) return L"<missing>";
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
}

std::wstring holderCommandLine(const std::wstring& dll) {
    const std::wstring holder = L"C:\\tolvane-e2e\\holder.exe";
    if (!isFile(holder)) copyInto(buildFolder() + L"\\standin.exe", holder);
    return L"\"" + holder + L"\" \"" + dll + L"\"";
}

void startHolder(const std::wstring& dll) {
    std::wstring commandLine = holderCommandLine(dll);
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, L"TolvaneTestHolderReady");
    ::ResetEvent(ready);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        ADD_FAILURE() << "cannot start " << narrow(commandLine);
    else if (::WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0)
        ADD_FAILURE() << "holder.exe did not load " << narrow(dll);
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    ::CloseHandle(ready);
}

namespace {

// The ids of the running processes whose program file has one of `names`.
std::vector<DWORD> processesNamed(const std::vector<const wchar_t*>& names) {
    std::vector<DWORD> found;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (snapshot != INVALID_HANDLE_VALUE && ::Process32FirstW(snapshot, &entry)) {
        do {
            for (const wchar_t* name : names)
                if (::lstrcmpiW(entry.szExeFile, name) == 0) found.push_back(entry.th32ProcessID);
        } while (::Process32NextW(snapshot, &entry));
    }
    if (snapshot != INVALID_HANDLE_VALUE) ::CloseHandle(snapshot);
    return found;
}

const wchar_t sessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";

}  // namespace

void releaseHolders() {
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, L"TolvaneTestReleaseHolders");
    ::SetEvent(release);
    for (int i = 0; i < 250 && !processesNamed({L"holder.exe"}).empty(); ++i) ::Sleep(20);
    ::ResetEvent(release);
    ::CloseHandle(release);
}

std::vector<std::wstring> deletionsAtRestart() {
    std::vector<std::wstring> found;
    HKEY key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return found;
    std::vector<wchar_t> value(32768);
    DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value.data()), &size) == ERROR_SUCCESS) {
        // Pairs of strings: what to move, then where to (empty: delete it).
        std::vector<std::wstring> strings;
        for (const wchar_t *at = value.data(), *end = at + size / sizeof(wchar_t); at < end; at += strings.back().size() + 1)
            strings.emplace_back(at);
        for (std::size_t i = 0; i + 1 < strings.size(); i += 2)
            if (!strings[i].empty() && strings[i + 1].empty())
                found.push_back(strings[i].compare(0, 4, L"\\??\\") == 0 ? strings[i].substr(4) : strings[i]);
    }
    ::RegCloseKey(key);
    return found;
}

void forgetDeletionsAtRestart() {
    HKEY key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    ::RegDeleteValueW(key, L"PendingFileRenameOperations");
    ::RegCloseKey(key);
}

// Wine starts a Unix program named by its Z: path as any other.

std::string RunResult::logText() const {
    std::string text = "log of the run:\n";
    for (const auto& line : log) text += "  " + line + "\n";
    return text;
}

double RunResult::cpuSecondsBetween(double fromMs, double toMs) const {
    const std::pair<double, double>* first = nullptr;
    const std::pair<double, double>* last = nullptr;
    for (const auto& sample : cpuSamples) {
        if (sample.first < fromMs || sample.first > toMs) continue;
        if (first == nullptr) first = &sample;
        last = &sample;
    }
    return first == nullptr ? -1 : last->second - first->second;
}

Medium::Medium(const std::wstring& name) : Medium(L"C:\\tolvane-e2e\\" + name, 0) {}

Medium::Medium(const std::wstring& root, int) : root_(root) {
    removeTree(root_);
    makeFolders(root_);
    copyInto(buildFolder() + L"\\Tolvane.exe", root_ + L"\\Tolvane.exe");
}

namespace {

void copyTree(const std::wstring& from, const std::wstring& to) {
    WIN32_FIND_DATAW entry;
    HANDLE search = ::FindFirstFileW((from + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return ADD_FAILURE() << "nothing to copy in " << narrow(from);
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            makeFolders(to + L"\\" + name);
            copyTree(from + L"\\" + name, to + L"\\" + name);
        } else {
            copyInto(from + L"\\" + name, to + L"\\" + name);
        }
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
}

}  // namespace

Medium Medium::mastered(const std::wstring& name) {
    Medium medium(name);
    copyTree(buildFolder() + L"\\..\\mastered-cd", medium.root());
    return medium;
}

Medium Medium::masteredOnCdRom() {
    Medium medium = onCdRom();
    copyTree(buildFolder() + L"\\..\\mastered-cd", medium.root());
    medium.makeReadOnly();
    return medium;
}

void Medium::addStandin(const std::wstring& relative) { copyInto(buildFolder() + L"\\standin.exe", *this / relative); }

void Medium::addControl(const std::wstring& build) {
    copyInto(buildFolder() + L"\\testctl_" + build + L".dll", *this / L"data\\Flash.ocx");
}

void Medium::makeReadOnly() {
    for (const wchar_t* file : {L"Tolvane.exe", L"data\\install_flash_player.exe", L"data\\menu.exe", L"data\\Flash.ocx"})
        ::SetFileAttributesW((*this / file).c_str(), FILE_ATTRIBUTE_READONLY);
}

void Medium::layOut() {
    addStandin(L"data\\install_flash_player.exe");
    addStandin(L"data\\menu.exe");
    addControl();
}

std::wstring Machine::controlFolder() { return systemFolder() + L"\\Macromed\\Flash"; }
std::wstring Machine::controlPath() { return controlFolder() + L"\\flash.ocx"; }
std::wstring Machine::controlBackup() { return controlFolder() + L"\\flash.bkp"; }
std::wstring Machine::infFolder() { return windowsFolder() + L"\\ServicePackFiles\\i386"; }
std::wstring Machine::infPath() { return infFolder() + L"\\swflash.inf"; }
std::wstring Machine::infBackup() { return infFolder() + L"\\swflash.bkp"; }
const char* const Machine::infContent = "[Version]\r\nSignature=\"$CHICAGO$\"\r\n; the service pack's copy\r\n";

void Machine::reset() {
    // A record a cut-off run left, and the mark of what a repair put in place.
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tolvane");
    removeTree(systemFolder() + L"\\Macromed");
    removeTree(windowsFolder() + L"\\ServicePackFiles");
    for (const std::wstring& folder : installerFolders()) removeTree(folder);
    makeFolders(controlFolder());
}

std::vector<std::wstring> Machine::installerFolders() {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    const std::wstring temp = windowsFolder() + L"\\Temp\\";
    HANDLE search = ::FindFirstFileW((temp + L"Tolvane.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) found.push_back(temp + entry.cFileName);
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return found;
}

void Machine::installControl() { copyInto(buildFolder() + L"\\testctl_installed.dll", controlPath()); }

void Machine::installInf() {
    makeFolders(infFolder());
    writeFile(infPath(), infContent);
}

std::string Machine::installedControlBytes() { return readFile(buildFolder() + L"\\testctl_installed.dll"); }
std::string Machine::mediumControlBytes() { return readFile(buildFolder() + L"\\testctl_medium.dll"); }

namespace {

// Makes Wine report `version` to Tolvane.exe only; read at each process start.
void setReportedWindowsVersion(const std::wstring& version) {
    HKEY key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\Tolvane.exe", 0, nullptr, 0,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot set the Windows version Wine reports";
        return;
    }
    ::RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                     static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);
}

std::wstring className(HWND window) {
    wchar_t name[256] = {};
    ::GetClassNameW(window, name, 256);
    return name;
}

std::wstring windowText(HWND window) {
    wchar_t text[4096] = {};
    ::GetWindowTextW(window, text, 4096);
    return text;
}

struct Watch {
    std::vector<DWORD> processIds;  // Tolvane.exe's: the first instance, and the elevated repair
    RunResult* result;
    std::set<HWND>* closedBoxes;
};

BOOL CALLBACK watchWindow(HWND window, LPARAM param) {
    auto* watch = reinterpret_cast<Watch*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (std::find(watch->processIds.begin(), watch->processIds.end(), owner) == watch->processIds.end()) return TRUE;
    std::wstring cls = className(window);
    bool visible = ::IsWindowVisible(window) != FALSE;
    if (cls == L"TolvaneMain") {
        watch->result->windowFound = true;
        if (visible) watch->result->windowSeenVisible = true;
    } else if (cls == L"#32770" && visible && watch->closedBoxes->count(window) == 0) {
        watch->closedBoxes->insert(window);
        HWND textControl = ::GetDlgItem(window, 0xFFFF);
        watch->result->boxes.push_back({windowText(window), textControl ? windowText(textControl) : L""});
        HWND ok = ::GetDlgItem(window, IDOK);
        DWORD_PTR ignored;
        if (ok != nullptr) ::SendMessageTimeoutW(ok, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    }
    return TRUE;
}

const std::vector<const wchar_t*> startedPrograms = {
    L"install_flash_player.exe", L"tolvane-setup.exe", L"menu.exe", L"regsvr32.exe", L"my.exe"};

void endStartedPrograms() {
    for (DWORD id : processesNamed(startedPrograms)) {
        HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, id);
        if (process != nullptr) {
            ::TerminateProcess(process, 99);
            ::CloseHandle(process);
        }
    }
}

// Waits until no program that Tolvane may have started is running.
void waitForStartedPrograms(DWORD timeLimitMs) {
    DWORD start = ::GetTickCount();
    while (!processesNamed(startedPrograms).empty()) {
        if (::GetTickCount() - start > timeLimitMs) {
            if (timeLimitMs > 0)
                ADD_FAILURE() << "programs started by Tolvane.exe were still running after " << timeLimitMs << " ms";
            endStartedPrograms();
            return;
        }
        ::Sleep(20);
    }
}

// Under Wine the Windows process times are only rough; the Linux kernel's
// accounting of the same process is exact. Wine shows the Unix root as Z:,
// so /proc is at hand: find the process whose command line names `exe`.
std::wstring linuxStatFileOf(const std::wstring& exe) {
    WIN32_FIND_DATAW entry;
    HANDLE search = ::FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) return std::wstring();
    std::wstring found;
    const std::string wanted = narrow(exe);
    do {
        std::wstring name = entry.cFileName;
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        std::string commandLine = readFile(L"Z:\\proc\\" + name + L"\\cmdline");
        if (commandLine.find(wanted) != std::string::npos) {
            found = L"Z:\\proc\\" + name + L"\\stat";
            break;
        }
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return found;
}

// User and system seconds from a /proc/<pid>/stat file, or -1.
double linuxProcessorSeconds(const std::wstring& statFile) {
    std::string stat = readFile(statFile);
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    return ticks / 100.0;  // USER_HZ
}

double seconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 1e7;
}

}  // namespace

RunResult Medium::run(DWORD timeLimitMs) {
    RunResult result;
    const std::wstring logPath = root_ + L"\\run.log";
    ::DeleteFileW(logPath.c_str());
    ::SetEnvironmentVariableW(L"TOLVANE_TEST_LOG", logPath.c_str());
    for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name.c_str(), value.c_str());
    setReportedWindowsVersion(windowsVersion);

    std::wstring exe = root_ + L"\\Tolvane.exe";
    std::wstring folder = currentFolder.empty() ? root_ : currentFolder;
    if (folder.back() == L':') folder += L'\\';  // a drive root
    // Starts Tolvane.exe; only the process handle is kept.
    auto startTolvane = [&](PROCESS_INFORMATION& started) {
        std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                              &startup, &started)) {
            ADD_FAILURE() << "cannot start " << narrow(exe) << ": error " << ::GetLastError();
            return false;
        }
        ::CloseHandle(started.hThread);
        return true;
    };
    PROCESS_INFORMATION process = {};
    if (!startTolvane(process)) return result;

    std::set<HWND> closedBoxes;
    Watch watch{{process.dwProcessId}, &result, &closedBoxes};
    result.processId = process.dwProcessId;
    DWORD start = ::GetTickCount();
    std::wstring statFile;
    PROCESS_INFORMATION second = {};
    for (;;) {
        if (secondStartAfterMs != 0 && second.hProcess == nullptr && ::GetTickCount() - start >= secondStartAfterMs)
            startTolvane(second);
        watch.processIds = processesNamed({L"Tolvane.exe"});
        ::EnumWindows(watchWindow, reinterpret_cast<LPARAM>(&watch));
        if (statFile.empty()) statFile = linuxStatFileOf(exe);
        double used = statFile.empty() ? -1 : linuxProcessorSeconds(statFile);
        FILETIME created, exited, kernel, user;
        if (used < 0 && ::GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user))
            used = seconds(kernel) + seconds(user);
        if (used >= 0) result.cpuSamples.emplace_back(clockMilliseconds(), used);
        if (::WaitForSingleObject(process.hProcess, 2) == WAIT_OBJECT_0) {
            result.ended = true;
            break;
        }
        if (!actWhenLogged.empty() && readFile(logPath).find(" " + actWhenLogged) != std::string::npos) {
            act();
            actWhenLogged.clear();
        }
        if (!cutOffWhenLogged.empty() && readFile(logPath).find(" " + cutOffWhenLogged) != std::string::npos) {
            for (DWORD id : processesNamed({L"Tolvane.exe"})) {
                HANDLE instance = ::OpenProcess(PROCESS_TERMINATE, FALSE, id);
                if (instance != nullptr) ::TerminateProcess(instance, 99), ::CloseHandle(instance);
            }
            endStartedPrograms();
            ::WaitForSingleObject(process.hProcess, 5000);
            result.cutOff = true;
            break;
        }
        if (::GetTickCount() - start > timeLimitMs) {
            ::TerminateProcess(process.hProcess, 99);
            ::WaitForSingleObject(process.hProcess, 5000);
            break;
        }
    }
    ::GetExitCodeProcess(process.hProcess, &result.exitCode);
    FILETIME created, exited, kernel, user;
    if (::GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user))
        result.cpuSeconds = seconds(kernel) + seconds(user);
    if (!statFile.empty() && !result.cpuSamples.empty()) result.cpuSeconds = result.cpuSamples.back().second;
    ::CloseHandle(process.hProcess);
    if (second.hProcess != nullptr) {
        ::WaitForSingleObject(second.hProcess, 10000);
        ::GetExitCodeProcess(second.hProcess, &result.secondExitCode);
        ::CloseHandle(second.hProcess);
    }

    waitForStartedPrograms(result.ended ? 30000 : 0);
    for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name.c_str(), nullptr);

    std::string logContent = readFile(logPath);
    std::istringstream lines(logContent == "<missing>" ? std::string() : logContent);
    std::string line;
    while (std::getline(lines, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        result.timedLog.emplace_back(std::atof(line.substr(0, space).c_str()), line.substr(space + 1));
        result.log.push_back(line.substr(space + 1));
    }
    return result;
}

}  // namespace tolvane::testing
