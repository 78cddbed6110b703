// The script checker: the installer's calls while it reads a script (what it writes),
// and a walk of the same lines through the importer's line reader and section state
// machine (why each line is taken or passed over).
//
// Layout: lint's own run of the importer, which the walk follows on a thread of its
// own; the walk, one handler per event of the state machine; the comparison of the
// two; the JSON and text forms.
#include "tools/analyses/lint.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/host/host.h"
#include "platform/limits.h"
#include "regscript/regscript.h"
#include "store/scratch_folder.h"
#include "store/bytes.h"
#include "store/store.h"
#include "store/text.h"
#include "tools/errors.h"
#include "tools/formats/registry_json.h"
#include "tools/formats/shown_text.h"
#include "tools/installer_run.h"
#include "tools/memory_file.h"
#include "tools/output_spool.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// ---- The importer's run ----------------------------------------------------------------

// Serves the script's bytes and records the registry calls.
class ImportRecorder final : public MemoryFile {
public:
    ImportRecorder(std::span<const uint8_t> bytes, host::Backend& device) : MemoryFile(bytes, device) {}

    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                  LPOVERLAPPED overlapped) override {
        const BOOL ok = MemoryFile::ReadFile(file, buffer, count, read, overlapped);
        if (file == Handle() && read != nullptr && DeliveredLineFeed(buffer, *read)) ++lines_;
        return ok;
    }

    LONG RegCreateKeyExW(HKEY root, LPCWSTR path, DWORD reserved, LPWSTR cls, DWORD options,
                         REGSAM sam, LPSECURITY_ATTRIBUTES security, PHKEY key,
                         LPDWORD disposition) override {
        const LONG result = target().RegCreateKeyExW(root, path, reserved, cls, options, sam,
                                                     security, key, disposition);
        calls.CreateKey(lines_, root, path, result, result == ERROR_SUCCESS ? *key : nullptr);
        return result;
    }

    LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                        DWORD size) override {
        const LONG result = target().RegSetValueExW(key, name, reserved, type, data, size);
        calls.SetValue(lines_, key, name, type, data, size, result);
        return result;
    }

    LONG RegCloseKey(HKEY key) override {
        calls.CloseKey(key);
        return target().RegCloseKey(key);
    }

    ScriptCalls calls;

private:
    size_t lines_ = 0;
};

// The importer's one run over the script, on a scratch image of its own, while
// `walk` takes its calls on another thread as they are made.
void RunImporter(std::span<const uint8_t> bytes, const std::function<void(CallSource&)>& walk) {
    store::ScratchFolder scratch(true);
    const fs::path image = scratch.path() / "image";
    store::InitImage(image);
    host::DeviceOptions options;
    options.image = image;
    options.modulePath = u"\\Update.exe";
    TraceFromEnvironment(options);
    host::DeviceBinding binding(options);
    // The recorder wraps this device itself, whatever backend was in front before.
    ImportRecorder recorder(bytes, binding.device());
    std::exception_ptr walkFailed;
    std::jthread walker([&] {
        try {
            const std::unique_ptr<CallSource> calls = recorder.calls.Follow();
            walk(*calls);
        } catch (...) {
            walkFailed = std::current_exception();
        }
    });
    try {
        host::ScopedBackend inFront(recorder);
        ImportRegistryScript(u"\\script.reg");
    } catch (...) {
        recorder.calls.End();
        throw;
    }
    recorder.calls.End();
    walker.join();
    if (walkFailed) std::rethrow_exception(walkFailed);
}

// ---- Small text helpers ------------------------------------------------------------------

std::string Utf8(std::u16string_view text) { return text::ToUtf8(text); }

std::string Quoted(std::u16string_view text) { return ShownQuoted(text); }

bool IsBlank(WCHAR c) { return c == u' ' || c == u'\t'; }

bool BlankLine(const WCHAR* line) {
    for (; *line; ++line) {
        if (!IsBlank(*line)) return false;
    }
    return true;
}

const WCHAR* SkipBlanks(const WCHAR* line) {
    while (IsBlank(*line)) ++line;
    return line;
}

bool IsHex(WCHAR c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// What kind of line ended a section, for the notes.
std::string LineKind(const WCHAR* line) {
    if (line[0] == 0) return "the empty line";
    if (BlankLine(line)) return "the blank line";
    if (line[0] == u';') return "the comment";
    if (IsBlank(line[0])) {
        const WCHAR first = *SkipBlanks(line);
        if (first == u'"' || first == u'@') return "the indented value line";
        if (first == u'[') return "the indented section header";
        return "the indented line";
    }
    return "the line";
}

std::string ValueText(uint32_t type, std::span<const uint8_t> bytes) {
    std::string text = RegTypeText(type) + " " + std::to_string(bytes.size()) + " bytes";
    if (bytes.empty()) return text;
    if (type == REG_SZ) {
        std::u16string units = store::Utf16LeText(bytes);
        if (!units.empty() && units.back() == u'\0') units.pop_back();
        return text + ": " + ShownQuoted(units);
    }
    if (type == REG_DWORD && bytes.size() == 4) {
        return text + ": " + std::to_string(store::LittleEndianValue(bytes)) + " (" + HexOf(bytes) + ")";
    }
    return text + ": " + HexOf(bytes);
}

// ---- The walk ----------------------------------------------------------------------------

// Hands out the script's lines as ReadScriptLine does over the file.
class LineSource {
public:
    explicit LineSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    ScriptLineStatus Next(WCHAR* line) {
        ScriptLineBuilder builder;
        ScriptLineStart(&builder, line);
        while (pos_ + 2 <= bytes_.size()) {
            const WCHAR c = static_cast<WCHAR>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
            pos_ += 2;
            if (ScriptLineAdd(&builder, c)) {
                ++number_;
                return ScriptLineFinish(&builder);
            }
        }
        // The end: what was gathered since the last LF is dropped.
        unfinished_ = builder.tooLong;
        for (DWORD i = 0; i < builder.length && !unfinished_; ++i) unfinished_ = !IsBlank(line[i]);
        line[0] = 0;
        return kScriptEnd;
    }

    size_t number() const { return number_; }
    bool unfinishedLastLine() const { return unfinished_; }
    bool oddByte() const { return bytes_.size() % 2 != 0; }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    size_t number_ = 0;
    bool unfinished_ = false;
};

// Why the lines after a section are not written.
struct Context {
    enum Kind { NoSection, Ended, PassedOver, Open } kind = NoSection;
    size_t line = 0;
    std::string why;
};

// Walks the lines, checks each write it predicts against the one the installer made,
// and hands writes and notes to the report.
class Walk {
public:
    Walk(std::span<const uint8_t> bytes, CallSource& run, LintReport& report)
        : lines_(bytes), run_(run), report_(report),
          import_(std::make_unique<ScriptImport>()) {}

    void Run();

private:
    void Note(size_t line, std::string text) { pending_.push_back({line, false, std::move(text)}); }
    void Warn(size_t line, std::string text) { pending_.push_back({line, true, std::move(text)}); }
    // Hands the report the notes before line `bound`, which no later note can precede.
    void Flush(size_t bound);

    void Seeking(ScriptEvent event, ScriptLineStatus status);
    void OpenKey();
    void InSection(ScriptPhase phase, ScriptEvent event, ScriptLineStatus status);
    void SectionEnd(ScriptLineStatus status);
    void ValueWritten(size_t line);
    void ValueSkipped(size_t line);
    void CheckWrittenLine(const WCHAR* line);
    void CheckByteChars(const WCHAR* from, size_t line);

    LineSource lines_;
    CallSource& run_;
    LintReport& report_;
    std::vector<LintNote> pending_;  // notes not yet handed on: a few lines' worth
    size_t nextKey_ = 0;
    size_t nextWrite_ = 0;
    std::unique_ptr<ScriptImport> import_;
    WCHAR line_[kScriptLineChars] = {};
    size_t lineNo_ = 0;
    Context context_;
    std::u16string sectionKey_;
    size_t valueLine_ = 0;  // the line a value began at (byte data may go on)
    size_t sectionEndLine_ = 0;  // a line that ended a section is looked at once more
    bool byteCharsWarned_ = false;
};

void Walk::Run() {
    ScriptLineStatus status = lines_.Next(line_);
    lineNo_ = lines_.number();
    if (lines_.oddByte()) {
        Warn(0, "the file has an odd number of bytes: the last byte is not read");
    }
    while (status != kScriptEnd) {
        Flush(valueLine_ != 0 ? valueLine_ : lineNo_);
        const ScriptPhase phase = import_->phase;
        const ScriptEvent event = ScriptImportFeed(import_.get(), line_, status);
        if (phase == kPhaseSeekSection || phase == kPhaseOpeningKey) {
            Seeking(event, status);
        } else {
            InSection(phase, event, status);
        }
        if (ScriptImportNextLine(import_.get()) == kNextLineSame) continue;  // looked at again
        status = lines_.Next(line_);
        lineNo_ = lines_.number();
    }
    const ScriptPhase phase = import_->phase;
    const ScriptEvent event = ScriptImportEnd(import_.get());
    if (phase == kPhaseByteData) {
        Warn(valueLine_, "the file ends while the byte data waits for its continuation line");
        if (event == kEventWriteValue) ValueWritten(lineNo_);
        else ValueSkipped(valueLine_);
    }
    if (lines_.unfinishedLastLine()) {
        Warn(lineNo_ + 1, "the last line has no line feed: the installer never reads it");
    }
    Flush(SIZE_MAX);
    if (const size_t made = run_.Writes(); nextWrite_ != made) {
        throw ToolError("lint cannot follow the installer: it predicts " + std::to_string(nextWrite_) +
                        " writes, the installer made " + std::to_string(made));
    }
}

void Walk::Flush(size_t bound) {
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const LintNote& a, const LintNote& b) { return a.line < b.line; });
    size_t done = 0;
    while (done < pending_.size() && pending_[done].line < bound) report_.Note(pending_[done++]);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
}

void Walk::Seeking(ScriptEvent event, ScriptLineStatus status) {
    if (status == kScriptLineTooLong) {
        if (line_[0] == u'[') {
            Warn(lineNo_, "over-long header: its section is passed over");
            context_ = {Context::PassedOver, lineNo_,
                        "its section header (longer than " + std::to_string(kScriptMaxLineLength) +
                            " characters) was passed over"};
        } else if (lineNo_ != sectionEndLine_) {
            Warn(lineNo_, "a line longer than " + std::to_string(kScriptMaxLineLength) +
                              " characters is passed over whole");
        }
        return;
    }
    if (event == kEventOpenKey) {
        OpenKey();
        return;
    }
    if (event == kEventUnknownRoot) {
        std::u16string token = import_->header.keyPath;
        if (line_[1] == u'-') {
            Warn(lineNo_, "section passed over: the deletion form \"[-...]\" is not supported; "
                          "nothing is deleted");
            context_ = {Context::PassedOver, lineNo_, "its section header (a deletion) was passed over"};
        } else {
            Warn(lineNo_, "section passed over: unknown root " + Quoted(token) +
                              " (only HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and "
                              "HKEY_CLASSES_ROOT are read)");
            context_ = {Context::PassedOver, lineNo_, "its section (unknown root) was passed over"};
        }
        return;
    }
    // Passed over: not a header.
    const WCHAR first = *SkipBlanks(line_);
    if (IsValueLine(line_)) {
        switch (context_.kind) {
            case Context::NoSection:
                Warn(lineNo_, "value line not written: there is no section header above it");
                break;
            default:
                Warn(lineNo_, "value line not written: " + context_.why + " at line " +
                                  std::to_string(context_.line));
        }
    } else if (IsBlank(line_[0]) && first == u'[') {
        Warn(lineNo_, "an indented section header is not read: a header must begin with \"[\"");
    } else if (IsBlank(line_[0]) && (first == u'"' || first == u'@')) {
        Warn(lineNo_, "an indented value line is not read as a value line");
    } else if (!BlankLine(line_) && lineNo_ != sectionEndLine_) {
        Note(lineNo_, line_[0] == u';' ? "comment" : "passed over: not a section header");
    }
}

void Walk::OpenKey() {
    const ScriptHeader& header = import_->header;
    const std::u16string key = FullKeyPath(header.root, header.hasKeyPath ? header.keyPath : nullptr);
    const RecordedKey* made = run_.Key(nextKey_++);
    if (!made || !text::EqualNoCase(made->key, key) || made->line != lineNo_) {
        throw ToolError("lint cannot follow the installer at line " + std::to_string(lineNo_) +
                        ": it opens no key " + ShownText(key) + " there");
    }
    const bool opened = made->opened;
    ScriptKeyOpened(import_.get(), opened ? TRUE : FALSE);
    std::u16string_view text(line_);
    const size_t close = text.find(u']');
    if (!opened) {
        Warn(lineNo_, "section passed over: the key " + ShownText(key) +
                          " cannot be created (an empty name in the path, or more than " +
                          std::to_string(kRegistryMaxDepth) + " levels)");
        context_ = {Context::PassedOver, lineNo_, "its section's key could not be created"};
        return;
    }
    context_ = {Context::Open, lineNo_, ""};
    sectionKey_ = key;
    Note(lineNo_, "section " + ShownText(key) + " opened" +
                      (header.hasKeyPath ? "" : " (the root key itself)"));
    if (close == std::u16string_view::npos) {
        Warn(lineNo_, "the header has no closing \"]\": the key path runs to the end of the line");
    } else if (!BlankLine(line_ + close + 1)) {
        Warn(lineNo_, "the text after \"]\" is ignored");
    }
}

void Walk::InSection(ScriptPhase phase, ScriptEvent event, ScriptLineStatus status) {
    if (event == kEventSectionEnd) {
        SectionEnd(status);
        return;
    }
    const bool continuation = phase == kPhaseByteData;
    // A header where a continuation line was due: the byte data ends before it.
    const bool beforeHeader =
        continuation && ScriptImportNextLine(import_.get()) == kNextLineSame;
    if (beforeHeader) Warn(lineNo_, "a stray `\\` before a header: the byte data ends here");
    if (!continuation) valueLine_ = lineNo_;
    if (event == kEventValueSkipped) {
        const bool longContinuation = continuation && !beforeHeader && status == kScriptLineTooLong;
        ValueSkipped(longContinuation ? lineNo_ : valueLine_);
        return;
    }
    if (!continuation) {
        CheckWrittenLine(line_);
    } else if (!beforeHeader) {  // nothing of a header line is read as bytes
        CheckByteChars(line_, lineNo_);
    }
    if (event == kEventWriteValue) ValueWritten(lineNo_);
}

void Walk::SectionEnd(ScriptLineStatus status) {
    if (line_[0] == u'[') {
        Note(lineNo_, "the section " + ShownText(sectionKey_) + " ends at the next header");
        return;
    }
    // An over-long line is passed over whole, whatever it is; only its first character
    // is seen, and it ends the section like any line that is not a value line.
    const bool tooLong = status == kScriptLineTooLong;
    const std::string kind = tooLong ? "the line longer than " + std::to_string(kScriptMaxLineLength) + " characters" : LineKind(line_);
    const std::string text = kind + " ends the section " + ShownText(sectionKey_);
    if (tooLong) {
        Warn(lineNo_, text);
    } else {
        Note(lineNo_, text);
    }
    sectionEndLine_ = lineNo_;
    context_ = {Context::Ended, lineNo_, kind + " that ended the section " + ShownText(sectionKey_)};
}

// The write the installer made here must be the one the walk predicts.
void Walk::ValueWritten(size_t callLine) {
    const ScriptValue& value = import_->value;
    const BYTE* data = nullptr;
    DWORD size = 0;
    ScriptValueData(&value, &data, &size);
    const std::span<const uint8_t> bytes(data, data ? size : 0);
    const std::u16string_view name(value.name);
    RecordedWrite made;
    if (!run_.Write(nextWrite_++, made)) {
        throw ToolError("lint cannot follow the installer at line " + std::to_string(valueLine_) +
                        ": it predicts a write the installer did not make");
    }
    if (made.line != callLine || made.key != sectionKey_ || made.name != name || made.type != value.type ||
        !std::equal(made.bytes.begin(), made.bytes.end(), bytes.begin(), bytes.end())) {
        throw ToolError("lint cannot follow the installer at line " + std::to_string(made.line) +
                        ": it predicts another write there");
    }
    report_.Write(valueLine_, sectionKey_, made);
    Note(valueLine_, "write " + (name.empty() ? std::string("@ (the default value)") : Quoted(name)) + " " +
                         ValueText(value.type, bytes));
    if (made.result != ERROR_SUCCESS) {
        Warn(valueLine_, made.bytes.size() > kRegistryMaxValueData
                             ? "the platform refuses this value: " + std::to_string(made.bytes.size()) +
                                   " bytes, at most " + std::to_string(kRegistryMaxValueData) + " fit"
                             : "the platform refuses this value (error " + std::to_string(made.result) + ")");
    }
    valueLine_ = 0;
    byteCharsWarned_ = false;
}

void Walk::ValueSkipped(size_t line) {
    const ScriptValue& value = import_->value;
    WCHAR name[kScriptValueNameChars];
    const int separator = TakeValueName(line_, name);
    std::string why;
    switch (value.reason) {
        case kValueNoClosingQuote: why = "the value name has no closing quote"; break;
        case kValueNoData: why = "the line ends before the value's data"; break;
        case kValueTextUnterminated: why = "the text has no closing quote"; break;
        case kValueBytesTooMany:
            why = "byte data longer than " + std::to_string(kScriptByteDataBytes) + " bytes";
            break;
        case kValueContinuationTooLong:
            why = "a continuation line longer than " + std::to_string(kScriptMaxLineLength) +
                  " characters (the value began at line " +
                  std::to_string(valueLine_) + ")";
            break;
        case kValueLineTooLong:
            why = "the value line is longer than " + std::to_string(kScriptMaxLineLength) +
                  " characters (the section goes on)";
            break;
        case kValueUnknownKind: {
            const WCHAR* data = line_ + separator + 1;
            if (separator >= 0 && IsBlank(line_[separator])) {
                why = "a space before \"=\" (the character after the name is taken as \"=\")";
            } else if (IsBlank(data[0])) {
                why = "a space after \"=\"";
            } else if (data[0] == u'-') {
                why = "deleting a value (\"=-\") is not supported; nothing is deleted";
            } else {
                std::u16string word;
                for (const WCHAR* p = data; *p && word.size() < 12 && *p != u':' && *p != u'(' &&
                                            !IsBlank(*p);
                     ++p) {
                    word += *p;
                }
                std::u16string lower;
                for (WCHAR c : word) lower += (c >= u'A' && c <= u'Z') ? c + 32 : c;
                why = "data kind not recognised: " + Quoted(word);
                if (lower != word && (lower == u"dword" || lower == u"hex")) {
                    why += " (only lower case is read)";
                }
            }
            break;
        }
        default: why = "nothing is written"; break;
    }
    pending_.push_back({line, true, why, true});
    valueLine_ = 0;
    byteCharsWarned_ = false;
}

// Warnings for a value line that is written, but not as its author probably meant.
void Walk::CheckWrittenLine(const WCHAR* line) {
    WCHAR name[kScriptValueNameChars];
    const int separator = TakeValueName(line, name);
    if (separator < 0 || line[separator] == 0) return;
    if (line[separator] != u'=') {
        Warn(lineNo_, "the character after the name is " + Quoted(std::u16string(1, line[separator])) +
                          ", not \"=\"; it is skipped unexamined");
    }
    const WCHAR* data = line + separator + 1;
    std::u16string_view rest(data);
    if (data[0] == u'"') {
        const size_t close = rest.find(u'"', 1);
        const std::u16string_view text = rest.substr(1, close - 1);
        if (text.find(u"\\\\") != std::u16string_view::npos) {
            Warn(lineNo_, "the text holds a doubled backslash, which is stored as two backslashes");
        }
        if (!text.empty() && text.back() == u'\\' && close + 1 < rest.size()) {
            Warn(lineNo_, "the text ends at the quote after a backslash; the rest of the line is "
                          "ignored");
        } else if (!BlankLine(data + close + 1)) {
            Warn(lineNo_, "the text after the closing quote is ignored");
        }
    } else if (data[0] == u'd') {
        const std::u16string_view skipped = rest.substr(0, 6);
        if (skipped != u"dword:") {
            Warn(lineNo_, "the six characters " + Quoted(skipped) +
                              " are skipped unexamined where \"dword:\" belongs");
        }
        size_t digits = 0;
        const WCHAR* p = data + skipped.size();
        while (IsHexDigitChar(p[digits])) ++digits;
        if (digits == 0) Warn(lineNo_, "the number has no digits: 0 is written");
        if (digits > 8) Warn(lineNo_, "the number has more than eight digits: only the last eight count");
        if (!BlankLine(p + digits)) {
            Warn(lineNo_, "the number stops at " + Quoted(std::u16string(1, p[digits])) +
                              "; the rest of the line is ignored");
        }
    } else if (data[0] == u'h') {
        const size_t colon = rest.find(u':', std::min<size_t>(3, rest.size()));
        if (colon == std::u16string_view::npos) {
            Warn(lineNo_, "no \":\" after \"hex\": an empty REG_BINARY value is written");
            return;
        }
        const std::u16string_view kind = rest.substr(0, colon);
        if (kind != u"hex" && kind != u"hex(3)") {
            Warn(lineNo_, Quoted(kind) + ": the type is not read; the value is written as REG_BINARY");
        }
        CheckByteChars(data + colon + 1, lineNo_);
    }
}

// The installer reads byte data two characters at a time, skipping spaces and commas
// only between pairs: a character that is not a hex digit still makes a byte, by the
// digit rule, and so does a byte of one digit, whose comma is read as its second digit;
// a lone digit at the end of the line is dropped.
void Walk::CheckByteChars(const WCHAR* from, size_t line) {
    if (byteCharsWarned_) return;
    for (const WCHAR* p = from; *p && *p != u'\r' && *p != u'\n';) {
        if (*p == u' ' || *p == u',') {
            ++p;
            continue;
        }
        if (*p == u'\\') break;  // a continuation: the rest of this line is not read
        if (p[1] == 0) {
            Warn(line, "the byte data ends in a lone digit, " + Quoted(std::u16string(1, *p)) + ", which is dropped");
            byteCharsWarned_ = true;
            return;
        }
        for (const WCHAR c : {p[0], p[1]}) {
            if (IsHex(c)) continue;
            Warn(line, c == u',' || c == u' '
                           ? "the byte data holds a byte of one digit, " + Quoted(std::u16string(p, 2)) +
                                 ": the " + Quoted(std::u16string(1, c)) + " is read as its second digit"
                           : "the byte data holds " + Quoted(std::u16string(1, c)) +
                                 ", not a hex digit; it is turned into a byte all the same");
            byteCharsWarned_ = true;
            return;
        }
        p += 2;
    }
}

// Before the walk: a file that the installer, reading two bytes a character, can
// make nothing of.
void NoteTheEncoding(std::span<const uint8_t> bytes, LintReport& report) {
    const bool utf16 = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    if (bytes.empty() || utf16) return;
    bool zeroHigh = false;
    for (size_t i = 1; i < bytes.size() && i < 512; i += 2) zeroHigh |= bytes[i] == 0;
    if (!zeroHigh || (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)) {
        report.Note({0, true, "the script is not UTF-16 LE text: the installer reads two bytes as one "
                              "character and finds nothing in it"});
    }
}

}  // namespace

// ---- The report ----------------------------------------------------------------------------

struct LintReport::Impl {
    bool json = false;
    int depth = 0;
    int expandDepth = 0;
    OutputSpool text;      // the text form's lines
    OutputSpool writes;    // the JSON form's lists, laid out
    OutputSpool warnings;
    std::string item;

    void Add(OutputSpool& list, const Json& value) {
        const JsonLayout layout = JsonLayoutAt(depth, expandDepth);
        item = list.empty() ? layout.first : layout.between;
        AppendJson(item, value, depth + 1, expandDepth);
        list.Append(item);
    }

    void WriteList(std::ostream& out, const OutputSpool& list) const {
        out << '[';
        list.WriteTo(out);
        if (!list.empty()) out << JsonLayoutAt(depth, expandDepth).last;
        out << ']';
    }
};

LintReport::LintReport() : impl_(std::make_unique<Impl>()) {}

LintReport::LintReport(int depth, int expandDepth) : impl_(std::make_unique<Impl>()) {
    impl_->json = true;
    impl_->depth = depth;
    impl_->expandDepth = expandDepth;
}

LintReport::~LintReport() = default;

void LintReport::Write(size_t line, std::u16string_view key, const RecordedWrite& write) {
    ++writes_;
    if (!impl_->json) return;
    impl_->Add(impl_->writes, Json{{"line", line},
                                   {"key", Utf8(key)},
                                   {"name", Utf8(write.name)},
                                   {"type", RegTypeToJson(write.type)},
                                   {"bytes", HexOf(write.bytes)}});
}

void LintReport::Note(const LintNote& n) {
    warnings_ += n.warning ? 1 : 0;
    if (impl_->json) {
        if (n.warning) impl_->Add(impl_->warnings, Json{{"line", n.line}, {"why", n.text}});
        return;
    }
    impl_->text << (n.line == 0 ? std::string("file") : "line " + std::to_string(n.line)) << ": "
                << (n.warning ? "warning: " : "") << (n.valueSkipped ? "not written: " : "") << n.text << "\n";
}

void LintReport::WriteTo(std::ostream& out) const {
    if (impl_->json) {
        const JsonLayout layout = JsonLayoutAt(impl_->depth - 1, impl_->expandDepth);
        out << '{' << layout.first << "\"writes\": ";
        WriteWritesList(out);
        out << layout.between << "\"warnings\": ";
        WriteWarningsList(out);
        out << layout.last << '}';
        return;
    }
    impl_->text.WriteTo(out);
    out << writes_ << (writes_ == 1 ? " value" : " values") << " written, " << warnings_
        << (warnings_ == 1 ? " warning" : " warnings") << "\n";
}

void LintReport::WriteWritesList(std::ostream& out) const { impl_->WriteList(out, impl_->writes); }

void LintReport::WriteWarningsList(std::ostream& out) const { impl_->WriteList(out, impl_->warnings); }

void LintScript(std::span<const uint8_t> bytes, LintReport& report) {
    RunImporter(bytes, [&](CallSource& calls) { LintRecorded(bytes, calls, report); });
}

void LintRecorded(std::span<const uint8_t> bytes, CallSource& calls, LintReport& report) {
    NoteTheEncoding(bytes, report);
    Walk(bytes, calls, report).Run();
}

}  // namespace tools
