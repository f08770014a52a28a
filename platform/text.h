// Conversions between the program's wide text and the system's 8-bit code
// page. The 8-bit side is a plain character array: the program keeps no
// 8-bit strings, and so does without the library's 8-bit string code.
#pragma once

#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

namespace tolvane {

std::wstring fromAnsi(const char* text, std::size_t length);
std::vector<char> toAnsi(const std::wstring& text);

// A number in decimal digits, left-padded with zeros to at least `width`:
// decimal(7, 2) is "07". Plain digit arithmetic, so the C runtime's formatted
// output (tens of kilobytes) stays out of the program.
std::wstring decimal(unsigned long long value, std::size_t width = 1);

// The number 1 to 16 hexadecimal digits make, digits alone; false for
// anything else.
bool hexNumber(const std::wstring& digits, unsigned long long& value);
// The same for 1 to 19 decimal digits.
bool decimalNumber(const std::wstring& digits, unsigned long long& value);

// One piece of a text that joined puts together: a literal or a string.
struct Piece {
    template <std::size_t N>
    Piece(const wchar_t (&literal)[N]) : text(literal), size(N - 1) {}
    Piece(const std::wstring& string) : text(string.data()), size(string.size()) {}
    // Any other pointer, such as one of two literals a condition chooses.
    template <typename Pointer, typename = std::enable_if_t<std::is_same_v<Pointer, const wchar_t*>>>
    Piece(Pointer pointer) : text(pointer), size(std::char_traits<wchar_t>::length(pointer)) {}
    const wchar_t* text;
    std::size_t size;
};
// The pieces one after the other, made in one go: a chain of + makes a
// string at each step, and the code to undo each.
std::wstring joined(std::initializer_list<Piece> pieces);

// The lines of a text, each without its line feed; a line feed at the end
// ends the last line, it does not begin another.
std::vector<std::wstring> lines(const std::wstring& text);

// True when the two paths are the same text compared as Windows compares
// file names: one character's upper case at a time, in every script,
// whatever the user's locale.
bool samePath(std::wstring one, std::wstring other);

// True when `path` lies in `folder` or below, compared as above.
bool inFolder(const std::wstring& path, std::wstring folder);

}  // namespace tolvane
