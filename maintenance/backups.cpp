// Moving the installed files aside, putting the medium's control in place,
// and putting the old control back when the run stops half-way.
#include "app/main_window.h"

namespace tolvane {

namespace {

// The path with its last three characters replaced: flash.ocx -> flash.bkp.
std::wstring backupPath(const std::wstring& path) {
    return path.substr(0, path.size() >= 3 ? path.size() - 3 : 0) + L"bkp";
}

}  // namespace

// A backup copied from a CD by an earlier run may be read-only.
void frmMain::deleteBackup(const std::wstring& path) {
    platform_.clearReadOnly(path);
    platform_.deleteFile(path);
}

void frmMain::renameFlashOCX() {
    platform_.note(L"Moving the installed control aside");
    const std::wstring control = getPathFlash();
    const std::wstring backup = backupPath(control);
    if (platform_.fileExists(backup)) deleteBackup(backup);
    if (platform_.fileExists(control)) platform_.renameFile(control, backup);
    else platform_.note(L"  skipped: no control is installed at " + quotedPath(control));
}

// Only on Windows XP. An old backup is replaced, so that a second repair on
// the same machine does not stop here; it is removed only when there is an
// INF file to take its place, never leaving the machine without either.
void frmMain::renameFlashInf() {
    platform_.note(L"Moving the setup information file aside");
    const std::wstring inf = getPathInf();
    if (inf.empty()) return platform_.note(L"  skipped: this is not Windows XP");
    const std::wstring backup = backupPath(inf);
    if (!platform_.fileExists(inf)) return platform_.note(L"  skipped: there is no " + quotedPath(inf));
    if (platform_.fileExists(backup)) deleteBackup(backup);
    platform_.renameFile(inf, backup);
}

// The copy takes the medium's read-only attribute along; left so, the next
// repair or a Flash update could not replace the control.
void frmMain::copyFlashOCX() {
    platform_.note(L"Putting the medium's control in place");
    const std::wstring control = getPathFlash();
    platform_.copyFile(mediumPath(L"\\data\\Flash.ocx"), control);
    platform_.clearReadOnly(control);
}

std::wstring frmMain::putBackInstalledControl() noexcept {
    const wchar_t* const notDone = L"The control that was installed could not be put back and registered again: ";
    try {
        platform_.note(L"Putting the installed control back");
        const std::wstring control = getPathFlash();
        const std::wstring backup = backupPath(control);
        bool putBack = false;
        if (!platform_.fileExists(control)) {
            if (!platform_.fileExists(backup)) return L"There was no control to put back.";
            platform_.renameFile(backup, control);
            putBack = true;
        }
        const std::wstring what =
            putBack ? L"The control that was installed was put back" : L"The control at " + quotedPath(control);
        if (!registerControl()) return what + L"; its registration had not ended after 60 seconds.";
        return what + (putBack ? L" and registered again." : L" was registered again.");
    } catch (const Failure& failure) {
        return notDone + failure.description();
    } catch (...) {
        return notDone + std::wstring(L"out of memory.");
    }
}

}  // namespace tolvane
