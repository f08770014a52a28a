// Conversions between the program's wide text and the system's 8-bit code page.
#pragma once

#include <string>

namespace tolvane {

std::wstring fromAnsi(const char* text, std::size_t length);
std::string toAnsi(const std::wstring& text);

// A number in decimal digits, left-padded with zeros to at least `width`:
// decimal(7, 2) is "07". Plain digit arithmetic, so the C runtime's formatted
// output (tens of kilobytes) stays out of the program.
std::wstring decimal(unsigned long long value, std::size_t width = 1);

}  // namespace tolvane
