#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"

namespace tolvane {

bool faultBoxShown = true;
LANGID faultBoxLanguage = 0;

std::wstring systemMessage(DWORD code) {
    const DWORD kept = ::GetLastError();  // the caller's, which asking for the message changes
    wchar_t* text = nullptr;
    DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message;
    if (length != 0 && text != nullptr) message.assign(text, length);
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
        message.pop_back();
    if (message.empty()) message = L"error " + decimal(code);
    ::SetLastError(kept);
    return message;
}

// A call that failed without setting an error: "Success" would mislead.
Failure failureFor(const std::wstring& action, DWORD code) {
    return Failure(code == ERROR_SUCCESS ? ERROR_GEN_FAILURE : code,
                   joined({action, L" failed", code == ERROR_SUCCESS ? std::wstring(L", and Windows gave no reason")
                                                                     : L": " + systemMessage(code)}));
}

void raiseLastError(const std::wstring& action) {
    DWORD code = ::GetLastError();
    throw failureFor(action, code);
}

std::wstring widened(const char* text) { return std::wstring(text, text + std::strlen(text)); }

Failure failureFor(const char* action, DWORD code) { return failureFor(widened(action), code); }

void raiseLastError(const char* action) {
    DWORD code = ::GetLastError();
    throw failureFor(widened(action), code);
}

std::wstring quotedPath(const std::wstring& path) { return joined({L"\"", path, L"\""}); }

void Platform::note(const char* line) { note(widened(line)); }

void Platform::noteFailure(const Failure& failure) { note(L"  " + failure.description()); }

void Platform::noteDropped(const char* why) noexcept {
    try {
        try {
            throw;
        } catch (const Failure& failure) {
            note(joined({L"  ", failure.description(), L"; ", widened(why)}));
        } catch (...) {
            note(joined({L"  out of memory; ", widened(why)}));
        }
    } catch (...) {
    }
}

void Platform::noteAbout(const std::wstring& path, const char* what) { note(joined({L"  ", quotedPath(path),
                                                                                    widened(what)})); }

}  // namespace tolvane
