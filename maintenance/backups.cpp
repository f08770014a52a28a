// Moving the installed files aside and putting the medium's control in place.
#include "app/main_window.h"

namespace tolvane {

void frmMain::renameFlashOCX() {}

void frmMain::renameFlashInf() {}

void frmMain::copyFlashOCX() {}

}  // namespace tolvane
