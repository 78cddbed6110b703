// Names and texts exactly, in the tools' text forms: every UTF-16 sequence the stores
// hold (a line break, a lone surrogate) comes out in a form that reads back to the
// same code units, and on one line.
//
// Quoted text (registry editor text, and names printed on one line by any tool):
// "..." with \\ and \" as always, plus \n, \r and \uXXXX (one UTF-16 code unit, four
// hex digits) for what the plain form cannot hold: line breaks, other control
// characters but tab, and lone surrogates.
//
// JSON: strings are UTF-8 as always; a lone surrogate in a name (a key path, a value
// name) or in a database or patch text (which have no "bytes" beside them) is the
// escape \udXXX, as JSON's grammar allows and many JSON tools read and write, and a
// NUL inside such a text is \u0000; readers take them in any string. Registry data
// keeps U+FFFD in its readable "data", "bytes" holding it exactly.
// Inside a parsed Json the tools
// carry such a code unit as a NUL followed by its four hex digits (a real NUL as
// NUL "0000"): JsonText and TextOfJson convert, ParseJsonText and FormatJson (json.h)
// take the escapes in and out.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// ---- Quoted text -------------------------------------------------------------------

// True when the text needs more than \\ and \" to be quoted exactly.
bool NeedsEscapes(std::u16string_view text);

// "text" with the escapes above: one line, read back exactly by Unquote.
std::string QuotedText(std::u16string_view text);

// Reads a quoted text at the start of s (s[0] is '"'); *used is set to the characters
// taken, closing quote included. Throws ToolError naming `what` ("value name") when
// the text has no closing quote or an escape that is not one of the above.
std::u16string Unquote(std::u16string_view s, size_t* used, const char* what);

// A key path as a key line holds it: plain (HKEY_CURRENT_USER\Software) when it needs
// no escapes, else quoted ("HKEY_CURRENT_USER\\Software\\a\nb"), its backslashes then
// escaped like any other.
std::string KeyPathText(std::u16string_view path);

// A key path as a user gives it on the command line: plain, or quoted as KeyPathText
// writes it. Throws ToolError when a quoted one is malformed, or when a name in the
// path is empty (two backslashes in a row, or one at the end).
std::u16string KeyPathOfArgument(const std::string& argument);

// ---- JSON strings -------------------------------------------------------------------

// The string a Json holds for a text: UTF-8, lone surrogates and NULs marked.
std::string JsonText(std::u16string_view text);
// The text of such a string (also any valid UTF-8 read from JSON).
std::u16string TextOfJson(std::string_view json);

// JSON text in, before nlohmann parses it: each lone-surrogate escape \udXXX (and
// \u0000) becomes the marked form. JSON text out: the marked form becomes \udXXX.
std::string MarkLoneSurrogates(std::string_view json);
std::string UnmarkLoneSurrogates(std::string_view json);

}  // namespace tools
