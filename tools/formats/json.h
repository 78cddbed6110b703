// JSON as the ceupdate command reads and writes it: strict parsing (no member named
// twice), the stable layout of output, hex blobs, and the checks every reader of a
// JSON form shares. The forms themselves: registry_json.h (registry values),
// database_json.h (database properties, also the patch-entry form).
//
// Readers validate completely and throw ToolError with one sentence that says where
// ("key ... value ...", "record 3 property 2") and what is wrong; they never write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/bytes.h"

namespace tools {

// Members keep the order they were added in: output is laid out as written.
using Json = nlohmann::ordered_json;

// ---- Hex blobs: lower-case pairs, no separators ("0102ff") ----------------------------

using store::HexOf;
// Upper or lower case; throws for an odd length or a character that is not hex.
std::vector<uint8_t> BytesOfHex(std::string_view hex, const std::string& where);

// ---- Reading and writing JSON ------------------------------------------------------------

// Lists and objects nest at most this deep in any JSON ceupdate reads.
inline constexpr int kMaxJsonDepth = 8;

// Parses JSON text, refusing an object that names the same member twice, nesting
// deeper than kMaxJsonDepth and numbers no double holds (1e400). `source` names the
// input in the error ("values.json").
Json ParseJsonText(const std::string& text, const std::string& source);
// The JSON of a regular file of at most 256 MiB (ReadHostFile).
Json ReadJsonFile(const std::filesystem::path& file);

// JSON text with containers down to `expandDepth` levels one member per line
// (indented by two) and deeper ones on one line ({"a": 1, "b": [1, 2]}).
std::string FormatJson(const Json& value, int expandDepth);

// The same layout for a value that stands `depth` levels down in a larger document,
// appended to out: for output written part by part.
void AppendJson(std::string& out, const Json& value, int depth, int expandDepth);

// What FormatJson puts around the members of a non-empty container at `depth`: after
// the opening bracket, between two members, before the closing bracket. For a list or
// object written member by member, laid out as FormatJson would lay out the whole.
struct JsonLayout {
    std::string first;
    std::string between;
    std::string last;
};
JsonLayout JsonLayoutAt(int depth, int expandDepth);

// ---- Checks shared by the readers ----------------------------------------------------------

// Throws unless `object` is a JSON object whose members are all among `allowed`.
void CheckMembers(const Json& object, std::initializer_list<std::string_view> allowed,
                  const std::string& where);

// The member of an object; throws naming it when it is missing.
const Json& Member(const Json& object, const char* name, const std::string& where);

// The text of a JSON string for data that the platform reads up to its terminator:
// throws unless it is a string without NUL. `what` names the data ("REG_SZ").
std::u16string TextWithoutNul(const Json& data, const std::string& what,
                              const std::string& where);

// A whole JSON number within [min, max] (or [0, max]); floats (even 7.0) are refused.
int64_t SignedInRange(const Json& data, int64_t min, int64_t max, const std::string& what,
                      const std::string& where);
uint64_t UnsignedInRange(const Json& data, uint64_t max, const std::string& what,
                         const std::string& where);

// For messages: a string as a JSON string literal, and a JSON value, each cut to a
// short excerpt ("...") when long.
std::string QuotedJson(std::string_view text);
std::string Excerpt(const Json& value);

}  // namespace tools
