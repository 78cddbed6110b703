// Windows, message queues and threads: a quit posted from a worker reaches the
// window's thread, painting and message boxes reach the screen.
#include <atomic>

#include "platform_image.h"
#include "testing/fault_injector.h"
#include "testing/recording_screen.h"

namespace {

class DeviceThreads : public platform_test::ScratchImage {};

struct WorkerArgs {
    HWND window;
    std::atomic<int> posted{0};
};

DWORD PostThenQuit(LPVOID param) {
    auto* args = static_cast<WorkerArgs*>(param);
    for (int i = 0; i < 3; ++i)
        if (PostMessageW(args->window, WM_NULL + 0x400, static_cast<WPARAM>(i), 0)) ++args->posted;
    PostMessageW(args->window, WM_QUIT, 0, 0);
    return 0;
}

TEST_F(DeviceThreads, QuitPostedByAWorkerEndsTheWindowThreadsLoop) {
    HWND window = CreateWindowExW(0, u"static", u"Обновление", WS_VISIBLE | SS_CENTER, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    WorkerArgs args{window};
    DWORD id = 0;
    HANDLE worker = CreateThread(nullptr, 0, PostThenQuit, &args, 0, &id);
    ASSERT_NE(worker, nullptr);
    EXPECT_NE(id, 0u);

    MSG msg;
    std::vector<WPARAM> got;
    BOOL result;
    while ((result = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        EXPECT_EQ(msg.hwnd, window);
        got.push_back(msg.wParam);
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(got, (std::vector<WPARAM>{0, 1, 2}));
    EXPECT_EQ(WaitForSingleObject(worker, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(worker));
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(worker));
}

TEST_F(DeviceThreads, PaintingAndMessageBoxesReachTheScreen) {
    HWND window = CreateWindowExW(0, u"STATIC", u"Updating phone settings", WS_VISIBLE | WS_BORDER,
                                  0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(UpdateWindow(window));  // a new visible window needs paint
    EXPECT_TRUE(UpdateWindow(window));  // nothing invalid: nothing drawn
    EXPECT_TRUE(InvalidateRect(window, nullptr, TRUE));
    EXPECT_TRUE(UpdateWindow(window));
    EXPECT_EQ(MessageBoxW(window, u"Switch off and on", u"Finished", MB_OK | MB_ICONINFORMATION), IDOK);
    const auto shown = screen_.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].kind, testing_support::RecordingScreen::Shown::Window);
    EXPECT_EQ(shown[0].text, u"Updating phone settings");
    EXPECT_EQ(shown[0].style, static_cast<uint32_t>(WS_VISIBLE | WS_BORDER));
    EXPECT_EQ(shown[1].text, u"Updating phone settings");
    EXPECT_EQ(shown[2].kind, testing_support::RecordingScreen::Shown::Message);
    EXPECT_EQ(shown[2].caption, u"Finished");
    EXPECT_EQ(shown[2].style, static_cast<uint32_t>(MB_ICONINFORMATION));
}

TEST_F(DeviceThreads, BadWindowsClassesAndArgumentsFail) {
    EXPECT_EQ(CreateWindowExW(0, u"BUTTON", u"x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    const HWND bogus = reinterpret_cast<HWND>(0x999);
    EXPECT_FALSE(PostMessageW(bogus, WM_QUIT, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(InvalidateRect(bogus, nullptr, TRUE));
    EXPECT_FALSE(UpdateWindow(bogus));
    EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x999), 0), WAIT_FAILED);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

TEST_F(DeviceThreads, PostWithoutAWindowGoesToTheCallingThread) {
    EXPECT_TRUE(PostMessageW(nullptr, 0x401, 7, 0));
    EXPECT_TRUE(PostMessageW(nullptr, WM_QUIT, 0, 0));
    MSG msg;
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 1);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
}

DWORD Slow(LPVOID param) {
    auto* release = static_cast<std::atomic<bool>*>(param);
    while (!release->load()) std::this_thread::yield();
    return 0;
}

TEST_F(DeviceThreads, WaitTimesOutWhileTheThreadRuns) {
    std::atomic<bool> release{false};
    HANDLE t = CreateThread(nullptr, 0, Slow, &release, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
    release = true;
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
}

TEST_F(DeviceThreads, InjectedWindowAndThreadFailures) {
    testing_support::FaultInjector faults(host::CurrentBackend());
    faults.FailAlways("CreateWindowExW");
    faults.FailOn("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
    host::ScopedBackend use(faults);
    EXPECT_EQ(CreateWindowExW(0, u"STATIC", u"x", WS_VISIBLE, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(CreateThread(nullptr, 0, PostThenQuit, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(faults.Calls("CreateWindowExW"), 1);
}

}  // namespace
