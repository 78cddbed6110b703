// The recording backend: every platform call made through it, by name, with all its
// arguments and its result, one line per call in the order the calls were made. It
// is generated from the operation table, so it records every operation there is.
//
//   testing_support::FaultInjector faults(host::CurrentBackend());   // optional: fails chosen calls
//   testing_support::Recorder trace(faults);              // records them, failed ones too
//   host::ScopedBackend use(trace);
//   WinMain(nullptr, nullptr, nullptr, 0);
//   EXPECT_LT(trace.IndexOf("PostMessageW", "18"), trace.IndexOf("RegOpenKeyExW", "init"));
//
// A line reads like a call in C:
//   CreateFileW("\\upd\\a.reg", 2147483648, 1, NULL, 3, 128, NULL) = 0x1008
//   ReadFile(0x1008, ->ff fe, 2, ->2, NULL) = 1
//   RegOpenKeyExW(HKEY_LOCAL_MACHINE, "init", 0, 0, ->0x1010) = 0
//   CreateFileW("\\upd\\gone.dat", 2147483648, 0, NULL, 3, 0, NULL) = INVALID_HANDLE_VALUE (error 2)
// Strings are quoted as JSON quotes them (UTF-8, \\ \" \n \r \t \u00XX); numbers are
// decimal; root keys show by name, other handles as hex numbers, NULL and
// INVALID_HANDLE_VALUE by name; other pointers as "ptr". A parameter the call writes
// shows "->" and what was written when the call succeeded ("->?" when it failed);
// one it reads and writes shows "before->after". Byte buffers show as hex pairs
// (the data of RegSetValueExW, what ReadFile and RegQueryValueExW delivered), record
// properties as [tag value, ...]. A call that failed and says why through
// GetLastError ends with "(error N)". Calls keep their place in the order by when they
// were made, also those that block (GetMessageW); one still being made shows its
// arguments as passed and no result yet.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/backend.h"

namespace testing_support {

class Recorder : public host::ForwardingBackend {
public:
    explicit Recorder(host::Backend& target) : host::ForwardingBackend(target) {}
    // Waits for the calls still being made through it (a worker thread's last call
    // can still be returning when the test is done with the recorder).
    ~Recorder() override;

    struct Call {
        std::string operation;               // "RegSetValueExW"
        std::vector<std::string> arguments;  // as shown in the line
        std::string result;                  // as shown, without the error
        std::string line;
        // True when an argument shows as `text`, or as the string `text` (UTF-8) quoted.
        bool Has(std::string_view text) const;
    };

    std::vector<Call> Calls() const;
    std::vector<std::string> Lines() const;
    // How many calls of the operation there were (with an argument that shows as
    // `argument`, when one is given), and the index of the first, -1 when none.
    int Count(std::string_view operation, std::string_view argument = {}) const;
    int IndexOf(std::string_view operation, std::string_view argument = {}) const;
    // The argument at `index` of every call of the operation, as shown.
    std::vector<std::string> Arguments(std::string_view operation, size_t index) const;

    // UTF-8 text quoted as the lines quote strings.
    static std::string Quoted(std::string_view utf8);

    class Entry;  // one call being recorded (recorder.cpp)

#define CE_RECORD_(R, name, failed, ...)                                              \
    R name(CE_PARAMS(__VA_ARGS__)) override;
    CE_OPERATIONS(CE_RECORD_)
#undef CE_RECORD_

private:
    // Takes the next place in the order for a call about to be made (its arguments
    // as passed); Finish fills in the rest once it has returned.
    size_t Begin(const Call& call);
    void Finish(size_t place, Call call);

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<Call> calls_;
    int inFlight_ = 0;  // calls begun and not finished
};

}  // namespace testing_support
