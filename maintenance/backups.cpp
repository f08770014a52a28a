// Moving the installed files aside, putting the medium's control in place,
// and putting the old control back when the run stops half-way.
#include "app/main_window.h"
#include "platform/text.h"

namespace tolvane {

namespace {

// The path with its last three characters replaced: flash.ocx -> flash.bkp.
std::wstring backupPath(const std::wstring& path) {
    return path.substr(0, path.size() >= 3 ? path.size() - 3 : 0) + L"bkp";
}

// What deleting or overwriting a file gives while another program has it
// loaded (a browser showing a page with the control, the medium's menu).
bool inUse(const Failure& failure) {
    return failure.number() == ERROR_ACCESS_DENIED || failure.number() == ERROR_SHARING_VIOLATION;
}

// Names tried beside a file in use: flash.bkp -> flash.bkp.1.old, ...
constexpr int asideNamesTried = 99;

}  // namespace

// A backup copied from a CD by an earlier run may be read-only.
void frmMain::removeOwnFile(const std::wstring& path) {
    platform_.clearReadOnly(path);
    try {
        platform_.deleteFile(path);
    } catch (const Failure& failure) {
        if (!inUse(failure) || !moveAside(path)) throw;
    }
}

// Only the renamed file is scheduled, never the path the run goes on using.
// Without the rights to schedule it, it stays beside the control.
bool frmMain::moveAside(const std::wstring& path) {
    platform_.note(L"  " + quotedPath(path) + L" is in use by another program: moving it aside");
    std::wstring aside;
    for (int n = 1;; ++n) {
        if (n > asideNamesTried) return false;
        aside = path + L"." + decimal(static_cast<unsigned>(n)) + L".old";
        if (platform_.fileExists(aside)) continue;
        try {
            platform_.renameFile(path, aside);
            break;
        } catch (const Failure& failure) {
            if (failure.number() != ERROR_ALREADY_EXISTS && failure.number() != ERROR_FILE_EXISTS) return false;
        }
    }
    try {
        platform_.deleteAtRestart(aside);
    } catch (const Failure&) {
        platform_.note(L"  " + quotedPath(aside) + L" stays where it is until it is deleted by hand");
    }
    return true;
}

// An old backup goes only when there is a control to take its place: after
// a run that was cut off between the backup and the copy, it is the only
// copy of the user's control.
void frmMain::renameFlashOCX() {
    platform_.note(L"Moving the installed control aside");
    const std::wstring control = getPathFlash();
    const std::wstring backup = backupPath(control);
    const bool installed = platform_.fileExists(control);
    if (platform_.fileExists(backup)) {
        if (installed) removeOwnFile(backup);
        else platform_.note(L"  kept: " + quotedPath(backup) + L" is the only copy of the control that was installed");
    }
    if (installed) platform_.renameFile(control, backup);
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
    if (platform_.fileExists(backup)) removeOwnFile(backup);
    platform_.renameFile(inf, backup);
}

// The copy takes the medium's read-only attribute along; left so, the next
// repair or a Flash update could not replace the control. What the
// installer put in place may be read-only, or loaded by a program it
// started (a browser on its "installed" page): it is removed, or moved
// aside, and the copy tried once more. Anything else fails as it is.
void frmMain::copyFlashOCX() {
    platform_.note(L"Putting the medium's control in place");
    const std::wstring control = getPathFlash();
    const std::wstring source = mediumPath(L"\\data\\Flash.ocx");
    try {
        platform_.copyFile(source, control);
    } catch (const Failure& failure) {
        if (!inUse(failure) || !platform_.fileExists(control)) throw;
        try {
            removeOwnFile(control);
        } catch (const Failure&) {
            throw failure;
        }
        platform_.copyFile(source, control);
    }
    platform_.clearReadOnly(control);
}

std::wstring frmMain::putBackInstalledControl(bool mediumCopyInPlace) noexcept {
    const wchar_t* const notDone = L"The control that was installed could not be put back and registered again: ";
    try {
        platform_.note(L"Putting the installed control back");
        const std::wstring control = getPathFlash();
        const std::wstring backup = backupPath(control);
        if (mediumCopyInPlace && platform_.fileExists(control)) removeOwnFile(control);
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
