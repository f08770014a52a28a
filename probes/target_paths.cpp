// Where the installed control and its setup information file lie, and
// whether this is Windows XP.
#include "app/main_window.h"

namespace tolvane {

std::wstring frmMain::getPathFlash() { return std::wstring(); }

std::wstring frmMain::getPathInf() { return std::wstring(); }

bool frmMain::isWindowsXP() { return false; }

}  // namespace tolvane
