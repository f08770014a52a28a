// One line appended to the file named by TOLVANE_TEST_LOG, shared by the
// stand-in programs and the test control. Each line starts with a timestamp
// in milliseconds on the system clock, so lines from different processes can
// be ordered and timed against each other.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace tolvane::testing {

inline double clockMilliseconds() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return static_cast<double>(ticks.QuadPart % 864000000000ULL) / 10000.0;  // within the day
}

inline void appendTestLog(const std::wstring& line) {
    wchar_t logPath[MAX_PATH];
    if (::GetEnvironmentVariableW(L"TOLVANE_TEST_LOG", logPath, MAX_PATH) == 0) return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ", clockMilliseconds());
    std::string bytes = stamp;
    int size = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &text[0], size, nullptr, nullptr);
    bytes += text + "\n";
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = ::CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            ::CloseHandle(file);
            return;
        }
        ::Sleep(5);  // another process is appending
    }
}

}  // namespace tolvane::testing
