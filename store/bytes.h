// Bytes as the image's stores, the platform's files and the tools' formats hold
// them: UTF-16 LE text, little-endian numbers and hex, written once for every floor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// The UTF-16 LE code units of text, nothing added.
std::vector<uint8_t> Utf16LeBytes(std::u16string_view text);
void AppendUtf16Le(std::vector<uint8_t>& out, std::u16string_view text);

// The text of UTF-16 LE bytes, every code unit as it is; an odd last byte is dropped.
std::u16string Utf16LeText(std::span<const uint8_t> bytes);

// The low `size` bytes of value, least significant first.
void AppendLittleEndian(std::vector<uint8_t>& out, uint64_t value, size_t size);

// The number the bytes (at most 8) hold, least significant first.
uint64_t LittleEndianValue(std::span<const uint8_t> bytes);

// Lower-case hex digit pairs, no separators: "0102ff".
std::string HexOf(std::span<const uint8_t> bytes);

}  // namespace store
