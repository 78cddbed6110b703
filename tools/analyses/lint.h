// What the installer makes of one registry script, line by line: the values it will
// write and every line it will pass over, with line numbers.
//
// The writes come from the installer itself: every RegCreateKeyExW and RegSetValueExW
// it makes while it reads the script, recorded with the line being read at the time
// (script_calls.h), either by lint's own run of ImportRegistryScript against a scratch
// image or by "check"'s record of the whole installer's run. The notes come from
// walking the same lines through the importer's own line reader and section state
// machine (regscript.h), which also predicts the writes; the two must agree, or the
// script is refused as one lint cannot follow.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/analyses/script_calls.h"
#include "tools/formats/json.h"

namespace tools {

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

// Lints a script's bytes, running the importer over them once. Throws ToolError when
// lint's own reading and the installer's run disagree (which would be a fault in
// lint, never in the script).
LintReport LintScript(const std::vector<uint8_t>& bytes);

// Lints a script's bytes against the calls the installer made while reading them.
LintReport LintRecorded(const std::vector<uint8_t>& bytes, const ScriptCalls& calls);

// {"writes": [{"line", "key", "name", "type", "bytes"}], "warnings": [{"line", "why"}]}
Json LintJson(const LintReport& report);

// One line per note ("line 4: write ...", "line 7: warning: ..."), then a summary.
std::string LintText(const LintReport& report);

}  // namespace tools
