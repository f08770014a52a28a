// The recovery of a run that was cut off (a power cut, Task Manager): before
// anything else, what its record says it moved goes back, or, after a repair
// that went through, what it left behind goes.
#pragma once

#include "maintenance/journal.h"

namespace tolvane {

class Recovery {
public:
    Recovery(RunContext& run, Journal& journal) : run_(run), platform_(run.platform), journal_(journal) {}

    // Completes a run that was cut off, from its record; raises when that
    // cannot be done.
    void run();

private:
    RunContext& run_;
    Platform& platform_;
    Journal& journal_;
};

}  // namespace tolvane
