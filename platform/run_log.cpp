#include "platform/run_log.h"

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

}  // namespace

RunLog::RunLog() noexcept : start_(::GetTickCount()) {}

DWORD RunLog::elapsedMs() const noexcept { return ::GetTickCount() - start_; }

void RunLog::add(const std::wstring& text) noexcept {
    try {
        if (state_ == writing)
            write(stamped(elapsedMs(), text));
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
void RunLog::begin(const std::vector<std::wstring>& header) noexcept {
    if (state_ != waitingForOwner) return;
    const LastErrorKept keep;
    std::wstring ownName, renameFailure;
    try {
        const std::wstring folder = temporaryFolder();
        for (unsigned n = 1; !file_ && n <= 100 && !folder.empty(); ++n) {
            ownName = folder + L"Tolvane-" + decimal(::GetCurrentProcessId()) + L"-" + decimal(n) + L".log";
            file_.reset(::CreateFileW(ownName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file_ && ::GetLastError() != ERROR_FILE_EXISTS) break;
        }
        if (file_ && !::MoveFileExW(ownName.c_str(), (folder + logName).c_str(), MOVEFILE_REPLACE_EXISTING))
            renameFailure = L"This log could not be named " + quotedPath(folder + logName) + L" and stays " +
                            quotedPath(ownName) + L": " + systemMessage(::GetLastError());
    } catch (...) {
    }
    state_ = file_ ? writing : silent;
    if (state_ == writing) {
        write(byteOrderMark);
        for (const std::wstring& line : header) write(line);
        if (!renameFailure.empty()) write(renameFailure);
        for (const std::wstring& line : kept_) write(line);
    }
    kept_.clear();
}

// The line goes only into a plain Tolvane.log: not a reparse point (a
// symbolic link or junction) and not a file with other names (a hard link).
void RunLog::addToOtherRun(const std::wstring& text) noexcept {
    if (state_ != waitingForOwner) return;
    kept_.clear();
    state_ = silent;
    const LastErrorKept keep;
    try {
        const std::wstring folder = temporaryFolder();
        if (folder.empty()) return;
        file_.reset(::CreateFileW((folder + logName).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION information;
        if (file_ && ::GetFileInformationByHandle(file_.get(), &information) &&
            (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && information.nNumberOfLinks == 1)
            write(localDateTime() + L"  " + text);
    } catch (...) {
    }
    file_.reset();
}

// The user's temporary folder with its trailing backslash, or nothing.
// With its trailing backslash; empty where Windows cannot give it.
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
        written = ::WriteFile(file_.get(), ended.data(), static_cast<DWORD>(ended.size() * sizeof(wchar_t)), &count,
                              &atTheEnd) != FALSE;
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
        return decimal(HIWORD(high)) + L"." + decimal(LOWORD(high)) + L"." + decimal(HIWORD(low)) + L"." +
               decimal(LOWORD(low));
    }
    return L"unknown";
}

std::wstring RunLog::localDateTime() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return decimal(now.wYear, 4) + L"-" + decimal(now.wMonth, 2) + L"-" + decimal(now.wDay, 2) + L" " +
           decimal(now.wHour, 2) + L":" + decimal(now.wMinute, 2) + L":" + decimal(now.wSecond, 2);
}

}  // namespace tolvane
