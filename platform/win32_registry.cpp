// The Windows side: the program's values in the registry.
#include "platform/win32_platform.h"

#include <cstring>
#include <vector>

#include "platform/text.h"
#include "platform/win32_shared.h"

namespace tolvane {

namespace {

// The program's key lives under HKEY_LOCAL_MACHINE\SOFTWARE, which only
// administrators can change (on 64-bit Windows, in its 32-bit view). The
// registry functions come from the system folder's advapi32.dll, loaded
// only for the repair.
constexpr wchar_t programKey[] = L"SOFTWARE\\Tolvane";
constexpr wchar_t programKeyPlace[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane";

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

// What the failures say they were doing it to.
std::wstring valueAction(const char* doing, const wchar_t* name) {
    return joined({widened(doing), L" the value ", name, L" of ", programKeyPlace});
}

void raiseFor(const std::wstring& action, LONG error) {
    if (error != ERROR_SUCCESS) throw failureFor(action, static_cast<DWORD>(error));
}

// The program's key with `access`: made where it is missing (`create`), or
// else empty where there is none.
RegistryKey programKeyFor(const Registry& registry, const std::wstring& action, REGSAM access, bool create = false) {
    HKEY key = nullptr;
    const LONG error = create ? registry.create(HKEY_LOCAL_MACHINE, programKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                access, nullptr, &key, nullptr)
                              : registry.open(HKEY_LOCAL_MACHINE, programKey, 0, access, &key);
    if (create || error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
    return RegistryKey(key);
}

}  // namespace

bool Win32Platform::readRegistryValue(const wchar_t* name, DWORD type, RegistryValue& value) {
    const std::wstring action = valueAction("reading", name);
    const Registry& registry = Registry::get(action);
    const RegistryKey key = programKeyFor(registry, action, KEY_QUERY_VALUE);
    if (!key) return false;
    DWORD size = 0;
    LONG error = registry.query(key.get(), name, nullptr, &value.type, nullptr, &size);
    if (error == ERROR_FILE_NOT_FOUND) return false;
    raiseFor(action, error);
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    raiseFor(action, registry.query(key.get(), name, nullptr, &value.type, reinterpret_cast<BYTE*>(data.data()), &size));
    if (type != value.type) throw Failure(ERROR_INVALID_DATA, action + L" failed: it is of another type");
    std::memcpy(&value.number, data.data(), sizeof value.number);
    // A list of lines (REG_MULTI_SZ): each ends with a NUL, the list with another.
    value.text.clear();
    for (const wchar_t* line = data.data(); value.type != REG_DWORD && *line != 0 && line < data.data() + data.size();
         line += ::lstrlenW(line) + 1) {
        value.text += line;
        if (value.type != REG_MULTI_SZ) break;
        value.text += L'\n';
    }
    return true;
}

void Win32Platform::writeRegistryValue(const wchar_t* name, const RegistryValue& value) {
    const std::wstring action = valueAction("writing", name);
    const Registry& registry = Registry::get(action);
    std::wstring data = value.text;
    for (wchar_t& c : data)
        if (c == L'\n') c = L'\0';
    data += L'\0';
    const RegistryKey key = programKeyFor(registry, action, KEY_SET_VALUE, true);
    raiseFor(action, value.type == REG_DWORD
                         ? registry.set(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number),
                                        sizeof value.number)
                         : registry.set(key.get(), name, 0, value.type, reinterpret_cast<const BYTE*>(data.data()),
                                        static_cast<DWORD>(data.size() * sizeof(wchar_t))));
    raiseFor(action, registry.flush(key.get()));
}

void Win32Platform::deleteRegistryValue(const wchar_t* name) {
    const std::wstring action = valueAction("removing", name);
    const Registry& registry = Registry::get(action);
    const RegistryKey key = programKeyFor(registry, action, KEY_SET_VALUE);
    if (!key) return;
    const LONG error = registry.deleteValue(key.get(), name);
    if (error == ERROR_FILE_NOT_FOUND) return;
    raiseFor(action, error);
    raiseFor(action, registry.flush(key.get()));
}

void Win32Platform::deleteRegistryKey() {
    const std::wstring action = L"removing " + std::wstring(programKeyPlace);
    const LONG error = Registry::get(action).deleteKey(HKEY_LOCAL_MACHINE, programKey);
    if (error != ERROR_FILE_NOT_FOUND) raiseFor(action, error);
}

}  // namespace tolvane
