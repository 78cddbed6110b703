// Registry values as JSON.
#include "tools/formats/registry_json.h"

#include <array>
#include <limits>

#include "platform/wince.h"
#include "store/text.h"
#include "tools/errors.h"

namespace tools {

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
            store::AppendUtf16Le(bytes, TextWithoutNul(data, RegTypeText(type), where));
            store::AppendUtf16Le(bytes, std::u16string(1, u'\0'));
            return bytes;
        case REG_DWORD:
            store::AppendLittleEndian(
                bytes,
                UnsignedInRange(data, std::numeric_limits<uint32_t>::max(), "REG_DWORD data", where),
                4);
            return bytes;
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
                store::AppendUtf16Le(bytes, text);
                store::AppendUtf16Le(bytes, std::u16string(1, u'\0'));
            }
            store::AppendUtf16Le(bytes, std::u16string(1, u'\0'));
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
        throw ToolError(where + ": unknown registry type " + QuotedJson(name));
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
            std::u16string units = store::Utf16LeText(bytes);
            return text::ToUtf8(units.substr(0, units.find(u'\0')));
        }
        case REG_DWORD:
            if (bytes.size() != 4) return std::nullopt;
            return static_cast<uint32_t>(store::LittleEndianValue(bytes));
        case REG_MULTI_SZ: {
            Json list = Json::array();
            std::u16string units = store::Utf16LeText(bytes);
            size_t start = 0;
            while (start < units.size()) {
                size_t end = units.find(u'\0', start);
                if (end == start) break;  // the empty string ends the list
                if (end == std::u16string::npos) end = units.size();
                list.push_back(text::ToUtf8(std::u16string_view(units).substr(start, end - start)));
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
            throw ToolError(where + ": \"data\" " + Excerpt(*data) + " does not match \"bytes\"" +
                            (expected ? " (they hold " + Excerpt(*expected) + ")" : ""));
        }
    }
    return out;
}

}  // namespace tools
