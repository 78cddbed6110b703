// What the installer makes of one registry script, line by line: the values it will
// write and every line it will pass over, with line numbers.
//
// The writes come from the installer itself: ImportRegistryScript runs over the
// script's bytes against a scratch image, and every RegCreateKeyExW and
// RegSetValueExW it makes is recorded with the line being read at the time. The
// notes come from walking the same lines through the importer's own line reader and
// section state machine (regscript.h), which also predicts the writes; the two must
// agree, or the script is refused as one lint cannot follow.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/formats/json.h"

namespace tools {

// One value the installer writes.
struct LintWrite {
    size_t line = 0;        // the value line (where its name stands)
    std::u16string key;     // full path: root name, then the key path
    std::u16string name;    // "" is the default value
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

// What happens at one line. Warnings are what a script's author almost certainly
// did not mean; the other notes say what the installer does.
struct LintNote {
    size_t line = 0;
    bool warning = false;
    std::string text;
    bool valueSkipped = false;  // the text says why a value line writes nothing
};

struct LintReport {
    std::vector<LintWrite> writes;  // in the order the installer makes them
    std::vector<LintNote> notes;    // in line order
    size_t Warnings() const;
};

// Lints a script's bytes. Throws ToolError when lint's own reading and the
// installer's run disagree (which would be a fault in lint, never in the script).
LintReport LintScript(const std::vector<uint8_t>& bytes);

// {"writes": [{"line", "key", "name", "type", "bytes"}], "warnings": [{"line", "why"}]}
Json LintJson(const LintReport& report);

// One line per note ("line 4: write ...", "line 7: warning: ..."), then a summary.
std::string LintText(const LintReport& report);

}  // namespace tools
