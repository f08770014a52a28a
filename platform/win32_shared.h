// What the files of the Windows side share (win32_platform.cpp has them):
// only they include this.
#pragma once

#include <cstddef>
#include <string>

#include "platform/mod_main.h"

namespace tolvane {

// A DLL from the system folder, loaded by its full path: never one that
// lies beside the program or in the current folder. Null when it cannot be.
HMODULE systemLibrary(const wchar_t* name);
// The long form of a path (no 8.3 names), or the path itself.
std::wstring longForm(const std::wstring& path);
// The running executable's file.
std::wstring ownFile();
// What GetFileInformationByHandle tells of the file or folder at `path`,
// opened as it is: a link is not followed.
BY_HANDLE_FILE_INFORMATION fileInformation(const std::wstring& path, DWORD flags);
// The same volume and file index.
bool sameFile(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other);
// The bytes as lower-case hexadecimal digits.
std::wstring hex(const unsigned char* bytes, std::size_t count);

}  // namespace tolvane
