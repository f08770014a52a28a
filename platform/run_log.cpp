#include "platform/run_log.h"

#include <algorithm>

#include "platform/platform.h"
#include "platform/win32_platform.h"
#include "platform/text.h"

namespace tolvane {

namespace {

constexpr wchar_t logName[] = L"Tolvane.log";
constexpr wchar_t byteOrderMark[] = L"\xFEFF";
constexpr DWORD versionSignature = 0xFEEF04BD;  // VS_FIXEDFILEINFO::dwSignature

// "   1234 ms  " before a line; the lines of a longer text line up after it.
std::wstring stamped(DWORD milliseconds, const std::wstring& text) {
    std::wstring stamp = decimal(milliseconds) + L" ms  ";
    if (stamp.size() < 12) stamp.insert(0, 12 - stamp.size(), L' ');
    std::wstring line = stamp;
    for (wchar_t c : text) {
        if (c == L'\r') continue;
        line += c;
        if (c == L'\n') line.replace(line.size() - 1, 1, L"\r\n" + std::wstring(stamp.size(), L' '));
    }
    return line;
}

// A line as it is handed to the first instance (see LineCarrier).
std::wstring handedLine(const std::wstring& text) { return decimal(::GetTickCount()) + L"\t" + text + L'\0'; }

}  // namespace

RunLog::RunLog() noexcept : start_(::GetTickCount()) {}

RunLog::RunLog(LineCarrier& channel) noexcept
    : state_(handing), channel_(&channel), start_(::GetTickCount()) {}

DWORD RunLog::elapsedMs() const noexcept { return ::GetTickCount() - start_; }

void RunLog::add(const std::wstring& text) noexcept {
    try {
        if (state_ == writing)
            write(stamped(elapsedMs(), text));
        else if (state_ == handing)
            handed_ += handedLine(text);  // handed over only where the run waits (see flush)
        else if (state_ == waitingForOwner)
            kept_.push_back(stamped(elapsedMs(), text));
    } catch (...) {
    }
}

// The log is made under a fresh name of its own and only then given the
// name Tolvane.log. The temporary folder can be written by any program of
// the user, while the run has administrator rights: a Tolvane.log planted
// there as a link to a system file must never be opened. Renaming over the
// name replaces the link itself, never what it points at (deleting it first
// would not do: Wine deletes the target of a Unix symbolic link).
void RunLog::useFile(const std::wstring& path) noexcept {
    try {
        std::vector<wchar_t> full(MAX_PATH);
        wchar_t* name = nullptr;
        DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, full.data(), &name);
        if (length >= MAX_PATH) {
            full.resize(length + 1);
            length = ::GetFullPathNameW(path.c_str(), length + 1, full.data(), &name);
        }
        target_ = length == 0 || name == nullptr ? path : std::wstring(full.data(), length);
        asked_ = true;
    } catch (...) {
    }
}

void RunLog::forDetection(const std::wstring& path) noexcept {
    if (path.empty()) none_ = true;
    else useFile(path), append_ = true;
}

namespace {

// Every folder of `path` that is missing is made (C:\Windows\Logs\Software\x.log).
void makeFoldersOf(const std::wstring& path) {
    for (std::size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1))
        ::CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
}

}  // namespace

bool RunLog::openForAdding() noexcept {
    try {
        makeFoldersOf(target_);
        file_.reset(::CreateFileW(target_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        const bool made = ::GetLastError() != ERROR_ALREADY_EXISTS;
        if (file_ && !isFinalPath(file_.get(), target_)) file_.reset();
        if (!file_) return false;
        LARGE_INTEGER size = {};
        if (made || (::GetFileSizeEx(file_.get(), &size) && size.QuadPart == 0)) write(byteOrderMark);
        path_ = target_;
        return true;
    } catch (...) {
        return false;
    }
}

void RunLog::useSystemLogsFolder() noexcept {
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const std::wstring folder = std::wstring(windows, length) + L"\\Logs";
    // SYSTEM's temporary folder is one every user may write: a log there
    // could be steered by a name planted first. Windows XP has no Logs
    // folder: it is made, for administrators only; without it, no log.
    systemOnly_ = true;
    try {
        Win32Platform::createAdministratorsFolder(folder);
    } catch (...) {
    }
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        target_ = joined({folder, L"\\", logName});
}

void RunLog::begin(const std::vector<std::wstring>& header) noexcept {
    if (state_ != waitingForOwner) return;
    const LastErrorKept keep;
    std::wstring ownName, renameFailure, notKept;
    // Only a file asked for (/log) is a failure when it cannot be made.
    const auto cannotMake = [&](const std::wstring& why) {
        if (asked_) failure_ = joined({L"creating the log ", quotedPath(target_), L" failed", why});
    };
    try {
        if (append_ && !openForAdding()) cannotMake(L": " + systemMessage(::GetLastError()));
        if (!none_ && !append_) {  // detection adds to a file, or writes none, and renames nothing
            const std::size_t slash = target_.rfind(L'\\');
            const std::wstring folder =
                !target_.empty() ? target_.substr(0, slash + 1) : systemOnly_ ? std::wstring() : temporaryFolder();
            if (asked_) makeFoldersOf(target_);  // a deployment toolkit's C:\Windows\Logs\Software
            const std::wstring wanted = target_.empty() ? folder + logName : target_;
            // The log before this one stays beside it, for a run tried again:
            // Tolvane.log -> Tolvane-previous.log.
            std::size_t dot = wanted.rfind(L'.');
            if (dot == std::wstring::npos || dot < wanted.rfind(L'\\')) dot = wanted.size();
            const std::wstring previous = joined({wanted.substr(0, dot), L"-previous", wanted.substr(dot)});
            for (unsigned n = 1; !file_ && n <= 100 && !folder.empty(); ++n) {
                ownName = joined({folder, L"Tolvane-", decimal(::GetCurrentProcessId()), L"-", decimal(n), L".log"});
                file_.reset(::CreateFileW(ownName.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
                if (!file_ && ::GetLastError() != ERROR_FILE_EXISTS) break;
            }
            if (!file_) cannotMake(L": " + systemMessage(::GetLastError()));
            if (file_ && !isFinalPath(file_.get(), ownName)) {
                deleteOwnFile();
                cannotMake(L": its folder leads elsewhere");
            }
            // A link at the log's name is replaced, not kept: renaming it would
            // move what it leads to on some systems (Wine), anywhere.
            const DWORD there = ::GetFileAttributesW(wanted.c_str());
            if (file_ && there != INVALID_FILE_ATTRIBUTES && (there & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                UniqueFileHandle old(::CreateFileW(wanted.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
                if ((there & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && old && isFinalPath(old.get(), wanted)) {
                    old.reset();
                    ::MoveFileExW(wanted.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING);
                } else {
                    notKept = joined({L"The previous log ", quotedPath(wanted),
                                      L" leads elsewhere (a link): it is replaced, not kept"});
                }
            }
            if (file_ && !::MoveFileExW(ownName.c_str(), wanted.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                renameFailure = joined({L"This log could not be named ", quotedPath(wanted), L" and stays ",
                                        quotedPath(ownName), L": ", systemMessage(::GetLastError())});
                cannotMake(L". " + renameFailure);
                if (asked_) deleteOwnFile();  // refused: nothing of ours stays
            }
            if (file_) path_ = renameFailure.empty() ? wanted : ownName;
        }
    } catch (...) {
    }
    state_ = file_ ? writing : silent;
    if (state_ == writing) {
        if (!append_) write(byteOrderMark);
        for (std::size_t i = 0; i < header.size(); ++i) {
            write(header[i]);
            if (i == 0)
                for (const std::wstring& line : Win32Platform::describeRun()) write(line);
        }
        if (!renameFailure.empty()) write(renameFailure);
        if (!notKept.empty()) write(notKept);
        for (const std::wstring& line : kept_) write(line);
    }
    kept_.clear();
}

void RunLog::addAt(DWORD tick, const std::wstring& text) noexcept {
    try {
        if (state_ == writing) write(stamped(tick - start_, text));
    } catch (...) {
    }
}

void RunLog::flush() noexcept {
    if (state_ != handing || handed_.empty()) return;
    // Kept for the next hand-over while the first instance has no window yet.
    if (channel_->handLines(handed_)) handed_.clear();
}

void RunLog::addHanded(const std::wstring& lines) noexcept {
    try {
        for (const wchar_t *at = lines.data(), *end = at + lines.size(); at < end;) {
            const wchar_t* last = std::find(at, end, L'\0');
            const wchar_t* tab = std::find(at, last, L'\t');
            unsigned long long tick = 0;
            decimalNumber(std::wstring(at, tab), tick);
            if (tab < last) addAt(static_cast<DWORD>(tick), std::wstring(tab + 1, last));
            at = last + 1;
        }
    } catch (...) {
    }
}

// The run at work writes its own line once it is told (the channel's
// tellOtherRuns); this run's lines are dropped.
void RunLog::addToOtherRun(const std::wstring& text) noexcept {
    if (state_ != waitingForOwner) return;
    kept_.clear();
    state_ = silent;
    const LastErrorKept keep;
    // A deployment tool reads the file it asked for: the one line goes there too.
    if (asked_ && openForAdding()) {
        write(stamped(elapsedMs(), text));
        file_.reset();
    }
}

namespace {

using GetFinalPathFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// The path Windows reaches the open file or folder by, as a drive or UNC
// path (\\?\C:\x -> C:\x, \\?\UNC\server\share -> \\server\share); empty
// when it cannot be read.
std::wstring finalPathOf(GetFinalPathFn finalPath, HANDLE file) {
    std::vector<wchar_t> buffer(1024);
    const DWORD length = finalPath(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length == 0 || length >= buffer.size()) return std::wstring();
    std::wstring found(buffer.data(), length);
    if (found.compare(0, 4, L"\\\\?\\") == 0) found.erase(0, 4);
    if (found.compare(0, 4, L"UNC\\") == 0) found.replace(0, 3, L"\\");
    return found;
}

}  // namespace

// Where Windows can tell (Vista on), the file must be the one asked for:
// a junction planted on the temporary folder, or on a folder above it,
// would take a program with administrator rights anywhere on the disk. Both
// sides in their long, final forms: a short (8.3) name, and a mapped network
// drive that Windows reaches as \\server\share, are the file asked for.
bool RunLog::isFinalPath(HANDLE file, const std::wstring& path) {
    const auto finalPath = optionalKernelFunction<GetFinalPathFn>("GetFinalPathNameByHandleW");
    if (finalPath == nullptr) return true;
    const std::wstring found = finalPathOf(finalPath, file);
    std::vector<wchar_t> buffer(1024);
    const DWORD length = ::GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (found.empty() || length == 0 || length >= buffer.size()) return false;
    const std::wstring asked(buffer.data(), length);
    // The root, "C:\" or "\\server\share\", is where no link can be planted.
    std::size_t rootEnd = 3;
    if (asked.compare(0, 2, L"\\\\") == 0) {
        rootEnd = asked.find(L'\\', asked.find(L'\\', 2) + 1) + 1;
        if (rootEnd == 0) return false;
    }
    UniqueFileHandle root(::CreateFileW(asked.substr(0, rootEnd).c_str(), 0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring rootFound = root ? finalPathOf(finalPath, root.get()) : std::wstring();
    if (rootFound.empty()) return false;
    if (rootFound.back() != L'\\') rootFound += L'\\';
    return samePath(found, rootFound + asked.substr(rootEnd));
}

// Deleted through the handle, never by a path that could lead elsewhere
// (Vista on, as the check that refuses it).
void RunLog::deleteOwnFile() noexcept {
    using SetInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    const auto setInformation = optionalKernelFunction<SetInformationFn>("SetFileInformationByHandle");
    BOOL remove = TRUE;  // FILE_DISPOSITION_INFO
    if (setInformation != nullptr) setInformation(file_.get(), 4 /* FileDispositionInfo */, &remove, sizeof remove);
    file_.reset();
}

// The user's temporary folder with its trailing backslash; empty where
// Windows cannot give it.
std::wstring RunLog::temporaryFolder() {
    try {
        std::wstring folder = Win32Platform::userTemporaryFolder();
        if (folder.back() != L'\\') folder += L'\\';
        return folder;
    } catch (...) {
        return std::wstring();
    }
}

// Both runs may write to the file at once (see addToOtherRun), so every
// write goes to the end of the file as it is then, not to a position of our
// own: the offset 0xFFFFFFFF:FFFFFFFF asks exactly that of WriteFile.
void RunLog::write(const std::wstring& line) noexcept {
    const LastErrorKept keep;
    bool written = false;
    try {
        const std::wstring ended = line == byteOrderMark ? line : line + L"\r\n";
        OVERLAPPED atTheEnd = {};
        atTheEnd.Offset = atTheEnd.OffsetHigh = 0xFFFFFFFF;
        DWORD count = 0;
        const DWORD size = static_cast<DWORD>(ended.size() * sizeof(wchar_t));
        written = ::WriteFile(file_.get(), ended.data(), size, &count, &atTheEnd) != FALSE && count == size;
    } catch (...) {
    }
    if (!written) {  // a full or vanished disk: the rest of the run goes unlogged
        state_ = silent;
        file_.reset();
    }
}

std::wstring RunLog::fileVersion() {
    HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
    HGLOBAL loaded = found == nullptr ? nullptr : ::LoadResource(nullptr, found);
    const auto* words = static_cast<const DWORD*>(loaded == nullptr ? nullptr : ::LockResource(loaded));
    const DWORD count = found == nullptr ? 0 : ::SizeofResource(nullptr, found) / sizeof(DWORD);
    for (DWORD i = 0; words != nullptr && i + 4 < count; ++i) {
        if (words[i] != versionSignature) continue;
        const DWORD high = words[i + 2], low = words[i + 3];  // dwFileVersionMS, dwFileVersionLS
        return joined({decimal(HIWORD(high)), L".", decimal(LOWORD(high)), L".", decimal(HIWORD(low)), L".",
                       decimal(LOWORD(low))});
    }
    return L"unknown";
}

}  // namespace tolvane
