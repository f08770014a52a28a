#include "unit/fake_platform.h"

#include <cstring>

#include "platform/sha256.h"

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
    installedMark = earlier.installedMark;
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
    return stillRunningAfterWait.count(commandLines_[id]) != 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
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

bool FakePlatform::claimRepairLock(const std::wstring& name) {
    calls.push_back(L"claimRepairLock " + name);
    return !anotherRepairHoldsTheMachine && !failsWin32(L"claimRepairLock");
}

bool FakePlatform::readRepairRecord(std::wstring& text) {
    calls.push_back(L"readRepairRecord");
    mayFail(L"reading the record");
    text = record;
    return !record.empty();
}

void FakePlatform::writeRepairRecord(const std::wstring& text) {
    calls.push_back(L"writeRepairRecord");
    const bool late = mayFail(L"writing the record");
    if (noChange()) return;
    failIfAsked(L"writeRepairRecord");
    record = text;
    if (late) fail(L"writing the record");
}

void FakePlatform::clearRepairRecord() {
    calls.push_back(L"clearRepairRecord");
    const bool late = mayFail(L"clearing the record");
    if (noChange()) return;
    failIfAsked(L"clearRepairRecord");
    record.clear();
    if (late) fail(L"clearing the record");
}

bool FakePlatform::readInstalledMark(std::wstring& text) {
    failIfAsked(L"readInstalledMark");
    mayFail(L"reading the mark");
    text = installedMark;
    return !installedMark.empty();
}

void FakePlatform::writeInstalledMark(const std::wstring& text) {
    calls.push_back(L"writeInstalledMark");
    const bool late = mayFail(L"writing the mark");
    if (noChange()) return;
    installedMark = text;
    if (late) fail(L"writing the mark");
}

bool FakePlatform::claimSingleRun(const std::wstring& name) {
    calls.push_back(L"claimSingleRun " + name);
    return !anotherRunHoldsTheLock && !failsWin32(L"claimSingleRun");
}

BOOL FakePlatform::CloseHandle(HANDLE handle) {
    calls.push_back(L"CloseHandle " + std::to_wstring(reinterpret_cast<uintptr_t>(handle)));
    --openHandles;
    return TRUE;
}

void FakePlatform::createMainWindow(const std::wstring& caption) {
    calls.push_back(L"createMainWindow " + caption);
    mayFail(L"creating the window");
}

std::wstring FakePlatform::programFolder() { return programFolderValue; }

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
StartedProcess FakePlatform::launchElevatedRepair(const std::wstring& switches) {
    calls.push_back(L"launchElevatedRepair" + switches);
    mayFail(L"starting the repair as administrator");
    if (elevationRefused != 0) throw Failure(elevationRefused, L"starting the repair as administrator failed");
    const std::uint32_t id = nextProcessId_++;
    commandLines_[id] = repairSwitch;
    ++openHandles;
    return {reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)), id};
}

TrackedStart FakePlatform::launchTrackedProgram(const std::wstring& commandLine, int windowStyle,
                                                const std::wstring& application, const std::wstring& currentFolder,
                                                const std::wstring& temporaryFolder) {
    const StartedProcess process = launchProgramForWait(commandLine, windowStyle, application, currentFolder);
    if (!temporaryFolder.empty()) calls.back() += L" | TEMP " + temporaryFolder;
    const auto file = files.find(application);
    if (file != files.end()) ranInstaller = file->second;
    if (!installerWrites.empty() && !noChange()) files[fakePaths::control] = installerWrites;
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

FileDigest FakePlatform::digestFile(const std::wstring& path, bool hold) {
    calls.push_back(hold ? L"digestFile " + path + L" | held" : L"digestFile " + path);
    if (failingOperations.count(L"digestFile:" + path) != 0)
        throw Failure(ERROR_SHARING_VIOLATION, L"opening " + quotedPath(path) + L" failed: in use");
    mayFail(L"reading " + quotedPath(path), files.count(path) != 0);
    const auto file = files.find(path);
    if (file == files.end()) throw Failure(2, L"opening " + quotedPath(path) + L" failed: not found");
    Sha256 hash;
    hash.update(file->second.data(), file->second.size());
    const FileDigest digest{file->second.size(), hash.finishHex()};
    if (hold) held.insert(path);
    // Held, a file itself cannot change; its folder can be re-pointed.
    const auto installer = files.find(fakePaths::installer);
    if (path.rfind(programFolderValue, 0) == 0 && installer != files.end() && !installerSwappedAfterCheck.empty()) {
        installer->second = installerSwappedAfterCheck;
        installerSwappedAfterCheck.clear();
    }
    return digest;
}

FileDigest FakePlatform::copyAndDigest(const std::wstring& source, const std::wstring& destination) {
    calls.push_back(L"copyAndDigest " + source + L" -> " + destination);
    failIfAsked(L"copyAndDigest");
    const bool late = mayFail(L"copying " + quotedPath(source));
    const auto from = files.find(source);
    if (from == files.end()) throw Failure(2, L"copying " + quotedPath(source) + L" failed: not found");
    if (files.count(destination) != 0) throw Failure(80, L"copying failed: the file exists");
    if (noChange()) throw Failure(2, L"copying " + quotedPath(source) + L" failed: cut off");
    const auto file = files.emplace(destination, from->second).first;
    if (late) fail(L"copying " + quotedPath(source));
    Sha256 hash;
    hash.update(file->second.data(), file->second.size());
    held.insert(destination);
    return FileDigest{file->second.size(), hash.finishHex()};
}

std::uint32_t FakePlatform::launchCheckedProgram(const std::wstring& commandLine, int windowStyle,
                                                 const std::wstring& application) {
    if (held.count(application) == 0)
        throw Failure(2, L"starting " + quotedPath(application) + L" failed: it was not checked");
    mayFail(L"starting " + quotedPath(application));
    const std::uint32_t id = launchProgram(commandLine, windowStyle, application);
    calls.back() += L" | checked";
    if (menuSwappedAfterCheck) {
        calls.push_back(L"TerminateProcess " + std::to_wstring(id));
        throw Failure(ERROR_INVALID_DATA, L"starting " + quotedPath(application) +
                                              L" was stopped before it ran: it is not the file that was checked");
    }
    return id;
}

std::wstring FakePlatform::folderIdentity(const std::wstring& path) {
    calls.push_back(L"folderIdentity " + path);
    failIfAsked(L"folderIdentity");
    mayFail(L"reading what stands at " + quotedPath(path), folders.count(path) != 0);
    if (folders.count(path) == 0) throw Failure(2, L"reading what stands at " + quotedPath(path) + L" failed: not found");
    const auto id = folderIds.find(path);
    return id == folderIds.end() ? L"planted" : id->second;
}

std::wstring FakePlatform::randomHex() {
    mayFail(L"asking for a random name");
    const std::wstring digits = std::to_wstring(++randomCount);
    return std::wstring(16 - digits.size(), L'0') + digits;
}

std::vector<std::wstring> FakePlatform::folderEntries(const std::wstring& folder) {
    mayFail(L"listing " + quotedPath(folder));
    std::set<std::wstring> names;
    for (const auto& [path, content] : files)
        if (path.rfind(folder + L"\\", 0) == 0) names.insert(path.substr(folder.size() + 1, path.find(L'\\', folder.size() + 1) - folder.size() - 1));
    return std::vector<std::wstring>(names.begin(), names.end());
}

std::wstring FakePlatform::temporaryFolder() {
    mayFail(L"asking for the temporary folder");
    return temporaryFolderValue;
}

bool FakePlatform::fileExists(const std::wstring& path) {
    if (failingOperations.count(L"fileExists:" + path) != 0)
        throw Failure(ERROR_ACCESS_DENIED, L"looking for " + quotedPath(path) + L" failed: Access is denied.");
    mayFail(L"looking for " + quotedPath(path), true);  // not found is an answer
    return files.count(path) != 0;
}

void FakePlatform::deleteFile(const std::wstring& path) {
    calls.push_back(L"deleteFile " + path);
    const bool late = mayFail(L"deleting " + quotedPath(path), files.count(path) != 0);
    if (noChange()) return;
    failIfAsked(L"deleteFile");
    if (readOnly.count(path) != 0 || inUse.count(path) != 0)
        throw Failure(5, L"deleting " + quotedPath(path) + L" failed: Access is denied.");
    if (mapped.count(path) != 0) return;  // a pending delete
    if (files.erase(path) == 0) throw Failure(2, L"deleting " + quotedPath(path) + L" failed: not found");
    if (late) fail(L"deleting " + quotedPath(path));
}

void FakePlatform::renameFile(const std::wstring& oldPath, const std::wstring& newPath) {
    calls.push_back(L"renameFile " + oldPath + L" -> " + newPath);
    const bool late = mayFail(L"renaming " + quotedPath(oldPath));
    if (noChange()) return;
    failIfAsked(L"renameFile");
    failIfAsked(L"renameFile:" + newPath);
    if (files.count(newPath) != 0) throw Failure(183, L"renaming failed: already exists");
    auto it = files.find(oldPath);
    if (it == files.end()) throw Failure(2, L"renaming failed: not found");
    files[newPath] = it->second;
    files.erase(oldPath);
    if (inUse.erase(oldPath) != 0) inUse.insert(newPath);
    if (mapped.erase(oldPath) != 0) mapped.insert(newPath);
    if (late) fail(L"renaming " + quotedPath(oldPath));
}

FileDigest FakePlatform::copyFile(const std::wstring& source, const std::wstring& destination) {
    calls.push_back(L"copyFile " + source + L" -> " + destination);
    const bool late = mayFail(L"copying " + quotedPath(source));
    auto it = files.find(source);
    Sha256 hash;
    if (it != files.end()) hash.update(it->second.data(), it->second.size());
    const FileDigest digest{it == files.end() ? 0 : it->second.size(), hash.finishHex()};
    if (noChange()) return digest;
    failIfAsked(L"copyFile");
    if (it == files.end()) throw Failure(2, L"copying failed: not found");
    if (files.count(destination) != 0) throw Failure(80, L"copying failed: the file exists");
    files[destination] = it->second;
    if (late) fail(L"copying " + quotedPath(source));
    return digest;
}

void FakePlatform::replaceFile(const std::wstring& from, const std::wstring& to) {
    calls.push_back(L"replaceFile " + from + L" -> " + to);
    const bool late = mayFail(L"replacing " + quotedPath(to));
    if (noChange()) return;
    failIfAsked(L"replaceFile");
    if (inUse.count(to) != 0) throw Failure(5, L"replacing failed: in use");
    auto it = files.find(from);
    if (it == files.end()) throw Failure(2, L"replacing failed: not found");
    files[to] = it->second;
    files.erase(from);
    if (late) fail(L"replacing " + quotedPath(to));
}

bool FakePlatform::isLoaded(const std::wstring& path) { return inUse.count(path) != 0; }

std::vector<std::wstring> FakePlatform::holdersOf(const std::wstring& path) {
    const auto found = holders.find(path);
    return found == holders.end() ? std::vector<std::wstring>() : found->second;
}

DWORD FakePlatform::tickCount() { return ticks; }

std::wstring FakePlatform::localDateTime() { return L"2026-12-08 10:00:00"; }

void FakePlatform::clearReadOnly(const std::wstring& path) {
    calls.push_back(L"clearReadOnly " + path);
    const bool late = mayFail(L"clearing the read-only attribute of " + quotedPath(path));
    readOnly.erase(path);
    if (late) fail(L"clearing the read-only attribute of " + quotedPath(path));
}

void FakePlatform::deleteAtRestart(const std::wstring& path) {
    calls.push_back(L"deleteAtRestart " + path);
    mayFail(L"scheduling " + quotedPath(path));
    failIfAsked(L"deleteAtRestart");
    atRestart.insert(path);
}

DWORD FakePlatform::volumeFlags(const std::wstring& path) {
    calls.push_back(L"volumeFlags " + path);
    mayFail(L"asking for the volume of " + quotedPath(path));
    if (path.rfind(programFolderValue, 0) == 0) return mediumWritable ? FILE_PERSISTENT_ACLS : FILE_READ_ONLY_VOLUME;
    return accessControl ? FILE_PERSISTENT_ACLS : 0;
}

bool FakePlatform::makeAdministratorsFolder(const std::wstring& path) {
    calls.push_back(L"makeAdministratorsFolder " + path);
    const bool late = mayFail(L"making " + quotedPath(path));
    if (noChange()) return true;
    failIfAsked(L"makeAdministratorsFolder");
    if (!folders.insert(path).second) return false;
    folderIds[path] = L"made " + std::to_wstring(folderIds.size() + 1);
    if (late) fail(L"making " + quotedPath(path));
    return true;
}

bool FakePlatform::removeFolder(const std::wstring& path) noexcept {
    calls.push_back(L"removeFolder " + path);
    if (failsWin32(L"removeFolder")) {  // what cannot go now goes at the next restart
        for (const auto& [file, content] : files)
            if (file.rfind(path + L"\\", 0) == 0) atRestart.insert(file);
        return false;
    }
    if (noChange()) return true;
    for (auto file = files.begin(); file != files.end();)
        file = file->first.rfind(path + L"\\", 0) == 0 ? files.erase(file) : std::next(file);
    for (auto folder = folders.begin(); folder != folders.end();)
        folder = *folder == path || folder->rfind(path + L"\\", 0) == 0 ? folders.erase(folder) : std::next(folder);
    folderIds.erase(path);
    return true;
}

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
