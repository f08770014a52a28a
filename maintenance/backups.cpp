// Moving the installed files aside and putting the medium's control in place.
#include "app/main_window.h"

namespace tolvane {

namespace {

// The path with its last three characters replaced: flash.ocx -> flash.bkp.
std::wstring backupPath(const std::wstring& path) {
    return path.substr(0, path.size() >= 3 ? path.size() - 3 : 0) + L"bkp";
}

}  // namespace

void frmMain::renameFlashOCX() {
    const std::wstring control = getPathFlash();
    const std::wstring backup = backupPath(control);
    if (platform_.fileExists(backup)) platform_.deleteFile(backup);
    if (platform_.fileExists(control)) platform_.renameFile(control, backup);
}

// Only on Windows XP. An old backup is replaced, so that a second repair on
// the same machine does not stop here; it is removed only when there is an
// INF file to take its place, never leaving the machine without either.
void frmMain::renameFlashInf() {
    const std::wstring inf = getPathInf();
    if (inf.empty()) return;
    const std::wstring backup = backupPath(inf);
    if (!platform_.fileExists(inf)) return;
    if (platform_.fileExists(backup)) platform_.deleteFile(backup);
    platform_.renameFile(inf, backup);
}

void frmMain::copyFlashOCX() {
    const std::wstring control = getPathFlash();
    platform_.copyFile(platform_.programFolder() + L"\\data\\Flash.ocx", control);
}

}  // namespace tolvane
