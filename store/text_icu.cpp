// The text interface (text.h) over ICU.
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include "store/text.h"

namespace text {

namespace {

icu::UnicodeString Wrap(std::u16string_view text) {
    return icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size()));
}

// A BMP code unit's mapping, when it is one code unit again.
char16_t OneUnit(UChar32 mapped, char16_t c) {
    return mapped <= 0xFFFF ? static_cast<char16_t>(mapped) : c;
}

// ASCII maps by itself: its only case pairs are A-Z and a-z, under lower-casing and
// under full case folding alike. Names, keys and paths are ASCII nearly always, so
// they never reach ICU.
bool IsAscii(char16_t c) { return c < 0x80; }
char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

std::string ToUtf8(std::u16string_view text) {
    // ASCII is its own UTF-8, one byte a character.
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        if (!IsAscii(text[i])) {
            out.clear();
            Wrap(text).toUTF8String(out);
            return out;
        }
        out[i] = static_cast<char>(text[i]);
    }
    return out;
}

std::u16string FromUtf8(std::string_view text) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

std::u16string FoldCase(std::u16string_view text) {
    std::u16string folded(text);
    bool ascii = true;
    for (char16_t& c : folded) {
        if (!IsAscii(c)) {
            ascii = false;
            break;
        }
        c = AsciiLower(c);
    }
    if (ascii) return folded;
    icu::UnicodeString s(text.data(), static_cast<int32_t>(text.size()));
    s.foldCase(U_FOLD_CASE_DEFAULT);
    return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return FoldCase(a) == FoldCase(b);
}

char16_t LowerChar(char16_t c) { return IsAscii(c) ? AsciiLower(c) : OneUnit(u_tolower(c), c); }

char16_t FoldChar(char16_t c) {
    return IsAscii(c) ? AsciiLower(c) : OneUnit(u_foldCase(c, U_FOLD_CASE_DEFAULT), c);
}

bool IsDecimalDigit(char16_t c) { return IsAscii(c) ? c >= u'0' && c <= u'9' : u_isdigit(c) != 0; }

size_t DisplayWidth(std::string_view utf8) {
    size_t width = 0;
    int32_t i = 0;
    const int32_t length = static_cast<int32_t>(utf8.size());
    while (i < length) {
        UChar32 c;
        U8_NEXT(utf8.data(), i, length, c);
        if (c < 0) {
            ++width;
            continue;
        }
        const auto category = u_charType(c);
        if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
            category == U_FORMAT_CHAR) {
            continue;
        }
        const int ea = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
        width += (ea == U_EA_WIDE || ea == U_EA_FULLWIDTH) ? 2 : 1;
    }
    return width;
}

}  // namespace text
