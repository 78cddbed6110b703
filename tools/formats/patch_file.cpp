// Patch files from the patch JSON, and read properties in the store's form.
#include "tools/formats/patch_file.h"

#include "store/bytes.h"
#include "tools/errors.h"
#include "tools/formats/database_json.h"

namespace tools {

namespace {

// One property in the file's form, refusing what the installer would stop at or skip.
void AppendPatchProperty(std::vector<uint8_t>& out, const store::Property& p,
                         const std::string& where) {
    const uint16_t type = static_cast<uint16_t>(p.propid & 0xFFFF);
    if (type != CEVT_LPWSTR && type != CEVT_UI4) {
        throw ToolError(where + ": the installer reads only CEVT_LPWSTR and CEVT_UI4 "
                        "properties and would stop at this one");
    }
    store::AppendLittleEndian(out, p.propid, 4);
    if (type == CEVT_UI4) {
        out.insert(out.end(), p.bytes.begin(), p.bytes.end());
        return;
    }
    const size_t length = p.bytes.size() / 2;
    if (length == 0) {
        throw ToolError(where + ": an empty text would stop the installer here");
    }
    if (length > kPatchMaxTextLength) {
        throw ToolError(where + ": a text of " + std::to_string(length) +
                        " characters is longer than the installer reads (at most " +
                        std::to_string(kPatchMaxTextLength) + ")");
    }
    store::AppendLittleEndian(out, length, 2);
    out.insert(out.end(), p.bytes.begin(), p.bytes.end());
}

}  // namespace

std::vector<uint8_t> BuildPatchFile(const Json& doc, const std::string& source) {
    // "skipped" and "stop" are what "patch show --json" adds: read past, so that its
    // output builds the same file again.
    CheckMembers(doc, {"entries", "skipped", "stop"}, source);
    if (!doc.contains("entries") || !doc["entries"].is_array()) {
        throw ToolError(source + ": \"entries\" must be a list of {\"key\", \"value\"} pairs");
    }
    std::vector<uint8_t> out;
    size_t index = 0;
    for (const Json& entry : doc["entries"]) {
        const std::string where = source + ": entry " + std::to_string(++index);
        CheckMembers(entry, {"key", "value"}, where);
        if (!entry.contains("key") || !entry.contains("value")) {
            throw ToolError(where + " needs both \"key\" and \"value\"");
        }
        AppendPatchProperty(out, PropertyFromJson(entry["key"], where + " key", TextNul::Kept),
                            where + " key");
        AppendPatchProperty(out, PropertyFromJson(entry["value"], where + " value", TextNul::Kept),
                            where + " value");
    }
    return out;
}

store::Property PropertyOf(const PatchProperty& p) {
    store::Property out{p.tag, {}};
    if ((p.tag & 0xFFFF) == CEVT_UI4) {
        store::AppendLittleEndian(out.bytes, p.number, 4);
    } else {
        // Every character the file counts: a NUL inside the text is kept.
        store::AppendUtf16Le(out.bytes, std::u16string_view(p.text, p.textLength));
    }
    return out;
}

}  // namespace tools
