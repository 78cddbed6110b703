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
                         "CreateFileW(\"\\\\upd\\\\a.reg\", 2147483648, 1, NULL, 3, 128, NULL) = 0x1000",
                         "ReadFile(0x1000, ->5b00, 2, ->2, NULL) = 1",
                         "RegCreateKeyExW(HKEY_CURRENT_USER, \"Ключ\", 0, NULL, 0, 0, NULL, ->0x1004, ->1) = 0",
                         "RegSetValueExW(0x1004, \"A\", 0, 1, 78000000, 4) = 0",
                         "RegSetValueExW(0x1004, \"B\", 0, 4, 1a000000, 4) = 112",
                         "RegCloseKey(0x1004) = 0",
                         "CloseHandle(0x1000) = 1",
                         "CreateFileW(\"\\\\upd\\\\missing.reg\", 2147483648, 1, NULL, 3, 128, NULL) = "
                         "INVALID_HANDLE_VALUE (error 2)",
                     }));
}

TEST(Recorder, QuotesTextAsJsonDoes) {
    EXPECT_EQ(Recorder::Quoted("a\"b\\c\n\t\x01й"), "\"a\\\"b\\\\c\\n\\t\\u0001й\"");
}

}  // namespace
