// From Vista on: the repair in an elevated instance of the program, which
// this one waits for (it hands back its outcome before it tidies up).
#pragma once

#include "maintenance/run_context.h"

namespace tolvane {

class Elevation {
public:
    explicit Elevation(RunContext& run) : run_(run), platform_(run.platform) {}
    ~Elevation() {
        if (elevated_ != nullptr) platform_.CloseHandle(elevated_);
    }
    Elevation(const Elevation&) = delete;
    Elevation& operator=(const Elevation&) = delete;

    // The repair in an elevated instance: its exit code, or ERROR_CANCELLED
    // when the user declined. The run's `meanwhile` is told once it started.
    DWORD run(SessionEndListener& listener);
    // After the menu: the elevated instance's last lines, briefly.
    void waitForItsEnd();

private:
    RunContext& run_;
    Platform& platform_;
    // The elevated instance, while it still tidies up after handing back
    // its outcome.
    HANDLE elevated_ = nullptr;
    bool tidying_ = false;
};

}  // namespace tolvane
