// The registry calls the installer makes while it reads one script, each with the
// line being read when it was made: what lint compares its walk of the script's lines
// with. Recorded in front of the device by lint's own run of the importer (lint.cpp)
// or, for each script, by the record of a whole installer run (check.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/wince.h"

namespace tools {

// One value the installer writes.
struct LintWrite {
    size_t line = 0;        // the value line (where its name stands)
    std::u16string key;     // full path: root name, then the key path
    std::u16string name;    // "" is the default value
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

struct RecordedKey {
    size_t line = 0;  // the line whose LF was read last when the call was made
    std::u16string key;
    bool opened = false;
};

struct RecordedWrite {
    size_t line = 0;  // the line whose LF was read last when the call was made
    LintWrite write;
    LONG result = ERROR_SUCCESS;
};

// The full path of the key a create call opens: the root's name, then the key path
// without the one leading and one trailing backslash the platform ignores.
std::u16string FullKeyPath(HKEY root, const WCHAR* path);

class ScriptCalls {
public:
    // What a ReadFile of the script delivered: the reader takes one character, two
    // bytes, at a time, so a delivered LF ends a line.
    void Read(const void* buffer, DWORD delivered);
    void CreateKey(HKEY root, LPCWSTR path, LONG result, HKEY key);
    void SetValue(HKEY key, LPCWSTR name, DWORD type, const BYTE* data, DWORD size, LONG result);
    void CloseKey(HKEY key);

    std::vector<uint8_t> bytes;  // the script as the installer read it
    std::vector<RecordedKey> keys;
    std::vector<RecordedWrite> writes;

private:
    size_t lines_ = 0;
    std::map<HKEY, std::u16string> open_;  // the keys opened, by handle
};

}  // namespace tools
