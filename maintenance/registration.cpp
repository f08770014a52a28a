// Unregistering and registering the control with the system's registration tool.
#include "app/main_window.h"

namespace tolvane {

void frmMain::uninstallFlashOCX() { runRegistrationTool(L" /u /s"); }

void frmMain::installFlashOCX() { runRegistrationTool(L" /s"); }

// The tool started is always the system folder's regsvr32.exe, never one that
// Windows' search would find first in our own or the current folder; what it
// receives is the usual "regsvr32 "<control>" <switches>". Not waited for.
void frmMain::runRegistrationTool(const wchar_t* switches) {
    const std::wstring control = getPathFlash();
    if (!platform_.fileExists(control)) return;
    const std::wstring commandLine = L"regsvr32 " + quotedPath(control) + switches;
    const std::wstring tool = systemFolder() + L"\\regsvr32.exe";
    platform_.launchProgram(commandLine, minimizedFocus, tool);
}

}  // namespace tolvane
