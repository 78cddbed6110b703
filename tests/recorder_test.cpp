// The recording backend's lines, which other suites read and compare: every call with
// its arguments as the caller passed them, what it wrote back, its result, and the
// error of a call that failed, in the order the calls were made.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "langdb/langdb.h"

#include "regscript/regscript.h"
#include "testing/fault_injector.h"
#include "testing/recorder.h"
#include "tests/support/installer_fixture.h"

namespace {

using testing_support::Recorder;

TEST(Recorder, ShowsEveryCallWithItsArgumentsWhatItWroteAndItsResult) {
    testing_support::ScratchImage img;
    img.WriteUpdateFile("a.reg", testing_support::Script(u"[HKEY_CURRENT_USER\\Ключ]\n\"A\"=\"x\"\n\"B\"=dword:1a\n",
                                                        {.byteOrderMark = false}));
    img.Bind();
    std::vector<std::string> lines;
    {
        testing_support::FaultInjector faults(host::CurrentBackend());
        faults.FailOn("RegSetValueExW", 2, ERROR_DISK_FULL);
        Recorder trace(faults);
        host::ScopedBackend use(trace);
        ImportRegistryScript(u"\\upd\\a.reg");
        ImportRegistryScript(u"\\upd\\missing.reg");
        for (const std::string& line : trace.Lines())
            if (line.rfind("ReadFile(", 0) != 0 || line.find("->5b00") != std::string::npos) lines.push_back(line);
        EXPECT_EQ(trace.Count("ReadFile"), 50);  // 49 characters, two bytes at a time, and the end
        EXPECT_EQ(trace.Count("RegSetValueExW", "A"), 1);
        EXPECT_EQ(trace.Arguments("RegCreateKeyExW", 1), std::vector<std::string>{"\"Ключ\""});
    }
    img.Unbind();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "CreateFileW(\"\\\\upd\\\\a.reg\", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, "
                         "FILE_ATTRIBUTE_NORMAL, NULL) = file1",
                         "ReadFile(file1, ->5b00, 2, ->2, NULL) = TRUE",
                         "RegCreateKeyExW(HKEY_CURRENT_USER, \"Ключ\", 0, NULL, 0, 0, NULL, ->key1, "
                         "->REG_CREATED_NEW_KEY) = ERROR_SUCCESS",
                         "RegSetValueExW(key1, \"A\", 0, REG_SZ, \"x\\u0000\", 4) = ERROR_SUCCESS",
                         "RegSetValueExW(key1, \"B\", 0, REG_DWORD, 1a000000, 4) = ERROR_DISK_FULL",
                         "RegCloseKey(key1) = ERROR_SUCCESS",
                         "CloseHandle(file1) = TRUE",
                         "CreateFileW(\"\\\\upd\\\\missing.reg\", GENERIC_READ, FILE_SHARE_READ, NULL, "
                         "OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL) = INVALID_HANDLE_VALUE (error ERROR_FILE_NOT_FOUND)",
                     }));
}

// A record that lacks the key property: the read fails, yet hands out a buffer that
// says so, which is named and given back by that name.
TEST(Recorder, NamesReadBuffersAlsoOfAFailedRead) {
    testing_support::ScratchImage img;
    img.AddRecords(u"\\FileNameLang", {{testing_support::NumberProperty(2, 7)}});
    img.WriteUpdateFile("p.dat", testing_support::PatchFile().Text(1, u"k").Text(3, u"v").bytes());
    img.Bind();
    CEGUID volume;
    ASSERT_TRUE(FindLanguageVolume(&volume));
    EXPECT_TRUE(PatchLanguageDatabase(&volume, u"\\FileNameLang", u"\\upd\\p.dat"));
    img.Unbind();
    std::vector<std::string> lines;
    for (const std::string& line : img.calls().Lines())
        if (line.rfind("CeReadRecordProps(", 0) == 0 || line.rfind("LocalFree(", 0) == 0) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "CeReadRecordProps(db1, CEDB_ALLOWREALLOC, 1->1, [0x1001f], NULL->block1 [{0x1001f, len 0, "
                         "flags CEDB_PROPNOTFOUND}], 0->24) = 0 (error ERROR_NO_DATA)",
                         "LocalFree(block1) = NULL",
                     }));
}

// Each thread's calls together, in the order that thread made them.
TEST(Recorder, TranscriptListsTheCallsThreadByThread) {
    testing_support::ScratchImage img;
    img.Bind();
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::thread([] { UpdateWindow(nullptr); }).join();
    PostMessageW(nullptr, WM_QUIT, 0, 0);
    MSG message;
    GetMessageW(&message, nullptr, 0, 0);
    img.Unbind();
    EXPECT_EQ(img.calls().Transcript(),
              "thread 1\n"
              "GetModuleFileNameW(NULL, ->\"\\\\upd\\\\Update.exe\", 260) = 15\n"
              "PostMessageW(NULL, WM_QUIT, 0, 0) = TRUE\n"
              "GetMessageW(->{NULL, WM_QUIT, 0, 0}, NULL, 0, 0) = FALSE\n"
              "thread 2\n"
              "UpdateWindow(NULL) = FALSE (error ERROR_INVALID_WINDOW_HANDLE)\n");
}

TEST(Recorder, QuotesTextAsJsonDoes) {
    EXPECT_EQ(Recorder::Quoted("a\"b\\c\n\t\x01й"), "\"a\\\"b\\\\c\\n\\t\\u0001й\"");
}

}  // namespace
