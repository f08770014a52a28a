// GoogleTest's Notification needs std::mutex, which the win32-threads MinGW
// runtime lacks; this one, on a Win32 event, takes its place. Included before
// every GoogleTest source (see tests/CMakeLists.txt).
#pragma once

#include <windows.h>

namespace testing::internal {

class Notification {
public:
    Notification() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { ::CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { ::SetEvent(event_); }
    void WaitForNotification() { ::WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace testing::internal
