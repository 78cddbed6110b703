// The registry calls the installer makes while it reads one script, each with the
// line being read when it was made: what lint compares its walk of the script's lines
// with. Recorded in front of the device by lint's own run of the importer (lint.cpp)
// or, for each script, by the record of a whole installer run (check.cpp), and taken
// by the walk on another thread while the installer goes on.
//
// A script may write a hundred thousand values, so the writes are kept compactly:
// their names and bytes side by side in two buffers, read back as views.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wince.h"

namespace tools {

struct RecordedKey {
    size_t line = 0;  // the line whose LF was read last when the call was made
    std::u16string key;
    bool opened = false;
};

// One write as recorded; the views stay valid while what holds the write lives.
struct RecordedWrite {
    size_t line = 0;               // the line whose LF was read last when the call was made
    std::u16string_view key;       // full path: root name, then the key path; "?" if unknown
    std::u16string_view name;      // "" is the default value
    uint32_t type = 0;
    std::span<const uint8_t> bytes;
    LONG result = ERROR_SUCCESS;
};

// The full path of the key a create call opens: the root's name, then the key path
// without the one leading and one trailing backslash the platform ignores.
std::u16string FullKeyPath(HKEY root, const WCHAR* path);

// True when a ReadFile of a script delivered the LF that ends a line: the reader
// takes one character, two bytes, at a time.
inline bool DeliveredLineFeed(const void* buffer, DWORD delivered) {
    const auto* data = static_cast<const uint8_t*>(buffer);
    return delivered == 2 && data[0] == 0x0A && data[1] == 0;
}

// The calls of one script as a walk takes them, in the order they were made.
class CallSource {
public:
    virtual ~CallSource() = default;
    // Key `index`, or null when the installer opened no more keys while reading the
    // script. Valid until the next call.
    virtual const RecordedKey* Key(size_t index) = 0;
    // Write `index`, or false when the installer made no more; its views stay valid
    // until the next call.
    virtual bool Write(size_t index, RecordedWrite& write) = 0;
    // How many writes the installer made while reading the script.
    virtual size_t Writes() = 0;
};

// The calls made while a script is read, as the installer makes them on one thread,
// and a walk that takes them on another: a wait for a call comes back when it has been
// made or the reading has ended. The walk is woken a batch of calls at a time, not at
// every call. The writes are held compactly.
class ScriptCalls {
public:
    // Each call with the number of lines whose LF had been read when it was made.
    void CreateKey(size_t line, HKEY root, LPCWSTR path, LONG result, HKEY key);
    void SetValue(size_t line, HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size,
                  LONG result);
    void CloseKey(HKEY key);
    // No more calls come: every wait comes back.
    void End();

    // The calls for a walk, taken as they are made; one walk at a time.
    std::unique_ptr<CallSource> Follow();

private:
    class Follower;
    static constexpr size_t kNoKey = SIZE_MAX;
    struct Made {
        size_t line;
        size_t key;  // in keys_, or kNoKey
        size_t name;
        size_t nameLength;  // in names_
        size_t bytes;
        size_t byteCount;   // in bytes_
        uint32_t type;
        LONG result;
    };

    // The write as recorded, its views into the buffers below (which move as calls are
    // added); under the lock.
    RecordedWrite write(size_t index) const;
    size_t count() const { return keys_.size() + writes_.size(); }
    // After a call was added: wakes the walk when it has what it waits for.
    void Added();

    std::mutex mutex_;  // guards all below
    std::condition_variable changed_;
    std::vector<RecordedKey> keys_;
    std::vector<Made> writes_;
    std::u16string names_;
    std::vector<uint8_t> bytes_;
    std::map<HKEY, size_t> open_;  // the keys opened, by handle: where in keys_
    bool ended_ = false;
    size_t wanted_ = SIZE_MAX;  // the number of calls the walk waits for
};

}  // namespace tools
