// The Windows side: the hidden main window and its messages, the end of
// the session, message boxes, and the wait for the elevated instance.
#include "platform/win32_platform.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"
#include "platform/win32_shared.h"

namespace tolvane {

namespace {

// The main window's client area: 4680 x 3195 twips, 15 twips to a pixel at 96 dpi.
constexpr int clientWidth = 4680 / 15;
constexpr int clientHeight = 3195 / 15;

}  // namespace

// Outside the repair's span, and for every other message, the window
// answers as any window does.
LRESULT CALLBACK Win32Platform::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32Platform*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_COPYDATA && self != nullptr) {
        self->heard(*reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return TRUE;
    }
    // taskkill without /F, Task Manager's "End task": the run goes on to its
    // end, as a half-done repair is worse than a late one.
    if (message == WM_CLOSE) {
        if (self != nullptr && self->log_ != nullptr)
            self->log_->add(widened("The program was asked to close (WM_CLOSE): the run goes on to its end"));
        return 0;
    }
    if (self != nullptr && self->sessionListener_ != nullptr) {
        if (message == WM_QUERYENDSESSION && self->holdingSessionEnd_) return FALSE;
        if (message == WM_ENDSESSION && wParam != FALSE) {
            SessionEndListener* listener = self->sessionListener_;
            self->sessionListener_ = nullptr;  // once, however the messages nest
            listener->sessionEnding();
            return 0;
        }
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// Only what the elevated instance this run started says is taken; a second
// start's word is written down as such.
void Win32Platform::heard(const COPYDATASTRUCT& data) noexcept {
    std::wstring lines;
    DWORD outcome = 0;
    switch (channel_ == nullptr ? InstanceChannel::Heard::refused : channel_->receive(data, lines, outcome)) {
        case InstanceChannel::Heard::lines:
            if (logLines_ != nullptr) logLines_->addHanded(lines);
            return;
        case InstanceChannel::Heard::outcome:
            handedOutcome_ = outcome, outcomeHanded_ = true;
            return;
        case InstanceChannel::Heard::installerRuns:
            installerRuns_ = true;
            return;
        case InstanceChannel::Heard::anotherStart:
            if (logLines_ != nullptr) logLines_->add(anotherStartLine);
            return;
        case InstanceChannel::Heard::refused:
            if (log_ != nullptr && !std::exchange(refusedSaid_, true))
                log_->add(widened("A message from another program to this run's window was refused (any more are, unsaid)"));
            return;
    }
}

void Win32Platform::handInstallerRuns() {
    if (channel_ != nullptr) channel_->handInstallerRuns();
}

void Win32Platform::handRepairOutcome(DWORD exitCode) {
    if (channel_ != nullptr) channel_->handOutcome(exitCode);
}

bool Win32Platform::waitForRepair(HANDLE process, DWORD& exitCode, bool& handedBack, WhileRepairRuns* meanwhile) {
    outcomeHanded_ = handedBack = installerRuns_ = false;
    for (;;) {
        const DWORD result = ::MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) return ::GetExitCodeProcess(process, &exitCode) != FALSE;
        if (result != WAIT_OBJECT_0 + 1) return false;
        processPendingEvents();
        if (outcomeHanded_) return exitCode = handedOutcome_, handedBack = true;
        if (installerRuns_ && meanwhile != nullptr) std::exchange(meanwhile, nullptr)->whileRepairRuns();
    }
}

void Win32Platform::createMainWindow(const std::wstring& caption) {
    HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(applicationIconId));
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance_;
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = mainWindowClass;
    if (::RegisterClassExW(&windowClass) == 0) raiseLastError("registering the main window class");

    const DWORD style = WS_OVERLAPPEDWINDOW;  // no WS_VISIBLE: the window is never shown
    RECT frame = {0, 0, clientWidth, clientHeight};
    ::AdjustWindowRect(&frame, style, FALSE);
    window_ = ::CreateWindowExW(0, mainWindowClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                instance_, nullptr);
    if (window_ == nullptr) raiseLastError("creating the main window");
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

namespace {

using ShutdownBlockReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ShutdownBlockReasonDestroyFn = BOOL(WINAPI*)(HWND);

// A user32 function that this Windows may lack, or null.
template <typename Function>
Function optionalUserFunction(const char* name) {
    return libraryFunction<Function>(::GetModuleHandleW(L"user32.dll"), name);
}

}  // namespace

// Vista on, a window that answers FALSE is listed with its reason, and the
// user chooses to wait or to end the session anyway. On Windows XP a FALSE
// answer cancels a log-off without a word, so there the program agrees and
// puts the control back when WM_ENDSESSION comes.
void Win32Platform::guardSessionEnd(const std::wstring& reason, SessionEndListener& listener) {
    sessionListener_ = &listener;
    holdingSessionEnd_ = !reason.empty();
    const auto create = optionalUserFunction<ShutdownBlockReasonCreateFn>("ShutdownBlockReasonCreate");
    if (holdingSessionEnd_ && create != nullptr && window_ != nullptr) create(window_, reason.c_str());
}

void Win32Platform::releaseSessionEnd() {
    const auto destroy = optionalUserFunction<ShutdownBlockReasonDestroyFn>("ShutdownBlockReasonDestroy");
    if (holdingSessionEnd_ && destroy != nullptr && window_ != nullptr) destroy(window_);
    sessionListener_ = nullptr;
    holdingSessionEnd_ = false;
}

void Win32Platform::showMessageBox(const std::wstring& text, int style, const std::wstring& title) {
    if (::MessageBoxW(nullptr, text.c_str(), title.c_str(), static_cast<UINT>(style)) == 0)
        raiseLastError(L"showing the message " + quotedPath(title));
}

void Win32Platform::processPendingEvents() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void Win32Platform::setWindowVisible(bool visible) {
    if (window_ != nullptr) ::ShowWindow(window_, visible ? SW_SHOW : SW_HIDE);
}

void Win32Platform::endProgram(int exitCode) { ::ExitProcess(static_cast<UINT>(exitCode)); }

}  // namespace tolvane
