// The text operations of the platform (towlower, _wcsicmp, iswdigit) and the host's
// case folding: ASCII is mapped without the Unicode tables, and must come out exactly
// as the tables would have it; everything else still goes by Unicode.
#include <gtest/gtest.h>

#include <string>

#include "platform/wince.h"
#include "store/text.h"

namespace {

TEST(TextOperations, LowerCasingOneCharacter) {
    struct Case {
        char16_t in, lower;
    };
    const Case cases[] = {
        {u'A', u'a'}, {u'Z', u'z'}, {u'a', u'a'}, {u'z', u'z'}, {u'@', u'@'}, {u'[', u'['},
        {u'`', u'`'}, {u'{', u'{'}, {u'0', u'0'}, {0x7F, 0x7F}, {0, 0},
        {u'А', u'а'}, {u'Я', u'я'}, {u'Ё', u'ё'}, {u'Σ', u'σ'}, {0xC0, 0xE0},
        {0xFF21, 0xFF41},  // full-width A
        {0xD800, 0xD800},  // a lone surrogate stays
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.in));
        EXPECT_EQ(towlower(c.in), c.lower);
        EXPECT_EQ(text::LowerChar(c.in), c.lower);
    }
    // Every ASCII code unit: only A-Z change, and folding agrees with lower-casing.
    for (char16_t c = 0; c < 0x80; ++c) {
        const char16_t expected = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
        EXPECT_EQ(towlower(c), expected) << static_cast<int>(c);
        EXPECT_EQ(text::FoldChar(c), expected) << static_cast<int>(c);
    }
}

TEST(TextOperations, ComparingIgnoringCase) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        int sign;
    };
    const Case cases[] = {
        {u"Notes", u"NOTES", 0},
        {u"Календарь", u"КАЛЕНДАРЬ", 0},
        {u"Mixed Ключ 7", u"mIXED кЛЮЧ 7", 0},
        {u"", u"", 0},
        {u"a", u"B", -1},   // 'a' - 'b'
        {u"B", u"a", 1},
        {u"ab", u"abc", -1},  // the shorter first
        {u"abc", u"AB", 1},
        {u"[", u"{", -1},   // no letters: compared as they are
        {u"Я", u"а", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(text::ToUtf8(c.a) + " / " + text::ToUtf8(c.b));
        const int result = _wcsicmp(c.a, c.b);
        EXPECT_EQ(result > 0 ? 1 : result < 0 ? -1 : 0, c.sign);
    }
}

TEST(TextOperations, DecimalDigits) {
    for (char16_t c = 0; c < 0x80; ++c)
        EXPECT_EQ(iswdigit(c) != 0, c >= u'0' && c <= u'9') << static_cast<int>(c);
    EXPECT_NE(iswdigit(WCHAR{0x0660}), 0);  // Arabic-Indic zero
    EXPECT_NE(iswdigit(WCHAR{0xFF19}), 0);  // full-width nine
    EXPECT_EQ(iswdigit(WCHAR{0x00B2}), 0);  // superscript two is no decimal digit
}

TEST(TextOperations, CaseFoldingOfNames) {
    struct Case {
        std::u16string in, folded;
    };
    const Case cases[] = {
        {u"HKEY_LOCAL_MACHINE\\Init", u"hkey_local_machine\\init"},
        {u"Value042", u"value042"},
        {u"", u""},
        {u"Ключ1", u"ключ1"},
        {u"Straße", u"strasse"},  // full folding: one character becomes two
        {u"ǅ", u"ǆ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(text::ToUtf8(c.in));
        EXPECT_TRUE(text::FoldCase(c.in) == c.folded);
        EXPECT_TRUE(text::EqualNoCase(c.in, c.folded));
    }
    EXPECT_FALSE(text::EqualNoCase(u"Value1", u"Value2"));
    EXPECT_LT(text::CompareNoCase(u"alpha", u"BETA"), 0);
}

// ASCII is converted without the Unicode library; it and the rest must come out alike.
TEST(TextOperations, ToUtf8) {
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"", ""},
        {u"Value007 \t~", "Value007 \t~"},
        {std::u16string(1, u'\0') + u"a\x7F", std::string(1, '\0') + "a\x7F"},
        {u"a\x80", "a\xC2\x80"},                   // the first code unit past ASCII
        {u"Ключ", "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87"},
        {u"x\U0001F600", "x\xF0\x9F\x98\x80"},    // a surrogate pair
        {u"x\xD800y", "x\xEF\xBF\xBDy"},          // a lone surrogate: U+FFFD
    };
    for (const Case& c : cases) EXPECT_EQ(text::ToUtf8(c.in), c.out);
}

}  // namespace
