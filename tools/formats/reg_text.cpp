// The registry as registry editor text.
#include "tools/formats/reg_text.h"

#include <cstdio>
#include <optional>

#include "platform/wince.h"
#include "store/bytes.h"
#include "store/text.h"
#include "tools/formats/names.h"

namespace tools {

namespace {

constexpr size_t kHexLineLimit = 77;  // a wrapped line stays within 80 columns

std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// The text of a REG_SZ whose bytes the quoted form holds exactly: whole UTF-16 units,
// one terminator at the end and no other NUL, no line break, valid UTF-16.
std::optional<std::string> ExactText(std::span<const uint8_t> bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return std::nullopt;
    const std::u16string units = store::Utf16LeText(bytes.first(bytes.size() - 2));
    if (bytes[bytes.size() - 2] != 0 || bytes[bytes.size() - 1] != 0) return std::nullopt;
    for (char16_t unit : units) {
        if (unit == u'\0' || unit == u'\r' || unit == u'\n') return std::nullopt;
    }
    std::string text = text::ToUtf8(units);
    if (text::FromUtf8(text) != units) return std::nullopt;  // a lone surrogate
    return text;
}

std::string HexForm(std::string line, uint32_t type, std::span<const uint8_t> bytes) {
    char prefix[32];
    if (type == REG_BINARY) {
        std::snprintf(prefix, sizeof prefix, "hex:");
    } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", type);
    }
    line += prefix;
    size_t lineStart = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        bool last = i + 1 == bytes.size();
        if (line.size() - lineStart + (last ? 2 : 3) > kHexLineLimit) {
            line += "\\\n  ";
            lineStart = line.size() - 2;
        }
        line += pair;
        if (!last) line += ',';
    }
    return line;
}

}  // namespace

std::vector<store::RegistryStore::KeyId> KeysInOrder(const store::RegistryStore& registry,
                                                     store::RegistryStore::KeyId top) {
    std::vector<store::RegistryStore::KeyId> keys;
    std::vector<store::RegistryStore::KeyId> pending{top};
    while (!pending.empty()) {
        store::RegistryStore::KeyId key = pending.back();
        pending.pop_back();
        keys.push_back(key);
        std::vector<store::RegistryStore::Key> children = registry.Subkeys(key);
        for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(it->id);
    }
    return keys;
}

std::string RegValueLine(std::u16string_view name, uint32_t type, std::span<const uint8_t> bytes) {
    std::string line = name.empty() ? "@=" : QuotedText(name) + "=";
    if (type == REG_SZ) {
        if (auto text = ExactText(bytes)) return line + "\"" + Escaped(*text) + "\"";
    }
    if (type == REG_DWORD && bytes.size() == 4) {
        char number[16];
        uint32_t value = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t{bytes[3]} << 24;
        std::snprintf(number, sizeof number, "dword:%08x", value);
        return line + number;
    }
    return HexForm(std::move(line), type, bytes);
}

std::string RegistryText(const store::RegistryStore& registry, store::RegistryStore::KeyId top) {
    std::string out = std::string(kRegeditHeader) + "\n\n";
    for (store::RegistryStore::KeyId key : KeysInOrder(registry, top)) {
        out += "[" + KeyPathText(registry.KeyPath(key)) + "]\n";
        for (const store::RegistryValue& value : registry.Values(key)) {
            out += RegValueLine(value.name, value.type, value.data) + "\n";
        }
        out += "\n";
    }
    return out;
}

}  // namespace tools
