// The recording backend's lines, which other suites read and compare: every call with
// its arguments as the caller passed them, what it wrote back, its result, and the
// error of a call that failed, in the order the calls were made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(Recorder, QuotesTextAsJsonDoes) {
    EXPECT_EQ(Recorder::Quoted("a\"b\\c\n\t\x01й"), "\"a\\\"b\\\\c\\n\\t\\u0001й\"");
}

}  // namespace
