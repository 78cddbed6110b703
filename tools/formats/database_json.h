// Database properties in the JSON form of "db dump --json" and "db load", which is
// also the property form of patch entries: type names both ways, the readable `data`
// of stored bytes and the canonical bytes a `data` stands for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/store.h"
#include "tools/formats/json.h"

namespace tools {

// "CEVT_I2" .. "CEVT_BLOB" for the nine property types; none for another number.
std::optional<std::string_view> PropTypeName(uint16_t type);
std::optional<uint16_t> PropTypeFromName(std::string_view name);

// Whether a CEVT_LPWSTR text read from JSON may hold a NUL: not for a database, where
// the platform ends a text at its first NUL; yes in a patch file, which counts the
// characters of each text.
enum class TextNul { Refused, Kept };

// {"id": 1, "type": "CEVT_LPWSTR", "data": "Notes"}: a number for the integer types,
// CEVT_FILETIME (the 64-bit count) and CEVT_R8 (the strings "NaN", "Infinity" and
// "-Infinity" for values JSON numbers cannot hold), true/false for CEVT_BOOL, a
// string for CEVT_LPWSTR (exactly: a lone surrogate or a NUL as its \uXXXX escape,
// names.h), hex for CEVT_BLOB.
Json PropertyToJson(const store::Property& property);
store::Property PropertyFromJson(const Json& property, const std::string& where,
                                 TextNul nul = TextNul::Refused);

// A one-line text form of a property's data, as in "db dump" text: numbers, true/false,
// "quoted text" (a JSON string, escapes as in the JSON form), hex:00ff for a blob.
std::string PropertyDataText(const store::Property& property);

}  // namespace tools
