// Language database patch cases, shared by the suites that run them: the patching
// suite (langdb_test: the records after each job) and the Windows difference test
// (the host platform against a real Win32 API). Each case is a "\FileNameLang" of a
// few records, a patch file, and what the records hold after the job.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/wince.h"
#include "testing/inputs.h"

namespace testing_support {

constexpr uint32_t Text(uint16_t id) { return PROPID_FROM_ID_TYPE(id, CEVT_LPWSTR); }
constexpr uint32_t Num(uint16_t id) { return PROPID_FROM_ID_TYPE(id, CEVT_UI4); }

// A property of record `record` after the job: a text, a number, or absent.
struct Check {
    size_t record;
    uint32_t tag;
    std::variant<std::u16string, uint32_t, std::monostate> want;
};

using Records = std::vector<std::vector<store::Property>>;

struct PatchCase {
    const char* name;
    Records records;
    PatchFile patch;
    std::vector<Check> checks;
};

// Three records: a text key (id 1), a number (id 2) and a label (id 3).
Records Sample();

// Which record an entry changes: keys that match, keys that do not, types and ids.
std::vector<PatchCase> MatchingPatchCases();

// What ends a job or skips an entry: empty, cut and over-long texts, unknown types.
std::vector<PatchCase> JobEndingPatchCases();

}  // namespace testing_support
