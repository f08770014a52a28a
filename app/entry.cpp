#include <windows.h>

#include "app/main_window.h"
#include "platform/win32_platform.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    tolvane::Win32Platform platform(instance);
    return tolvane::runProgram(platform);
}
