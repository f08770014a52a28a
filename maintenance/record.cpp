// The record of a repair at work: its lines, read and written, and the
// names it may hold.
#include "maintenance/journal.h"

#include <algorithm>

#include "platform/text.h"

namespace tolvane {

std::wstring backupPath(const std::wstring& path) {
    return path.substr(0, path.size() >= 3 ? path.size() - 3 : 0) + L"bkp";
}

namespace {

constexpr wchar_t recordHeader[] = L"Tolvane repair record 1";

// The record's lines after the first two, in the order they are written:
// a path or text, a SHA-256 (64 digits), a flag ("yes"), or a list (a line
// each: a path, or for `left` "<what it was>|<path>").
enum class Kind { text, sha256, flag, list };
struct Field {
    const wchar_t* key;
    Kind kind;
    std::wstring RepairRecord::*text;
    bool RepairRecord::*flag;
    std::vector<std::wstring> RepairRecord::*list = nullptr;
};
const Field fields[] = {
    {L"own", Kind::flag, nullptr, &RepairRecord::ownControl},
    {L"ownUnknown", Kind::flag, nullptr, &RepairRecord::ownUnknown},
    {L"controlTo", Kind::text, &RepairRecord::usersControlTo, nullptr},
    {L"inf", Kind::text, &RepairRecord::inf, nullptr},
    {L"replaced", Kind::text, &RepairRecord::replacedControl, nullptr},
    {L"replacedTo", Kind::text, &RepairRecord::replacedTo, nullptr},
    {L"copy", Kind::text, &RepairRecord::mediumCopy, nullptr},
    {L"mediumCopy", Kind::flag, nullptr, &RepairRecord::mediumCopyInPlace},
    {L"copySha256", Kind::sha256, &RepairRecord::copySha256, nullptr},
    {L"installerFolder", Kind::text, &RepairRecord::installerFolder, nullptr},
    {L"installerFolderId", Kind::text, &RepairRecord::installerFolderId, nullptr},
    {L"finished", Kind::flag, nullptr, &RepairRecord::finished},
    {L"keptByRun", Kind::flag, nullptr, &RepairRecord::keptByRun},
    {L"installerStarted", Kind::flag, nullptr, &RepairRecord::installerStarted},
    {L"installerEnded", Kind::flag, nullptr, &RepairRecord::installerEnded},
    {L"installerSha256", Kind::sha256, &RepairRecord::installerSha256, nullptr},
    {L"perhapsInstallers", Kind::sha256, &RepairRecord::perhapsInstallers, nullptr},
    {L"discard", Kind::list, nullptr, nullptr, &RepairRecord::discards},
    {L"left", Kind::list, nullptr, nullptr, &RepairRecord::leftovers},
    {L"kept", Kind::list, nullptr, nullptr, &RepairRecord::olderBackups},
};

}  // namespace

std::wstring RepairRecord::text() const {
    std::wstring text = joined({std::wstring(recordHeader), L"\nstep=", step, L"\ncontrol=", usersControl, L"\n"});
    const auto add = [&](const wchar_t* key, const std::wstring& value) {
        if (!value.empty()) text += joined({key, L"=", value, L"\n"});
    };
    for (const Field& field : fields) {
        if (field.list == nullptr) add(field.key, field.text != nullptr ? this->*field.text : this->*field.flag ? L"yes" : L"");
        else
            for (const std::wstring& value : this->*field.list) add(field.key, value);
    }
    // One line for each of the mark's; an empty one for no mark.
    if (markKnown) {
        const std::vector<std::wstring> mark = lines(markBefore.lines());
        if (mark.empty()) text += L"markBefore=\n";
        for (const std::wstring& line : mark) add(L"markBefore", line);
    }
    return text;
}

Failure unreadableRecord(const std::wstring& why) {
    return Failure(ERROR_INVALID_DATA, joined({L"reading the record of an earlier repair that was cut off (",
                                               std::wstring(repairRecordPlace), L") failed: ", why, L". The record is kept and nothing was changed."}));
}

// Nothing is guessed from a record that this program did not write.
RepairRecord RepairRecord::parse(const std::wstring& text) {
    RepairRecord record;
    std::wstring mark;
    bool step = false, control = false;
    const std::vector<std::wstring> all = lines(text);
    if (!all.empty() && all[0] != recordHeader) throw unreadableRecord(L"it does not begin with " + quotedPath(recordHeader));
    for (std::size_t i = 1; i < all.size(); ++i) {
        const std::wstring& line = all[i];
        const std::size_t equals = line.find(L'=');
        const std::wstring key = line.substr(0, equals), value = equals == std::wstring::npos ? L"" : line.substr(equals + 1);
        const Field* field = std::find_if(std::begin(fields), std::end(fields), [&](const Field& f) { return key == f.key; });
        bool read = equals != std::wstring::npos;
        if (!read) {
        } else if (field != std::end(fields)) {
            if (field->kind == Kind::flag) read = value == L"yes", record.*field->flag = true;
            else if (field->kind == Kind::list)  // a leftover says what it was
                read = !value.empty() && (field->list != &RepairRecord::leftovers || value.find(L'|') != std::wstring::npos),
                (record.*field->list).push_back(value);
            else read = field->kind == Kind::text ? !value.empty() : value.size() == 64, record.*field->text = value;
        } else if (key == L"step") {
            step = true, record.step = value;
        } else if (key == L"control") {
            control = true, record.usersControl = value;
        } else if (key == L"markBefore") {
            record.markKnown = true, mark += value.empty() ? L"" : value + L"\n";
        } else {
            read = false;
        }
        if (!read) throw unreadableRecord(joined({L"its line ", decimal(i + 1), L" is not one this program writes"}));
    }
    if (!step || !control) throw unreadableRecord(L"it is incomplete");
    record.markBefore = InstalledMark::fromLines(mark);
    return record;
}

namespace {

// `path` is `base` followed by ".<number>" and `ending`: flash.ocx.2.old;
// with `hex`, the number may be hexadecimal: Tolvane.3f9c0a1d2b7e4c65.
bool numbered(const std::wstring& path, const std::wstring& base, const wchar_t* ending, bool hex = false) {
    const std::wstring end(ending);
    if (path.size() < base.size() + 2 + end.size() || !samePath(path.substr(0, base.size()), base) ||
        path[base.size()] != L'.' || !samePath(path.substr(path.size() - end.size()), end))
        return false;
    for (std::size_t i = base.size() + 1; i < path.size() - end.size(); ++i)
        if (!(path[i] >= L'0' && path[i] <= L'9') && !(hex && path[i] >= L'a' && path[i] <= L'f')) return false;
    return true;
}

}  // namespace


// What the run makes or moves: the control, its backup, the setup
// information file and its backup, the names beside them that the run
// picks, and the installer's folder. A record cloned with a disk image from
// another machine, or damaged so that it still reads, names other files.
void Journal::checkRecordNames(const RepairRecord& record) {
    const std::wstring control = machine_.getPathFlash(), backup = backupPath(control);
    // An old swflash.bkp goes aside before the record names swflash.inf.
    // The one setup information file the run moves, whatever this run's
    // version query says (one that failed says "not XP").
    const std::wstring inf = machine_.windowsFolder() + L"\\ServicePackFiles\\i386\\swflash.inf";
    const std::wstring infBackup = backupPath(inf);
    const auto check = [&](const std::wstring& value, bool allowed) {
        if (!value.empty() && !allowed) throw unreadableRecord(quotedPath(value) + L" is not a file this program makes");
    };
    // A name beside the control or its backup that the run picks for its own.
    const auto aside = [&](const std::wstring& value) {
        return numbered(value, control, L".old") || numbered(value, backup, L".old");
    };
    const auto controlOrBackup = [&](const std::wstring& value) {
        return samePath(value, control) || samePath(value, backup) || aside(value);
    };
    check(record.usersControl, controlOrBackup(record.usersControl));
    check(record.usersControlTo, controlOrBackup(record.usersControlTo));
    check(record.inf, samePath(record.inf, inf));
    check(record.replacedControl, numbered(record.replacedControl, control, L".old"));
    check(record.replacedTo, samePath(record.replacedTo, control));
    check(record.mediumCopy, numbered(record.mediumCopy, control, L".new"));
    for (const std::wstring& older : record.olderBackups) check(older, numbered(older, backup, L".old"));
    check(record.installerFolder, isInstallerFolder(record.installerFolder));
    for (const std::wstring& left : record.leftovers) {
        const std::wstring path = left.substr(left.find(L'|') + 1);
        check(path, aside(path) || isInstallerFolder(path));
    }
    for (const std::wstring& file : record.discards)
        check(file, numbered(file, control, L".new") || aside(file) || numbered(file, infBackup, L".old"));
}

bool Journal::isInstallerFolder(const std::wstring& path) {
    return numbered(path, machine_.windowsFolder() + installerFolders, L"", true);
}

}  // namespace tolvane
