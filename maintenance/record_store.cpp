// The record and the mark, as values of the program's key in the registry.
#include "maintenance/record_store.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"

namespace tolvane {

namespace {

constexpr wchar_t recordValue[] = L"RepairInProgress";
constexpr wchar_t earlierMarkValue[] = L"Installed";  // the mark as an earlier release kept it: one list of lines

// The mark's lines, each a value of its own: line key, value name, and
// the field, text or a number.
struct MarkValue {
    const wchar_t* key;
    const wchar_t* name;
    std::wstring InstalledMark::*text;
    std::optional<DWORD> InstalledMark::*number;
};
const MarkValue markValues[] = {{L"sha256", L"Sha256", &InstalledMark::sha256, nullptr},
                                {L"when", L"When", &InstalledMark::when, nullptr},
                                {L"exitCode", L"ExitCode", nullptr, &InstalledMark::exitCode},
                                {L"installerExitCode", L"InstallerExitCode", nullptr, &InstalledMark::installerExitCode}};

// `lead`, then the lines of a record after its first (with `record`) or of
// a mark, on one line.
std::wstring oneLine(const char* lead, const std::wstring& text, bool record) {
    std::wstring line = widened(lead) + text.substr(record ? text.find(L'\n') + 1 : 0);
    if (line.back() == L'\n') line.pop_back();
    for (std::size_t at = 0; (at = line.find(L'\n', at)) != std::wstring::npos;) line.replace(at, 1, L"; ");
    return line;
}

}  // namespace

std::wstring InstalledMark::lines() const {
    std::wstring text;
    for (const MarkValue& value : markValues) {
        const std::optional<DWORD>* number = value.number != nullptr ? &(this->*value.number) : nullptr;
        const std::wstring data = number != nullptr ? (*number ? decimal(**number) : std::wstring()) : this->*value.text;
        if (!data.empty()) text += joined({value.key, L"=", data, L"\n"});
    }
    return text;
}

// Lines of another kind (an earlier release's) are left out.
InstalledMark InstalledMark::fromLines(const std::wstring& text) {
    InstalledMark mark;
    for (const std::wstring& line : tolvane::lines(text)) {
        const std::size_t equals = line.find(L'=');
        for (const MarkValue& value : markValues) {
            if (line.compare(0, equals, value.key) != 0) continue;
            const std::wstring data = line.substr(equals + 1);
            if (value.text != nullptr) mark.*value.text = data;
            else {
                unsigned long long number = 0;
                decimalNumber(data, number);  // only the program writes these lines
                mark.*value.number = static_cast<DWORD>(number);
            }
        }
    }
    return mark;
}

bool RecordStore::readRecord(std::wstring& text) {
    RegistryValue value;
    const bool there = platform_.readRegistryValue(recordValue, REG_MULTI_SZ, value);
    text = value.text;
    platform_.note(there ? oneLine("  found the record: ", text, true) : widened("  there is none"));
    return there;
}

void RecordStore::writeRecord(const std::wstring& text) {
    RegistryValue value;
    value.type = REG_MULTI_SZ;
    value.text = text;
    platform_.writeRegistryValue(recordValue, value);
    platform_.note(oneLine("  recorded: ", text, true));
}

void RecordStore::clearRecord() {
    platform_.deleteRegistryValue(recordValue);
    platform_.note("  the record of the repair is removed");
}

bool RecordStore::readMark(InstalledMark& mark) {
    mark = InstalledMark();
    RegistryValue value;
    for (const MarkValue& named : markValues) {
        if (!platform_.readRegistryValue(named.name, named.text != nullptr ? REG_SZ : REG_DWORD, value)) continue;
        if (named.text != nullptr) mark.*named.text = value.text;
        else mark.*named.number = value.number;
    }
    if (mark.empty() && platform_.readRegistryValue(earlierMarkValue, REG_MULTI_SZ, value))
        mark = InstalledMark::fromLines(value.text);
    return !mark.empty();
}

void RecordStore::writeMark(const InstalledMark& mark) {
    for (const MarkValue& named : markValues) {
        RegistryValue value;
        const std::optional<DWORD>* number = named.number != nullptr ? &(mark.*named.number) : nullptr;
        if (number != nullptr ? !*number : (mark.*named.text).empty()) {
            platform_.deleteRegistryValue(named.name);
            continue;
        }
        value.type = number != nullptr ? REG_DWORD : REG_SZ;
        if (number != nullptr) value.number = **number;
        else value.text = mark.*named.text;
        platform_.writeRegistryValue(named.name, value);
    }
    platform_.deleteRegistryValue(earlierMarkValue);
    const std::wstring lines = mark.lines();
    RegistryValue record;
    if (!lines.empty()) platform_.note(oneLine("  marked as installed by this program: ", lines, false));
    else if (!platform_.readRegistryValue(recordValue, REG_MULTI_SZ, record)) platform_.deleteRegistryKey();
}

}  // namespace tolvane
