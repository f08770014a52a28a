// Unregistering and registering the control with the system's registration tool.
#include "app/main_window.h"

namespace tolvane {

void frmMain::uninstallFlashOCX() {}

void frmMain::installFlashOCX() {}

}  // namespace tolvane
