// From Vista on: the repair in an elevated instance of the program, which
// this one waits for (it hands back its outcome before it tidies up).
#pragma once

#include "maintenance/medium_check.h"

namespace tolvane {

class Elevation {
public:
    Elevation(RunContext& run, MediumCheck& medium) : run_(run), platform_(run.platform), medium_(medium) {}
    ~Elevation() {
        if (elevated_ != nullptr) platform_.CloseHandle(elevated_);
    }
    Elevation(const Elevation&) = delete;
    Elevation& operator=(const Elevation&) = delete;

    // The repair in an elevated instance: its exit code, or ERROR_CANCELLED
    // when the user declined. With `checkMenu`, the menu (which will run
    // with this instance's full token) is checked while the repair runs.
    DWORD run(bool checkMenu, SessionEndListener& listener);
    // After the menu: the elevated instance's last lines, briefly.
    void waitForItsEnd();

private:
    RunContext& run_;
    Platform& platform_;
    MediumCheck& medium_;
    // The elevated instance, while it still tidies up after handing back
    // its outcome.
    HANDLE elevated_ = nullptr;
    bool tidying_ = false;
};

}  // namespace tolvane
