// The fake's files and folders, in memory.
#include "unit/fake_platform.h"

#include "platform/sha256.h"

namespace tolvane::testing {

FileDigest FakePlatform::digestFile(const std::wstring& path, bool hold) {
    calls.push_back(hold ? L"digestFile " + path + L" | held" : L"digestFile " + path);
    if (failingOperations.count(L"digestFile:" + path) != 0)
        throw Failure(ERROR_SHARING_VIOLATION, L"opening " + quotedPath(path) + L" failed: in use");
    mayFail(L"reading " + quotedPath(path), files.count(path) != 0);
    const auto file = files.find(path);
    if (file == files.end()) throw Failure(2, L"opening " + quotedPath(path) + L" failed: not found");
    const FileDigest digest{file->second.size(), sha256Of(file->second)};
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
    held.insert(destination);
    return FileDigest{file->second.size(), sha256Of(file->second)};
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
    const std::string bytes = it == files.end() ? std::string() : it->second;
    const FileDigest digest{bytes.size(), sha256Of(bytes)};
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
    if (!cutOff) atRestart.insert(path);
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

}  // namespace tolvane::testing
