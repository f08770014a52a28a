#include "platform/text.h"

#include <windows.h>

namespace tolvane {

std::wstring fromAnsi(const char* text, std::size_t length) {
    if (length == 0) return std::wstring();
    int size = ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &wide[0], size);
    return wide;
}

std::vector<char> toAnsi(const std::wstring& text) {
    if (text.empty()) return std::vector<char>();
    int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::vector<char> bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::wstring joined(std::initializer_list<Piece> pieces) {
    std::size_t size = 0;
    for (const Piece& piece : pieces) size += piece.size;
    std::wstring text;
    text.reserve(size);
    for (const Piece& piece : pieces) text.append(piece.text, piece.size);
    return text;
}

std::wstring decimal(unsigned long long value, std::size_t width) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    if (digits.size() < width) digits.insert(0, width - digits.size(), L'0');
    return digits;
}

bool samePath(std::wstring one, std::wstring other) {
    if (one.size() != other.size()) return false;
    if (one.empty()) return true;
    ::CharUpperBuffW(&one[0], static_cast<DWORD>(one.size()));
    ::CharUpperBuffW(&other[0], static_cast<DWORD>(other.size()));
    return one == other;
}

bool inFolder(const std::wstring& path, std::wstring folder) {
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return !folder.empty() && path.size() > folder.size() && path[folder.size()] == L'\\' &&
           samePath(path.substr(0, folder.size()), folder);
}

std::vector<std::wstring> lines(const std::wstring& text) {
    std::vector<std::wstring> found;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find(L'\n', at);
        found.push_back(text.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at));
        at = end == std::wstring::npos ? text.size() : end + 1;
    }
    return found;
}

bool hexNumber(const std::wstring& digits, unsigned long long& value) {
    value = 0;
    for (wchar_t c : digits) {
        const int digit = c >= L'0' && c <= L'9' ? c - L'0' : (c | 0x20) >= L'a' && (c | 0x20) <= L'f' ? (c | 0x20) - L'a' + 10 : -1;
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    return !digits.empty() && digits.size() <= 16;
}

bool decimalNumber(const std::wstring& digits, unsigned long long& value) {
    value = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    return !digits.empty() && digits.size() <= 19;
}

}  // namespace tolvane
