// /check: whether the machine needs the repair.
#include "app/detection.h"

#include "platform/text.h"

namespace tolvane {

// For a detection rule: reads, and changes nothing. A record that the
// lock's holder keeps is a repair at work; one nobody holds was left by a
// run that was cut off. Without administrator rights the lock cannot be
// opened: the record then counts as a repair at work.
int Detection::run() {
    platform_.note("Checking whether this machine needs the repair (/check): nothing is changed");
    const auto needs = [&](const std::wstring& why) {
        platform_.note(L"  it does: " + why);
        return repairNeededExitCode;
    };
    std::wstring text;
    // One that only lists what a finished repair left is no repair at all.
    if (run_.records.readRecord(text) && text.find(L"\nfinished=yes\n") == std::wstring::npos) {
        if (journal_.claimMachineLock()) return needs(L"an earlier repair was cut off");
        platform_.note("  a repair is at work: try again when it is over");
        return anotherRepairExitCode;
    }
    const std::wstring control = machine_.getPathFlash();
    try {
        if (!platform_.fileExists(control)) return needs(L"there is no control at " + quotedPath(control));
    } catch (const Failure& failure) {  // no answer: nothing says the disc's control is there
        return needs(failure.description());
    }
    InstalledMark mark;
    std::wstring sha256;
    try {
        sha256 = platform_.digestFile(control, false).sha256;
        medium_.checkMedium();
    } catch (const Failure& failure) {
        platform_.noteFailure(failure);
    }
    // A mark that cannot be read is no answer: what is on the disk is.
    bool marked = false;
    try {
        marked = run_.records.readMark(mark) && mark.sha256 == sha256;
    } catch (const Failure& failure) {
        platform_.note(joined({L"  ", failure.description(), widened(": the control on the disk decides")}));
        marked = !medium_.controlSha256.empty();
    }
    if (!marked || sha256.empty())
        return needs(joined({L"no repair of this program put the control at ", quotedPath(control), L" in place"}));
    if (!medium_.controlSha256.empty() && sha256 != medium_.controlSha256)
        return needs(L"the control in place is not the one this medium brings");
    platform_.note("  it does not: the control this medium brings is in place, put there by a repair that went through");
    return 0;
}

}  // namespace tolvane
