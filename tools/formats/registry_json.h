// The registry's values in the JSON form of "reg export --json" and "reg load": type
// names both ways, the readable `data` of stored bytes, and the bytes a `data` stands
// for.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/formats/json.h"

namespace tools {

// "REG_NONE" .. "REG_QWORD" for the types 0 .. 11; any other type is its number.
Json RegTypeToJson(uint32_t type);
std::string RegTypeText(uint32_t type);  // the name, or the number as text
// A name (exact spelling) or a number in 0 .. 2^32-1.
uint32_t RegTypeFromJson(const Json& type, const std::string& where);

// The `data` export writes for stored bytes, or none when the bytes have no data
// form (a REG_DWORD that is not 4 bytes long). REG_SZ/REG_EXPAND_SZ: the text up to
// the first NUL; REG_DWORD: the number; REG_MULTI_SZ: the strings up to the first
// empty one; every other type: hex.
std::optional<Json> RegDataOf(uint32_t type, std::span<const uint8_t> bytes);

// {"type": ..., "data": ... (when there is a data form), "bytes": "..."}
Json RegValueToJson(uint32_t type, std::span<const uint8_t> bytes);

struct RegValueData {
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};
// Reads {"type", "bytes"}, {"type", "data"} or all three (data must then be what
// RegDataOf gives for the bytes). From data alone: UTF-16 LE text plus terminator
// for REG_SZ/REG_EXPAND_SZ, each string plus terminator and a final terminator for
// REG_MULTI_SZ, 4 bytes little-endian for REG_DWORD, the hex bytes otherwise.
RegValueData RegValueFromJson(const Json& value, const std::string& where);

}  // namespace tools
