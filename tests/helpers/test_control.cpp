// Stands in for the control: the system's registration tool loads it and
// calls these entry points, which log where the control was loaded from.
// Built with different marks so the tests can tell the copies apart; the
// "broken" build stands for a damaged control whose registration fails.
#include <windows.h>

#include "helpers/test_log.h"

#ifndef TEST_CONTROL_MARK
#error "TEST_CONTROL_MARK must name this build"
#endif

namespace {

HMODULE self;

std::wstring loadedFrom() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(self, path, MAX_PATH);
    return path;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) self = instance;
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
    tolvane::testing::appendTestLog(L"control register " + loadedFrom() + L" mark=" TEST_CONTROL_MARK);
    // TESTCTL_REGISTER_HANGS=<mark>: this build's registration never ends,
    // so that a test can cut the run off during it.
    wchar_t hangs[32] = {};
    ::GetEnvironmentVariableW(L"TESTCTL_REGISTER_HANGS", hangs, 32);
    if (::lstrcmpW(hangs, TEST_CONTROL_MARK) == 0) ::Sleep(INFINITE);
#ifdef TEST_CONTROL_BROKEN
    return E_FAIL;
#else
    return S_OK;
#endif
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllUnregisterServer() {
    tolvane::testing::appendTestLog(L"control unregister " + loadedFrom() + L" mark=" TEST_CONTROL_MARK);
    return S_OK;
}
