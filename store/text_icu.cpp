#include "store/text.h"

#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/uchar.h>

namespace host {

namespace {

icu::UnicodeString Wrap(std::u16string_view text) {
    return icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size()));
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    Wrap(text).toUTF8String(out);
    return out;
}

std::u16string FromUtf8(std::string_view text) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

std::u16string FoldCase(std::u16string_view text) {
    icu::UnicodeString s(text.data(), static_cast<int32_t>(text.size()));
    s.foldCase(U_FOLD_CASE_DEFAULT);
    return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return FoldCase(a) == FoldCase(b);
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    const std::u16string fa = FoldCase(a);
    const std::u16string fb = FoldCase(b);
    if (int c = fa.compare(fb); c != 0) return c < 0 ? -1 : 1;
    if (int c = a.compare(b); c != 0) return c < 0 ? -1 : 1;
    return 0;
}

}  // namespace host
