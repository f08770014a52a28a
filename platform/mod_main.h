// The kernel32 functions the program calls directly, as an interface so the
// steps can be run against a recording fake. Each keeps the name and the
// argument order of the Windows function it stands for.
#pragma once

#include <windows.h>

namespace tolvane {

class modMain {
public:
    virtual ~modMain() = default;

    // Writes the system folder into the 8-bit buffer; returns the number of
    // characters written, or the size needed when the buffer is too small,
    // or 0 on failure.
    virtual UINT GetSystemDirectoryA(LPSTR buffer, UINT size) = 0;
    virtual UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) = 0;
    virtual BOOL GetVersionExA(OSVERSIONINFOA* info) = 0;

    virtual HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) = 0;
    // Returns when the handle is signalled or the time is up. The real one
    // answers messages sent to this thread meanwhile (see win32_platform.cpp).
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    // The code a process ended with, or STILL_ACTIVE (259) while it runs.
    virtual BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) = 0;
    virtual DWORD GetLastError() = 0;
    virtual BOOL TerminateProcess(HANDLE process, UINT exitCode) = 0;
};

}  // namespace tolvane
