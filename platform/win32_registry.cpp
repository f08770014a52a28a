// The Windows side: the record of a repair at work and the mark of what
// the last repair put in place, in the registry.
#include "platform/win32_platform.h"

#include <cstring>
#include <vector>

#include "platform/text.h"
#include "platform/win32_shared.h"

namespace tolvane {

namespace {

// The record lives under HKEY_LOCAL_MACHINE\SOFTWARE, which only
// administrators can change (on 64-bit Windows, in its 32-bit view). The
// registry functions come from the system folder's advapi32.dll, loaded
// only for the repair.
constexpr wchar_t recordKey[] = L"SOFTWARE\\Tolvane";
constexpr wchar_t recordValue[] = L"RepairInProgress";
constexpr wchar_t markValue[] = L"Installed";  // the mark as older versions kept it: one list of lines
// The mark's lines each as a value of its own that a deployment tool's
// registry rule can match: line key, value name, and whether it is a number.
struct MarkValue {
    const wchar_t* key;
    const wchar_t* name;
    bool number;
};
constexpr MarkValue markValues[] = {{L"sha256", L"Sha256", false},
                                    {L"version", L"Version", false},
                                    {L"when", L"When", false},
                                    {L"exitCode", L"ExitCode", true},
                                    {L"installerExitCode", L"InstallerExitCode", true}};

struct Registry {
    using OpenFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    using CreateFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
    using QueryFn = LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    using SetFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
    using DeleteValueFn = LONG(WINAPI*)(HKEY, LPCWSTR);
    using KeyFn = LONG(WINAPI*)(HKEY);

    HMODULE advapi = systemLibrary(L"advapi32.dll");
    OpenFn open = libraryFunction<OpenFn>(advapi, "RegOpenKeyExW");
    CreateFn create = libraryFunction<CreateFn>(advapi, "RegCreateKeyExW");
    QueryFn query = libraryFunction<QueryFn>(advapi, "RegQueryValueExW");
    SetFn set = libraryFunction<SetFn>(advapi, "RegSetValueExW");
    DeleteValueFn deleteValue = libraryFunction<DeleteValueFn>(advapi, "RegDeleteValueW");
    using DeleteKeyFn = LONG(WINAPI*)(HKEY, LPCWSTR);
    DeleteKeyFn deleteKey = libraryFunction<DeleteKeyFn>(advapi, "RegDeleteKeyW");
    KeyFn flush = libraryFunction<KeyFn>(advapi, "RegFlushKey");
    KeyFn close = libraryFunction<KeyFn>(advapi, "RegCloseKey");

    static const Registry& loaded() {
        static const Registry registry;
        return registry;
    }
    static const Registry& get(const std::wstring& action) {
        const Registry& registry = loaded();
        if (registry.open == nullptr || registry.create == nullptr || registry.query == nullptr ||
            registry.set == nullptr || registry.deleteValue == nullptr || registry.deleteKey == nullptr ||
            registry.flush == nullptr || registry.close == nullptr)
            throw Failure(ERROR_PROC_NOT_FOUND, action + L" failed: advapi32.dll in the system folder lacks the registry's functions");
        return registry;
    }
};

// Open registry keys, owned as the platform's other handles are; closed
// with the RegCloseKey that Registry::get found.
struct RegistryKeyTraits {
    using Value = HKEY;
    static HKEY invalid() { return nullptr; }
    static void close(HKEY key) { Registry::loaded().close(key); }
};
using RegistryKey = UniqueResource<RegistryKeyTraits>;

// What the record's failures say they were doing it to.
std::wstring recordAction(const wchar_t* doing) {
    return joined({doing, std::wstring(L" the record of the repair ("), repairRecordPlace, L")"});
}

void raiseFor(const std::wstring& action, LONG error) {
    if (error != ERROR_SUCCESS) throw failureFor(action, static_cast<DWORD>(error));
}

// The program's key with `access`: made where it is missing (`create`), or
// else empty where there is none. Inlined where it is used: a function of
// its own would cost the image an unwind entry more than the copies do.
inline __attribute__((always_inline)) RegistryKey recordKeyFor(const Registry& registry, const std::wstring& action,
                                                               REGSAM access, bool create = false) {
    HKEY key = nullptr;
    const LONG error = create ? registry.create(HKEY_LOCAL_MACHINE, recordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                access, nullptr, &key, nullptr)
                              : registry.open(HKEY_LOCAL_MACHINE, recordKey, 0, access, &key);
    if (create || error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
    return RegistryKey(key);
}

}  // namespace

bool Win32Platform::readRepairRecord(std::wstring& text) { return readLines(recordValue, text); }

void Win32Platform::writeRepairRecord(const std::wstring& text) { writeLines(recordValue, text); }

// A value at a time; the lines in the order of markValues. A mark kept by an
// older version (one list) is read as it is.
bool Win32Platform::readInstalledMark(std::wstring& text) {
    const std::wstring action = recordAction(L"reading");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_QUERY_VALUE);
    if (!key) return false;
    text.clear();
    for (const MarkValue& value : markValues) {
        wchar_t data[128] = {};
        DWORD type = 0, size = sizeof data - sizeof(wchar_t), number = 0;
        const LONG error = registry.query(key.get(), value.name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        if (error == ERROR_FILE_NOT_FOUND) continue;
        raiseFor(action, error);
        if (type != (value.number ? REG_DWORD : REG_SZ))
            throw Failure(ERROR_INVALID_DATA, joined({action, L" failed: its value ", value.name,
                                                      L" is of another type"}));
        std::memcpy(&number, data, sizeof number);
        text += value.key + std::wstring(L"=") + (value.number ? decimal(number) : std::wstring(data)) + L"\n";
    }
    return !text.empty() || readLines(markValue, text);
}

void Win32Platform::writeInstalledMark(const std::wstring& text) {
    const std::wstring action = recordAction(L"writing");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_SET_VALUE | KEY_QUERY_VALUE, true);
    const std::vector<std::wstring> all = lines(text);
    for (const MarkValue& value : markValues) {
        const std::wstring prefix = value.key + std::wstring(L"=");
        const auto line = std::find_if(all.begin(), all.end(), [&](const std::wstring& l) { return l.rfind(prefix, 0) == 0; });
        if (line == all.end()) {
            const LONG error = registry.deleteValue(key.get(), value.name);
            if (error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
            continue;
        }
        const std::wstring data = line->substr(prefix.size());
        DWORD number = 0;
        for (wchar_t c : data) number = number * 10 + static_cast<DWORD>(c - L'0');
        raiseFor(action, value.number ? registry.set(key.get(), value.name, 0, REG_DWORD,
                                                     reinterpret_cast<const BYTE*>(&number), sizeof number)
                                      : registry.set(key.get(), value.name, 0, REG_SZ,
                                                     reinterpret_cast<const BYTE*>(data.c_str()),
                                                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
    }
    registry.deleteValue(key.get(), markValue);  // an older version's list
    raiseFor(action, registry.flush(key.get()));
    // An empty mark (the uninstall): the key goes too when no record is in it.
    DWORD type = 0, size = 0;
    if (all.empty() && registry.query(key.get(), recordValue, nullptr, &type, nullptr, &size) == ERROR_FILE_NOT_FOUND)
        registry.deleteKey(HKEY_LOCAL_MACHINE, recordKey);
}

bool Win32Platform::readLines(const wchar_t* value, std::wstring& text) {
    const std::wstring action = recordAction(L"reading");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_QUERY_VALUE);
    if (!key) return false;
    DWORD type = 0, size = 0;
    LONG error = registry.query(key.get(), value, nullptr, &type, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND) return false;
    raiseFor(action, error);
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    error = registry.query(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    raiseFor(action, error);
    if (type != REG_MULTI_SZ) throw Failure(ERROR_INVALID_DATA, action + L" failed: it is not a list of lines");
    text.clear();
    for (const wchar_t* line = data.data(); *line != 0 && line < data.data() + data.size(); line += ::lstrlenW(line) + 1)
        text += line + std::wstring(1, L'\n');
    return true;
}

// A list of lines in the registry (REG_MULTI_SZ): each ends with a NUL, the
// list with another.
void Win32Platform::writeLines(const wchar_t* value, const std::wstring& text) {
    const std::wstring action = recordAction(L"writing");
    const Registry& registry = Registry::get(action);
    std::wstring data = text;
    for (wchar_t& c : data)
        if (c == L'\n') c = L'\0';
    data += L'\0';
    const RegistryKey key = recordKeyFor(registry, action, KEY_SET_VALUE, true);
    raiseFor(action, registry.set(key.get(), value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                  static_cast<DWORD>(data.size() * sizeof(wchar_t))));
    raiseFor(action, registry.flush(key.get()));
}

void Win32Platform::clearRepairRecord() {
    const std::wstring action = recordAction(L"removing");
    const Registry& registry = Registry::get(action);
    const RegistryKey key = recordKeyFor(registry, action, KEY_SET_VALUE);
    if (!key) return;
    const LONG error = registry.deleteValue(key.get(), recordValue);
    if (error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
    raiseFor(action, registry.flush(key.get()));
}

}  // namespace tolvane
