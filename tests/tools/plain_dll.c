/* DLLs for the publisher's tool's tests. Built for i386 without
   WITH_REGISTRATION, it is a control the registration tool cannot register;
   built for x86-64 with it, a 64-bit control that 32-bit Windows programs
   cannot load. */
#include <windows.h>

#ifdef WITH_REGISTRATION
__declspec(dllexport) HRESULT WINAPI DllRegisterServer(void) { return S_OK; }
__declspec(dllexport) HRESULT WINAPI DllUnregisterServer(void) { return S_OK; }
#endif
__declspec(dllexport) int WINAPI plain(void) { return 0; }
