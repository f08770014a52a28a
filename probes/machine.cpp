// Where the installed control and its setup information file lie, and
// whether this is Windows XP. Nothing is kept between calls.
#include <algorithm>
#include <cstring>

#include "probes/machine.h"
#include "platform/text.h"

namespace tolvane {

namespace {

constexpr UINT folderBufferSize = 255;

// The program's own copy of the version record: the service-pack text as
// 128 wide characters. Converted field by field to and from OSVERSIONINFOA.
struct VersionRecord {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    wchar_t szCSDVersion[128];
};

static_assert(sizeof(OSVERSIONINFOA) == 148, "the 8-bit version record is 148 bytes");

std::wstring trimSpaces(const std::wstring& text) {
    std::wstring::size_type first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// The service-pack text's length: up to its NUL, within the field.
std::size_t servicePackLength(const OSVERSIONINFOA& version) {
    const char* const end = version.szCSDVersion + sizeof version.szCSDVersion;
    return static_cast<std::size_t>(std::find(version.szCSDVersion, end, '\0') - version.szCSDVersion);
}

// A version record for GetVersionExA: zeroed, with its size set.
OSVERSIONINFOA emptyVersionRecord() {
    OSVERSIONINFOA raw;
    std::memset(&raw, 0, sizeof raw);
    raw.dwOSVersionInfoSize = sizeof raw;
    return raw;
}

// A version query that fails is no answer: never "not XP", never "not Vista".
void askVersion(Platform& platform, OSVERSIONINFOA& raw) {
    if (!platform.GetVersionExA(&raw)) throw failureFor("asking Windows for its version", platform.GetLastError());
}

}  // namespace

// The folder comes through the 8-bit call into a buffer of spaces. Only the
// characters the call says it wrote are used. A count larger than the buffer
// is the size the folder needs: ask again with a buffer of that size rather
// than take a piece of a path. A count of 0 means there is no folder to work
// in, and every step after would act relative to wherever we happen to be.
std::wstring Machine::folderPrefix(FolderCall folderCall, const wchar_t* folderName) {
    std::vector<char> buffer(folderBufferSize, ' ');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const UINT size = static_cast<UINT>(buffer.size());
        const UINT count = (platform_.*folderCall)(&buffer[0], size);
        if (count == 0)
            throw failureFor(std::wstring(L"asking Windows for the ") + folderName, platform_.GetLastError());
        if (count < size) return fromAnsi(buffer.data(), count);
        buffer.assign(std::max(count, size + 1), ' ');  // the count is the size the folder needs
    }
    throw Failure(ERROR_INSUFFICIENT_BUFFER,
                  joined({std::wstring(L"asking Windows for the "), folderName, L" failed: its length kept changing"}));
}

std::wstring Machine::mediumPath(const wchar_t* fragment) {
    std::wstring folder = platform_.programFolder();
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder + fragment;
}

std::wstring Machine::systemFolder() { return folderPrefix(&modMain::GetSystemDirectoryA, L"system folder"); }

std::wstring Machine::windowsFolder() { return folderPrefix(&modMain::GetWindowsDirectoryA, L"Windows folder"); }

std::wstring Machine::getPathFlash() { return systemFolder() + L"\\Macromed\\Flash\\flash.ocx"; }

std::wstring Machine::getPathInf() {
    std::wstring prefix = windowsFolder();
    if (!isWindowsXP()) return std::wstring();
    return prefix + L"\\ServicePackFiles\\i386\\swflash.inf";
}

std::vector<std::wstring> Machine::describeMachine() {
    const auto attempt = [](auto probe) -> std::wstring {
        try {
            return probe();
        } catch (const Failure& failure) {
            return L"unknown: " + failure.description();
        }
    };
    const auto windowsVersion = [&] {
        OSVERSIONINFOA raw = emptyVersionRecord();
        askVersion(platform_, raw);
        return joined({decimal(raw.dwMajorVersion), L".", decimal(raw.dwMinorVersion), L".",
                       decimal(raw.dwBuildNumber & 0xFFFF), L", platform ", decimal(raw.dwPlatformId), L", service pack ", quotedPath(fromAnsi(raw.szCSDVersion, servicePackLength(raw))), L", counts as Windows XP: ", (isWindowsXP() ? L"yes" : L"no")});
    };
    std::vector<std::wstring> lines;
    lines.push_back(L"Windows: " + attempt(windowsVersion));
    lines.push_back(L"System folder: " + attempt([&] { return systemFolder(); }));
    lines.push_back(L"Windows folder: " + attempt([&] { return windowsFolder(); }));
    return lines;
}

bool Machine::isVistaOrLater() {
    OSVERSIONINFOA raw = emptyVersionRecord();
    askVersion(platform_, raw);
    return raw.dwPlatformId == 2 && raw.dwMajorVersion >= 6;
}

bool Machine::isWindowsXP() {
    VersionRecord record;
    OSVERSIONINFOA raw;
    std::memset(&record, 0, sizeof record);
    std::memset(&raw, 0, sizeof raw);
    record.dwOSVersionInfoSize = sizeof raw;

    raw.dwOSVersionInfoSize = record.dwOSVersionInfoSize;
    raw.dwMajorVersion = record.dwMajorVersion;
    raw.dwMinorVersion = record.dwMinorVersion;
    raw.dwBuildNumber = record.dwBuildNumber;
    raw.dwPlatformId = record.dwPlatformId;
    const std::vector<char> csd = toAnsi(std::wstring(record.szCSDVersion, 128));
    std::memcpy(raw.szCSDVersion, csd.data(), std::min(csd.size(), sizeof raw.szCSDVersion));

    askVersion(platform_, raw);

    record.dwOSVersionInfoSize = raw.dwOSVersionInfoSize;
    record.dwMajorVersion = raw.dwMajorVersion;
    record.dwMinorVersion = raw.dwMinorVersion;
    record.dwBuildNumber = raw.dwBuildNumber;
    record.dwPlatformId = raw.dwPlatformId;
    std::wstring servicePack = fromAnsi(raw.szCSDVersion, sizeof raw.szCSDVersion);
    servicePack.resize(128, L'\0');  // a double-byte code page gives fewer characters; the rest stay NUL
    std::memcpy(record.szCSDVersion, servicePack.data(), sizeof record.szCSDVersion);

    const bool versionPart =
        record.dwPlatformId == 2 && record.dwMajorVersion == 5 && record.dwMinorVersion == 1;
    // Only spaces are trimmed: the NULs after the platform's text count, so
    // an unfilled field passes and only one of spaces and one other character fails.
    const bool servicePackPart = trimSpaces(std::wstring(record.szCSDVersion, 128)).size() >= 2;
    return versionPart && servicePackPart;
}

}  // namespace tolvane
