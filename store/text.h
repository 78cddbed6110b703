// Text on every floor of the host: UTF-8 <-> UTF-16 conversion and Unicode case
// folding, behind one small interface so that each platform supplies its own
// implementation (text_icu.cpp: ICU, on Linux). Nothing else of the host includes a
// text library's headers.
#pragma once

#include <string>
#include <string_view>

namespace text {

// UTF-8 of UTF-16 text; a lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// UTF-16 of UTF-8 text; invalid bytes become U+FFFD.
std::u16string FromUtf8(std::string_view text);

// The case-folded form (full Unicode default folding): the key under which names
// that differ only in letter case are the same.
std::u16string FoldCase(std::u16string_view text);

bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Orders by the case-folded forms, then by the text itself so the order is total.
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// One UTF-16 code unit, mapped one to one (a surrogate stays as it is): its simple
// lower-case form, and its simple case folding.
char16_t LowerChar(char16_t c);
char16_t FoldChar(char16_t c);

// True for a decimal digit of any script (Unicode Nd).
bool IsDecimalDigit(char16_t c);

// The columns UTF-8 text takes on a terminal: East Asian wide and full-width
// characters two, combining marks and format characters none, others one (an
// invalid byte too).
size_t DisplayWidth(std::string_view utf8);

}  // namespace text
