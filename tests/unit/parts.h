// The pieces of one run on a fake machine, for the tests of one step.
#pragma once

#include "app/main_window.h"
#include "unit/fake_platform.h"

namespace tolvane::testing {

struct Parts {
    explicit Parts(FakePlatform& fake, const ProgramOptions& options = ProgramOptions())
        : channel(fake, options), run(fake, options, lead, channel), machine(fake), registration(run, machine), medium(run, machine),
          journal(run, machine, registration, medium), repair(run, machine, registration, medium, journal) {}
    ReportLead lead;
    InstanceChannel channel;
    RunContext run;
    Machine machine;
    Registration registration;
    MediumCheck medium;
    Journal journal;
    Repair repair;
};

}  // namespace tolvane::testing
