// Names and texts as the text reports (diff, lint, check) print them: always on one
// line, whatever the store holds.
//
// A text is printed as it is unless it holds a character that would break the line
// or that UTF-8 cannot carry: a control character other than TAB (NUL, LF, CR, ...
// DEL), a Unicode line or paragraph separator (U+0085, U+2028, U+2029), or a lone
// surrogate. Such a text is printed in ANSI-C quoting, $'...': \n \r \t, \xHH for
// the other control characters, \uHHHH for the rest, and \\ and \' for a backslash
// and a quote, so nothing of it is lost or mistaken.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// True when the text is printed in the escaped form.
bool NeedsEscaping(std::u16string_view text);

// The text as it stands in a report line: UTF-8 as it is, or $'...'.
std::string ShownText(std::u16string_view text);

// A quoted name or text: "text", or $'...' when it must be escaped.
std::string ShownQuoted(std::u16string_view text);

// A registry value's name as "reg export" writes it: @ for the default value (the
// empty name), otherwise ShownQuoted.
std::string ShownValueName(std::u16string_view name);

}  // namespace tools
