// What the installer makes of one registry script, line by line: the values it will
// write and every line it will pass over, with line numbers.
//
// The writes come from the installer itself: every RegCreateKeyExW and RegSetValueExW
// it makes while it reads the script, recorded with the line being read at the time
// (script_calls.h), either by lint's own run of ImportRegistryScript against a scratch
// image or by "check"'s record of the whole installer's run. The notes come from
// walking the same lines through the importer's own line reader and section state
// machine (regscript.h), which also predicts the writes; the two must agree, or the
// script is refused as one lint cannot follow. The walk hands each write and each
// note to the report as it goes, in line order, so that a script of a hundred
// thousand lines is never held as a report in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "tools/analyses/script_calls.h"

namespace tools {

// What happens at one line. Warnings are what a script's author almost certainly
// did not mean; the other notes say what the installer does.
struct LintNote {
    size_t line = 0;  // 0: the file as a whole
    bool warning = false;
    std::string text;
    bool valueSkipped = false;  // the text says why a value line writes nothing
};

// The report of one script, made as the walk goes.
class LintReport {
public:
    // The text form: one line per note ("line 4: write ...", "line 7: warning: ..."),
    // then "N values written, M warnings".
    LintReport();
    // The JSON form: {"writes": [{"line", "key", "name", "type", "bytes"}], "warnings":
    // [{"line", "why"}]}, its lists laid out `depth` levels down in a document that
    // FormatJson(..., expandDepth) lays out.
    LintReport(int depth, int expandDepth);
    ~LintReport();
    LintReport(const LintReport&) = delete;
    LintReport& operator=(const LintReport&) = delete;

    // In the order the installer makes them.
    void Write(size_t line, std::u16string_view key, const RecordedWrite& write);
    // In line order.
    void Note(const LintNote& note);

    size_t writes() const { return writes_; }
    size_t warnings() const { return warnings_; }

    // The text form, or the JSON object.
    void WriteTo(std::ostream& out) const;
    // The JSON form's two lists, for a larger object that holds them.
    void WriteWritesList(std::ostream& out) const;
    void WriteWarningsList(std::ostream& out) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    size_t writes_ = 0;
    size_t warnings_ = 0;
};

// Lints a script's bytes, running the importer over them once. Throws ToolError when
// lint's own reading and the installer's run disagree (which would be a fault in
// lint, never in the script).
void LintScript(std::span<const uint8_t> bytes, LintReport& report);

// Lints a script's bytes against the calls the installer made while reading them,
// taking each call when the walk comes to it.
void LintRecorded(std::span<const uint8_t> bytes, CallSource& calls, LintReport& report);

}  // namespace tools
