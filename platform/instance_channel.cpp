#include "platform/instance_channel.h"

#include <cstring>
#include <vector>

#include "platform/text.h"
#include "platform/win32_platform.h"

namespace tolvane {

namespace {

// dwData of each kind of message.
constexpr ULONG_PTR linesKind = 0x546F6C76;          // "Tolv": UTF-16 lines
constexpr ULONG_PTR outcomeKind = 0x546F6C77;        // "Tolw": the exit code, a DWORD
constexpr ULONG_PTR installerRunsKind = 0x546F6C78;  // "Tolx": nothing
constexpr ULONG_PTR anotherStartKind = 0x546F6C79;   // "Toly": nothing, and no key
constexpr std::size_t keySize = sizeof(unsigned long long);

// The main window of an instance of the program next after `after` (null:
// the first), and in `owner` its process.
HWND nextMainWindow(HWND after, DWORD& owner) noexcept {
    const HWND window = ::FindWindowExW(nullptr, after, mainWindowClass, nullptr);
    owner = 0;
    if (window != nullptr) ::GetWindowThreadProcessId(window, &owner);
    return window;
}

void send(HWND to, ULONG_PTR kind, void* data, std::size_t size) noexcept {
    COPYDATASTRUCT message = {kind, static_cast<DWORD>(size), data};
    // Not SMTO_ABORTIFHUNG: a first instance that is waiting answers only
    // now and then, and Windows may take it for hung.
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(to, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&message), SMTO_NORMAL, 5000, &ignored);
}

}  // namespace

void InstanceChannel::expect(const std::wstring& randomHex) noexcept {
    if (!hexNumber(randomHex, key_)) key_ = 0;
}

InstanceChannel::Heard InstanceChannel::receive(const COPYDATASTRUCT& data, std::wstring& lines,
                                                DWORD& outcome) const noexcept {
    if (data.dwData == anotherStartKind) return Heard::anotherStart;
    if (key_ == 0 || data.lpData == nullptr || data.cbData < keySize ||
        std::memcmp(data.lpData, &key_, keySize) != 0)
        return Heard::refused;
    const char* body = static_cast<const char*>(data.lpData) + keySize;
    const std::size_t size = data.cbData - keySize;
    if (data.dwData == installerRunsKind) return Heard::installerRuns;
    if (data.dwData == outcomeKind && size == sizeof outcome) {
        std::memcpy(&outcome, body, sizeof outcome);
        return Heard::outcome;
    }
    if (data.dwData != linesKind) return Heard::refused;
    try {
        lines.assign(reinterpret_cast<const wchar_t*>(body), size / sizeof(wchar_t));
    } catch (...) {
        lines.clear();
    }
    return Heard::lines;
}

// Only to the main window of the process named on the command line.
bool InstanceChannel::hand(ULONG_PTR kind, const void* data, std::size_t size) const noexcept {
    DWORD owner = 0;
    HWND to = nullptr;
    while (peer_ != 0 && (to = nextMainWindow(to, owner)) != nullptr && owner != peer_) {
    }
    if (to == nullptr) return false;
    try {
        std::vector<char> message(keySize + size);
        std::memcpy(message.data(), &key_, keySize);
        if (size != 0) std::memcpy(message.data() + keySize, data, size);
        send(to, kind, message.data(), message.size());
        return true;
    } catch (...) {
        return false;
    }
}

bool InstanceChannel::handLines(const std::wstring& lines) const noexcept {
    return hand(linesKind, lines.data(), lines.size() * sizeof(wchar_t));
}

void InstanceChannel::handInstallerRuns() const noexcept { hand(installerRunsKind, nullptr, 0); }

void InstanceChannel::handOutcome(DWORD exitCode) const noexcept { hand(outcomeKind, &exitCode, sizeof exitCode); }

void InstanceChannel::tellOtherRuns() noexcept {
    DWORD owner = 0;
    for (HWND window = nullptr; (window = nextMainWindow(window, owner)) != nullptr;)
        if (owner != ::GetCurrentProcessId()) send(window, anotherStartKind, nullptr, 0);
}

}  // namespace tolvane
