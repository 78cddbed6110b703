// Inputs that matter byte for byte, built by small helpers rather than committed as
// opaque blobs: UTF-16 registry scripts, binary patch files, database properties and
// registry value bytes. For the test suites and the fuzz targets' seeds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// ---- Registry scripts ----

struct ScriptOptions {
    bool byteOrderMark = true;
    bool crlf = true;          // "\n" in the text becomes CR LF
    bool finalNewline = true;  // FALSE: a trailing "\n" of the text is dropped
};

// UTF-16 LE of the code units, nothing added.
Bytes Utf16Le(std::u16string_view text);

// A script file from text whose lines end in "\n".
Bytes Script(std::u16string_view text, const ScriptOptions& options = {});

// ---- Patch files ----

// Builds a patch file property by property; an entry is a key then a value.
class PatchFile {
public:
    PatchFile& Text(uint16_t id, std::u16string_view text);  // CEVT_LPWSTR
    PatchFile& Number(uint16_t id, uint32_t number);          // CEVT_UI4
    // A CEVT_LPWSTR whose length field says declaredLength, followed by text as given.
    PatchFile& TextWithLength(uint16_t id, uint16_t declaredLength, std::u16string_view text);
    PatchFile& Tag(uint32_t tag);  // a raw tag (for unknown types)
    PatchFile& Raw(const Bytes& bytes);
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

// ---- Database properties ----

store::Property TextProperty(uint16_t id, std::u16string_view text);
store::Property NumberProperty(uint16_t id, uint32_t number);
// The text of a CEVT_LPWSTR property, or the number of a CEVT_UI4 one.
std::u16string PropertyText(const store::Record& record, uint32_t tag);
std::optional<uint32_t> PropertyNumber(const store::Record& record, uint32_t tag);

// Value bytes for comparisons.
Bytes TextValueBytes(std::u16string_view text);  // UTF-16 LE with terminator
Bytes NumberValueBytes(uint32_t number);          // 4 bytes little-endian

}  // namespace testing_support
