// Windows, message queues and threads.
//
// Each thread that touches messages has a queue. A window belongs to the thread that
// created it: a message posted to it lands in that thread's queue. The one window
// class is "STATIC", which shows its text; painting (UpdateWindow after an
// invalidation) and message boxes go to the screen of the bound device.
#include <chrono>

#include "platform/host/device.h"
#include "platform/host/errors.h"
#include "store/text.h"

namespace host::device {

namespace {

struct WindowObject final : Object {
    WindowObject() : Object(Kind::Window) {}
    std::thread::id owner;
    std::u16string text;
    uint32_t style = 0;
    bool invalid = false;
};

struct ThreadEnd {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

struct ThreadObject final : Object {
    explicit ThreadObject(std::shared_ptr<ThreadEnd> s) : Object(Kind::Thread), state(std::move(s)) {}
    std::shared_ptr<ThreadEnd> state;
};

bool Accepts(const MSG& m, HWND hWnd, UINT min, UINT max) {
    if (m.message == WM_QUIT) return true;
    if (hWnd && m.hwnd != hWnd) return false;
    if ((min || max) && (m.message < min || m.message > max)) return false;
    return true;
}

}  // namespace

std::shared_ptr<MessageQueue> Device::QueueOf(std::thread::id thread) {
    auto& queue = windows_.queues[thread];
    if (!queue) queue = std::make_shared<MessageQueue>();
    return queue;
}

HWND Device::CreateWindowExW(DWORD, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                             int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID) {
    if (lpClassName == nullptr || !text::EqualNoCase(lpClassName, u"STATIC")) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    auto window = std::make_unique<WindowObject>();
    window->owner = std::this_thread::get_id();
    window->text = lpWindowName ? lpWindowName : u"";
    window->style = dwStyle;
    // A visible window starts out needing paint, as on the platform.
    window->invalid = (dwStyle & WS_VISIBLE) != 0;
    std::lock_guard lock(mutex_);
    QueueOf(window->owner);
    return reinterpret_cast<HWND>(handles_.Add(std::move(window)));
}

BOOL Device::InvalidateRect(HWND hWnd, const RECT*, BOOL) {
    std::lock_guard lock(mutex_);
    auto* window = handles_.Find<WindowObject>(reinterpret_cast<uintptr_t>(hWnd), Object::Kind::Window);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->invalid = true;
    return TRUE;
}

BOOL Device::UpdateWindow(HWND hWnd) {
    std::u16string text;
    uint32_t style = 0;
    {
        std::lock_guard lock(mutex_);
        auto* window = handles_.Find<WindowObject>(reinterpret_cast<uintptr_t>(hWnd), Object::Kind::Window);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (!window->invalid || !(window->style & WS_VISIBLE)) return TRUE;
        window->invalid = false;
        text = window->text;
        style = window->style;
    }
    if (options_.screen) options_.screen->ShowWindow(text, style);
    return TRUE;
}

HANDLE Device::CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE lpStartAddress,
                            LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    // Suspended starts and the like are not offered.
    if (lpStartAddress == nullptr || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto state = std::make_shared<ThreadEnd>();
    std::lock_guard lock(mutex_);
    try {
        windows_.threads.emplace_back([lpStartAddress, lpParameter, state] {
            lpStartAddress(lpParameter);
            std::lock_guard ended(state->mutex);
            state->done = true;
            state->ended.notify_all();
        });
    } catch (const std::system_error&) {
        SetLastError(kOutOfResources);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = windows_.nextThreadId;
    ++windows_.nextThreadId;
    return reinterpret_cast<HANDLE>(handles_.Add(std::make_unique<ThreadObject>(state)));
}

BOOL Device::GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::shared_ptr<MessageQueue> queue;
    {
        std::lock_guard lock(mutex_);
        if (hWnd && !handles_.Find<Object>(reinterpret_cast<uintptr_t>(hWnd), Object::Kind::Window)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        queue = QueueOf(std::this_thread::get_id());
    }
    std::unique_lock lock(queue->mutex);
    while (true) {
        for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
            if (!Accepts(*it, hWnd, wMsgFilterMin, wMsgFilterMax)) continue;
            *lpMsg = *it;
            queue->messages.erase(it);
            return lpMsg->message == WM_QUIT ? 0 : 1;
        }
        queue->ready.wait(lock);
    }
}

LRESULT Device::DispatchMessageW(const MSG*) {
    // A STATIC window has nothing to do with a posted message.
    return 0;
}

BOOL Device::PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue;
    {
        std::lock_guard lock(mutex_);
        std::thread::id owner = std::this_thread::get_id();
        if (hWnd) {
            auto* window = handles_.Find<WindowObject>(reinterpret_cast<uintptr_t>(hWnd), Object::Kind::Window);
            if (!window) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            owner = window->owner;
        }
        queue = QueueOf(owner);
    }
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    MSG msg{hWnd, Msg, wParam, lParam,
            static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()),
            {0, 0}};
    {
        std::lock_guard lock(queue->mutex);
        queue->messages.push_back(msg);
    }
    queue->ready.notify_all();
    return TRUE;
}

int Device::MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    if (options_.screen)
        options_.screen->ShowMessage(lpText ? lpText : u"", lpCaption ? lpCaption : u"Error",
                                     uType);
    return IDOK;
}

DWORD Device::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<ThreadEnd> state;
    {
        std::lock_guard lock(mutex_);
        auto* thread = handles_.Find<ThreadObject>(reinterpret_cast<uintptr_t>(hHandle), Object::Kind::Thread);
        if (!thread) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        state = thread->state;
    }
    std::unique_lock lock(state->mutex);
    if (dwMilliseconds == INFINITE) {
        state->ended.wait(lock, [&] { return state->done; });
        return WAIT_OBJECT_0;
    }
    return state->ended.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                                 [&] { return state->done; })
               ? WAIT_OBJECT_0
               : WAIT_TIMEOUT;
}

}  // namespace host::device
