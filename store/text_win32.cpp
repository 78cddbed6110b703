// The text interface (text.h) over the Windows API, for the Windows build: UTF-8
// through MultiByteToWideChar and WideCharToMultiByte, case through LCMapStringEx
// with the invariant locale, ordering through CompareStringOrdinal.
//
// Case folding is one code unit to one: a unit's folded form is the lower case of its
// upper case, by the system's case tables. It agrees with the host's (ICU's full
// default folding) on letters that have a capital, Cyrillic included; it keeps the
// character where Unicode's folding maps one that the case tables leave alone (the
// final sigma, the micro sign) or changes the length (the sharp s to "ss", ligatures).
#include <windows.h>

#include "store/text.h"

namespace text {

namespace {

std::u16string Units(const wchar_t* data, size_t size) {
    return std::u16string(reinterpret_cast<const char16_t*>(data), size);
}

const wchar_t* Wide(std::u16string_view text) { return reinterpret_cast<const wchar_t*>(text.data()); }

// LCMapStringEx with the invariant locale, one code unit to one.
std::u16string Map(std::u16string_view text, DWORD how) {
    if (text.empty()) return {};
    std::u16string out(text.size(), u'\0');
    const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, how, Wide(text), static_cast<int>(text.size()),
                                reinterpret_cast<wchar_t*>(out.data()), static_cast<int>(out.size()),
                                nullptr, nullptr, 0);
    if (n != static_cast<int>(text.size())) return std::u16string(text);
    return out;
}

WORD CharType(char16_t c, DWORD which) {
    WORD type = 0;
    const wchar_t w = static_cast<wchar_t>(c);
    return GetStringTypeW(which, &w, 1, &type) ? type : 0;
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, Wide(text), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, Wide(text), size, out.data(), n, nullptr, nullptr);
    return out;
}

std::u16string FromUtf8(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
    return Units(out.data(), out.size());
}

std::u16string FoldCase(std::u16string_view text) {
    return Map(Map(text, LCMAP_UPPERCASE), LCMAP_LOWERCASE);
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return CompareStringOrdinal(Wide(a), static_cast<int>(a.size()), Wide(b), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

char16_t LowerChar(char16_t c) { return Map(std::u16string_view(&c, 1), LCMAP_LOWERCASE)[0]; }

char16_t FoldChar(char16_t c) { return FoldCase(std::u16string_view(&c, 1))[0]; }

bool IsDecimalDigit(char16_t c) { return (CharType(c, CT_CTYPE1) & C1_DIGIT) != 0; }

size_t DisplayWidth(std::string_view utf8) {
    size_t width = 0;
    for (char16_t c : FromUtf8(utf8)) {
        if (c >= 0xDC00 && c <= 0xDFFF) continue;  // the second half of a pair
        const WORD type3 = CharType(c, CT_CTYPE3);
        if (type3 & C3_NONSPACING) continue;
        width += (type3 & (C3_FULLWIDTH | C3_IDEOGRAPH)) ? 2 : 1;
    }
    return width;
}

}  // namespace text
