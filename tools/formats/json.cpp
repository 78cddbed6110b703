// The JSON forms of the ceupdate command. Layout: hex; strict parsing and output
// layout; registry values; database properties.
#include "tools/formats/json.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "store/text.h"
#include "platform/wince.h"
#include "tools/errors.h"

namespace tools {

namespace {

constexpr uint32_t kMaxPropertyBytes = CEDB_MAXPROPDATASIZE;

std::string Quote(std::string_view text) { return Json(std::string(text)).dump(); }

// Little-endian byte helpers.
template <typename T>
std::vector<uint8_t> LittleEndian(T value) {
    std::vector<uint8_t> out(sizeof(T));
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
    return out;
}

template <typename T>
T FromLittleEndian(std::span<const uint8_t> bytes) {
    uint64_t bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i) bits |= uint64_t{bytes[i]} << (8 * i);
    T value;
    std::memcpy(&value, &bits, sizeof(T));
    return value;
}

std::u16string UnitsOf(std::span<const uint8_t> bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return units;
}

void AppendUnits(std::vector<uint8_t>& out, std::u16string_view units) {
    for (char16_t unit : units) {
        out.push_back(static_cast<uint8_t>(unit & 0xff));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
}

// Text of a JSON string for a value that the platform reads up to its terminator.
std::u16string TextWithoutNul(const Json& data, const std::string& what,
                              const std::string& where) {
    if (!data.is_string()) throw ToolError(where + ": " + what + " data must be a string");
    std::u16string text = host::FromUtf8(data.get<std::string>());
    if (text.find(u'\0') != std::u16string::npos) {
        throw ToolError(where + ": " + what + " text cannot contain a NUL character");
    }
    return text;
}

// A whole JSON number within [min, max]; floats (even 7.0) are refused.
int64_t SignedInRange(const Json& data, int64_t min, int64_t max, const std::string& what,
                      const std::string& where) {
    std::string range = " (" + std::to_string(min) + " .. " + std::to_string(max) + ")";
    if (data.is_number_unsigned()) {
        uint64_t v = data.get<uint64_t>();
        if (v > static_cast<uint64_t>(max)) {
            throw ToolError(where + ": " + what + " " + std::to_string(v) + " is out of range" +
                            range);
        }
        return static_cast<int64_t>(v);
    }
    if (data.is_number_integer()) {
        int64_t v = data.get<int64_t>();
        if (v < min || v > max) {
            throw ToolError(where + ": " + what + " " + std::to_string(v) + " is out of range" +
                            range);
        }
        return v;
    }
    throw ToolError(where + ": " + what + " must be a whole number" + range + ", not " +
                    data.dump());
}

uint64_t UnsignedInRange(const Json& data, uint64_t max, const std::string& what,
                         const std::string& where) {
    std::string range = " (0 .. " + std::to_string(max) + ")";
    if (data.is_number_unsigned()) {
        uint64_t v = data.get<uint64_t>();
        if (v > max) {
            throw ToolError(where + ": " + what + " " + std::to_string(v) + " is out of range" +
                            range);
        }
        return v;
    }
    if (data.is_number_integer()) {  // only negative numbers land here
        throw ToolError(where + ": " + what + " " + data.dump() + " is out of range" + range);
    }
    throw ToolError(where + ": " + what + " must be a whole number" + range + ", not " +
                    data.dump());
}

const Json& Member(const Json& object, const char* name, const std::string& where) {
    auto it = object.find(name);
    if (it == object.end()) throw ToolError(where + " has no \"" + name + "\"");
    return *it;
}

}  // namespace

// ---- Hex ----------------------------------------------------------------------------------

std::string HexOf(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xf]);
    }
    return out;
}

std::vector<uint8_t> BytesOfHex(std::string_view hex, const std::string& where) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) {
        throw ToolError(where + ": hex \"" + std::string(hex.substr(0, 40)) +
                        (hex.size() > 40 ? "..." : "") + "\" has an odd number of digits");
    }
    std::vector<uint8_t> out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            char bad = hi < 0 ? hex[i] : hex[i + 1];
            throw ToolError(where + ": " + Quote(std::string(1, bad)) +
                            " is not a hex digit (at position " +
                            std::to_string(hi < 0 ? i + 1 : i + 2) + ")");
        }
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

// ---- Parsing and layout ---------------------------------------------------------------------

Json ParseJsonText(const std::string& text, const std::string& source) {
    // One set of member names per object being parsed.
    std::vector<std::set<std::string>> open;
    Json::parser_callback_t refuseDuplicates = [&](int, Json::parse_event_t event,
                                                   Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start: open.emplace_back(); break;
            case Json::parse_event_t::object_end:
                if (!open.empty()) open.pop_back();
                break;
            case Json::parse_event_t::key:
                if (!open.empty() && !open.back().insert(parsed.get<std::string>()).second) {
                    throw ToolError(source + " names the member " + parsed.dump() +
                                    " twice in one object");
                }
                break;
            default: break;
        }
        return true;
    };
    try {
        return Json::parse(text, refuseDuplicates);
    } catch (const Json::parse_error& e) {
        std::string message = e.what();
        if (auto close = message.find("] "); close != std::string::npos) {
            message = message.substr(close + 2);
        }
        throw ToolError(source + " is not valid JSON: " + message);
    }
}

Json ReadJsonFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ToolError("cannot read " + file.string());
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ToolError("cannot read " + file.string());
    return ParseJsonText(text.str(), file.string());
}

namespace {

void Format(const Json& value, int depth, int expandDepth, std::string& out) {
    bool container = value.is_object() || value.is_array();
    if (!container) {
        out += value.dump();
        return;
    }
    char open = value.is_object() ? '{' : '[';
    char close = value.is_object() ? '}' : ']';
    if (value.empty()) {
        out += open;
        out += close;
        return;
    }
    bool expand = depth < expandDepth;
    std::string inner = expand ? "\n" + std::string(2 * (depth + 1), ' ') : "";
    out += open;
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += expand ? "," : ", ";
        first = false;
        out += inner;
        if (value.is_object()) out += Json(it.key()).dump() + ": ";
        Format(*it, depth + 1, expandDepth, out);
    }
    if (expand) out += "\n" + std::string(2 * depth, ' ');
    out += close;
}

}  // namespace

std::string FormatJson(const Json& value, int expandDepth) {
    std::string out;
    Format(value, 0, expandDepth, out);
    return out;
}

void CheckMembers(const Json& object, std::initializer_list<std::string_view> allowed,
                  const std::string& where) {
    if (!object.is_object()) throw ToolError(where + " must be a JSON object");
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (std::string_view name : allowed) known = known || it.key() == name;
        if (!known) throw ToolError(where + " has an unknown member " + Quote(it.key()));
    }
}

// ---- Registry values ---------------------------------------------------------------------------

namespace {

constexpr std::array<const char*, 12> kRegTypeNames = {
    "REG_NONE",          "REG_SZ",
    "REG_EXPAND_SZ",     "REG_BINARY",
    "REG_DWORD",         "REG_DWORD_BIG_ENDIAN",
    "REG_LINK",          "REG_MULTI_SZ",
    "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
    "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};

// The size a fixed-size type must have, or 0.
size_t RegFixedSize(uint32_t type) {
    switch (type) {
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN: return 4;
        case REG_QWORD: return 8;
        default: return 0;
    }
}

void CheckRegSize(uint32_t type, size_t size, const std::string& where) {
    size_t fixed = RegFixedSize(type);
    if (fixed != 0 && size != fixed) {
        throw ToolError(where + ": a " + RegTypeText(type) + " holds " + std::to_string(fixed) +
                        " bytes, not " + std::to_string(size));
    }
}

std::vector<uint8_t> RegBytesFromData(uint32_t type, const Json& data, const std::string& where) {
    std::vector<uint8_t> bytes;
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            AppendUnits(bytes, TextWithoutNul(data, RegTypeText(type), where));
            AppendUnits(bytes, std::u16string(1, u'\0'));
            return bytes;
        case REG_DWORD:
            return LittleEndian(static_cast<uint32_t>(
                UnsignedInRange(data, std::numeric_limits<uint32_t>::max(), "REG_DWORD data", where)));
        case REG_MULTI_SZ: {
            if (!data.is_array()) {
                throw ToolError(where + ": REG_MULTI_SZ data must be a list of strings");
            }
            for (const Json& item : data) {
                std::u16string text = TextWithoutNul(item, "REG_MULTI_SZ", where);
                if (text.empty()) {
                    // An empty string would read back as the end of the list.
                    throw ToolError(where + ": REG_MULTI_SZ cannot hold an empty string");
                }
                AppendUnits(bytes, text);
                AppendUnits(bytes, std::u16string(1, u'\0'));
            }
            AppendUnits(bytes, std::u16string(1, u'\0'));
            return bytes;
        }
        default:
            if (!data.is_string()) {
                throw ToolError(where + ": " + RegTypeText(type) + " data must be a hex string");
            }
            bytes = BytesOfHex(data.get<std::string>(), where);
            CheckRegSize(type, bytes.size(), where);
            return bytes;
    }
}

}  // namespace

Json RegTypeToJson(uint32_t type) {
    if (type < kRegTypeNames.size()) return kRegTypeNames[type];
    return type;
}

std::string RegTypeText(uint32_t type) {
    if (type < kRegTypeNames.size()) return kRegTypeNames[type];
    return std::to_string(type);
}

uint32_t RegTypeFromJson(const Json& type, const std::string& where) {
    if (type.is_string()) {
        std::string name = type.get<std::string>();
        for (uint32_t i = 0; i < kRegTypeNames.size(); ++i) {
            if (name == kRegTypeNames[i]) return i;
        }
        throw ToolError(where + ": unknown registry type " + Quote(name));
    }
    if (type.is_number()) {
        return static_cast<uint32_t>(
            UnsignedInRange(type, std::numeric_limits<uint32_t>::max(), "the type number", where));
    }
    throw ToolError(where + ": the type must be a name such as \"REG_SZ\" or a number");
}

std::optional<Json> RegDataOf(uint32_t type, std::span<const uint8_t> bytes) {
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: {
            std::u16string units = UnitsOf(bytes);
            return host::ToUtf8(units.substr(0, units.find(u'\0')));
        }
        case REG_DWORD:
            if (bytes.size() != 4) return std::nullopt;
            return FromLittleEndian<uint32_t>(bytes);
        case REG_MULTI_SZ: {
            Json list = Json::array();
            std::u16string units = UnitsOf(bytes);
            size_t start = 0;
            while (start < units.size()) {
                size_t end = units.find(u'\0', start);
                if (end == start) break;  // the empty string ends the list
                if (end == std::u16string::npos) end = units.size();
                list.push_back(host::ToUtf8(std::u16string_view(units).substr(start, end - start)));
                start = end + 1;
            }
            return list;
        }
        default: return HexOf(bytes);
    }
}

Json RegValueToJson(uint32_t type, std::span<const uint8_t> bytes) {
    Json value = Json::object();
    value["type"] = RegTypeToJson(type);
    if (auto data = RegDataOf(type, bytes)) value["data"] = *data;
    value["bytes"] = HexOf(bytes);
    return value;
}

RegValueData RegValueFromJson(const Json& value, const std::string& where) {
    CheckMembers(value, {"type", "data", "bytes"}, where);
    RegValueData out;
    out.type = RegTypeFromJson(Member(value, "type", where), where);
    auto bytes = value.find("bytes");
    auto data = value.find("data");
    if (bytes == value.end() && data == value.end()) {
        throw ToolError(where + " has neither \"bytes\" nor \"data\"");
    }
    if (bytes == value.end()) {
        out.bytes = RegBytesFromData(out.type, *data, where);
        return out;
    }
    if (!bytes->is_string()) throw ToolError(where + ": \"bytes\" must be a hex string");
    out.bytes = BytesOfHex(bytes->get<std::string>(), where);
    CheckRegSize(out.type, out.bytes.size(), where);
    if (data != value.end()) {
        std::optional<Json> expected = RegDataOf(out.type, out.bytes);
        if (!expected || *expected != *data) {
            throw ToolError(where + ": \"data\" " + data->dump() + " does not match \"bytes\"" +
                            (expected ? " (they hold " + expected->dump() + ")" : ""));
        }
    }
    return out;
}

// ---- Database properties --------------------------------------------------------------------------

namespace {

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
                    "\"-Infinity\"), not " + data.dump());
}

std::vector<uint8_t> PropBytesFromData(uint16_t type, const Json& data, const std::string& where) {
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
                throw ToolError(where + ": CEVT_BOOL data must be true or false, not " + data.dump());
            }
            return LittleEndian(static_cast<uint32_t>(data.get<bool>() ? 1 : 0));
        case CEVT_LPWSTR: {
            std::u16string text = TextWithoutNul(data, "CEVT_LPWSTR", where);
            std::vector<uint8_t> bytes;
            AppendUnits(bytes, text);
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
        case CEVT_LPWSTR: return host::ToUtf8(UnitsOf(bytes));
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

store::Property PropertyFromJson(const Json& property, const std::string& where) {
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
    if (!type) throw ToolError(where + ": unknown property type " + typeJson.dump());
    store::Property out;
    out.propid = static_cast<uint32_t>(id << 16 | *type);
    out.bytes = PropBytesFromData(*type, Member(property, "data", where), where);
    return out;
}

std::string PropertyDataText(const store::Property& property) {
    if ((property.propid & 0xffff) == CEVT_BLOB) return "hex:" + HexOf(property.bytes);
    return PropData(property).dump();
}

}  // namespace tools
