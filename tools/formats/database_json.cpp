// Database properties as JSON.
#include "tools/formats/database_json.h"

#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

#include "platform/wince.h"
#include "store/text.h"
#include "tools/errors.h"
#include "tools/formats/names.h"

namespace tools {

namespace {

constexpr uint32_t kMaxPropertyBytes = CEDB_MAXPROPDATASIZE;

// The canonical bytes of a number or a double, and back.
template <typename T>
std::vector<uint8_t> LittleEndian(T value) {
    std::vector<uint8_t> out;
    if constexpr (std::is_floating_point_v<T>) {
        store::AppendLittleEndian(out, std::bit_cast<uint64_t>(value), sizeof(T));
    } else {
        store::AppendLittleEndian(out, static_cast<uint64_t>(value), sizeof(T));
    }
    return out;
}

template <typename T>
T FromLittleEndian(std::span<const uint8_t> bytes) {
    const uint64_t bits = store::LittleEndianValue(bytes.first(sizeof(T)));
    if constexpr (std::is_floating_point_v<T>) {
        return std::bit_cast<T>(bits);
    } else {
        return static_cast<T>(bits);
    }
}

struct PropTypeRow {
    uint16_t type;
    const char* name;
    size_t fixedSize;  // 0 for the variable-size types
};

constexpr PropTypeRow kPropTypes[] = {
    {CEVT_I2, "CEVT_I2", 2},       {CEVT_UI2, "CEVT_UI2", 2},
    {CEVT_I4, "CEVT_I4", 4},       {CEVT_UI4, "CEVT_UI4", 4},
    {CEVT_FILETIME, "CEVT_FILETIME", 8}, {CEVT_LPWSTR, "CEVT_LPWSTR", 0},
    {CEVT_BLOB, "CEVT_BLOB", 0},   {CEVT_BOOL, "CEVT_BOOL", 4},
    {CEVT_R8, "CEVT_R8", 8},
};

const PropTypeRow* PropRow(uint16_t type) {
    for (const PropTypeRow& row : kPropTypes) {
        if (row.type == type) return &row;
    }
    return nullptr;
}

Json R8ToJson(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    return value;
}

double R8FromJson(const Json& data, const std::string& where) {
    if (data.is_number()) return data.get<double>();
    if (data.is_string()) {
        std::string text = data.get<std::string>();
        if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
        if (text == "Infinity") return std::numeric_limits<double>::infinity();
        if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
    }
    throw ToolError(where + ": CEVT_R8 data must be a number (or \"NaN\", \"Infinity\", "
                    "\"-Infinity\"), not " + Excerpt(data));
}

std::vector<uint8_t> PropBytesFromData(uint16_t type, const Json& data, TextNul nul,
                                       const std::string& where) {
    switch (type) {
        case CEVT_I2:
            return LittleEndian(static_cast<int16_t>(SignedInRange(data, -32768, 32767, "CEVT_I2 data", where)));
        case CEVT_UI2:
            return LittleEndian(static_cast<uint16_t>(UnsignedInRange(data, 65535, "CEVT_UI2 data", where)));
        case CEVT_I4:
            return LittleEndian(static_cast<int32_t>(SignedInRange(
                data, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                "CEVT_I4 data", where)));
        case CEVT_UI4:
            return LittleEndian(static_cast<uint32_t>(
                UnsignedInRange(data, std::numeric_limits<uint32_t>::max(), "CEVT_UI4 data", where)));
        case CEVT_FILETIME:
            return LittleEndian(UnsignedInRange(data, std::numeric_limits<uint64_t>::max(),
                                                "CEVT_FILETIME data", where));
        case CEVT_R8: return LittleEndian(R8FromJson(data, where));
        case CEVT_BOOL:
            if (!data.is_boolean()) {
                throw ToolError(where + ": CEVT_BOOL data must be true or false, not " + Excerpt(data));
            }
            return LittleEndian(static_cast<uint32_t>(data.get<bool>() ? 1 : 0));
        case CEVT_LPWSTR: {
            const std::u16string text = nul == TextNul::Kept && data.is_string()
                                            ? TextOfJson(data.get<std::string>())
                                            : TextWithoutNul(data, "CEVT_LPWSTR", where);
            std::vector<uint8_t> bytes;
            store::AppendUtf16Le(bytes, text);
            if (bytes.size() + 2 > kMaxPropertyBytes) {
                throw ToolError(where + ": CEVT_LPWSTR text of " + std::to_string(text.size()) +
                                " characters exceeds the " + std::to_string(kMaxPropertyBytes) +
                                "-byte property limit");
            }
            return bytes;
        }
        default: {  // CEVT_BLOB
            if (!data.is_string()) {
                throw ToolError(where + ": CEVT_BLOB data must be a hex string");
            }
            std::vector<uint8_t> bytes = BytesOfHex(data.get<std::string>(), where);
            if (bytes.size() > kMaxPropertyBytes) {
                throw ToolError(where + ": CEVT_BLOB of " + std::to_string(bytes.size()) +
                                " bytes exceeds the " + std::to_string(kMaxPropertyBytes) +
                                "-byte property limit");
            }
            return bytes;
        }
    }
}

// The data of a stored property; throws when its bytes do not fit its type.
Json PropData(const store::Property& property) {
    uint16_t type = static_cast<uint16_t>(property.propid & 0xffff);
    const PropTypeRow* row = PropRow(type);
    std::span<const uint8_t> bytes = property.bytes;
    if (row == nullptr) return HexOf(bytes);
    if (row->fixedSize != 0 && bytes.size() != row->fixedSize) {
        throw ToolError("a stored " + std::string(row->name) + " property (id " +
                        std::to_string(property.propid >> 16) + ") holds " +
                        std::to_string(bytes.size()) + " bytes instead of " +
                        std::to_string(row->fixedSize));
    }
    switch (type) {
        case CEVT_I2: return FromLittleEndian<int16_t>(bytes);
        case CEVT_UI2: return FromLittleEndian<uint16_t>(bytes);
        case CEVT_I4: return FromLittleEndian<int32_t>(bytes);
        case CEVT_UI4: return FromLittleEndian<uint32_t>(bytes);
        case CEVT_FILETIME: return FromLittleEndian<uint64_t>(bytes);
        case CEVT_R8: return R8ToJson(FromLittleEndian<double>(bytes));
        case CEVT_BOOL: return FromLittleEndian<uint32_t>(bytes) != 0;
        case CEVT_LPWSTR: return JsonText(store::Utf16LeText(bytes));  // exactly, as names are
        default: return HexOf(bytes);
    }
}

}  // namespace

std::optional<std::string_view> PropTypeName(uint16_t type) {
    if (const PropTypeRow* row = PropRow(type)) return row->name;
    return std::nullopt;
}

std::optional<uint16_t> PropTypeFromName(std::string_view name) {
    for (const PropTypeRow& row : kPropTypes) {
        if (name == row.name) return row.type;
    }
    return std::nullopt;
}

Json PropertyToJson(const store::Property& property) {
    uint16_t type = static_cast<uint16_t>(property.propid & 0xffff);
    Json out = Json::object();
    out["id"] = property.propid >> 16;
    if (auto name = PropTypeName(type)) {
        out["type"] = std::string(*name);
    } else {
        out["type"] = type;
    }
    out["data"] = PropData(property);
    return out;
}

store::Property PropertyFromJson(const Json& property, const std::string& where, TextNul nul) {
    CheckMembers(property, {"id", "type", "data"}, where);
    uint64_t id = UnsignedInRange(Member(property, "id", where), 65535, "the id", where);
    const Json& typeJson = Member(property, "type", where);
    std::optional<uint16_t> type;
    if (typeJson.is_string()) {
        type = PropTypeFromName(typeJson.get<std::string>());
    } else if (typeJson.is_number_unsigned() && typeJson.get<uint64_t>() <= 0xffff &&
               PropRow(static_cast<uint16_t>(typeJson.get<uint64_t>()))) {
        type = static_cast<uint16_t>(typeJson.get<uint64_t>());
    }
    if (!type) throw ToolError(where + ": unknown property type " + Excerpt(typeJson));
    store::Property out;
    out.propid = static_cast<uint32_t>(id << 16 | *type);
    out.bytes = PropBytesFromData(*type, Member(property, "data", where), nul, where);
    return out;
}

std::string PropertyDataText(const store::Property& property) {
    if ((property.propid & 0xffff) == CEVT_BLOB) return "hex:" + HexOf(property.bytes);
    return UnmarkLoneSurrogates(PropData(property).dump());
}

}  // namespace tools
