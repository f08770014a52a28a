// frmMain: the program's one window object. It is never shown; its load
// handling runs the repair sequence and ends the program.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tolvane {

class frmMain {
public:
    explicit frmMain(Platform& platform) : platform_(platform) {}

    // The load handling: the eight steps in order, then the end of the program.
    // A failure in a step leaves at once; the steps after it do not run.
    void Form_Load();

    void hideMe();
    void uninstallFlashOCX();
    void renameFlashOCX();
    void renameFlashInf();
    void executeFlashSetup();
    void copyFlashOCX();
    void installFlashOCX();
    void executeChecker();
    std::wstring getPathFlash();
    std::wstring getPathInf();
    bool isWindowsXP();

private:
    void runTaskAndWait(std::wstring path, int windowStyle);

    using FolderCall = UINT (modMain::*)(LPSTR buffer, UINT size);
    // The folder that `folderCall` writes, e.g. C:\WINDOWS\system32.
    std::wstring folderPrefix(FolderCall folderCall, const wchar_t* folderName);
    std::wstring systemFolder();
    // Starts the system's registration tool on the installed control, if there is one.
    void runRegistrationTool(const wchar_t* switches);

    Platform& platform_;
};

// Creates the main window and runs its load handling. An unhandled failure is
// reported in a box titled "Tolvane" and gives exit code 1; otherwise 0.
int runProgram(Platform& platform);

}  // namespace tolvane
