// The Windows side: the real Platform, split by concern into the
// win32_*.cpp files beside this one (the window, processes, files,
// security, the registry); here, what they share.
#include "platform/win32_platform.h"

#include <vector>

#include "platform/text.h"
#include "platform/win32_shared.h"

namespace tolvane {

Win32Platform::~Win32Platform() {
    if (window_ != nullptr) ::DestroyWindow(window_);
}

UINT Win32Platform::GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return ::GetSystemDirectoryA(buffer, size);
}

UINT Win32Platform::GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return ::GetWindowsDirectoryA(buffer, size);
}

BOOL Win32Platform::GetVersionExA(OSVERSIONINFOA* info) { return ::GetVersionExA(info); }

DWORD Win32Platform::tickCount() { return ::GetTickCount(); }

std::wstring Win32Platform::localDateTime() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return joined({decimal(now.wYear, 4), L"-", decimal(now.wMonth, 2), L"-", decimal(now.wDay, 2), L" ",
                   decimal(now.wHour, 2), L":", decimal(now.wMinute, 2), L":", decimal(now.wSecond, 2)});
}

// A DLL from the system folder, loaded by its full path: never one that
// lies beside the program or in the current folder. Null when it cannot be.
HMODULE systemLibrary(const wchar_t* name) {
    wchar_t system[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    return ::LoadLibraryW((joined({std::wstring(system, length), L"\\", name})).c_str());
}

// The long form of a path (no 8.3 names), or the path itself.
std::wstring longForm(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return path;
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length);
    }
}

// The running executable's file.
std::wstring ownFile() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) raiseLastError("finding the program's own file");
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

// What GetFileInformationByHandle tells of the file or folder at `path`,
// opened as it is: a link is not followed.
BY_HANDLE_FILE_INFORMATION fileInformation(const std::wstring& path, DWORD flags) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        flags, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!file || !::GetFileInformationByHandle(file.get(), &information))
        raiseLastError(L"reading what stands at " + quotedPath(path));
    return information;
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other) {
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
           one.nFileIndexLow == other.nFileIndexLow;
}

std::wstring hex(const unsigned char* bytes, std::size_t count) {
    std::wstring text;
    for (std::size_t i = 0; i < count; ++i) {
        text += L"0123456789abcdef"[bytes[i] >> 4];
        text += L"0123456789abcdef"[bytes[i] & 15];
    }
    return text;
}

}  // namespace tolvane
