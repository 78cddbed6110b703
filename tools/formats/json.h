// The JSON forms of the ceupdate command, shared by every command that reads or
// writes them: registry values (reg export/load), database properties (db dump/load,
// and the patch-entry form of patch build/show, which is the same property form),
// type names both ways, hex blobs, strict parsing and the stable layout of output.
//
// Readers validate completely and throw ToolError with one sentence that says where
// ("key ... value ...", "record 3 property 2") and what is wrong; they never write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "store/store.h"

namespace tools {

// Members keep the order they were added in: output is laid out as written.
using Json = nlohmann::ordered_json;

// ---- Hex blobs: lower-case pairs, no separators ("0102ff") ----------------------------

std::string HexOf(std::span<const uint8_t> bytes);
// Upper or lower case; throws for an odd length or a character that is not hex.
std::vector<uint8_t> BytesOfHex(std::string_view hex, const std::string& where);

// ---- Reading and writing JSON ------------------------------------------------------------

// Parses JSON text, refusing an object that names the same member twice.
// `source` names the input in the error ("values.json").
Json ParseJsonText(const std::string& text, const std::string& source);
Json ReadJsonFile(const std::filesystem::path& file);

// JSON text with containers down to `expandDepth` levels one member per line
// (indented by two) and deeper ones on one line ({"a": 1, "b": [1, 2]}).
std::string FormatJson(const Json& value, int expandDepth);

// Throws unless `object` is a JSON object whose members are all among `allowed`.
void CheckMembers(const Json& object, std::initializer_list<std::string_view> allowed,
                  const std::string& where);

// ---- Registry values ------------------------------------------------------------------------

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

// ---- Database properties ----------------------------------------------------------------------

// "CEVT_I2" .. "CEVT_BLOB" for the nine property types; none for another number.
std::optional<std::string_view> PropTypeName(uint16_t type);
std::optional<uint16_t> PropTypeFromName(std::string_view name);

// {"id": 1, "type": "CEVT_LPWSTR", "data": "Notes"}: a number for the integer types,
// CEVT_FILETIME (the 64-bit count) and CEVT_R8 (the strings "NaN", "Infinity" and
// "-Infinity" for values JSON numbers cannot hold), true/false for CEVT_BOOL, a
// string for CEVT_LPWSTR, hex for CEVT_BLOB.
Json PropertyToJson(const store::Property& property);
store::Property PropertyFromJson(const Json& property, const std::string& where);

// A one-line text form of a property's data, as in "db dump" text: numbers, true/false,
// "quoted text", hex:00ff for a blob.
std::string PropertyDataText(const store::Property& property);

}  // namespace tools
