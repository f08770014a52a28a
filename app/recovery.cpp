// The recovery of a run that was cut off.
#include "app/recovery.h"

#include <utility>

#include "platform/text.h"

namespace tolvane {

// Before anything else: a record left on the disk means that an earlier
// run was cut off half-way (a power cut, Task Manager). Its user's control
// goes back as after a failure, and only then does this run begin. A run
// cut off after its repair went through leaves only its own files to tidy.
void Recovery::run() {
    platform_.note("Looking for the record of an earlier repair that was cut off");
    std::wstring text;
    RepairRecord record;
    try {
        if (!run_.records.readRecord(text)) return;
        record = RepairRecord::parse(text);
        journal_.checkRecordNames(record);
    } catch (const Failure&) {
        // What a run cut off left aside cannot be told: nobody is told it works as before.
        run_.leadWith(IDS_MAY_NOT_WORK);
        throw;
    }
    journal_.takeOver(std::move(record));
    run_.leadWith(IDS_MAY_NOT_WORK);  // until what the cut-off run moved is back
    // What cannot be read now is left for a later run: it never stops this one.
    if (journal_.state().finished) {
        run_.leadWith(IDS_UNCHANGED);
        journal_.tidyAfterRepair();
        if (!journal_.inDoubt()) journal_.closeRecord();
        return platform_.note("An earlier run had finished its repair; what it left behind was tidied up");
    }
    const std::wstring cutOff = L"An earlier run was cut off while " + journal_.state().step;
    const bool usersControl = !journal_.state().usersControl().empty();
    const PutBack outcome = journal_.putBackInstalledControl();
    run_.puttingBack = false;
    if (journal_.recordOpen() || journal_.inDoubt())
        throw Failure(ERROR_CAN_NOT_COMPLETE,
                      joined({cutOff, L", and what it had moved aside could not be put back.\r\n", outcome.line}));
    platform_.note(cutOff + (usersControl ? L"; the control it had moved aside was put back. "
                                          : L"; the machine had no control of its own. ") + outcome.line);
    // What a report of this run says of the machine from here on.
    run_.leadWith(outcome.moved ? IDS_PUT_BACK : IDS_UNCHANGED);
}

}  // namespace tolvane
