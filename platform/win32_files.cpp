// The Windows side: files and folders: finding, reading, copying, moving
// and deleting them, the volume they are on, and who holds them.
#include "platform/win32_platform.h"

#include <restartmanager.h>

#include <algorithm>
#include <vector>

#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/win32_shared.h"

namespace tolvane {

// In its long form: started through an 8.3 path (PROGRA~1), the program
// would not see that a setup started from the medium runs from its folder.
std::wstring Win32Platform::programFolder() {
    const std::wstring path = ownFile();
    std::wstring::size_type slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) return path;
    std::wstring folder = longForm(path.substr(0, slash));
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';  // drive root keeps its backslash
    return folder;
}

std::wstring Win32Platform::temporaryFolder() { return userTemporaryFolder(); }

std::wstring Win32Platform::userTemporaryFolder() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) raiseLastError("asking Windows for the temporary folder");
    std::wstring path = longForm(std::wstring(folder, length));
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    return path;
}

namespace {

bool normalFileAt(const std::wstring& path) {
    const DWORD notNormal = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle search(::FindFirstFileW(path.c_str(), &entry));
    if (!search) {
        // Only "nothing there" is an answer; a search that failed is none.
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES) return false;
        throw failureFor(L"looking for " + quotedPath(path), error);
    }
    do {
        if ((entry.dwFileAttributes & notNormal) == 0) return true;
    } while (::FindNextFileW(search.get(), &entry));
    return false;
}

// Read through a handle that lets nobody write the source meanwhile, and
// written through one nobody else may open (a medium's file is read-only;
// its copy is not).
FileDigest copyBytes(const std::wstring& source, const std::wstring& destination) {
    const auto fail = [&] { raiseLastError(joined({L"copying ", quotedPath(source), L" to ",
                                                   quotedPath(destination)})); };
    UniqueFileHandle from(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    UniqueFileHandle to(from ? ::CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr)
                             : INVALID_HANDLE_VALUE);
    if (!to) fail();
    Sha256 hash;
    FileDigest digest{0, std::wstring()};
    std::vector<char> buffer(1 << 16);
    for (DWORD read = 1, written = 0; read != 0; digest.size += read) {
        if (!::ReadFile(from.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) ||
            !::WriteFile(to.get(), buffer.data(), read, &written, nullptr))
            fail();
        // A write that took fewer bytes than it was given, and said nothing: a full disk.
        if (written != read) ::SetLastError(ERROR_DISK_FULL), fail();
        hash.update(buffer.data(), read);
    }
    if (!::FlushFileBuffers(to.get())) fail();
    digest.sha256 = hash.finishHex();
    return digest;
}

}  // namespace

bool Win32Platform::fileExists(const std::wstring& path) {
    const bool exists = normalFileAt(path);
    tell(&PlatformListener::looked, path, exists);
    return exists;
}

void Win32Platform::deleteFile(const std::wstring& path) {
    if (!::DeleteFileW(path.c_str())) raiseLastError(L"deleting " + quotedPath(path));
    tell(&PlatformListener::deleted, path);
}

void Win32Platform::renameFile(const std::wstring& oldPath, const std::wstring& newPath) {
    if (!::MoveFileW(oldPath.c_str(), newPath.c_str()))
        raiseLastError(joined({L"renaming ", quotedPath(oldPath), L" to ", quotedPath(newPath)}));
    tell(&PlatformListener::renamed, oldPath, newPath, false);
}

FileDigest Win32Platform::copyFile(const std::wstring& source, const std::wstring& destination) {
    const FileDigest digest = copyBytes(source, destination);
    tell(&PlatformListener::copied, source, destination, digest, false);
    return digest;
}

// Shared with nobody while it is written: closed before it is opened again
// to be held, for reading only.
FileDigest Win32Platform::copyAndDigest(const std::wstring& source, const std::wstring& destination) {
    const FileDigest digest = copyBytes(source, destination);
    UniqueFileHandle held(::CreateFileW(destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) raiseLastError(joined({L"copying ", quotedPath(source), L" to ", quotedPath(destination)}));
    heldFiles_.push_back({destination, std::move(held)});
    tell(&PlatformListener::copied, source, destination, digest, true);
    return digest;
}

void Win32Platform::replaceFile(const std::wstring& from, const std::wstring& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        raiseLastError(joined({L"renaming ", quotedPath(from), L" to ", quotedPath(to)}));
    tell(&PlatformListener::renamed, from, to, true);
}

void Win32Platform::setCurrentFolder(const std::wstring& folder) {
    if (!::SetCurrentDirectoryW(folder.c_str())) raiseLastError(joined({L"making ", quotedPath(folder),
                                                                        L" the current folder"}));
    tell(&PlatformListener::currentFolderIs, folder);
}

std::wstring Win32Platform::mediumRecord() {
    HRSRC found = ::FindResourceW(nullptr, L"MEDIUM", MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = found == nullptr ? nullptr : ::LoadResource(nullptr, found);
    const char* text = static_cast<const char*>(loaded == nullptr ? nullptr : ::LockResource(loaded));
    int size = text == nullptr ? 0 : static_cast<int>(::SizeofResource(nullptr, found));
    while (size > 0 && (text[size - 1] == ' ' || text[size - 1] == 0)) --size;  // the room the record leaves
    if (size == 0) return std::wstring();
    std::vector<wchar_t> wide(static_cast<std::size_t>(size));
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, wide.data(), size);
    if (length == 0) raiseLastError("reading the record of the medium's files in this program");
    return std::wstring(wide.data(), static_cast<std::size_t>(length));
}

FileDigest Win32Platform::digestFile(const std::wstring& path, bool hold) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) raiseLastError(L"opening " + quotedPath(path));
    Sha256 hash;
    FileDigest digest{0, std::wstring()};
    std::vector<char> buffer(65536);
    for (DWORD read = 1; read != 0; digest.size += read) {
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
            raiseLastError(L"reading " + quotedPath(path));
        hash.update(buffer.data(), read);
    }
    digest.sha256 = hash.finishHex();
    if (hold) heldFiles_.push_back({path, std::move(file)});
    tell(&PlatformListener::digested, path, digest);
    return digest;
}

std::vector<std::wstring> Win32Platform::folderEntries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!search) raiseLastError(L"listing " + quotedPath(folder));
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(search.get(), &entry));
    return names;
}

// A file mapped as an image or as data cannot be opened for writing
// (ERROR_SHARING_VIOLATION, ERROR_USER_MAPPED_FILE); the handle, opened with
// every sharing, changes nothing.
bool Win32Platform::isLoaded(const std::wstring& path) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = ::GetLastError();
    const bool loaded = !file && (error == ERROR_SHARING_VIOLATION || error == ERROR_USER_MAPPED_FILE);
    if (loaded) tell(&PlatformListener::foundLoaded, path);
    return loaded;
}

// The Restart Manager from the system folder's rstrtmgr.dll (Vista on),
// loaded here: a session of its own, the one file, the list.
std::vector<std::wstring> Win32Platform::holdersOf(const std::wstring& path) {
    using StartFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
    using RegisterFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
    using ListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD);
    using EndFn = DWORD(WINAPI*)(DWORD);
    HMODULE manager = systemLibrary(L"rstrtmgr.dll");
    const auto start = libraryFunction<StartFn>(manager, "RmStartSession");
    const auto add = libraryFunction<RegisterFn>(manager, "RmRegisterResources");
    const auto list = libraryFunction<ListFn>(manager, "RmGetList");
    const auto end = libraryFunction<EndFn>(manager, "RmEndSession");
    std::vector<std::wstring> names;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (start == nullptr || add == nullptr || list == nullptr || end == nullptr || start(&session, 0, key) != ERROR_SUCCESS) {
        tell(&PlatformListener::foundHolders, path, names);
        return names;
    }
    LPCWSTR file = path.c_str();
    std::vector<RM_PROCESS_INFO> found(4);
    UINT needed = 0, count = static_cast<UINT>(found.size());
    DWORD reasons = 0, error = add(session, 1, &file, 0, nullptr, 0, nullptr);
    if (error == ERROR_SUCCESS && (error = list(session, &needed, &count, found.data(), &reasons)) == ERROR_MORE_DATA) {
        found.resize(needed);
        count = needed;
        error = list(session, &needed, &count, found.data(), &reasons);
    }
    for (UINT i = 0; error == ERROR_SUCCESS && i < count && i < found.size(); ++i)
        names.push_back(found[i].strAppName);
    end(session);
    tell(&PlatformListener::foundHolders, path, names);
    return names;
}

void Win32Platform::clearReadOnly(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) raiseLastError(L"reading the attributes of " + quotedPath(path));
    const DWORD rest = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (rest != attributes && !::SetFileAttributesW(path.c_str(), rest == 0 ? FILE_ATTRIBUTE_NORMAL : rest))
        raiseLastError(joined({L"making ", quotedPath(path), L" writable"}));
    tell(&PlatformListener::madeWritable, path);
}

namespace {

// A 32-bit program on 64-bit Windows sees SysWOW64 under the system
// folder's name, but the session manager, a 64-bit program, carries out the
// deletions at the restart without that redirection: the path it is given
// must name SysWOW64. Both functions are looked up (XP SP2, XP x64 on).
std::wstring unredirectedPath(const std::wstring& path) {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    using GetSystemWow64DirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);
    const auto isWow64 = optionalKernelFunction<IsWow64ProcessFn>("IsWow64Process");
    const auto wow64Folder = optionalKernelFunction<GetSystemWow64DirectoryFn>("GetSystemWow64DirectoryW");
    BOOL wow64 = FALSE;
    if (isWow64 == nullptr || wow64Folder == nullptr || !isWow64(::GetCurrentProcess(), &wow64) || !wow64) return path;
    wchar_t system[MAX_PATH], redirected[MAX_PATH];
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    const UINT redirectedLength = wow64Folder(redirected, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH || redirectedLength == 0 || redirectedLength >= MAX_PATH ||
        !inFolder(path, std::wstring(system, systemLength)))
        return path;
    return std::wstring(redirected, redirectedLength) + path.substr(systemLength);
}

}  // namespace

void Win32Platform::deleteAtRestart(const std::wstring& path) {
    if (!::MoveFileExW(unredirectedPath(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        raiseLastError(joined({L"scheduling the deletion of ", quotedPath(path), L" at the next restart"}));
    tell(&PlatformListener::deletesAtRestart, path);
}

DWORD Win32Platform::volumeFlags(const std::wstring& path) {
    std::vector<wchar_t> volume(path.size() + 2);
    DWORD flags = 0;
    if (!::GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size())) ||
        !::GetVolumeInformationW(volume.data(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        raiseLastError(L"asking Windows about the volume of " + quotedPath(path));
    return flags;
}

std::wstring Win32Platform::folderIdentity(const std::wstring& path) {
    const BY_HANDLE_FILE_INFORMATION information =
        fileInformation(path, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw Failure(ERROR_CANT_ACCESS_FILE, quotedPath(path) + L" is a link or a file, not a folder");
    // NTFS never hands a file id out twice (it carries a sequence number),
    // and a folder's creation time may read otherwise once something is
    // made in it (Wine reports the change time): there the id says it all.
    // FAT32's id is a place in the folder above, the next folder's there.
    const bool lasting = (volumeFlags(path) & FILE_PERSISTENT_ACLS) != 0;
    const DWORD parts[] = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow,
                           lasting ? 0 : information.ftCreationTime.dwHighDateTime,
                           lasting ? 0 : information.ftCreationTime.dwLowDateTime};
    return hex(reinterpret_cast<const unsigned char*>(parts), sizeof parts);
}

namespace {

// Empties and removes a folder; a link in it is removed itself, never what
// it leads to. False when something is left for the next restart.
bool removeTree(const std::wstring& folder) noexcept {
    bool gone = true;
    const auto atRestart = [&](const std::wstring& path) {
        gone = false;
        ::MoveFileExW(unredirectedPath(path).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    };
    try {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
        if (search) do {
                const std::wstring name = entry.cFileName, path = joined({folder, L"\\", name});
                if (name == L"." || name == L"..") continue;
                const DWORD attributes = entry.dwFileAttributes;
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                    gone = removeTree(path) && gone;
                } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    if (!::RemoveDirectoryW(path.c_str())) atRestart(path);
                } else {
                    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    if (!::DeleteFileW(path.c_str())) atRestart(path);
                }
            } while (::FindNextFileW(search.get(), &entry));
        if (!::RemoveDirectoryW(folder.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) atRestart(folder);
    } catch (...) {
        gone = false;
    }
    return gone;
}

}  // namespace

bool Win32Platform::removeFolder(const std::wstring& path) noexcept {
    for (auto held = heldFiles_.begin(); held != heldFiles_.end();)
        held = inFolder(held->path, path) ? heldFiles_.erase(held) : held + 1;
    bool gone = false;
    try {
        folderIdentity(path);  // a link at its root is never followed
        gone = removeTree(path);
    } catch (...) {
        gone = ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    tell(&PlatformListener::removedFolder, path, gone);
    return gone;
}

}  // namespace tolvane
