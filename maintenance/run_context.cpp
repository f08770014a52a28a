// What every part of one run shares (see run_context.h).
#include "maintenance/run_context.h"

namespace tolvane {

DWORD RunContext::waitFor(HANDLE process, DWORD milliseconds) {
    waitingFor = process;
    const DWORD waited = platform.WaitForSingleObject(process, milliseconds);
    waitingFor = nullptr;
    return waited;
}

void RunContext::report(const std::wstring& text, int style, const std::wstring& title) {
    tolvane::report(platform, quiet, text, style, title);
}

void RunContext::leadWith(unsigned meaning, unsigned todo, const std::wstring& todoArgument) {
    lead.meaning = meaning;
    lead.todo = todo;
    lead.todoArgument = todoArgument;
}

// Programs that have the control loaded keep it until they, or the
// machine, restart: the repair takes effect for them only then.
void RunContext::noteLoaded(const std::wstring& control) {
    if (platform.isLoaded(control)) restartNeeded = true;
}

SessionEndGuard controlOutOfPlace(RunContext& run, SessionEndListener& listener, bool holdUp) {
    return SessionEndGuard(run.platform, listener, holdUp ? run.text(IDS_SESSION_END_REASON) : std::wstring(),
                           holdUp ? "Until the control is registered, the end of the session is held up with a reason"
                                  : "Until the control is registered, an ending session has the control put back first");
}

}  // namespace tolvane
