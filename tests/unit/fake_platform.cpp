// The fake's own machinery (the faults, the cut, the machine handed on),
// its record and mark, its folders and version, its window and boxes; its
// programs are in fake_processes.cpp, its files in fake_files.cpp.
#include "unit/fake_platform.h"

#include <cstring>

#include "maintenance/record_store.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace tolvane::testing {

namespace {
std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }
}  // namespace

std::vector<std::wstring> FakePlatform::callsTo(const std::wstring& name) const {
    std::vector<std::wstring> found;
    for (const auto& call : calls)
        if (call.compare(0, name.size(), name) == 0) found.push_back(call);
    return found;
}

void FakePlatform::failIfAsked(const std::wstring& operation) {
    if (failingOperations.count(operation) != 0) throw failureFor(operation, failureNumber);
}

bool FakePlatform::mayFail(const std::wstring& call, bool there) {
    fallible.push_back(call);
    if (faultsAt.count(++fallibleCalls) == 0) return false;
    if (there && (faultError == ERROR_FILE_NOT_FOUND || faultError == ERROR_PATH_NOT_FOUND)) return false;
    faulted.push_back(call);
    if (!faultAfterEffect) fail(call);
    return true;
}

void FakePlatform::fail(const std::wstring& call) { throw failureFor(call, faultError); }

bool FakePlatform::failsWin32(const std::wstring& call) {
    fallible.push_back(call);
    if (faultsAt.count(++fallibleCalls) == 0) return false;
    faulted.push_back(call);
    lastError = faultError;
    return true;
}

bool FakePlatform::noChange() {
    if (cutOffAfterChanges >= 0 && changes >= cutOffAfterChanges) cutOff = true;
    if (!cutOff) ++changes;
    return cutOff;
}

void FakePlatform::takeMachineOf(const FakePlatform& earlier) {
    files = earlier.files;
    folders = earlier.folders;
    folderIds = earlier.folderIds;
    readOnly = earlier.readOnly;
    record = earlier.record;
    registry = earlier.registry;
    anotherRepairHoldsTheMachine = earlier.anotherRepairHoldsTheMachine;
    lastRegistered = earlier.lastRegistered;
    atRestart = earlier.atRestart;
}

void FakePlatform::setVersion(DWORD platformId, DWORD major, DWORD minor, const std::string& servicePack) {
    version = OSVERSIONINFOA{};
    version.dwPlatformId = platformId;
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.dwBuildNumber = 2600;
    std::memcpy(version.szCSDVersion, servicePack.data(), std::min<size_t>(servicePack.size(), 128));
}

UINT FakePlatform::folderCall(const char* name, const std::string& folder, LPSTR buffer, UINT size) {
    calls.push_back(widen(name) + L" " + std::to_wstring(size));
    if (failsWin32(widen(name))) return 0;
    if (overrideFolderCount) {
        // Write what fits, as the system would, and report the chosen count.
        if (folderCount > 0 && folderCount <= size) {
            std::memcpy(buffer, folder.data(), std::min<size_t>(folder.size(), size));
        }
        return folderCount;
    }
    if (folder.size() + 1 > size) return static_cast<UINT>(folder.size() + 1);
    std::memcpy(buffer, folder.c_str(), folder.size() + 1);
    return static_cast<UINT>(folder.size());
}

UINT FakePlatform::GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return folderCall("GetSystemDirectoryA", systemFolder, buffer, size);
}

UINT FakePlatform::GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return folderCall("GetWindowsDirectoryA", windowsFolder, buffer, size);
}

BOOL FakePlatform::GetVersionExA(OSVERSIONINFOA* info) {
    calls.push_back(L"GetVersionExA " + std::to_wstring(info->dwOSVersionInfoSize));
    if (failsWin32(L"GetVersionExA")) return FALSE;
    DWORD size = info->dwOSVersionInfoSize;
    *info = version;
    info->dwOSVersionInfoSize = size;
    return TRUE;
}

bool FakePlatform::claimRepairLock(const std::wstring& name) {
    calls.push_back(L"claimRepairLock " + name);
    return !anotherRepairHoldsTheMachine && !failsWin32(L"claimRepairLock");
}

// The record's value is `record`; the tests fail a call to it by its old
// name (writeRepairRecord...), and a read of the mark as readInstalledMark.
std::wstring FakePlatform::registryCall(const wchar_t* doing, const wchar_t* name) {
    const bool record = std::wstring(name) == L"RepairInProgress";
    const std::wstring call = record ? std::wstring(doing) + L"RepairRecord" : joined({doing, L"RegistryValue ", name});
    calls.push_back(call);
    failIfAsked(!record && std::wstring(doing) == L"read" ? std::wstring(L"readInstalledMark") : call);
    return call;
}

bool FakePlatform::readRegistryValue(const wchar_t* name, DWORD type, RegistryValue& value) {
    const std::wstring call = registryCall(L"read", name);
    mayFail(call);
    if (call == L"readRepairRecord") value = {type, record, 0};
    else if (registry.count(name) != 0) value = registry[name];
    else return false;
    return call != L"readRepairRecord" || !record.empty();
}

void FakePlatform::writeRegistryValue(const wchar_t* name, const RegistryValue& value) {
    const std::wstring call = registryCall(L"write", name);
    const bool late = mayFail(call);
    if (noChange()) return;
    if (call == L"writeRepairRecord") record = value.text;
    else registry[name] = value;
    if (late) fail(call);
}

void FakePlatform::deleteRegistryValue(const wchar_t* name) {
    const std::wstring call = registryCall(L"clear", name);
    const bool late = mayFail(call);
    if (noChange()) return;
    if (call == L"clearRepairRecord") record.clear();
    else registry.erase(name);
    if (late) fail(call);
}

void FakePlatform::deleteRegistryKey() {
    const bool late = mayFail(L"removing the program's key");
    if (noChange()) return;
    record.clear();
    registry.clear();
    if (late) fail(L"removing the program's key");
}

std::wstring FakePlatform::mark() const {
    InstalledMark mark;
    const auto text = [&](const wchar_t* name) { return registry.count(name) != 0 ? registry.at(name).text : std::wstring(); };
    const auto number = [&](const wchar_t* name) {
        return registry.count(name) != 0 ? std::optional<DWORD>(registry.at(name).number) : std::nullopt;
    };
    mark.sha256 = text(L"Sha256"), mark.when = text(L"When");
    mark.exitCode = number(L"ExitCode"), mark.installerExitCode = number(L"InstallerExitCode");
    return mark.empty() ? text(L"Installed") : mark.lines();
}

bool FakePlatform::claimSingleRun(const std::wstring& name) {
    calls.push_back(L"claimSingleRun " + name);
    return !anotherRunHoldsTheLock && !failsWin32(L"claimSingleRun");
}

void FakePlatform::createMainWindow(const std::wstring& caption) {
    calls.push_back(L"createMainWindow " + caption);
    mayFail(L"creating the window");
}

std::wstring FakePlatform::programFolder() { return programFolderValue; }

DWORD FakePlatform::tickCount() { return ticks; }

std::wstring FakePlatform::localDateTime() { return L"2026-12-08 10:00:00"; }

void FakePlatform::showMessageBox(const std::wstring& text, int style, const std::wstring& title) {
    calls.push_back(L"showMessageBox " + title + L" | " + std::to_wstring(style) + L" | " + text);
}

void FakePlatform::processPendingEvents() { calls.push_back(L"processPendingEvents"); }

void FakePlatform::setWindowVisible(bool visible) {
    calls.push_back(visible ? L"setWindowVisible true" : L"setWindowVisible false");
}

void FakePlatform::guardSessionEnd(const std::wstring& reason, SessionEndListener& listener) {
    calls.push_back(L"guardSessionEnd " + reason);
    sessionListener_ = &listener;
}

void FakePlatform::releaseSessionEnd() {
    calls.push_back(L"releaseSessionEnd");
    sessionListener_ = nullptr;
}

void FakePlatform::endProgram(int exitCode) {
    endedWith = exitCode;
    calls.push_back(exitCode == 0 ? L"endProgram" : L"endProgram " + std::to_wstring(exitCode));
}

std::wstring recordOf(FakePlatform& fake, const std::vector<std::wstring>& others) {
    std::wstring record = L"Tolvane medium record 1\n";
    for (const wchar_t* name : {L"install_flash_player.exe", L"Flash.ocx", L"menu.exe"}) {
        const FileDigest digest = fake.digestFile(L"D:\\data\\" + std::wstring(name), false);
        record += L"file " + std::to_wstring(digest.size) + L" " + digest.sha256 + L" " + name + L"\n";
    }
    // A file of its own is hashed (a DLL the loader may map), a folder only named.
    for (const std::wstring& other : others) {
        if (fake.files.count(L"D:\\data\\" + other) == 0) {
            record += L"other " + other + L"\n";
            continue;
        }
        const FileDigest digest = fake.digestFile(L"D:\\data\\" + other, false);
        record += L"file " + std::to_wstring(digest.size) + L" " + digest.sha256 + L" " + other + L"\n";
    }
    fake.calls.clear();
    fake.fallibleCalls = 0;
    fake.fallible.clear();
    return record + L"end\n";
}

void mastered(FakePlatform& fake, const std::vector<std::wstring>& others) {
    fake.setVersion(2, 5, 1, "Service Pack 3");
    fake.files[fakePaths::installer] = "installer";
    fake.files[fakePaths::menu] = "menu";
    fake.mediumRecordValue = recordOf(fake, others);
}

}  // namespace tolvane::testing
