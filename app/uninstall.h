// /restore, the uninstall command: the machine as it was before the disc,
// with the same lock, record and put-back as the repair.
#pragma once

#include "maintenance/journal.h"

namespace tolvane {

class Uninstall {
public:
    Uninstall(RunContext& run, Machine& machine, Registration& registration, Journal& journal)
        : run_(run), platform_(run.platform), machine_(machine), registration_(registration), journal_(journal) {}

    // The user's own control back from the backup and registered (on XP
    // swflash.inf too), this program's discarded, its mark cleared, with the
    // machine's lock held and an earlier run's record dealt with. Its exit
    // code: 0, 3010, 1605 without a backup; 1603 raised.
    int run();

private:
    RunContext& run_;
    Platform& platform_;
    Machine& machine_;
    Registration& registration_;
    Journal& journal_;
};

}  // namespace tolvane
