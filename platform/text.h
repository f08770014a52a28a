// Conversions between the program's wide text and the system's 8-bit code page.
#pragma once

#include <string>

namespace tolvane {

std::wstring fromAnsi(const char* text, std::size_t length);
std::string toAnsi(const std::wstring& text);

}  // namespace tolvane
