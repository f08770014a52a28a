// The medium's files against the record that the publisher's tool wrote into
// the program (tools/make_medium.py): a copy of the medium where its user
// can write (a USB stick, an image unpacked into Downloads) must not have
// anything else run or copied with administrator rights.
#include "maintenance/medium_check.h"
#include "platform/text.h"

namespace tolvane {

namespace {

// The record's first line; the build's own program carries the second.
constexpr wchar_t recordHeader[] = L"Tolvane medium record 1";
constexpr wchar_t noRecord[] = L"Tolvane medium record: empty";

// A file of the record: hashed, or (no digest) only named.
struct MediumFile {
    std::wstring name;
    std::uint64_t size;
    std::wstring sha256;
};

// "file <size> <sha256> <name>" or "other <name>", or false.
bool parseLine(const std::wstring& line, MediumFile& file) {
    if (line.compare(0, 6, L"other ") == 0) {
        file = MediumFile{line.substr(6), 0, std::wstring()};
        return !file.name.empty();
    }
    const std::size_t sizeEnd = line.find(L' ', 5);
    if (line.compare(0, 5, L"file ") != 0 || sizeEnd == std::wstring::npos || sizeEnd == 5 || sizeEnd > 20 ||
        line.size() <= sizeEnd + 66 || line[sizeEnd + 65] != L' ')
        return false;
    file = MediumFile{line.substr(sizeEnd + 66), 0, line.substr(sizeEnd + 1, 64)};
    if (!decimalNumber(line.substr(5, sizeEnd - 5), file.size)) return false;
    for (wchar_t c : file.sha256)
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    return true;
}

// The loader maps these from the folder of the program it starts.
bool loaderMaps(const std::wstring& name) {
    for (const wchar_t* ending : {L".exe", L".dll", L".ocx", L".manifest", L".local"})
        if (name.size() > std::wstring(ending).size() &&
            samePath(name.substr(name.size() - std::wstring(ending).size()), ending))
            return true;
    return false;
}

}  // namespace

Failure refusedMediumFile(const std::wstring& path, const std::wstring& why, const wchar_t* what) {
    return Failure(ERROR_INVALID_DATA, joined({quotedPath(path), what, why, L"); nothing was installed."}));
}

void MediumCheck::checkMedium() {
    platform_.note("Checking the medium's files against the program's record of them");
    const std::wstring text = platform_.mediumRecord();
    if (text.empty() || text.compare(0, std::wstring(noRecord).size(), noRecord) == 0) {
        // Still, the control the machine has is told from this disc's by its bytes.
        try {
            controlSha256 = platform_.digestFile(machine_.mediumPath(L"\\data\\Flash.ocx"), false).sha256;
        } catch (const Failure&) {
            platform_.noteDropped("this disc's control is not told by its bytes");
        }
        return platform_.note("  the program carries no record of the medium's files: they are not checked");
    }
    std::vector<MediumFile> files;
    std::wstring damage;
    bool ended = false;
    const std::vector<std::wstring> all = lines(text);
    for (std::size_t number = 0; number < all.size() && damage.empty() && !ended; ++number) {
        MediumFile file;
        if (number == 0) {
            if (all[0] != recordHeader) damage = L"it does not begin with " + quotedPath(recordHeader);
        } else if (all[number] == L"end") {
            ended = true;
        } else if (all[number].compare(0, 6, L"quiet ") == 0) {
            installerQuietArgs = all[number].substr(6);
        } else if (parseLine(all[number], file)) {
            files.push_back(file);
        } else {
            damage = joined({L"its line ", decimal(number + 1), L" is not one the publisher's tool writes"});
        }
    }
    if (damage.empty() && !ended) damage = L"it has no end";
    for (const wchar_t* needed : {L"install_flash_player.exe", L"Flash.ocx", L"menu.exe"}) {
        bool found = false;
        for (const MediumFile& file : files) found = found || (!file.sha256.empty() && samePath(file.name, needed));
        if (!found && damage.empty()) damage = L"it does not name " + std::wstring(needed);
    }
    if (!damage.empty())
        throw Failure(ERROR_INVALID_DATA, joined({L"The record of the medium's files in this program is damaged (",
                                                  damage, L"); nothing was installed."}));
    // Windows looks for an installer's DLLs in its own folder first: a file
    // there that the publisher did not put there is refused too.
    const std::wstring data = machine_.mediumPath(L"\\data");
    const auto refuse = [&](const std::wstring& name, const std::wstring& why,
                            const wchar_t* what = L" was changed after the medium was made (") {
        throw refusedMediumFile(joined({data, L"\\", name}), why, what);
    };
    recorded_.clear();
    for (const MediumFile& file : files) recorded_.push_back(file.name);
    const std::wstring added = unrecorded(data);
    if (!added.empty()) refuse(added, L"the medium was made without it");
    for (const MediumFile& file : files) {
        if (file.sha256.empty()) {
            if (loaderMaps(file.name))
                platform_.noteAbout(joined({data, L"\\", file.name}), " has no SHA-256 in the record (an older tool's): not checked");
            continue;
        }
        // The installer is read once, as it is copied (see Repair::prepareInstaller).
        if (samePath(file.name, L"install_flash_player.exe")) {
            installer = FileDigest{file.size, file.sha256};
            continue;
        }
        FileDigest digest{0, std::wstring()};
        try {
            digest = platform_.digestFile(joined({data, L"\\", file.name}), true);
        } catch (const Failure& failure) {
            // Missing, or there and unreadable (a scratched disc).
            const bool missing = failure.number() == ERROR_FILE_NOT_FOUND || failure.number() == ERROR_PATH_NOT_FOUND;
            refuse(file.name, failure.description(), missing ? L" is missing (" : L" could not be read (");
        }
        if (digest.size != file.size) refuse(file.name, joined({L"it has ", decimal(digest.size), L" bytes, not ",
                                                                decimal(file.size)}));
        if (digest.sha256 != file.sha256) refuse(file.name, L"its SHA-256 is not the one recorded");
        if (samePath(file.name, L"Flash.ocx")) controlSha256 = file.sha256;
    }
    checked = true;
    platform_.note("  all as the medium was made (the installer as it is copied); held until the program ends");
}

std::wstring MediumCheck::unrecorded(const std::wstring& data) {
    for (const std::wstring& entry : platform_.folderEntries(data)) {
        bool recorded = false;
        for (const std::wstring& name : recorded_) recorded = recorded || samePath(name, entry);
        if (!recorded) return entry;
    }
    return std::wstring();
}

void MediumCheck::checkNothingAdded() {
    if (!checked) return;
    const std::wstring data = machine_.mediumPath(L"\\data");
    const std::wstring added = unrecorded(data);
    if (!added.empty())
        throw Failure(ERROR_INVALID_DATA, joined({quotedPath(joined({data, L"\\", added})),
                                                  L" was put beside the menu after the medium was checked"}));
}

}  // namespace tolvane
