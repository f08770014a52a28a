// /check: whether the machine needs the repair, for a deployment tool's
// detection rule. Reads, and changes nothing.
#pragma once

#include "maintenance/journal.h"

namespace tolvane {

class Detection {
public:
    Detection(RunContext& run, Machine& machine, MediumCheck& medium, Journal& journal)
        : run_(run), platform_(run.platform), machine_(machine), medium_(medium), journal_(journal) {}

    // 0 when the control in place is the one this medium brings, put there
    // by a repair that went through, and no repair was cut off; 1 when it
    // needs it; 1618 while a repair is at work.
    int run();

private:
    RunContext& run_;
    Platform& platform_;
    Machine& machine_;
    MediumCheck& medium_;
    Journal& journal_;
};

}  // namespace tolvane
