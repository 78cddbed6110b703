// The installer's rules for its platform calls, checked thread by thread over a
// recorded run.
#include "tests/support/call_rules.h"

#include <cctype>
#include <map>
#include <set>
#include <string_view>

#include "control/control.h"
#include "store/text.h"

namespace testing_support {

namespace {

using Call = Recorder::Call;

// True for a written property as the recorder shows it, "[{0x<tag>, len 0, flags 0, ...".
bool WrittenWithLengthAndFlagsZero(const std::string& property) {
    constexpr std::string_view kStart = "[{0x", kRest = ", len 0, flags 0, ";
    if (property.compare(0, kStart.size(), kStart) != 0) return false;
    size_t at = kStart.size();
    const size_t digits = at;
    while (at < property.size() && std::isxdigit(static_cast<unsigned char>(property[at])) &&
           !std::isupper(static_cast<unsigned char>(property[at])))
        ++at;
    return at > digits && property.compare(at, kRest.size(), kRest) == 0;
}

const std::string kInvalidVolume = "{ffffffff-ffffffff-ffffffff-ffffffff}";

bool EndsWithNoCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size()) return false;
    text.remove_prefix(text.size() - end.size());
    for (size_t i = 0; i < end.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != end[i]) return false;
    return true;
}

// What a parameter the call wrote shows after "->" ("" when it shows no write).
std::string WrittenPart(const std::string& shown) {
    const size_t arrow = shown.find("->");
    return arrow == std::string::npos ? "" : shown.substr(arrow + 2);
}

// The calls of one thread, in order.
class ThreadRules {
public:
    ThreadRules(std::vector<const Call*> calls, std::vector<std::string>& faults)
        : calls_(std::move(calls)), faults_(faults) {
        for (const Call* call : calls_) enumerates_ = enumerates_ || call->operation == "CeEnumDBVolumes";
    }

    void Check() {
        for (size_t i = 0; i < calls_.size(); ++i) {
            const Call& call = *calls_[i];
            CheckKeysClosed(call);
            CheckVolumeOrder(call);
            CheckCall(i, call);
        }
    }

private:
    void Fault(const Call& call, const std::string& why) { faults_.push_back(why + ": " + call.line); }

    // "*" takes anything, "X*" anything that begins with X, else the argument exactly.
    static bool Matches(const std::string& shown, std::string_view expected) {
        if (!expected.empty() && expected.back() == '*') {
            expected.remove_suffix(1);
            return shown.compare(0, expected.size(), expected) == 0;
        }
        return shown == expected;
    }

    void Expect(const Call& call, const std::vector<std::string_view>& expected, const std::string& what) {
        bool same = call.arguments.size() == expected.size();
        for (size_t i = 0; same && i < expected.size(); ++i) same = Matches(call.arguments[i], expected[i]);
        if (same) return;
        std::string want;
        for (std::string_view e : expected) want += (want.empty() ? "" : ", ") + std::string(e);
        Fault(call, what + " not called as (" + want + ")");
    }

    const Call* At(size_t i) const { return i < calls_.size() ? calls_[i] : nullptr; }

    void CheckCall(size_t i, const Call& call) {
        const std::string& op = call.operation;
        if (op == "CreateWindowExW") {
            Expect(call, {"0", "\"STATIC\"", statusText_, "WS_VISIBLE|WS_BORDER|SS_CENTER", "0", "20",
                          "CW_USEDEFAULT", "CW_USEDEFAULT", "NULL", "NULL", "*", "NULL"},
                   "the status window");
            const Call* invalidate = At(i + 1);
            const Call* update = At(i + 2);
            if (!invalidate || invalidate->operation != "InvalidateRect" ||
                invalidate->arguments[0] != call.result || !update || update->operation != "UpdateWindow" ||
                update->arguments[0] != call.result)
                Fault(call, "the status window is not invalidated and painted at once");
        } else if (op == "InvalidateRect") {
            Expect(call, {"*", "NULL", "FALSE"}, "the whole window, without erasing,");
        } else if (op == "CreateThread") {
            Expect(call, {"NULL", "0", "UpdateWorker", "NULL", "0", "*"}, "the worker");
        } else if (op == "GetMessageW") {
            Expect(call, {"*", "NULL", "0", "0"}, "the message loop");
            if (call.result != "TRUE") return;
            const Call* dispatch = At(i + 1);
            const Call* next = At(i + 2);
            if (!dispatch || dispatch->operation != "DispatchMessageW" ||
                dispatch->arguments[0] != WrittenPart(call.arguments[0]) || !next || next->operation != "GetMessageW")
                Fault(call, "a message is not dispatched before the loop goes on");
        } else if (op == "PostMessageW" && call.arguments[1] == "WM_QUIT") {
            Expect(call, {"*", "WM_QUIT", "0", "0"}, "the worker's end signal");
        } else if (op == "MessageBoxW") {
            Expect(call, {"NULL", completionText_, "\"Finished\"", "MB_OK|MB_ICONINFORMATION"},
                   "the completion message");
        } else if (op == "GetModuleFileNameW") {
            Expect(call, {"NULL", "*", "260"}, "the executable's path");
        } else if (op == "CreateFileW") {
            if (EndsWithNoCase(call.arguments[0], ".reg\""))
                Expect(call, {"*", "GENERIC_READ", "FILE_SHARE_READ", "NULL", "OPEN_EXISTING",
                              "FILE_ATTRIBUTE_NORMAL", "NULL"},
                       "a script");
            else if (EndsWithNoCase(call.arguments[0], ".dat\""))
                Expect(call, {"*", "GENERIC_READ", "0", "NULL", "OPEN_EXISTING", "0", "NULL"}, "a patch file");
        } else if (op == "FindFirstFileW") {
            CheckSearchEnds(i, call);
        } else if (op == "RegCreateKeyExW") {
            Expect(call, {"*", "*", "0", "NULL", "0", "0", "NULL", "*", "*"}, "a section's key");
        } else if (op == "RegOpenKeyExW") {
            Expect(call, {"*", "*", "0", "0", "*"}, "a key");
        } else if (op == "RegSetValueExW") {
            Expect(call, {"*", "*", "0", "*", "*", "*"}, "a value");
        } else if (op == "CeEnumDBVolumes") {
            const bool first = i == 0 || calls_[i - 1]->operation != "CeEnumDBVolumes";
            Expect(call, {first ? kInvalidVolume + "->*" : "*", "*", "260"}, "the volume look-up");
            if (call.result == "TRUE") volume_ = WrittenPart(call.arguments[0]);
        } else if (op == "CeOpenDatabaseEx") {
            Expect(call, {volume_.empty() ? "*" : volume_, "0->*", "*", "0", "0", "NULL"}, "a database");
        } else if (op == "CeReadRecordProps") {
            Expect(call, {"*", "CEDB_ALLOWREALLOC", "1->*", "[*", "NULL->*", "0->*"}, "a record's key");
            if (call.arguments[3].find(',') != std::string::npos) Fault(call, "more than the key property read");
            lastRead_[call.arguments[0]] = call.result;
        } else if (op == "CeWriteRecordProps") {
            const auto read = lastRead_.find(call.arguments[0]);
            Expect(call, {"*", read == lastRead_.end() ? "*" : read->second, "1", "*"},
                   "the record just read");
            if (!WrittenWithLengthAndFlagsZero(call.arguments[3]))
                Fault(call, "the written property has not length 0 and flags 0");
        }
    }

    // A search goes to its end and is closed then, and only then.
    void CheckSearchEnds(size_t i, const Call& first) {
        if (first.result == "INVALID_HANDLE_VALUE") return;
        std::vector<const Call*> uses;
        for (size_t j = i + 1; j < calls_.size(); ++j)
            if (!calls_[j]->arguments.empty() && calls_[j]->arguments[0] == first.result) uses.push_back(calls_[j]);
        const size_t n = uses.size();
        bool ends = n >= 2 && uses[n - 1]->operation == "FindClose" && uses[n - 2]->operation == "FindNextFileW" &&
                    uses[n - 2]->result == "FALSE";
        for (size_t j = 0; ends && j + 2 < n; ++j)
            ends = uses[j]->operation == "FindNextFileW" && uses[j]->result == "TRUE";
        if (!ends) Fault(first, "the search is not closed with FindClose right after its last match");
    }

    // A key is closed before the thread opens another or closes a file, and before
    // the completion message.
    void CheckKeysClosed(const Call& call) {
        const std::string& op = call.operation;
        if (op == "RegCloseKey") {
            openKeys_.erase(call.arguments[0]);
            return;
        }
        if (!openKeys_.empty() && (op == "RegCreateKeyExW" || op == "RegOpenKeyExW" || op == "CloseHandle" ||
                                   op == "MessageBoxW")) {
            Fault(call, "the key " + *openKeys_.begin() + " is still open");
            openKeys_.clear();
        }
        if (call.result == "ERROR_SUCCESS" && (op == "RegCreateKeyExW" || op == "RegOpenKeyExW")) {
            const size_t out = op == "RegCreateKeyExW" ? 7 : 4;
            openKeys_.insert(WrittenPart(call.arguments[out]));
        }
    }

    // On a thread that looks up the volume: every script and search is done before it,
    // and no patch file is opened before it.
    void CheckVolumeOrder(const Call& call) {
        if (!enumerates_) return;
        const std::string& op = call.operation;
        const bool opensFile = op == "CreateFileW" && call.result != "INVALID_HANDLE_VALUE";
        if (op == "CeEnumDBVolumes") {
            if (!scriptsOpen_.empty()) Fault(call, "the volume look-up while " + *scriptsOpen_.begin() + " is open");
            enumerated_ = true;
        } else if (opensFile && EndsWithNoCase(call.arguments[0], ".reg\"")) {
            if (enumerated_) Fault(call, "a script opened after the volume look-up");
            scriptsOpen_.insert(call.result);
        } else if (op == "FindFirstFileW" && call.result != "INVALID_HANDLE_VALUE") {
            if (enumerated_) Fault(call, "a search after the volume look-up");
            scriptsOpen_.insert(call.result);
        } else if (op == "CloseHandle" || op == "FindClose") {
            scriptsOpen_.erase(call.arguments[0]);
        } else if (op == "CreateFileW" && EndsWithNoCase(call.arguments[0], ".dat\"") && !enumerated_) {
            Fault(call, "a patch file opened before the volume look-up");
        }
    }

    const std::vector<const Call*> calls_;
    std::vector<std::string>& faults_;
    const std::string statusText_ = Recorder::Quoted(text::ToUtf8(kStatusWindowText));
    const std::string completionText_ = Recorder::Quoted(text::ToUtf8(kCompletionText));
    bool enumerates_ = false;
    bool enumerated_ = false;
    std::set<std::string> scriptsOpen_;  // script files and searches
    std::set<std::string> openKeys_;
    std::string volume_;                              // the volume the last look-up returned
    std::map<std::string, std::string> lastRead_;     // database -> record last read
};

}  // namespace

std::vector<std::string> CallFaults(const std::vector<Call>& calls) {
    std::map<int, std::vector<const Call*>> threads;
    for (const Call& call : calls) threads[call.thread].push_back(&call);
    std::vector<std::string> faults;
    for (auto& [thread, own] : threads) ThreadRules(std::move(own), faults).Check();
    return faults;
}

std::vector<std::string> LeftOpen(const host::OpenCounts& open) {
    const std::pair<int, const char*> kinds[] = {
        {open.files, "file handle"},           {open.searches, "search handle"},
        {open.keys, "key handle"},             {open.databases, "database handle"},
        {open.threads, "thread handle"},       {open.readBuffers, "read buffer"},
    };
    std::vector<std::string> faults;
    for (const auto& [count, kind] : kinds)
        if (count != 0) faults.push_back(std::to_string(count) + " " + kind + (count == 1 ? "" : "s") + " left open");
    return faults;
}

}  // namespace testing_support
