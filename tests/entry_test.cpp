// The installer from its entry: what the screen shows and in which order, the
// boot-launch values, the exit code, and the paths where a window, a thread or the
// message loop fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "store/text.h"
#include "testing/fault_injector.h"
#include "testing/recorder.h"
#include "testing/recording_screen.h"
#include "tests/support/installer_fixture.h"

namespace {

using testing_support::Bytes;
using testing_support::Script;
using testing_support::ScratchImage;
using testing_support::TextValueBytes;
using testing_support::Recorder;

const std::u16string kInit = u"HKEY_LOCAL_MACHINE\\init";

// How many calls of the operation returned the result.
int CountResults(const Recorder& trace, const std::string& operation, const std::string& result) {
    int n = 0;
    for (const Recorder::Call& call : trace.Calls()) n += call.operation == operation && call.result == result;
    return n;
}

const std::u16string kStatusText =
    u"Идет обновление программного обеспечения.\r\nПожалуйста, подождите...\r\n\r\n"
    u"Updating phone settings\r\nPlease wait...";
const std::u16string kCompletion =
    u"Обновление завершено. Пожалуйста, выключите Ваш телефон, а затем включите его.\r\n"
    u"Update complete. To activate it, please turn your phone off and then on.";

void WriteWork(const ScratchImage& img) {
    img.WriteUpdateFile("a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
}

void ExpectLaunchValues(const ScratchImage& img, const std::u16string& command) {
    const auto launch = img.Value(kInit, u"Launch25");
    ASSERT_TRUE(launch.has_value());
    EXPECT_EQ(launch->type, static_cast<uint32_t>(REG_SZ));
    EXPECT_EQ(launch->data, TextValueBytes(command));
    const auto depend25 = img.Value(kInit, u"Depend25");
    ASSERT_TRUE(depend25.has_value());
    EXPECT_EQ(depend25->type, static_cast<uint32_t>(REG_BINARY));
    EXPECT_EQ(depend25->data, (Bytes{0x15, 0x00}));
    const auto depend30 = img.Value(kInit, u"Depend30");
    ASSERT_TRUE(depend30.has_value());
    EXPECT_EQ(depend30->type, static_cast<uint32_t>(REG_BINARY));
    EXPECT_EQ(depend30->data, (Bytes{0x19, 0x00}));
}

void ExpectScreen(const testing_support::RecordingScreen& screen) {
    const auto shown = screen.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].kind, testing_support::RecordingScreen::Shown::Window);
    EXPECT_TRUE(shown[0].text == kStatusText);
    EXPECT_EQ(shown[0].style, 0x10800001u);
    EXPECT_EQ(shown[1].kind, testing_support::RecordingScreen::Shown::Message);
    EXPECT_TRUE(shown[1].text == kCompletion);
    EXPECT_TRUE(shown[1].caption == u"Finished");
    EXPECT_EQ(shown[1].style, 0x40u);
}

TEST(Texts, AreExact) {
    EXPECT_TRUE(std::u16string(kStatusWindowText) == kStatusText);
    EXPECT_TRUE(std::u16string(kCompletionText) == kCompletion);
    EXPECT_TRUE(std::u16string(kCompletionCaption) == u"Finished");
}

TEST(WinMain, NormalRun) {
    ScratchImage img;
    WriteWork(img);
    // An older list under "Depend30" is replaced, not merged.
    img.SetValue(kInit, u"Depend30", REG_BINARY, {0x14, 0x00, 0x1e, 0x00});
    testing_support::RecordingScreen screen;
    img.Bind(u"\\upd\\Update.exe", &screen);
    {
        Recorder trace(host::CurrentBackend());
        host::ScopedBackend use(trace);
        EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
        // Painted before any work; registration after the worker's quit; message last.
        const int painted = trace.IndexOf("UpdateWindow");
        ASSERT_GE(painted, 0);
        EXPECT_LT(painted, trace.IndexOf("CreateThread"));
        EXPECT_LT(painted, trace.IndexOf("FindFirstFileW"));
        EXPECT_LT(trace.IndexOf("PostMessageW", "WM_QUIT"), trace.IndexOf("RegOpenKeyExW", "init"));
        EXPECT_LT(trace.IndexOf("RegSetValueExW", "Launch25"), trace.IndexOf("RegSetValueExW", "Depend25"));
        EXPECT_LT(trace.IndexOf("RegSetValueExW", "Depend25"), trace.IndexOf("RegSetValueExW", "Depend30"));
        EXPECT_LT(trace.IndexOf("RegSetValueExW", "Depend30"), trace.IndexOf("MessageBoxW", "Finished"));
        EXPECT_EQ(CountResults(trace, "GetMessageW", "FALSE"), 1);
        EXPECT_EQ(trace.Count("WaitForSingleObject"), 0);
    }
    img.Unbind();
    ExpectScreen(screen);
    ExpectLaunchValues(img, u"\\upd\\Brindel.exe");
    EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
}

// The main thread's calls with every argument: the status window (with the instance
// passed to WinMain), painted at once, the worker, the loop until the quit, the
// registration and the completion message.
TEST(WinMain, MainThreadCallsWithEveryArgument) {
    ScratchImage img;
    WriteWork(img);
    img.Bind();
    EXPECT_EQ(WinMain(reinterpret_cast<HINSTANCE>(0x4000), nullptr, nullptr, 0), 0);
    img.Unbind();
    std::vector<std::string> lines;
    for (const Recorder::Call& call : img.calls().Calls())
        if (call.thread == 1) lines.push_back(call.line);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "CreateWindowExW(0, \"STATIC\", " + Recorder::Quoted(text::ToUtf8(kStatusText)) +
                             ", WS_VISIBLE|WS_BORDER|SS_CENTER, 0, 20, CW_USEDEFAULT, CW_USEDEFAULT, NULL, "
                             "NULL, 0x4000, NULL) = window1",
                         "InvalidateRect(window1, NULL, FALSE) = TRUE",
                         "UpdateWindow(window1) = TRUE",
                         "CreateThread(NULL, 0, UpdateWorker, NULL, 0, ->1) = thread1",
                         "GetMessageW(->{window1, WM_QUIT, 0, 0}, NULL, 0, 0) = FALSE",
                         "CloseHandle(thread1) = TRUE",
                         "RegOpenKeyExW(HKEY_LOCAL_MACHINE, \"init\", 0, 0, ->key2) = ERROR_SUCCESS",
                         "GetModuleFileNameW(NULL, ->\"\\\\upd\\\\Update.exe\", 260) = 15",
                         "RegSetValueExW(key2, \"Launch25\", 0, REG_SZ, \"\\\\upd\\\\Brindel.exe\\u0000\", 34) = "
                         "ERROR_SUCCESS",
                         "RegSetValueExW(key2, \"Depend25\", 0, REG_BINARY, 1500, 2) = ERROR_SUCCESS",
                         "RegSetValueExW(key2, \"Depend30\", 0, REG_BINARY, 1900, 2) = ERROR_SUCCESS",
                         "RegCloseKey(key2) = ERROR_SUCCESS",
                         "MessageBoxW(NULL, " + Recorder::Quoted(text::ToUtf8(kCompletion)) +
                             ", \"Finished\", MB_OK|MB_ICONINFORMATION) = IDOK",
                     }));
}

// A message other than the quit in the main thread's queue is dispatched, and the loop
// goes on to the worker's quit before anything is registered.
TEST(WinMain, AnotherMessageIsDispatchedAndTheLoopGoesOn) {
    ScratchImage img;
    WriteWork(img);
    img.Bind();
    const UINT kOther = 0x0401;
    ASSERT_TRUE(PostMessageW(nullptr, kOther, 7, 9));  // the queue of this, the main, thread
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
    img.Unbind();
    const Recorder& trace = img.calls();
    EXPECT_EQ(trace.Arguments("DispatchMessageW", 0), std::vector<std::string>{"{NULL, 1025, 7, 9}"});
    EXPECT_EQ(trace.Arguments("GetMessageW", 0),
              (std::vector<std::string>{"->{NULL, 1025, 7, 9}", "->{window1, WM_QUIT, 0, 0}"}));
    EXPECT_LT(trace.IndexOf("DispatchMessageW"), trace.IndexOf("RegOpenKeyExW", "init"));
    ExpectLaunchValues(img, u"\\upd\\Brindel.exe");
}

TEST(WinMain, MissingInitKeyStillShowsTheMessage) {
    ScratchImage img;
    WriteWork(img);
    img.DeleteKey(kInit);
    testing_support::RecordingScreen screen;
    img.Bind(u"\\upd\\Update.exe", &screen);
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
    img.Unbind();
    ExpectScreen(screen);
    EXPECT_FALSE(img.KeyExists(kInit));
    EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
}

TEST(WinMain, UnmountedVolumeStillEndsTheRun) {
    ScratchImage img;
    WriteWork(img);
    img.UnmountLanguageVolume();
    testing_support::RecordingScreen screen;
    img.Bind(u"\\upd\\Update.exe", &screen);
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
    img.Unbind();
    ExpectScreen(screen);
    ExpectLaunchValues(img, u"\\upd\\Brindel.exe");
}

// Without a window or a thread the main thread does the work itself, then registers
// and reports as usual.
TEST(WinMain, NoWindowOrNoThreadRunsTheWorkOnTheMainThread) {
    for (const bool noWindow : {true, false}) {
        SCOPED_TRACE(noWindow ? "no window" : "no thread");
        ScratchImage img;
        WriteWork(img);
        testing_support::RecordingScreen screen;
        img.Bind(u"\\upd\\Update.exe", &screen);
        {
            testing_support::FaultInjector faults(host::CurrentBackend());
            if (noWindow) faults.FailAlways("CreateWindowExW", ERROR_CANNOT_FIND_WND_CLASS);
            else faults.FailAlways("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
            Recorder trace(faults);
            host::ScopedBackend use(trace);
            EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
            EXPECT_EQ(trace.Count("CreateThread"), noWindow ? 0 : 1);
            EXPECT_EQ(trace.Count("GetMessageW"), 0);
            EXPECT_EQ(trace.Count("PostMessageW"), 0);
            EXPECT_LT(trace.IndexOf("FindFirstFileW"), trace.IndexOf("RegOpenKeyExW", "init"));
            EXPECT_EQ(trace.Count("MessageBoxW", "Finished"), 1);
        }
        img.Unbind();
        EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
        ExpectLaunchValues(img, u"\\upd\\Brindel.exe");
        const auto shown = screen.shown();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back().kind, testing_support::RecordingScreen::Shown::Message);
    }
}

TEST(WinMain, LoopErrorWaitsForTheWorkerBeforeRegistering) {
    ScratchImage img;
    WriteWork(img);
    img.Bind();
    {
        testing_support::FaultInjector faults(host::CurrentBackend());
        faults.FailAlways("GetMessageW", ERROR_INVALID_PARAMETER);
        faults.Delay("FindFirstFileW", 100);  // the worker is still at work when the loop fails
        Recorder trace(faults);
        host::ScopedBackend use(trace);
        EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
        const int waited = trace.IndexOf("WaitForSingleObject");
        ASSERT_GE(waited, 0);
        const int failed = trace.IndexOf("GetMessageW");
        ASSERT_GE(failed, 0);
        EXPECT_EQ(trace.Calls()[failed].result, "-1");
        EXPECT_LT(failed, waited);
        EXPECT_LT(trace.IndexOf("PostMessageW", "WM_QUIT"), trace.IndexOf("RegOpenKeyExW", "init"));
        EXPECT_LT(trace.IndexOf("RegSetValueExW", "A"), trace.IndexOf("RegSetValueExW", "Launch25"));
    }
    img.Unbind();
    ExpectLaunchValues(img, u"\\upd\\Brindel.exe");
}

// "Launch25" names the companion in the installer's folder. Mended: at the root it
// named "\Update.exe\Brindel.exe", a program that does not exist, and entry 30 waited
// for it at every boot.
TEST(WinMain, LaunchCommandFollowsTheInstallerFolder) {
    struct {
        std::u16string module;
        const char* folder;  // the update folder inside the image
        std::u16string command;
    } const cases[] = {
        {u"\\upd\\Update.exe", "upd", u"\\upd\\Brindel.exe"},
        {u"\\Update.exe", ".", u"\\Brindel.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text::ToUtf8(c.module));
        ScratchImage img;
        img.WriteFile(std::filesystem::path(c.folder) / "a.reg",
                      Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
        img.Bind(c.module);
        EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
        img.Unbind();
        ExpectLaunchValues(img, c.command);
        EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
    }
}

// A folder of `length` platform characters ("\" and a name) inside the image.
std::u16string LongFolder(const ScratchImage& img, size_t length) {
    const std::string name(length - 1, 'd');
    std::filesystem::create_directories(img.image() / name);
    return u"\\" + std::u16string(name.begin(), name.end());
}

TEST(WinMain, LaunchCommandLimit) {
    {
        SCOPED_TRACE("247 characters fit");
        ScratchImage img;
        const std::u16string dir = LongFolder(img, 247);
        img.Bind(dir + u"\\Update.exe");
        EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
        img.Unbind();
        ExpectLaunchValues(img, dir + u"\\Brindel.exe");
        EXPECT_EQ(img.Value(kInit, u"Launch25")->data.size(), 260u * 2);
    }
    {
        SCOPED_TRACE("248 characters: none of the three, older values untouched");
        ScratchImage img;
        const std::u16string dir = LongFolder(img, 248);
        img.SetValue(kInit, u"Depend30", REG_BINARY, {0x14, 0x00});
        testing_support::RecordingScreen screen;
        img.Bind(dir + u"\\Update.exe", &screen);
        EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
        img.Unbind();
        EXPECT_FALSE(img.Value(kInit, u"Launch25").has_value());
        EXPECT_FALSE(img.Value(kInit, u"Depend25").has_value());
        EXPECT_EQ(img.Value(kInit, u"Depend30")->data, (Bytes{0x14, 0x00}));
        ExpectScreen(screen);
    }
}

}  // namespace
