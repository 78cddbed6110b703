// The recording backend: every platform call made through it, by name, with all its
// arguments and its result, one line per call. It is generated from the operation
// table, so it records every operation there is.
//
//   testing_support::FaultInjector faults(host::CurrentBackend());   // optional: fails chosen calls
//   testing_support::Recorder trace(faults);              // records them, failed ones too
//   host::ScopedBackend use(trace);
//   WinMain(nullptr, nullptr, nullptr, 0);
//   EXPECT_LT(trace.IndexOf("PostMessageW", "WM_QUIT"), trace.IndexOf("RegOpenKeyExW", "init"));
//
// A line reads like a call in C:
//   CreateFileW("\\upd\\a.reg", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL) = file1
//   ReadFile(file1, ->ff fe, 2, ->2, NULL) = TRUE
//   RegOpenKeyExW(HKEY_LOCAL_MACHINE, "init", 0, 0, ->key1) = ERROR_SUCCESS
//   CreateFileW("\\upd\\gone.dat", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) = INVALID_HANDLE_VALUE (error ERROR_FILE_NOT_FOUND)
//
// Values:
// - Strings are quoted as JSON quotes them (UTF-8, \\ \" \n \r \t \u00XX).
// - Numbers are decimal, except where a parameter takes the platform's named
//   constants: those show by name, flags joined with "|" (GENERIC_READ, OPEN_EXISTING,
//   WS_VISIBLE|WS_BORDER|SS_CENTER, CW_USEDEFAULT, REG_SZ, CEDB_ALLOWREALLOC, WM_QUIT,
//   MB_OK|MB_ICONINFORMATION, INFINITE, TRUE/FALSE), with any bits left over in hex.
//   Results show the same way: BOOL as TRUE/FALSE, registry results and errors by
//   their ERROR_ name, MessageBoxW's IDOK, WaitForSingleObject's WAIT_ names.
// - Handles show by what made them and in which order: file1, search1, key1, db1,
//   window1, thread1 (the first file handle, ...); a handle no recorded call made shows
//   in hex, the registry's roots by name, NULL and INVALID_HANDLE_VALUE by name. So the
//   lines do not depend on the numbers the device happens to give out.
// - Buffers that CeReadRecordProps hands out show as block1, block2, ..., also where
//   LocalFree gives them back. A function named with NameFunction shows by that name
//   (CreateThread's UpdateWorker); any other pointer as "ptr".
// - Byte buffers show as hex pairs (RegSetValueExW's data, what ReadFile and
//   RegQueryValueExW delivered), registry data of a string type that is UTF-16 text as
//   that text quoted, terminators shown as \u0000; record properties as
//   {propid, len, flags, value},
//   property ids as hex; search records as {"name", attributes, size}; messages as
//   {hwnd, message, wParam, lParam}; volume ids as four hex words. File times and a
//   message's time are left out: they differ from run to run.
// - A parameter the call writes shows "->" and what was written when the call
//   succeeded ("->?" when it failed); one it reads and writes shows "before->after".
// - A call that failed and says why through GetLastError ends with "(error NAME)".
//
// Calls keep their place in the order by when they were made, also those that block
// (GetMessageW); one still being made shows "(...)". Each call also notes its thread,
// numbered in the order the threads made their first call, and Transcript() lists the
// calls thread by thread: text that does not depend on how the threads were scheduled.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/host/backend.h"

namespace testing_support {

class Recorder : public host::ForwardingBackend {
public:
    explicit Recorder(host::Backend& target) : host::ForwardingBackend(target) {}
    // Waits for the calls still being made through it (a worker thread's last call
    // can still be returning when the test is done with the recorder).
    ~Recorder() override;

    // Shows the function (a thread procedure) by name wherever it is passed.
    void NameFunction(const void* function, std::string name);

    struct Call {
        std::string operation;               // "RegSetValueExW"
        std::vector<std::string> arguments;  // as shown in the line
        std::string result;                  // as shown, without the error
        std::string line;
        int thread = 0;  // 1: the thread that made the first call, 2: the next one, ...
        // True when an argument shows as `text`, or as the string `text` (UTF-8) quoted.
        bool Has(std::string_view text) const;
    };

    std::vector<Call> Calls() const;
    std::vector<std::string> Lines() const;
    // Every line, thread by thread: "thread 1", its lines in order, "thread 2", ...
    std::string Transcript() const;
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

    // The names values show by (see above); "" when a value has none.
    std::string NameOf(const void* value) const;
    // Names a value a call has just made ("file" -> file1, file2, ...).
    std::string Name(const void* value, const std::string& kind);

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<Call> calls_;
    int inFlight_ = 0;  // calls begun and not finished
    std::map<std::thread::id, int> threads_;
    std::map<const void*, std::string> names_;
    std::map<std::string, int> made_;  // how many values of each kind were named
};

}  // namespace testing_support
