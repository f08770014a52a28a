// The program's own texts from the string tables it carries.
#include "platform/platform.h"

namespace tolvane {

// A string table block holds 16 strings, each its length then its
// characters; block n + 1 holds the identifiers 16 n to 16 n + 15.
const wchar_t* findText(HMODULE module, unsigned id, LANGID language) noexcept {
    HRSRC found = ::FindResourceExW(module, MAKEINTRESOURCEW(6) /* RT_STRING */, MAKEINTRESOURCEW(id / 16 + 1), language);
    HGLOBAL loaded = found == nullptr ? nullptr : ::LoadResource(module, found);
    const wchar_t* at = static_cast<const wchar_t*>(loaded == nullptr ? nullptr : ::LockResource(loaded));
    if (at == nullptr) return language == englishTexts ? nullptr : findText(module, id, englishTexts);
    for (unsigned skip = id % 16; skip > 0; --skip) at += 1 + *at;
    return at;
}

std::wstring loadText(HMODULE module, unsigned id, LANGID language) {
    const wchar_t* text = findText(module, id, language);
    return text == nullptr ? std::wstring() : std::wstring(text + 1, *text);
}

std::wstring withArgument(const std::wstring& text, const std::wstring& argument) {
    const std::size_t at = text.find(L"%1");
    return at == std::wstring::npos ? text : text.substr(0, at) + argument + text.substr(at + 2);
}

}  // namespace tolvane
