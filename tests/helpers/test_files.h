// Files and folders for the tests that work on a real (Wine) file system.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tolvane::testing {

void writeFile(const std::wstring& path, const std::string& content);
std::string readFile(const std::wstring& path);  // "<missing>" when it cannot be read
bool isFile(const std::wstring& path);
// The names of the files in a folder, in the order Windows lists them.
std::vector<std::wstring> filesIn(const std::wstring& folder);
void makeFolders(const std::wstring& path);
// Removes a file, or a folder with all it holds, read-only and hidden entries too;
// of a drive ("D:"), all it holds.
void removeTree(const std::wstring& path);
std::string narrow(const std::wstring& text);  // UTF-8, for test messages
// A file in the folder of the running test program, where the build puts
// the stand-ins and test controls.
std::wstring besideThisProgram(const std::wstring& name);
// A Unix symbolic link at `link` to `target` (both Windows paths), as a
// program outside Wine could plant it; under Wine it stands for a junction.
bool makeUnixSymlink(const std::wstring& target, const std::wstring& link);
// Removes such a link itself, never what it leads to.
void removeUnixLink(const std::wstring& link);

}  // namespace tolvane::testing
