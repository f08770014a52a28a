// The Windows side: the hidden main window and its messages (what another
// instance hands it, and what it hands another's), the end of the session,
// message boxes, and a wait that handles messages.
#include "platform/win32_platform.h"

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
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (self->dataListener_ != nullptr) self->dataListener_->heard(data->dwData, data->lpData, data->cbData);
        return TRUE;
    }
    // taskkill without /F, Task Manager's "End task": the run goes on to its
    // end, as a half-done repair is worse than a late one.
    if (message == WM_CLOSE) {
        if (self != nullptr) self->note(widened("The program was asked to close (WM_CLOSE): the run goes on to its end"));
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

namespace {

// The main window of an instance of the program next after `after` (null:
// the first), and in `owner` its process.
HWND nextMainWindow(HWND after, DWORD& owner) noexcept {
    const HWND window = ::FindWindowExW(nullptr, after, mainWindowClass, nullptr);
    owner = 0;
    if (window != nullptr) ::GetWindowThreadProcessId(window, &owner);
    return window;
}

}  // namespace

bool Win32Platform::sendToInstance(DWORD process, ULONG_PTR kind, const void* data, std::size_t size) noexcept {
    COPYDATASTRUCT message = {kind, static_cast<DWORD>(size), const_cast<void*>(data)};
    bool sent = false;
    DWORD owner = 0;
    for (HWND window = nullptr; (window = nextMainWindow(window, owner)) != nullptr;) {
        if (process == 0 ? owner == ::GetCurrentProcessId() : owner != process) continue;
        // Not SMTO_ABORTIFHUNG: a first instance that is waiting answers
        // only now and then, and Windows may take it for hung.
        DWORD_PTR ignored = 0;
        ::SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&message), SMTO_NORMAL, 5000, &ignored);
        sent = true;
        if (process != 0) break;
    }
    return sent;
}

DWORD Win32Platform::waitForProcessOrMessages(HANDLE process) {
    const DWORD result = ::MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0 + 1) processPendingEvents();
    return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1 ? result : WAIT_FAILED;
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
    tell(&PlatformListener::showing, text, title);
    if (::MessageBoxW(nullptr, text.c_str(), title.c_str(), static_cast<UINT>(style)) == 0)
        raiseLastError(L"showing the message " + quotedPath(title));
    tell(&PlatformListener::shown, title);
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
    tell(&PlatformListener::windowShown, visible);
}

void Win32Platform::endProgram(int exitCode) {
    tell(&PlatformListener::ending, exitCode);
    ::ExitProcess(static_cast<UINT>(exitCode));
}

}  // namespace tolvane
