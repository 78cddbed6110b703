// The input builders.
#include "testing/inputs.h"

#include "platform/wince.h"
#include "store/bytes.h"

namespace testing_support {

// ---- Scripts ----

Bytes Utf16Le(std::u16string_view text) { return store::Utf16LeBytes(text); }

Bytes Script(std::u16string_view text, const ScriptOptions& options) {
    std::u16string s;
    if (options.byteOrderMark) s.push_back(0xFEFF);
    std::u16string_view body = text;
    if (!options.finalNewline && !body.empty() && body.back() == u'\n') body.remove_suffix(1);
    for (char16_t c : body) {
        if (c == u'\n' && options.crlf) s.push_back(u'\r');
        s.push_back(c);
    }
    return Utf16Le(s);
}

// ---- Patch files ----

PatchFile& PatchFile::Text(uint16_t id, std::u16string_view text) {
    return TextWithLength(id, static_cast<uint16_t>(text.size()), text);
}

PatchFile& PatchFile::TextWithLength(uint16_t id, uint16_t declaredLength,
                                     std::u16string_view text) {
    Tag(PROPID_FROM_ID_TYPE(id, CEVT_LPWSTR));
    store::AppendLittleEndian(bytes_, declaredLength, 2);
    store::AppendUtf16Le(bytes_, text);
    return *this;
}

PatchFile& PatchFile::Number(uint16_t id, uint32_t number) {
    Tag(PROPID_FROM_ID_TYPE(id, CEVT_UI4));
    store::AppendLittleEndian(bytes_, number, 4);
    return *this;
}

PatchFile& PatchFile::Tag(uint32_t tag) {
    store::AppendLittleEndian(bytes_, tag, 4);
    return *this;
}

PatchFile& PatchFile::Raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

// ---- Properties ----

store::Property TextProperty(uint16_t id, std::u16string_view text) {
    return store::Property{PROPID_FROM_ID_TYPE(id, CEVT_LPWSTR), Utf16Le(text)};
}

store::Property NumberProperty(uint16_t id, uint32_t number) {
    return store::Property{PROPID_FROM_ID_TYPE(id, CEVT_UI4), NumberValueBytes(number)};
}

std::u16string PropertyText(const store::Record& record, uint32_t tag) {
    for (const store::Property& p : record.props)
        if (p.propid == tag) return store::Utf16LeText(p.bytes);
    return u"(none)";
}

std::optional<uint32_t> PropertyNumber(const store::Record& record, uint32_t tag) {
    for (const store::Property& p : record.props)
        if (p.propid == tag && p.bytes.size() == 4)
            return static_cast<uint32_t>(store::LittleEndianValue(p.bytes));
    return std::nullopt;
}

Bytes TextValueBytes(std::u16string_view text) { return Utf16Le(std::u16string(text) + u'\0'); }

Bytes NumberValueBytes(uint32_t number) {
    Bytes b;
    store::AppendLittleEndian(b, number, 4);
    return b;
}

}  // namespace testing_support
