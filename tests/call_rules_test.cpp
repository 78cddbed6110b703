// The checks every installer run of the suites ends with (tests/support/call_rules.h)
// catch what they are there for: a recorded run bent in one place at a time (an
// argument, a call left out or made too early) is reported, and so is a run whose
// releases never reach the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/control.h"
#include "tests/support/call_rules.h"
#include "tests/support/installer_fixture.h"

namespace {

using namespace testing_support;
using Call = Recorder::Call;

// A run that makes every kind of call: a script, a patch that changes a record, and a
// message other than the quit in the main thread's queue.
void PrepareRun(const ScratchImage& img) {
    img.WriteUpdateFile("a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
    img.AddRecords(u"\\FileNameLang", {{TextProperty(1, u"k"), TextProperty(2, u"old")}});
    img.WriteUpdateFile("FileNameLang.dat", PatchFile().Text(1, u"k").Text(2, u"new").bytes());
}

std::vector<Call> RecordedRun() {
    ScratchImage img;
    PrepareRun(img);
    img.Bind();
    PostMessageW(nullptr, 0x0401, 0, 0);
    WinMain(nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(img.UnbindAndTakeFaults(), std::vector<std::string>{});
    return img.calls().Calls();
}

struct Bend {
    const char* what;
    std::string operation;
    std::string in;  // the first call of the operation whose line holds this
    enum Kind { Set, Replace, Drop, ToFront } kind;
    size_t argument = 0;
    std::string value;  // Set: the argument's new form; Replace: what replaces `from`
    std::string from = {};
    std::string fault = {};  // a part of the fault reported
};

std::vector<Call> Bent(std::vector<Call> calls, const Bend& bend) {
    const auto it = std::find_if(calls.begin(), calls.end(), [&](const Call& c) {
        return c.operation == bend.operation && c.line.find(bend.in) != std::string::npos;
    });
    EXPECT_NE(it, calls.end()) << bend.operation;
    if (it == calls.end()) return calls;
    switch (bend.kind) {
        case Bend::Set: it->arguments.at(bend.argument) = bend.value; break;
        case Bend::Replace: {
            std::string& shown = it->arguments.at(bend.argument);
            const size_t at = shown.find(bend.from);
            EXPECT_NE(at, std::string::npos) << shown;
            if (at != std::string::npos) shown.replace(at, bend.from.size(), bend.value);
            break;
        }
        case Bend::Drop: calls.erase(it); break;
        case Bend::ToFront: {
            const Call moved = *it;
            calls.erase(it);
            const auto first = std::find_if(calls.begin(), calls.end(),
                                            [&](const Call& c) { return c.thread == moved.thread; });
            calls.insert(first, moved);
            break;
        }
    }
    return calls;
}

TEST(CallRules, EachBentCallIsReported) {
    const std::vector<Call> calls = RecordedRun();
    const Bend bends[] = {
        {"a script shared for nothing", "CreateFileW", ".reg", Bend::Set, 2, "0", {}, "a script not called as"},
        {"a script's attributes 0", "CreateFileW", ".reg", Bend::Set, 5, "0", {}, "a script not called as"},
        {"a patch file shared", "CreateFileW", ".dat", Bend::Set, 2, "FILE_SHARE_READ", {}, "a patch file not called as"},
        {"a patch file's attributes", "CreateFileW", ".dat", Bend::Set, 5, "FILE_ATTRIBUTE_NORMAL", {},
         "a patch file not called as"},
        {"another window class", "CreateWindowExW", "", Bend::Set, 1, "\"EDIT\"", {}, "the status window not"},
        {"a window without border", "CreateWindowExW", "", Bend::Set, 3, "WS_VISIBLE|SS_CENTER", {},
         "the status window not"},
        {"the window at y 0", "CreateWindowExW", "", Bend::Set, 5, "0", {}, "the status window not"},
        {"a window of fixed width", "CreateWindowExW", "", Bend::Set, 6, "240", {}, "the status window not"},
        {"a window with a parent", "CreateWindowExW", "", Bend::Set, 8, "0x10", {}, "the status window not"},
        {"the background erased", "InvalidateRect", "", Bend::Set, 2, "TRUE", {}, "without erasing"},
        {"painted without invalidating", "InvalidateRect", "", Bend::Drop, 0, {}, {}, "invalidated and painted"},
        {"a suspended worker", "CreateThread", "", Bend::Set, 4, "4", {}, "the worker not"},
        {"another thread procedure", "CreateThread", "", Bend::Set, 2, "ptr", {}, "the worker not"},
        {"a message not dispatched", "DispatchMessageW", "", Bend::Drop, 0, {}, {}, "not dispatched"},
        {"a quit with a parameter", "PostMessageW", "WM_QUIT", Bend::Set, 2, "1", {}, "end signal not"},
        {"a message box without icon", "MessageBoxW", "", Bend::Set, 3, "MB_OK", {}, "completion message not"},
        {"a search never closed", "FindClose", "", Bend::Drop, 0, {}, {}, "search is not closed"},
        {"the volume looked up before the scripts", "CeEnumDBVolumes", "", Bend::ToFront, 0, {}, {},
         "after the volume look-up"},
        {"a patch file opened before the look-up", "CreateFileW", ".dat", Bend::ToFront, 0, {}, {},
         "before the volume look-up"},
        {"a look-up that does not start at the first volume", "CeEnumDBVolumes", "", Bend::Replace, 0,
         "{0-0-0-0}", "{ffffffff-ffffffff-ffffffff-ffffffff}", "the volume look-up not"},
        {"a database of another volume", "CeOpenDatabaseEx", "", Bend::Set, 0, "{0-0-0-0}", {}, "a database not"},
        {"a database sorted", "CeOpenDatabaseEx", "", Bend::Set, 3, "65567", {}, "a database not"},
        {"a database opened with flags", "CeOpenDatabaseEx", "", Bend::Set, 4, "CEDB_AUTOINCREMENT", {},
         "a database not"},
        {"a read without reallocation", "CeReadRecordProps", "", Bend::Set, 1, "0", {}, "a record's key not"},
        {"a read of two properties", "CeReadRecordProps", "", Bend::Replace, 2, "2->", "1->", "a record's key not"},
        {"a written property with a length", "CeWriteRecordProps", "", Bend::Replace, 3, "len 4", "len 0",
         "length 0 and flags 0"},
        {"a written property with flags", "CeWriteRecordProps", "", Bend::Replace, 3, "flags CEDB_PROPDELETE",
         "flags 0", "length 0 and flags 0"},
        {"another record written", "CeWriteRecordProps", "", Bend::Set, 1, "1", {}, "the record just read not"},
        {"a section's key left open", "RegCloseKey", "", Bend::Drop, 0, {}, {}, "is still open"},
        {"the init key left open", "RegCloseKey", "key2", Bend::Drop, 0, {}, {}, "is still open"},
        {"a key with options", "RegCreateKeyExW", "", Bend::Set, 4, "1", {}, "a section's key not"},
        {"a key opened with access rights", "RegOpenKeyExW", "", Bend::Set, 3, "131097", {}, "a key not"},
        {"a value written with reserved", "RegSetValueExW", "", Bend::Set, 2, "1", {}, "a value not"},
        {"a short path buffer", "GetModuleFileNameW", "", Bend::Set, 2, "100", {}, "the executable's path not"},
    };
    for (const Bend& bend : bends) {
        SCOPED_TRACE(bend.what);
        const std::vector<std::string> faults = CallFaults(Bent(calls, bend));
        const bool reported = std::any_of(faults.begin(), faults.end(), [&](const std::string& fault) {
            return fault.find(bend.fault) != std::string::npos;
        });
        EXPECT_TRUE(reported) << "expected \"" << bend.fault << "\" among " << testing::PrintToString(faults);
    }
}

// Passes every call on, but keeps the release of one kind from the device.
class KeepsOpen : public host::ForwardingBackend {
public:
    KeepsOpen(host::Backend& target, std::string operation)
        : host::ForwardingBackend(target), operation_(std::move(operation)) {}
    // The buffers kept from the device are the heap's still.
    void FreeKept() {
        for (HLOCAL buffer : kept_) ::LocalFree(buffer);
    }

    BOOL CloseHandle(HANDLE hObject) override {
        return operation_ == "CloseHandle" ? TRUE : target().CloseHandle(hObject);
    }
    BOOL FindClose(HANDLE hFindFile) override {
        return operation_ == "FindClose" ? TRUE : target().FindClose(hFindFile);
    }
    LONG RegCloseKey(HKEY hKey) override {
        return operation_ == "RegCloseKey" ? ERROR_SUCCESS : target().RegCloseKey(hKey);
    }
    HLOCAL LocalFree(HLOCAL hMem) override {
        if (operation_ != "LocalFree") return target().LocalFree(hMem);
        kept_.push_back(hMem);
        return nullptr;
    }

private:
    const std::string operation_;
    std::vector<HLOCAL> kept_;
};

TEST(CallRules, WhatARunLeavesOpenIsReported) {
    struct {
        const char* operation;
        std::vector<std::string> left;
    } const cases[] = {
        {"CloseHandle", {"2 file handles left open", "1 database handle left open", "1 thread handle left open"}},
        {"FindClose", {"1 search handle left open"}},
        {"RegCloseKey", {"2 key handles left open"}},
        {"LocalFree", {"1 read buffer left open"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        ScratchImage img;
        PrepareRun(img);
        img.Bind();
        KeepsOpen keeps(host::CurrentBackend(), c.operation);
        std::vector<std::string> faults;
        {
            host::ScopedBackend use(keeps);
            WinMain(nullptr, nullptr, nullptr, 0);
        }
        faults = img.UnbindAndTakeFaults();
        keeps.FreeKept();
        faults.resize(std::min(faults.size(), c.left.size()));
        EXPECT_EQ(faults, c.left);
    }
}

}  // namespace
