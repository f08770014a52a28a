// The fake's programs: what is started, waited for and ended.
#include "unit/fake_platform.h"

#include <utility>

#include "app/repair.h"
#include "maintenance/instance_channel.h"
#include "platform/text.h"

namespace tolvane::testing {

HANDLE FakePlatform::OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    calls.push_back(L"OpenProcess " + std::to_wstring(access) + L" " + std::to_wstring(inherit) + L" " +
                    std::to_wstring(processId));
    if (openProcessGivesNothing || failsWin32(L"OpenProcess")) return nullptr;
    ++openHandles;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(processId));
}

DWORD FakePlatform::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const auto id = static_cast<std::uint32_t>(reinterpret_cast<uintptr_t>(handle));
    calls.push_back(L"WaitForSingleObject " + std::to_wstring(id) + L" " + std::to_wstring(milliseconds));
    if (!sessionEndsWhileWaitingFor.empty() && sessionListener_ != nullptr &&
        commandLines_[id].rfind(sessionEndsWhileWaitingFor, 0) == 0) {
        SessionEndListener* listener = sessionListener_;
        sessionListener_ = nullptr;
        listener->sessionEnding();
        cutOff = true;  // Windows ends the program once the handler returns
    }
    if (failingOperations.count(L"WaitForSingleObject:" + commandLines_[id]) != 0) {
        lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (failsWin32(L"WaitForSingleObject")) return WAIT_FAILED;
    if (milliseconds == installerUnderWayMs) return WAIT_TIMEOUT;  // an installer at work for longer
    if (stillRunningAfterWait.count(commandLines_[id]) != 0) return WAIT_TIMEOUT;
    if (id == installerId_ && !droppedWhileInstallerRuns.empty()) files[droppedWhileInstallerRuns] = "planted";
    return WAIT_OBJECT_0;
}

BOOL FakePlatform::GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    const auto id = static_cast<std::uint32_t>(reinterpret_cast<uintptr_t>(process));
    if (failsWin32(L"GetExitCodeProcess")) return FALSE;
    auto found = exitCodes.find(commandLines_[id]);
    *exitCode = found == exitCodes.end() ? exitCodesById_[id] : found->second;
    calls.push_back(L"GetExitCodeProcess " + std::to_wstring(id) + L" " + std::to_wstring(*exitCode));
    return TRUE;
}

BOOL FakePlatform::TerminateProcess(HANDLE process, UINT) {
    calls.push_back(L"TerminateProcess " + std::to_wstring(reinterpret_cast<uintptr_t>(process)));
    return !failsWin32(L"TerminateProcess");
}

BOOL FakePlatform::CloseHandle(HANDLE handle) {
    calls.push_back(L"CloseHandle " + std::to_wstring(reinterpret_cast<uintptr_t>(handle)));
    --openHandles;
    return TRUE;
}

std::uint32_t FakePlatform::launchProgram(const std::wstring& commandLine, int windowStyle,
                                          const std::wstring& application) {
    calls.push_back(L"launchProgram " + commandLine + L" | " + std::to_wstring(windowStyle) + L" | " + application);
    failIfAsked(L"launchProgram:" + application);
    mayFail(L"starting " + quotedPath(application));
    commandLines_[nextProcessId_] = commandLine;
    const auto control = files.find(fakePaths::control);
    if (commandLine == L"regsvr32 \"" + fakePaths::control + L"\" /s" && control != files.end() && !noChange()) {
        if (unregistrable.count(control->second) != 0) exitCodesById_[nextProcessId_] = 5;
        else lastRegistered = control->second;
    }
    return nextProcessId_++;
}

StartedProcess FakePlatform::launchProgramForWait(const std::wstring& commandLine, int windowStyle,
                                                  const std::wstring& application, const std::wstring& currentFolder) {
    const std::uint32_t id = launchProgram(commandLine, windowStyle, application);
    if (!currentFolder.empty()) calls.back() += L" | in " + currentFolder;
    ++openHandles;
    return {reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)), id};
}

// The elevated repair's exit code is exitCodes[L"/repair"].
StartedProcess FakePlatform::launchElevatedRepair(const std::wstring& parameters) {
    calls.push_back(L"launchElevatedRepair " + parameters);
    mayFail(L"starting the repair as administrator");
    const std::size_t key = parameters.find(L"/channel ");
    if (key == std::wstring::npos || !hexNumber(parameters.substr(key + 9, 16), channelKey_)) channelKey_ = 0;
    installerRunsSaid_ = false;
    if (elevationRefused != 0) throw Failure(elevationRefused, L"starting the repair as administrator failed");
    const std::uint32_t id = nextProcessId_++;
    commandLines_[id] = repairSwitch;
    ++openHandles;
    return {reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)), id};
}

bool FakePlatform::sendToInstance(DWORD process, ULONG_PTR kind, const void*, std::size_t size) noexcept {
    calls.push_back(joined({L"sendToInstance ", decimal(process), L" ", decimal(kind), L" ", decimal(size)}));
    return true;
}

DWORD FakePlatform::waitForProcessOrMessages(HANDLE process) {
    if (dataListener_ != nullptr && !std::exchange(installerRunsSaid_, true)) {
        dataListener_->heard(InstanceChannel::installerRunsKind, &channelKey_, sizeof channelKey_);
        return WAIT_OBJECT_0 + 1;
    }
    return WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_FAILED;
}

TrackedStart FakePlatform::launchTrackedProgram(const std::wstring& commandLine, int windowStyle,
                                                const std::wstring& application, const std::wstring& currentFolder,
                                                const std::wstring& temporaryFolder) {
    const StartedProcess process = launchProgramForWait(commandLine, windowStyle, application, currentFolder);
    if (!temporaryFolder.empty()) calls.back() += L" | TEMP " + temporaryFolder;
    const auto file = files.find(application);
    if (file != files.end()) ranInstaller = file->second;
    if (!installerWrites.empty() && !noChange()) files[fakePaths::control] = installerWrites;
    installerId_ = static_cast<std::uint32_t>(reinterpret_cast<uintptr_t>(process.handle));
    return {process, L"in a job object"};
}

std::vector<RunningProcess> FakePlatform::trackedProcesses() {
    mayFail(L"listing the installer's processes");
    if (handOvers.empty()) return {};
    std::vector<RunningProcess> found = handOvers.front();
    handOvers.erase(handOvers.begin());
    for (RunningProcess& process : found)
        if (!process.programFile.empty()) {  // one whose file cannot be read stands for one that cannot be opened
            process.handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(process.id));
            ++openHandles;
        }
    return found;
}

// As the Windows side: a file never checked is refused; one swapped since
// the check is ended (`process`) before it runs.
void FakePlatform::startChecked(const std::wstring& application, const std::wstring& process) {
    if (held.count(application) == 0)
        throw Failure(2, L"starting " + quotedPath(application) + L" failed: it was not checked");
    if (process.empty() || !menuSwappedAfterCheck) return;
    calls.push_back(L"TerminateProcess " + process);
    throw Failure(ERROR_INVALID_DATA, L"starting " + quotedPath(application) +
                                          L" was stopped before it ran: it is not the file that was checked");
}

bool FakePlatform::readyCheckedProgram(const std::wstring& commandLine, int, const std::wstring& application) {
    startChecked(application, L"");
    mayFail(L"starting " + quotedPath(application) + L" suspended");
    calls.push_back(L"readyCheckedProgram " + commandLine);
    startChecked(application, L"(the menu made ready)");
    if (menuCanWait) readyMenu = commandLine;
    return menuCanWait;
}

std::uint32_t FakePlatform::launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                                 const std::wstring& application) {
    startChecked(application, L"");
    const bool ready = readyMenu == commandLine;  // then it is only let run
    readyMenu.clear();
    if (!ready) mayFail(L"starting " + quotedPath(application));
    const std::uint32_t id = launchProgram(commandLine, windowStyle, application);
    calls.back() += ready ? L" | checked, made ready" : L" | checked";
    if (!ready) startChecked(application, std::to_wstring(id));
    return id;
}

}  // namespace tolvane::testing
