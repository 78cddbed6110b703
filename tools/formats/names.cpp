// Names and texts exactly, in quoted text and in JSON strings.
#include "tools/formats/names.h"

#include <cstdio>

#include "store/text.h"
#include "tools/errors.h"

namespace tools {

namespace {

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// True when the unit at i is half of a surrogate pair.
bool InPair(std::u16string_view text, size_t i) {
    if (IsHigh(text[i])) return i + 1 < text.size() && IsLow(text[i + 1]);
    if (IsLow(text[i])) return i > 0 && IsHigh(text[i - 1]);
    return false;
}

bool IsControl(char16_t c) { return (c < 0x20 && c != u'\t') || c == 0x7F; }

int HexValue(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// The code unit four hex digits at s[at] name, or -1.
template <typename View>
long FourHex(View s, size_t at) {
    if (at + 4 > s.size()) return -1;
    long value = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const int digit = HexValue(static_cast<char32_t>(s[i]));
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

std::string Hex4(unsigned unit) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04x", unit & 0xFFFF);
    return digits;
}

}  // namespace

// ---- Quoted text -------------------------------------------------------------------

bool NeedsEscapes(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsControl(text[i]) || ((IsHigh(text[i]) || IsLow(text[i])) && !InPair(text, i))) return true;
    }
    return false;
}

std::string QuotedText(std::u16string_view text) {
    std::u16string out = u"\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\\' || c == u'"') {
            out += u'\\';
            out += c;
        } else if (c == u'\n') {
            out += u"\\n";
        } else if (c == u'\r') {
            out += u"\\r";
        } else if (IsControl(c) || ((IsHigh(c) || IsLow(c)) && !InPair(text, i))) {
            const std::string hex = "\\u" + Hex4(c);
            out.append(hex.begin(), hex.end());
        } else {
            out += c;
        }
    }
    out += u'"';
    return text::ToUtf8(out);
}

std::u16string Unquote(std::u16string_view s, size_t* used, const char* what) {
    std::u16string out;
    for (size_t i = 1; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'"') {
            *used = i + 1;
            return out;
        }
        if (c != u'\\') {
            out += c;
            continue;
        }
        const char16_t next = i + 1 < s.size() ? s[i + 1] : u'\0';
        if (next == u'\\' || next == u'"') {
            out += next;
        } else if (next == u'n') {
            out += u'\n';
        } else if (next == u'r') {
            out += u'\r';
        } else if (const long unit = next == u'u' ? FourHex(s, i + 2) : -1; unit >= 0) {
            out += static_cast<char16_t>(unit);
            i += 4;
        } else {
            throw ToolError(std::string("the ") + what +
                            " holds a backslash that is not \\\\, \\\", \\n, \\r or \\uXXXX");
        }
        ++i;
    }
    throw ToolError(std::string("the ") + what + " has no closing quote");
}

std::string KeyPathText(std::u16string_view path) {
    return NeedsEscapes(path) ? QuotedText(path) : text::ToUtf8(path);
}

std::u16string KeyPathOfArgument(const std::string& argument) {
    const std::u16string text = text::FromUtf8(argument);
    std::u16string path = text;
    if (!text.empty() && text.front() == u'"') {
        size_t used = 0;
        path = Unquote(text, &used, "key path");
        if (used != text.size()) throw ToolError("the quoted key path " + argument + " has text after its closing quote");
    }
    // "A\\B" or "A\\" names no key: a registry key's name is never empty.
    if (path.find(u"\\\\") != std::u16string::npos || (!path.empty() && path.back() == u'\\'))
        throw ToolError("the key " + argument + " has an empty name in its path");
    return path;
}

// ---- JSON strings -------------------------------------------------------------------

std::string JsonText(std::u16string_view text) {
    std::string out;
    size_t start = 0;  // of the run not written yet
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c != 0 && !((IsHigh(c) || IsLow(c)) && !InPair(text, i))) continue;
        out += text::ToUtf8(text.substr(start, i - start));
        out += '\0';
        out += Hex4(c);
        start = i + 1;
    }
    return out + text::ToUtf8(text.substr(start));
}

std::u16string TextOfJson(std::string_view json) {
    std::u16string out;
    size_t start = 0;
    for (size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '\0') continue;
        const long unit = FourHex(json, i + 1);
        if (unit < 0) continue;
        out += text::FromUtf8(json.substr(start, i - start));
        out += static_cast<char16_t>(unit);
        i += 4;
        start = i + 1;
    }
    return out + text::FromUtf8(json.substr(start));
}

namespace {

// Copies JSON text, handing each backslash escape inside a string to `escape`, which
// appends what stands for it and returns how many characters it took (2 or more).
template <typename Escape>
std::string RewriteEscapes(std::string_view json, Escape escape) {
    std::string out;
    out.reserve(json.size());
    bool inString = false;
    for (size_t i = 0; i < json.size();) {
        const char c = json[i];
        if (inString && c == '\\' && i + 1 < json.size()) {
            i += escape(i, out);
            continue;
        }
        if (c == '"') inString = !inString;
        out += c;
        ++i;
    }
    return out;
}

}  // namespace

std::string MarkLoneSurrogates(std::string_view json) {
    return RewriteEscapes(json, [json](size_t i, std::string& out) -> size_t {
        const long unit = json[i + 1] == 'u' ? FourHex(json, i + 2) : -1;
        size_t taken = unit < 0 ? 2 : 6;  // any other escape: both characters as they are
        const long next = i + 8 <= json.size() && json.substr(i + 6, 2) == "\\u" ? FourHex(json, i + 8) : -1;
        if (unit >= 0 && IsHigh(static_cast<char16_t>(unit)) && next >= 0 && IsLow(static_cast<char16_t>(next))) {
            taken = 12;  // a pair
        } else if (unit == 0 || IsHigh(static_cast<char16_t>(unit)) || IsLow(static_cast<char16_t>(unit))) {
            out += "\\u0000" + Hex4(static_cast<unsigned>(unit));
            return 6;
        }
        out.append(json.substr(i, taken));
        return taken;
    });
}

std::string UnmarkLoneSurrogates(std::string_view json) {
    return RewriteEscapes(json, [json](size_t i, std::string& out) -> size_t {
        if (json.substr(i, 6) == "\\u0000" && FourHex(json, i + 6) >= 0) {
            out += "\\u";
            out.append(json.substr(i + 6, 4));
            return 10;
        }
        out.append(json.substr(i, 2));
        return 2;
    });
}

}  // namespace tools
