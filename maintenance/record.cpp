// The record of a repair at work: its lines, read and written, and the
// names it may hold.
#include "maintenance/journal.h"

#include <algorithm>

#include "platform/text.h"

namespace tolvane {

std::wstring backupPath(const std::wstring& path) {
    return path.substr(0, path.size() >= 3 ? path.size() - 3 : 0) + L"bkp";
}

std::size_t RepairRecord::add(Move::Kind kind, Move::State state, const std::wstring& from, const std::wstring& to,
                              const std::wstring& id, std::size_t at) {
    moves.push_back(Move{kind, state, from, to, id});
    std::size_t i = moves.size() - 1;
    for (; i > at; --i) std::swap(moves[i], moves[i - 1]);
    return i;
}

void RepairRecord::drop(Move::Kind kind, const std::wstring& to) {
    for (std::size_t i = moves.size(); i-- > 0;)
        if (moves[i].kind == kind && (to.empty() || moves[i].to == to)) drop(i);
}

Move* RepairRecord::last(Move::Kind kind) {
    for (std::size_t i = moves.size(); i-- > 0;)
        if (moves[i].kind == kind) return &moves[i];
    return nullptr;
}

std::wstring RepairRecord::usersControl() const {
    const Move* users = last(Move::usersAside);
    return users == nullptr ? control : users->state == Move::ahead ? users->from : users->to;
}

std::wstring RepairRecord::copySha256() const {
    const Move* copy = last(Move::copyPlaced);
    return copy != nullptr ? copy->id : std::wstring();
}

std::wstring RepairRecord::installerFolder() const {
    const Move* folder = last(Move::folderMade);
    return folder != nullptr ? folder->to : std::wstring();
}

namespace {

constexpr wchar_t recordHeader[] = L"Tolvane repair record 2";
// What an earlier build wrote: a field for each thing moved.
constexpr wchar_t earlierHeader[] = L"Tolvane repair record 1";

// A move's line: "<kind>=<state>|<from>|<to>|<id>".
constexpr wchar_t moveKinds[][14] = {L"backupAside", L"usersAside", L"infAside",      L"folderMade",
                                     L"installerRan", L"ownFile",   L"replacedAside", L"copyPlaced"};
constexpr wchar_t moveStates[][6] = {L"ahead", L"done", L"back"};

template <std::size_t N, std::size_t M>
int nameIndex(const wchar_t (&names)[N][M], const std::wstring& name) {
    for (std::size_t i = 0; i < N; ++i)
        if (name == names[i]) return static_cast<int>(i);
    return -1;
}

// The lines after the first, in the order they are written: a path or
// text, a SHA-256 (64 digits), a flag ("yes"), or a list (a line each: a
// path, or for `left` "<what it was>|<path>"). The moves follow, and
// `finished` last.
enum class Kind { text, sha256, flag, list };
struct Field {
    const wchar_t* key;
    Kind kind;
    std::wstring RepairRecord::*text;
    bool RepairRecord::*flag;
    std::vector<std::wstring> RepairRecord::*list = nullptr;
};
const Field fields[] = {
    {L"step", Kind::text, &RepairRecord::step, nullptr},
    {L"control", Kind::text, &RepairRecord::control, nullptr},
    {L"own", Kind::flag, nullptr, &RepairRecord::ownControl},
    {L"ownUnknown", Kind::flag, nullptr, &RepairRecord::ownUnknown},
    {L"perhapsInstallers", Kind::sha256, &RepairRecord::perhapsInstallers, nullptr},
    {L"kept", Kind::list, nullptr, nullptr, &RepairRecord::olderBackups},
    {L"left", Kind::list, nullptr, nullptr, &RepairRecord::leftovers},
};

// An earlier build's record: each thing moved was a field of its own, and
// `control` said where the user's control was then. Each such line sets a
// part of a move (a flag, its state); a move's line comes before another
// of the same move.
struct EarlierField {
    wchar_t key[18];  // in place: no address for the loader to relocate
    Move::Kind kind;
    std::wstring Move::*part;  // null: a flag
    signed char state;         // what the line says of the move's state; -1: nothing
};
const EarlierField earlierFields[] = {
    {L"controlTo", Move::usersAside, &Move::to, Move::ahead},  // a rename either way, under way
    {L"inf", Move::infAside, &Move::from, Move::done},
    {L"replaced", Move::replacedAside, &Move::to, Move::done},
    {L"replacedTo", Move::replacedAside, &Move::from, Move::back},
    {L"copy", Move::copyPlaced, &Move::from, Move::ahead},
    {L"mediumCopy", Move::copyPlaced, nullptr, Move::done},
    {L"copySha256", Move::copyPlaced, &Move::id, -1},
    {L"installerFolder", Move::folderMade, &Move::to, Move::done},
    {L"installerFolderId", Move::folderMade, &Move::id, -1},
    {L"keptByRun", Move::backupAside, nullptr, Move::done},
    {L"installerStarted", Move::installerRan, nullptr, Move::ahead},
    {L"installerEnded", Move::installerRan, nullptr, Move::done},
    {L"installerSha256", Move::installerRan, &Move::id, -1},
    {L"discard", Move::ownFile, &Move::to, Move::done},
};

// What only the whole record tells: where the user's control was, the
// setup information file's backup, which older backup the run kept aside.
void finishEarlierMoves(RepairRecord& record) {
    for (Move& move : record.moves) {
        if (move.kind == Move::usersAside) move.from = record.control;
        if (move.kind == Move::infAside) move.to = backupPath(move.from);
    }
    if (const Move* kept = record.last(Move::backupAside)) {
        record.drop(record.indexOf(kept));
        if (record.olderBackups.empty()) return;
        record.add(Move::backupAside, Move::done, std::wstring(), record.olderBackups.back(), std::wstring(), 0);
        record.olderBackups.pop_back();
    }
}

}  // namespace

std::wstring RepairRecord::text() const {
    std::wstring text = joined({std::wstring(recordHeader), L"\n"});
    const auto add = [&](const wchar_t* key, const std::wstring& value, bool always = false) {
        if (!value.empty() || always) text += joined({key, L"=", value, L"\n"});
    };
    for (const Field& field : fields) {  // step and control always
        if (field.list == nullptr)
            add(field.key, field.text != nullptr ? this->*field.text : this->*field.flag ? L"yes" : L"", &field < fields + 2);
        else
            for (const std::wstring& value : this->*field.list) add(field.key, value);
    }
    // One line for each of the mark's; an empty one for no mark.
    if (markKnown) {
        const std::vector<std::wstring> mark = lines(markBefore.lines());
        add(L"markBefore", std::wstring(), mark.empty());
        for (const std::wstring& line : mark) add(L"markBefore", line);
    }
    for (const Move& move : moves)
        add(moveKinds[move.kind],
            joined({static_cast<const wchar_t*>(moveStates[move.state]), L"|", move.from, L"|", move.to, L"|", move.id}));
    add(L"finished", finished ? L"yes" : L"");
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
    const bool older = !all.empty() && all[0] == earlierHeader;
    if (!all.empty() && all[0] != recordHeader && !older)
        throw unreadableRecord(L"it does not begin with " + quotedPath(recordHeader));
    for (std::size_t i = 1; i < all.size(); ++i) {
        const std::wstring& line = all[i];
        const std::size_t equals = line.find(L'=');
        const std::wstring key = line.substr(0, equals), value = equals == std::wstring::npos ? L"" : line.substr(equals + 1);
        const Field* field = std::find_if(std::begin(fields), std::end(fields), [&](const Field& f) { return key == f.key; });
        const EarlierField* was = std::find_if(std::begin(earlierFields), std::end(earlierFields),
                                               [&](const EarlierField& f) { return older && key == f.key; });
        const int kind = older ? -1 : nameIndex(moveKinds, key);
        bool read = equals != std::wstring::npos;
        step = step || key == L"step", control = control || key == L"control";
        if (!read) {
        } else if (key == L"finished") {
            read = value == L"yes", record.finished = true;
        } else if (field != std::end(fields)) {
            if (field->kind == Kind::flag) read = value == L"yes", record.*field->flag = true;
            else if (field->kind == Kind::list)  // a leftover says what it was
                read = !value.empty() && (field->list != &RepairRecord::leftovers || value.find(L'|') != std::wstring::npos),
                (record.*field->list).push_back(value);
            else read = field->kind == Kind::sha256 ? value.size() == 64 : !value.empty() || key == L"step" || key == L"control",
                 record.*field->text = value;
        } else if (kind >= 0) {
            std::wstring fields = value + L"|";  // each part a line, the last one too
            std::replace(fields.begin(), fields.end(), L'|', L'\n');
            const std::vector<std::wstring> parts = lines(fields);
            const int state = parts.size() == 4 ? nameIndex(moveStates, parts[0]) : -1;
            read = state >= 0 && (parts[3].empty() || kind == Move::folderMade || parts[3].size() == 64);
            if (read)
                record.add(static_cast<Move::Kind>(kind), static_cast<Move::State>(state), parts[1], parts[2], parts[3]);
        } else if (was != std::end(earlierFields)) {
            Move* move = record.last(was->kind);
            if (move == nullptr || was->kind == Move::ownFile)  // a copy not in place, where only its digest is named
                move = &record.moves[record.add(was->kind, was->kind == Move::copyPlaced ? Move::back : Move::done, L"", L"")];
            if (was->state >= 0) move->state = static_cast<Move::State>(was->state);
            read = was->part != nullptr ? !value.empty() : value == L"yes";
            if (was->part != nullptr) move->*was->part = value;
        } else if (key == L"markBefore") {
            record.markKnown = true, mark += value.empty() ? L"" : value + L"\n";
        } else {
            read = false;
        }
        if (!read) throw unreadableRecord(joined({L"its line ", decimal(i + 1), L" is not one this program writes"}));
    }
    if (!step || !control) throw unreadableRecord(L"it is incomplete");
    record.markBefore = InstalledMark::fromLines(mark);
    if (older) finishEarlierMoves(record);
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

// The kinds of names the record may hold, as bits.
enum Names : unsigned short {
    none = 1,            // an empty name
    controlName = 2,     // the control
    backupName = 4,      // its backup
    controlOld = 8,      // flash.ocx.N.old
    backupOld = 16,      // flash.bkp.N.old
    controlNew = 32,     // flash.ocx.N.new
    infName = 64,        // swflash.inf
    infBackupName = 128, // swflash.bkp
    infBackupOld = 256,  // swflash.bkp.N.old
    folderName = 512,    // the installer's folder
    heldControl = controlName | backupName | controlOld | backupOld,
};
// What each kind of move may name at `from` and at `to`, in Move::Kind's order.
constexpr unsigned short moveNames[][2] = {
    {none | backupName, backupOld},                        // backupAside
    {none | heldControl, heldControl},                     // usersAside: also a rename back of an earlier build's
    {infName, infBackupName},                              // infAside
    {none, folderName},                                    // folderMade
    {none, none},                                          // installerRan
    {none, controlNew | controlOld | backupOld | infBackupOld},  // ownFile
    {none | controlName, controlOld},                      // replacedAside
    {none | controlNew, none | controlName},               // copyPlaced
};

}  // namespace

// What the run makes or moves: the control, its backup, the setup
// information file and its backup, the names beside them that the run
// picks, and the installer's folder. A record cloned with a disk image from
// another machine, or damaged so that it still reads, names other files.
void Journal::checkRecordNames(const RepairRecord& record) {
    const std::wstring control = machine_.getPathFlash(), backup = backupPath(control);
    // The one setup information file the run moves, whatever this run's
    // version query says (one that failed says "not XP").
    const std::wstring inf = machine_.windowsFolder() + L"\\ServicePackFiles\\i386\\swflash.inf";
    const std::wstring infBackup = backupPath(inf);
    const auto check = [&](const std::wstring& path, unsigned allowed) {
        const unsigned names = path.empty()                          ? none
                               : samePath(path, control)             ? controlName
                               : samePath(path, backup)              ? backupName
                               : numbered(path, control, L".old")    ? controlOld
                               : numbered(path, backup, L".old")     ? backupOld
                               : numbered(path, control, L".new")    ? controlNew
                               : samePath(path, inf)                 ? infName
                               : samePath(path, infBackup)           ? infBackupName
                               : numbered(path, infBackup, L".old")  ? infBackupOld
                               : isInstallerFolder(path)             ? folderName
                                                                     : 0;
        if ((names & allowed) == 0) throw unreadableRecord(quotedPath(path) + L" is not a file this program makes");
    };
    check(record.control, none | heldControl);
    for (const std::wstring& older : record.olderBackups) check(older, backupOld);
    for (const std::wstring& left : record.leftovers) check(left.substr(left.find(L'|') + 1), controlOld | backupOld | folderName);
    for (const Move& move : record.moves) check(move.from, moveNames[move.kind][0]), check(move.to, moveNames[move.kind][1]);
}

bool Journal::isInstallerFolder(const std::wstring& path) {
    return numbered(path, machine_.windowsFolder() + installerFolders, L"", true);
}

}  // namespace tolvane
