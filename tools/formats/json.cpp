// JSON parsing and layout, hex blobs, and the readers' shared checks.
#include "tools/formats/json.h"

#include <set>

#include "store/text.h"
#include "tools/errors.h"
#include "tools/formats/names.h"
#include "tools/host_files.h"

namespace tools {

namespace {

constexpr size_t kExcerptChars = 60;  // of a value quoted in a message

// Text cut to about `limit` bytes at a character boundary, "..." marking the cut.
std::string Cut(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "...";
}

std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string QuotedJson(std::string_view text) { return Dump(Json(Cut(text, kExcerptChars))); }

std::string Excerpt(const Json& value) {
    if (value.is_string()) return QuotedJson(value.get_ref<const std::string&>());
    const std::string text = Dump(value);
    return text.size() <= kExcerptChars ? text : Cut(text, kExcerptChars);
}

// ---- Hex ----------------------------------------------------------------------------------

std::vector<uint8_t> BytesOfHex(std::string_view hex, const std::string& where) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2 != 0) {
        throw ToolError(where + ": hex \"" + std::string(hex.substr(0, 40)) +
                        (hex.size() > 40 ? "..." : "") + "\" has an odd number of digits");
    }
    std::vector<uint8_t> out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            char bad = hi < 0 ? hex[i] : hex[i + 1];
            throw ToolError(where + ": " + QuotedJson(std::string(1, bad)) +
                            " is not a hex digit (at position " +
                            std::to_string(hi < 0 ? i + 1 : i + 2) + ")");
        }
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

// ---- Parsing and layout ---------------------------------------------------------------------

Json ParseJsonText(const std::string& text, const std::string& source) {
    // One set of member names per object being parsed.
    std::vector<std::set<std::string>> open;
    Json::parser_callback_t refuseDuplicates = [&](int depth, Json::parse_event_t event,
                                                   Json& parsed) {
        if ((event == Json::parse_event_t::object_start ||
             event == Json::parse_event_t::array_start) &&
            depth >= kMaxJsonDepth) {
            throw ToolError(source + " nests lists and objects deeper than " +
                            std::to_string(kMaxJsonDepth) + " levels, deeper than any ceupdate "
                            "JSON form");
        }
        switch (event) {
            case Json::parse_event_t::object_start: open.emplace_back(); break;
            case Json::parse_event_t::object_end:
                if (!open.empty()) open.pop_back();
                break;
            case Json::parse_event_t::key:
                if (!open.empty() && !open.back().insert(parsed.get<std::string>()).second) {
                    throw ToolError(source + " names the member " + Excerpt(parsed) +
                                    " twice in one object");
                }
                break;
            default: break;
        }
        return true;
    };
    try {
        return Json::parse(MarkLoneSurrogates(text), refuseDuplicates);
    } catch (const Json::exception& e) {
        // A syntax error, or a number beyond what a double holds (1e400).
        std::string message = e.what();
        if (auto close = message.find("] "); close != std::string::npos) {
            message = message.substr(close + 2);
        }
        throw ToolError(source + " is not valid JSON: " + Cut(message, 160));
    }
}

Json ReadJsonFile(const std::filesystem::path& file) {
    const std::vector<uint8_t> bytes = ReadHostFile(file);
    return ParseJsonText(std::string(bytes.begin(), bytes.end()), file.string());
}

namespace {

void Format(const Json& value, int depth, int expandDepth, std::string& out) {
    bool container = value.is_object() || value.is_array();
    if (!container) {
        out += value.dump();
        return;
    }
    char open = value.is_object() ? '{' : '[';
    char close = value.is_object() ? '}' : ']';
    if (value.empty()) {
        out += open;
        out += close;
        return;
    }
    const JsonLayout layout = JsonLayoutAt(depth, expandDepth);
    out += open;
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
        out += first ? layout.first : layout.between;
        first = false;
        if (value.is_object()) out += Json(it.key()).dump() + ": ";
        Format(*it, depth + 1, expandDepth, out);
    }
    out += layout.last;
    out += close;
}

}  // namespace

std::string FormatJson(const Json& value, int expandDepth) {
    std::string out;
    Format(value, 0, expandDepth, out);
    return UnmarkLoneSurrogates(out);
}

void AppendJson(std::string& out, const Json& value, int depth, int expandDepth) {
    std::string formatted;
    Format(value, depth, expandDepth, formatted);
    out += UnmarkLoneSurrogates(formatted);
}

JsonLayout JsonLayoutAt(int depth, int expandDepth) {
    if (depth >= expandDepth) return {"", ", ", ""};
    const std::string inner = "\n" + std::string(2 * (depth + 1), ' ');
    return {inner, "," + inner, "\n" + std::string(2 * depth, ' ')};
}

void CheckMembers(const Json& object, std::initializer_list<std::string_view> allowed,
                  const std::string& where) {
    if (!object.is_object()) throw ToolError(where + " must be a JSON object");
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (std::string_view name : allowed) known = known || it.key() == name;
        if (!known) throw ToolError(where + " has an unknown member " + QuotedJson(it.key()));
    }
}

// ---- Shared checks ---------------------------------------------------------------------------

std::u16string TextWithoutNul(const Json& data, const std::string& what,
                              const std::string& where) {
    if (!data.is_string()) throw ToolError(where + ": " + what + " data must be a string");
    std::u16string text = TextOfJson(data.get<std::string>());
    if (text.find(u'\0') != std::u16string::npos) {
        throw ToolError(where + ": " + what + " text cannot contain a NUL character");
    }
    return text;
}

int64_t SignedInRange(const Json& data, int64_t min, int64_t max, const std::string& what,
                      const std::string& where) {
    std::string range = " (" + std::to_string(min) + " .. " + std::to_string(max) + ")";
    if (data.is_number_unsigned()) {
        uint64_t v = data.get<uint64_t>();
        if (v > static_cast<uint64_t>(max)) {
            throw ToolError(where + ": " + what + " " + std::to_string(v) + " is out of range" +
                            range);
        }
        return static_cast<int64_t>(v);
    }
    if (data.is_number_integer()) {
        int64_t v = data.get<int64_t>();
        if (v < min || v > max) {
            throw ToolError(where + ": " + what + " " + std::to_string(v) + " is out of range" +
                            range);
        }
        return v;
    }
    throw ToolError(where + ": " + what + " must be a whole number" + range + ", not " +
                    Excerpt(data));
}

uint64_t UnsignedInRange(const Json& data, uint64_t max, const std::string& what,
                         const std::string& where) {
    std::string range = " (0 .. " + std::to_string(max) + ")";
    if (data.is_number_unsigned()) {
        uint64_t v = data.get<uint64_t>();
        if (v > max) {
            throw ToolError(where + ": " + what + " " + std::to_string(v) + " is out of range" +
                            range);
        }
        return v;
    }
    if (data.is_number_integer()) {  // only negative numbers land here
        throw ToolError(where + ": " + what + " " + Excerpt(data) + " is out of range" + range);
    }
    throw ToolError(where + ": " + what + " must be a whole number" + range + ", not " +
                    Excerpt(data));
}

const Json& Member(const Json& object, const char* name, const std::string& where) {
    auto it = object.find(name);
    if (it == object.end()) throw ToolError(where + " has no \"" + name + "\"");
    return *it;
}

}  // namespace tools
