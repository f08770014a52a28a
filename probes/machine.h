// Where the installed control and its setup information file lie, which
// Windows this is, and where the medium is. Nothing is kept between calls.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace tolvane {

class Machine {
public:
    explicit Machine(Platform& platform) : platform_(platform) {}

    std::wstring getPathFlash();
    // swflash.inf of the service pack on Windows XP; empty on other Windows.
    std::wstring getPathInf();
    bool isWindowsXP();
    // Windows Vista or later, where a program asks for administrator rights
    // when it needs them.
    bool isVistaOrLater();
    // For the run's log: the Windows version as the program sees it, and the
    // system and Windows folders, one line each. Never raises for a probe
    // that fails; its line says why instead.
    std::vector<std::wstring> describeMachine();
    std::wstring systemFolder();
    std::wstring windowsFolder();
    // The program's folder followed by `fragment` (which begins with a
    // backslash), with one backslash at a drive root: D:\data\menu.exe.
    std::wstring mediumPath(const wchar_t* fragment);

private:
    using FolderCall = UINT (modMain::*)(LPSTR buffer, UINT size);
    // The folder that `folderCall` writes, e.g. C:\WINDOWS\system32.
    std::wstring folderPrefix(FolderCall folderCall, const wchar_t* folderName);

    Platform& platform_;
};

}  // namespace tolvane
