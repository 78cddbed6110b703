// The registry export reader and "ceupdate reg import".
//
// Each line is taken on its own (a byte list also takes its continuation lines); a
// malformed line is reported with its number and reason, and parsing goes on with
// the next line, so one pass reports every malformed line.
#include "tools/formats/reg_import.h"

#include <memory>
#include <optional>

#include "platform/wince.h"
#include "store/bytes.h"
#include "store/text.h"
#include "tools/errors.h"
#include "tools/formats/names.h"

namespace tools {

namespace {

using KeyId = store::RegistryStore::KeyId;

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";

// The malformed line's reason.
struct Malformed {
    std::string why;
};

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::u16string_view TrimRight(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

// Nothing but blanks, or a ";" comment.
bool RestIsEmpty(std::u16string_view s) {
    s = TrimLeft(s);
    return s.empty() || s.front() == u';';
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool StartsNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = s[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        if (c != prefix[i]) return false;
    }
    return true;
}

// ---- Decoding the file into lines ------------------------------------------------------------

std::u16string DecodeText(const std::vector<uint8_t>& bytes) {
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        if (bytes.size() % 2 != 0) throw Malformed{"a UTF-16 file with an odd number of bytes"};
        return store::Utf16LeText(std::span(bytes).subspan(2));
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        throw Malformed{"UTF-16 big-endian is not read: save the file as UTF-16 LE or UTF-8"};
    }
    size_t start = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
    const std::string utf8(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    if (utf8.find('\0') != std::string::npos) {
        throw Malformed{"the file holds NUL bytes: UTF-16 is read only with its byte-order mark"};
    }
    std::u16string text = text::FromUtf8(utf8);
    if (text::ToUtf8(text) != utf8) throw Malformed{"the file is neither UTF-8 nor UTF-16 LE with its byte-order mark"};
    return text;
}

std::vector<std::u16string> SplitLines(const std::u16string& text) {
    std::vector<std::u16string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// ---- The parts of a line -------------------------------------------------------------------

// A quoted string from s[0] == '"' (names.h: \\, \", \n, \r, \uXXXX); `used` is set
// to the characters taken.
std::u16string Quoted(std::u16string_view s, size_t* used, const char* what) {
    try {
        return Unquote(s, used, what);
    } catch (const ToolError& e) {
        throw Malformed{e.what()};
    }
}

struct KeyLine {
    bool deletion = false;
    KeyId root = 0;
    std::vector<std::u16string> path;
};

KeyLine ParseKeyLine(std::u16string_view s) {
    const size_t close = s.rfind(u']');
    if (close == std::u16string_view::npos) throw Malformed{"the key has no closing \"]\""};
    if (!RestIsEmpty(s.substr(close + 1))) throw Malformed{"text after the key's \"]\""};
    std::u16string_view inner = s.substr(1, close - 1);
    KeyLine key;
    if (!inner.empty() && inner.front() == u'-') {
        key.deletion = true;
        inner.remove_prefix(1);
    }
    // ["HKEY_...\\name\n"]: a path whose names need escapes, quoted whole.
    std::u16string unquoted;
    if (!inner.empty() && inner.front() == u'"') {
        size_t used = 0;
        unquoted = Quoted(inner, &used, "key path");
        if (used != inner.size()) throw Malformed{"text after the quoted key path"};
        inner = unquoted;
    }
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = inner.find(u'\\', start);
        parts.emplace_back(inner.substr(start, end == std::u16string_view::npos ? end : end - start));
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    const auto root = store::RegistryStore::RootByName(parts[0]);
    if (!root) throw Malformed{"unknown root \"" + text::ToUtf8(parts[0]) + "\""};
    key.root = *root;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty()) throw Malformed{"an empty key name in the path"};
        if (const auto problem = store::KeyNameProblem(parts[i])) throw Malformed{*problem};
        key.path.push_back(std::move(parts[i]));
    }
    if (key.deletion && key.path.empty()) throw Malformed{"a root key cannot be deleted"};
    return key;
}

// A byte list from s, going on over continuation lines (taken from `lines` at `next`,
// which is advanced past them).
std::vector<uint8_t> ByteList(std::u16string_view s, const std::vector<std::u16string>& lines,
                              size_t* next) {
    std::vector<uint8_t> bytes;
    bool expectByte = true;  // a comma was seen (or nothing yet)
    while (true) {
        s = TrimLeft(s);
        if (s.empty() || s.front() == u';') return bytes;
        if (s.front() == u'\\' && RestIsEmpty(s.substr(1))) {
            if (*next >= lines.size()) throw Malformed{"the byte list goes on past the end of the file"};
            s = lines[(*next)++];
            continue;
        }
        if (s.front() == u',') {
            if (expectByte) throw Malformed{"an empty byte in the list"};
            expectByte = true;
            s.remove_prefix(1);
            continue;
        }
        if (!expectByte) throw Malformed{"bytes must be separated by commas"};
        if (s.size() < 2 || HexValue(s[0]) < 0 || HexValue(s[1]) < 0 ||
            (s.size() > 2 && HexValue(s[2]) >= 0)) {
            throw Malformed{"a byte must be two hex digits"};
        }
        bytes.push_back(static_cast<uint8_t>(HexValue(s[0]) * 16 + HexValue(s[1])));
        s.remove_prefix(2);
        expectByte = false;
    }
}

// The data after "=": sets the step's kind, type and bytes.
void ParseData(std::u16string_view s, RegImportStep& step, const std::vector<std::u16string>& lines,
               size_t* next) {
    if (s.empty()) throw Malformed{"no data after \"=\""};
    if (s.front() == u'-') {
        if (!RestIsEmpty(s.substr(1))) throw Malformed{"text after \"=-\""};
        step.kind = RegImportStep::DeleteValue;
        return;
    }
    step.kind = RegImportStep::SetValue;
    if (s.front() == u'"') {
        size_t used = 0;
        const std::u16string text = Quoted(s, &used, "text");
        if (!RestIsEmpty(s.substr(used))) throw Malformed{"text after the closing quote"};
        step.type = REG_SZ;
        step.bytes = store::Utf16LeBytes(text + u'\0');
        return;
    }
    if (StartsNoCase(s, u"dword:")) {
        s.remove_prefix(6);
        size_t digits = 0;
        uint32_t value = 0;
        while (digits < s.size() && HexValue(s[digits]) >= 0) value = value * 16 + HexValue(s[digits++]);
        if (digits == 0 || digits > 8) throw Malformed{"dword: takes one to eight hex digits"};
        if (!RestIsEmpty(s.substr(digits))) throw Malformed{"text after the dword's digits"};
        step.type = REG_DWORD;
        for (int i = 0; i < 4; ++i) step.bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        return;
    }
    if (StartsNoCase(s, u"hex:")) {
        step.type = REG_BINARY;
        step.bytes = ByteList(s.substr(4), lines, next);
        return;
    }
    if (StartsNoCase(s, u"hex(")) {
        const size_t close = s.find(u')');
        const std::u16string_view number = s.substr(4, close == std::u16string_view::npos ? 0 : close - 4);
        if (close == std::u16string_view::npos || number.empty() || number.size() > 8 ||
            close + 1 >= s.size() || s[close + 1] != u':') {
            throw Malformed{"hex(N): needs a type number of one to eight hex digits"};
        }
        uint32_t type = 0;
        for (char16_t c : number) {
            if (HexValue(c) < 0) throw Malformed{"hex(N): needs a type number of one to eight hex digits"};
            type = type * 16 + HexValue(c);
        }
        step.type = type;
        step.bytes = ByteList(s.substr(close + 2), lines, next);
        return;
    }
    throw Malformed{"data kind not recognised (\"text\", dword:, hex: or hex(N): are read)"};
}

RegImportStep ParseValueLine(std::u16string_view s, const std::vector<std::u16string>& lines, size_t* next) {
    RegImportStep step;
    size_t used = 1;
    if (s.front() == u'"') {
        step.name = Quoted(s, &used, "value name");
        if (const auto problem = store::ValueNameProblem(step.name)) throw Malformed{*problem};
    }
    s = TrimLeft(s.substr(used));
    if (s.empty() || s.front() != u'=') throw Malformed{"no \"=\" after the value name"};
    ParseData(TrimLeft(s.substr(1)), step, lines, next);
    return step;
}

}  // namespace

RegImportFile ParseRegFile(const std::vector<uint8_t>& bytes) {
    RegImportFile file;
    std::vector<std::u16string> lines;
    try {
        lines = SplitLines(DecodeText(bytes));
    } catch (const Malformed& m) {
        file.errors.push_back({0, m.why});
        return file;
    }
    if (lines.empty() || (TrimRight(lines[0]) != kHeader5 && TrimRight(lines[0]) != kHeader4)) {
        file.errors.push_back({1, "the first line must be \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""});
    }
    enum class Section { None, Open, Deleted, Malformed } section = Section::None;
    size_t sectionLine = 0;
    KeyLine key;
    for (size_t i = 1; i < lines.size();) {
        const size_t lineNo = i + 1;
        const std::u16string_view line = TrimLeft(lines[i++]);
        if (line.empty() || line.front() == u';') continue;
        try {
            if (line.front() == u'[') {
                sectionLine = lineNo;
                section = Section::Malformed;
                key = ParseKeyLine(TrimRight(line));
                section = key.deletion ? Section::Deleted : Section::Open;
                RegImportStep step;
                step.kind = key.deletion ? RegImportStep::DeleteKey : RegImportStep::OpenKey;
                step.line = lineNo;
                step.root = key.root;
                step.path = key.path;
                file.steps.push_back(std::move(step));
                continue;
            }
            if (line.front() != u'"' && line.front() != u'@') {
                throw Malformed{"neither a key, a value, a comment nor a blank line"};
            }
            RegImportStep step = ParseValueLine(line, lines, &i);
            if (section == Section::None) throw Malformed{"a value before the first key"};
            if (section == Section::Deleted) throw Malformed{"a value under a key being deleted"};
            if (section == Section::Malformed) {
                throw Malformed{"a value under the malformed key line " + std::to_string(sectionLine)};
            }
            step.line = lineNo;
            step.root = key.root;
            step.path = key.path;
            file.steps.push_back(std::move(step));
        } catch (const Malformed& m) {
            file.errors.push_back({lineNo, m.why});
        }
    }
    return file;
}

RegImportCounts ApplyRegImport(store::RegistryStore& registry, const std::vector<RegImportStep>& steps) {
    RegImportCounts counts;
    store::Transaction transaction(registry);
    KeyId current = 0;
    for (const RegImportStep& step : steps) {
        if (step.kind == RegImportStep::DeleteKey) {
            if (const auto key = registry.FindKeys(step.root, step.path)) {
                registry.DeleteKey(*key);
                ++counts.deletedKeys;
            }
            continue;
        }
        if (step.kind == RegImportStep::OpenKey) {
            current = registry.CreateKeys(step.root, step.path);
            ++counts.keys;
            continue;
        }
        if (step.kind == RegImportStep::SetValue) {
            registry.SetValue(current, step.name, step.type, step.bytes);
            ++counts.values;
        } else if (registry.DeleteValue(current, step.name)) {
            ++counts.deletedValues;
        }
    }
    transaction.Commit();
    return counts;
}

}  // namespace tools
