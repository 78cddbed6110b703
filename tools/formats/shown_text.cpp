// Names and texts on one line.
#include "tools/formats/shown_text.h"

#include <cstdio>

#include "store/text.h"

namespace tools {

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A tab stays: it keeps the line whole.
bool BreaksTheLine(char16_t c) {
    return (c < 0x20 && c != u'\t') || c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The length of the surrogate pair at i, 0 when text[i] is a lone surrogate, 1 for
// any other character.
size_t UnitsAt(std::u16string_view text, size_t i) {
    const char16_t c = text[i];
    if (IsHighSurrogate(c)) return i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 0;
    return IsLowSurrogate(c) ? 0 : 1;
}

void AppendEscape(std::string& out, char16_t c) {
    char code[8];
    switch (c) {
        case u'\n': out += "\\n"; return;
        case u'\r': out += "\\r"; return;
        case u'\t': out += "\\t"; return;
        case u'\\': out += "\\\\"; return;
        case u'\'': out += "\\'"; return;
        default: break;
    }
    if (c < 0x80) {
        std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(c));
    } else {
        std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned>(c));
    }
    out += code;
}

std::string Escaped(std::u16string_view text) {
    std::string out = "$'";
    size_t run = 0;  // start of the characters not yet written
    auto flush = [&](size_t end) {
        if (end > run) out += text::ToUtf8(text.substr(run, end - run));
    };
    for (size_t i = 0; i < text.size();) {
        const size_t units = UnitsAt(text, i);
        const char16_t c = text[i];
        if (units == 2) {
            i += 2;
            continue;
        }
        if (units == 0 || BreaksTheLine(c) || c == u'\\' || c == u'\'') {
            flush(i);
            AppendEscape(out, c);
            run = ++i;
            continue;
        }
        ++i;
    }
    flush(text.size());
    return out + "'";
}

}  // namespace

bool NeedsEscaping(std::u16string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t units = UnitsAt(text, i);
        if (units == 0 || BreaksTheLine(text[i])) return true;
        i += units;
    }
    return false;
}

std::string ShownText(std::u16string_view text) {
    return NeedsEscaping(text) ? Escaped(text) : text::ToUtf8(text);
}

std::string ShownQuoted(std::u16string_view text) {
    return NeedsEscaping(text) ? Escaped(text) : "\"" + text::ToUtf8(text) + "\"";
}

std::string ShownValueName(std::u16string_view name) { return name.empty() ? "@" : ShownQuoted(name); }

}  // namespace tools
