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
// loaded (a browser showing a page with the control, the medium's menu), or
// mapped as data (a version reader, a browser's plug-in scanner).
bool inUse(const Failure& failure) {
    return failure.number() == ERROR_ACCESS_DENIED || failure.number() == ERROR_SHARING_VIOLATION ||
           failure.number() == ERROR_USER_MAPPED_FILE;
}

// Names tried beside a file: flash.bkp -> flash.bkp.1.old, ...
constexpr int asideNamesTried = 99;

constexpr wchar_t notPutBack[] = L"The control that was installed could not be put back and registered again: ";

}  // namespace

// A backup copied from a CD by an earlier run may be read-only. Deleting a
// file that another program holds or maps either fails, or succeeds while
// its name stays until that program lets go (Windows before 10, FAT):
// renamed first, the name is free at once either way.
void frmMain::removeOwnFile(const std::wstring& path) {
    platform_.clearReadOnly(path);
    discard(renameAside(path));
}

std::wstring frmMain::renameAside(const std::wstring& path) {
    for (int n = 1;; ++n) {
        const std::wstring aside = path + L"." + decimal(static_cast<unsigned>(n)) + L".old";
        if (platform_.fileExists(aside)) continue;
        try {
            platform_.renameFile(path, aside);
            return aside;
        } catch (const Failure& failure) {
            const bool taken = failure.number() == ERROR_ALREADY_EXISTS || failure.number() == ERROR_FILE_EXISTS;
            if (!taken || n >= asideNamesTried) throw;
        }
    }
}

// Only the renamed file is scheduled, never the path the run goes on using.
// Without the rights to schedule it, it stays beside the control.
void frmMain::discard(const std::wstring& aside) noexcept {
    try {
        platform_.deleteFile(aside);
        return;
    } catch (const Failure& failure) {
        if (!inUse(failure)) return platform_.note(L"  " + quotedPath(aside) + L" stays: " + failure.description());
    } catch (...) {
        return;
    }
    try {
        platform_.note(L"  " + quotedPath(aside) + L" is in use by another program");
        platform_.deleteAtRestart(aside);
    } catch (const Failure&) {
        platform_.note(L"  " + quotedPath(aside) + L" stays where it is until it is deleted by hand");
    } catch (...) {
    }
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
        if (installed) {
            removeOwnFile(backup);
        } else {
            platform_.note(L"  kept: " + quotedPath(backup) + L" is the only copy of the control that was installed");
            backupIsUsers_ = true;
        }
    }
    if (!installed) return platform_.note(L"  skipped: no control is installed at " + quotedPath(control));
    platform_.renameFile(control, backup);
    backupIsUsers_ = true;
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

// What the installer put in place is kept aside until the medium's control
// has been registered: where the machine had no control of its own, it is
// the best one to put back should that fail. A file another program holds
// (a browser on the installer's "installed" page) can be renamed all the
// same. The copy takes the medium's read-only attribute along; left so, the
// next repair or a Flash update could not replace the control.
void frmMain::copyFlashOCX() {
    platform_.note(L"Putting the medium's control in place");
    const std::wstring control = getPathFlash();
    const std::wstring source = mediumPath(L"\\data\\Flash.ocx");
    if (platform_.fileExists(control)) {
        try {
            platform_.clearReadOnly(control);
            replacedControl_ = renameAside(control);
        } catch (const Failure&) {
            platform_.note(L"  what stands at " + quotedPath(control) + L" is copied over");
        }
    }
    platform_.copyFile(source, control);
    mediumCopyInPlace_ = true;
    platform_.clearReadOnly(control);
}

// Nothing that may be the user's control is ever deleted here, and the
// backup is only ever renamed back: when a step fails, the line says where
// the user's control is.
std::wstring frmMain::putBackInstalledControl(DWORD registrationLimitMs) noexcept {
    puttingBack_ = true;
    std::wstring usersControl;
    try {
        platform_.note(L"Putting the installed control back");
        const std::wstring control = getPathFlash();
        const std::wstring backup = backupPath(control);
        const bool fromBackup = backupIsUsers_ && platform_.fileExists(backup);
        std::wstring what = L"The control at " + quotedPath(control);
        bool putBack = false;
        if (fromBackup || !replacedControl_.empty()) {
            // The user's control, else the one the copy replaced, takes the
            // place of whatever stands there now.
            if (fromBackup) usersControl = backup;
            if (platform_.fileExists(control)) removeOwnFile(control);
            platform_.renameFile(fromBackup ? backup : replacedControl_, control);
            if (fromBackup) usersControl = control;
            if (fromBackup && !replacedControl_.empty()) discard(replacedControl_);
            replacedControl_.clear();
            what = fromBackup ? L"The control that was installed" : L"The control the installer put in place";
            putBack = true;
        } else if (const bool there = platform_.fileExists(control); !there || mediumCopyInPlace_) {
            // Nothing, or only the medium's copy that would not register.
            if (there) removeOwnFile(control);
            return L"There was no control to put back.";
        }
        if (!registerControl(registrationLimitMs))
            return what + (putBack ? L" was put back" : L"") + L"; its registration had not ended after " +
                   decimal(registrationLimitMs / 1000) + L" seconds.";
        return what + (putBack ? L" was put back and registered again." : L" was registered again.");
    } catch (const Failure& failure) {
        return notPutBack + failure.description() +
               (usersControl.empty() ? std::wstring() : L" It is at " + quotedPath(usersControl) + L".");
    } catch (...) {
        return notPutBack + std::wstring(L"out of memory.");
    }
}

}  // namespace tolvane
