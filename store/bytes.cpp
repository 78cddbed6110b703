// UTF-16 LE text, little-endian numbers and hex.
#include "store/bytes.h"

namespace store {

std::vector<uint8_t> Utf16LeBytes(std::u16string_view text) {
    std::vector<uint8_t> bytes;
    AppendUtf16Le(bytes, text);
    return bytes;
}

void AppendUtf16Le(std::vector<uint8_t>& out, std::u16string_view text) {
    out.reserve(out.size() + text.size() * 2);
    for (char16_t c : text) AppendLittleEndian(out, c, 2);
}

std::u16string Utf16LeText(std::span<const uint8_t> bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return text;
}

void AppendLittleEndian(std::vector<uint8_t>& out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t LittleEndianValue(std::span<const uint8_t> bytes) {
    uint64_t value = 0;
    for (size_t i = bytes.size() < 8 ? bytes.size() : 8; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

std::string HexOf(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0xF]);
    }
    return out;
}

}  // namespace store
