// /restore: the machine as it was before the disc.
#include "app/uninstall.h"

#include "platform/text.h"

namespace tolvane {

// The uninstall command: the same lock, record and put-back as the repair.
int Uninstall::run() {
    const std::wstring control = machine_.getPathFlash(), backup = backupPath(control), inf = machine_.getPathInf();
    InstalledMark mark;
    bool marked = true, markRead = false;  // a mark that cannot be read may be there
    try {
        marked = run_.records.readMark(mark);
        markRead = true;
    } catch (const Failure& failure) {
        platform_.noteFailure(failure);
    }
    const bool there = platform_.fileExists(control), ours = there && journal_.readsAsDiscs(control);
    if (!marked && !ours) {
        platform_.note("  nothing of the disc's is here: nothing to take away");
        return nothingToRestoreExitCode;
    }
    // A control installed since (by the user, by another installer) is no
    // more this program's to discard than the backup is: it stays, and is
    // registered again (a /restore cut off while registering it may have
    // left it unregistered); only the mark goes.
    if (there && !ours) {
        platform_.note(joined({L"  ", quotedPath(control), L" was not put there by this program: it stays",
                               platform_.fileExists(backup) ? L", and so does " + quotedPath(backup) : std::wstring()}));
        if (!registration_.registerControl()) platform_.note("  its registration had not ended in time");
    } else {
        // The disc's control goes, and what the machine had before comes
        // back: the user's control from its backup, or none. Written ahead,
        // before the unregistration: a run cut off at any instant is
        // finished by the next, and nothing goes before what replaces it
        // stands in its place.
        // The mark goes at the end; before, only where it would name the user's control.
        journal_.beginRestore(platform_.fileExists(backup) ? backup : std::wstring(), there, markRead ? &mark : nullptr,
                              !inf.empty() && !platform_.fileExists(inf) && platform_.fileExists(backupPath(inf)) ? inf
                                                                                                        : std::wstring());
        if (there) {
            run_.noteLoaded(control);
            registration_.uninstallFlashOCX();
        }
        const PutBack outcome = journal_.putBackInstalledControl();
        run_.puttingBack = false;
        if (journal_.recordOpen() || !outcome.finished) {
            // Where the disc's control is back in its place, the machine is
            // as it was once that is registered again.
            bool asBefore = false;
            try {
                asBefore = !outcome.moved && there && journal_.discsControl(control) && registration_.registerControl();
            } catch (const Failure&) {
                platform_.noteDropped("the control in place is not known to work as before");
            }
            run_.leadWith(asBefore ? IDS_UNCHANGED : IDS_MAY_NOT_WORK);
            if (asBefore) {  // nothing is left for a later run to finish
                try {
                    journal_.closeRecord();
                } catch (const Failure&) {
                    platform_.noteDropped("the record stays");
                }
            }
            throw Failure(failedExitCode, joined({L"putting the control from before the disc back failed.\r\n", outcome.line,
                                                  (asBefore ? L" The disc's control is registered again." : L"")}));
        }
        platform_.note(outcome.line);
    }
    try {
        run_.records.writeMark(InstalledMark());
        platform_.note("  the mark of what this program installed is removed");
    } catch (const Failure& failure) {
        platform_.noteFailure(failure);
    }
    return run_.restartNeeded ? restartNeededExitCode : 0;
}

}  // namespace tolvane
