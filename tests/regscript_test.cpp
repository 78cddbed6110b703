// Registry script import: scripts built byte for byte, imported into a scratch image,
// and the registry read back. Cases are grouped by theme; each names the registry it
// expects under the keys it looks at.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "regscript/regscript.h"
#include "store/text.h"
#include "testing/fault_injector.h"
#include "testing/recorder.h"
#include "tests/support/installer_fixture.h"

namespace {

using testing_support::Bytes;
using testing_support::NumberValueBytes;
using testing_support::Script;
using testing_support::ScriptOptions;
using testing_support::ScratchImage;
using testing_support::TextValueBytes;

const std::u16string kKey = u"HKEY_CURRENT_USER\\T";

struct Val {
    std::u16string name;
    uint32_t type;
    Bytes bytes;
};

Val Sz(std::u16string name, std::u16string_view text) {
    return {std::move(name), REG_SZ, TextValueBytes(text)};
}
Val Dw(std::u16string name, uint32_t n) { return {std::move(name), REG_DWORD, NumberValueBytes(n)}; }
Val Bin(std::u16string name, Bytes b) { return {std::move(name), REG_BINARY, std::move(b)}; }

struct KeyExpect {
    std::u16string key;
    std::vector<Val> values;  // exactly these values
};

struct ScriptCase {
    const char* name;
    std::u16string script;
    std::vector<KeyExpect> keys;
    std::vector<std::u16string> absentKeys = {};
    ScriptOptions options = {};
};

std::string Show(const std::u16string& s) { return text::ToUtf8(s); }

void ImportText(ScratchImage& img, const Bytes& bytes) {
    img.WriteUpdateFile("t.reg", bytes);
    img.Bind();
    ImportRegistryScript(u"\\upd\\t.reg");
    img.Unbind();
}

void ExpectKeys(const ScratchImage& img, const ScriptCase& c) {
    for (const KeyExpect& k : c.keys) {
        SCOPED_TRACE(Show(k.key));
        ASSERT_TRUE(img.KeyExists(k.key));
        std::vector<store::RegistryValue> got = img.Values(k.key);
        std::vector<Val> want = k.values;
        auto byName = [](const auto& a, const auto& b) { return a.name < b.name; };
        std::sort(got.begin(), got.end(), byName);
        std::sort(want.begin(), want.end(), byName);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(Show(got[i].name), Show(want[i].name));
            EXPECT_EQ(got[i].type, want[i].type) << Show(want[i].name);
            EXPECT_EQ(got[i].data, want[i].bytes) << Show(want[i].name);
        }
    }
    for (const std::u16string& k : c.absentKeys) EXPECT_FALSE(img.KeyExists(k)) << Show(k);
}

void RunCases(const std::vector<ScriptCase>& cases) {
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchImage img;
        ImportText(img, Script(c.script, c.options));
        ExpectKeys(img, c);
    }
}

std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }

// ---- Basic import ----

TEST(RegScriptImport, BasicScripts) {
    RunCases({
        {"text, number and bytes with BOM and CRLF",
         u"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\T]\n"
         u"\"S\"=\"hello\"\n\"N\"=dword:0000001a\n\"B\"=hex:01,ff,7f\n",
         {{kKey, {Sz(u"S", u"hello"), Dw(u"N", 26), Bin(u"B", {0x01, 0xff, 0x7f})}}}},
        {"LF only, no BOM", u"[HKEY_CURRENT_USER\\T]\n\"S\"=\"x\"\n",
         {{kKey, {Sz(u"S", u"x")}}}, {}, {false, false, true}},
        {"a last line without LF is not processed", u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n\"B\"=\"2\"\n",
         {{kKey, {Sz(u"A", u"1")}}}, {}, {true, true, false}},
        {"a CR anywhere is dropped", u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"x\ry\"\n",
         {{kKey, {Sz(u"A", u"xy")}}}},
        {"a BOM at the start of a later line is removed",
         u"; first\n\uFEFF[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n", {{kKey, {Sz(u"A", u"1")}}}},
        {"nested key path and the other roots",
         u"[HKEY_LOCAL_MACHINE\\Soft\\A\\B]\n\"X\"=\"1\"\n\n[HKEY_CLASSES_ROOT\\.t]\n@=\"tfile\"\n",
         {{u"HKEY_LOCAL_MACHINE\\Soft\\A\\B", {Sz(u"X", u"1")}},
          {u"HKEY_CLASSES_ROOT\\.t", {Sz(u"", u"tfile")}}}},
        {"sections separated by blank lines are all applied",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n\n[HKEY_CURRENT_USER\\U]\n\"B\"=\"2\"\n\n\n"
         u"[HKEY_CURRENT_USER\\V]\n\"C\"=\"3\"\n",
         {{kKey, {Sz(u"A", u"1")}},
          {u"HKEY_CURRENT_USER\\U", {Sz(u"B", u"2")}},
          {u"HKEY_CURRENT_USER\\V", {Sz(u"C", u"3")}}}},
        {"a root token in lower case", u"[hkey_current_user\\T]\n\"A\"=\"1\"\n",
         {{kKey, {Sz(u"A", u"1")}}}},
        {"a header without ']' opens the path to the end of the line",
         u"[HKEY_CURRENT_USER\\T\\Open\n\"A\"=\"1\"\n",
         {{u"HKEY_CURRENT_USER\\T\\Open", {Sz(u"A", u"1")}}}},
        {"a header followed by a blank line still creates its key",
         u"[HKEY_CURRENT_USER\\T]\n\n\"A\"=\"1\"\n", {{kKey, {}}}},
    });
}

TEST(RegScriptImport, ScriptsThatWriteNothing) {
    const std::vector<std::u16string> scripts = {
        u"Windows Registry Editor Version 5.00\n",
        u"\"A\"=\"no section\"\n@=\"x\"\n",
        u"[HKEY_USERS\\T]\n\"A\"=\"1\"\n",
        u"[-HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n",
        u"[HKEY_CURRENT_USER\\T]",  // no LF: never seen
        u"",
    };
    for (const std::u16string& s : scripts) {
        SCOPED_TRACE(Show(s));
        ScratchImage img;
        ImportText(img, Script(s));
        EXPECT_TRUE(img.SubkeyNames(u"HKEY_CURRENT_USER").empty());
        EXPECT_TRUE(img.Values(u"HKEY_CURRENT_USER").empty());
        EXPECT_TRUE(img.SubkeyNames(u"HKEY_USERS").empty());
    }
}

TEST(RegScriptImport, MissingScriptIsSkipped) {
    ScratchImage img;
    img.Bind();
    ImportRegistryScript(u"\\upd\\absent.reg");
    ImportRegistryScript(u"\\upd");  // a folder
    img.Unbind();
    EXPECT_TRUE(img.SubkeyNames(u"HKEY_CURRENT_USER").empty());
}

// ---- What ends a section ----

TEST(RegScriptImport, SectionEnds) {
    RunCases({
        {"a comment line ends the section",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n; note\n\"B\"=\"2\"\n", {{kKey, {Sz(u"A", u"1")}}}},
        {"an indented value line ends the section",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n  \"B\"=\"2\"\n\"C\"=\"3\"\n", {{kKey, {Sz(u"A", u"1")}}}},
        {"a blank line ends the section until the next header",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n\n\"B\"=\"2\"\n[HKEY_CURRENT_USER\\T]\n\"C\"=\"3\"\n",
         {{kKey, {Sz(u"A", u"1"), Sz(u"C", u"3")}}}},
        {"a line holding only CR is blank", u"[HKEY_CURRENT_USER\\T]\n\r\n\"B\"=\"2\"\n", {{kKey, {}}}},
        // Mended: a header that ends a section opens the next section.
        {"a header directly under a value line opens its section",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n[HKEY_CURRENT_USER\\U]\n\"B\"=\"2\"\n",
         {{kKey, {Sz(u"A", u"1")}}, {u"HKEY_CURRENT_USER\\U", {Sz(u"B", u"2")}}}},
        {"a header directly under an opened header opens its section",
         u"[HKEY_CURRENT_USER\\T]\n[HKEY_CURRENT_USER\\U]\n\"B\"=\"2\"\n",
         {{kKey, {}}, {u"HKEY_CURRENT_USER\\U", {Sz(u"B", u"2")}}}},
        {"a header directly under an unknown root is handled",
         u"[HKEY_USERS\\T]\n[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n", {{kKey, {Sz(u"A", u"1")}}}},
    });
}

// When each section's key is opened and closed, by the lines read before: "after line
// 3" when the third line feed had been read, "at the end" after the read that found
// the end of the file.
std::vector<std::string> KeyOpensAndCloses(const testing_support::Recorder& trace) {
    std::vector<std::string> events;
    int lines = 0;
    bool atEnd = false;
    for (const testing_support::Recorder::Call& call : trace.Calls()) {
        if (call.operation == "ReadFile") {
            lines += call.arguments[1] == "->0a00";
            atEnd = call.arguments[1] == "->";
            continue;
        }
        std::string key;
        if (call.operation == "RegCreateKeyExW") key = "open " + call.arguments[7].substr(2);
        else if (call.operation == "RegCloseKey") key = "close " + call.arguments[0];
        else continue;
        events.push_back(key + (atEnd ? " at the end" : " after line " + std::to_string(lines)));
    }
    return events;
}

TEST(RegScriptImport, KeysCloseAtEverySectionEndAndAtTheEndOfTheFile) {
    struct {
        const char* name;
        std::u16string script;
        std::vector<std::string> events;
    } const cases[] = {
        {"a blank line, then the end of the file",
         u"[HKEY_CURRENT_USER\\A]\n\"V\"=\"1\"\n\n[HKEY_CURRENT_USER\\B]\n\"W\"=\"2\"\n",
         {"open key1 after line 1", "close key1 after line 3", "open key2 after line 4", "close key2 at the end"}},
        {"a comment line", u"[HKEY_CURRENT_USER\\A]\n\"V\"=\"1\"\n; note\n\"W\"=\"2\"\n",
         {"open key1 after line 1", "close key1 after line 3"}},
        {"a header under a value line",
         u"[HKEY_CURRENT_USER\\A]\n\"V\"=\"1\"\n[HKEY_CURRENT_USER\\B]\n\"W\"=\"2\"\n",
         {"open key1 after line 1", "close key1 after line 3", "open key2 after line 3", "close key2 at the end"}},
        {"an over-long line",
         u"[HKEY_CURRENT_USER\\A]\n\"V\"=\"1\"\n" + std::u16string(300, u'x') + u"\n\"W\"=\"2\"\n",
         {"open key1 after line 1", "close key1 after line 3"}},
        {"byte data that runs to the end", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,\\\n",
         {"open key1 after line 1", "close key1 at the end"}},
        {"a last value line without a line feed", u"[HKEY_CURRENT_USER\\A]\n\"V\"=\"1\"\n\"W\"=\"2\"",
         {"open key1 after line 1", "close key1 at the end"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchImage img;
        img.WriteUpdateFile("t.reg", Script(c.script));
        img.Bind();
        ImportRegistryScript(u"\\upd\\t.reg");
        img.Unbind();
        EXPECT_EQ(KeyOpensAndCloses(img.calls()), c.events);
    }
}

TEST(RegScriptImport, KeyThatCannotBeCreatedPassesItsSectionOver) {
    ScratchImage img;
    img.WriteUpdateFile("t.reg", Script(u"[HKEY_CURRENT_USER\\Bad]\n\"A\"=\"1\"\n"
                                        u"[HKEY_CURRENT_USER\\Bad]\n[HKEY_CURRENT_USER\\T]\n\"B\"=\"2\"\n"));
    img.Bind();
    {
        // The two creates of "Bad" fail; "T" is created.
        testing_support::FaultInjector faults(host::CurrentBackend());
        faults.FailOn("RegCreateKeyExW", 1, ERROR_INVALID_PARAMETER);
        faults.FailOn("RegCreateKeyExW", 2, ERROR_INVALID_PARAMETER);
        testing_support::Recorder trace(faults);
        host::ScopedBackend use(trace);
        ImportRegistryScript(u"\\upd\\t.reg");
        EXPECT_EQ(trace.Count("RegCreateKeyExW", "Bad"), 2);
        EXPECT_EQ(trace.Count("RegSetValueExW"), 1);
    }
    img.Unbind();
    EXPECT_FALSE(img.KeyExists(u"HKEY_CURRENT_USER\\Bad"));
    ScriptCase c{"", u"", {{kKey, {Sz(u"B", u"2")}}}};
    ExpectKeys(img, c);
}

TEST(RegScriptImport, HeaderNamingOnlyARootOpensTheRoot) {
    for (const char16_t* header : {u"[HKEY_CURRENT_USER]\n", u"[HKEY_CURRENT_USER\\]\n"}) {
        SCOPED_TRACE(Show(header));
        ScratchImage img;
        ImportText(img, Script(std::u16string(header) + u"\"A\"=\"on root\"\n"));
        EXPECT_TRUE(img.SubkeyNames(u"HKEY_CURRENT_USER").empty());
        const auto v = img.Value(u"HKEY_CURRENT_USER", u"A");
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->data, TextValueBytes(u"on root"));
    }
}

// ---- Value names and text data ----

TEST(RegScriptImport, NamesAndText) {
    RunCases({
        {"a doubled backslash is stored doubled", u"[HKEY_CURRENT_USER\\T]\n\"P\"=\"C:\\\\dir\"\n",
         {{kKey, {Sz(u"P", u"C:\\\\dir")}}}},
        {"a backslash before a quote ends the text there",
         u"[HKEY_CURRENT_USER\\T]\n\"Q\"=\"ab\\\"cd\"\n", {{kKey, {Sz(u"Q", u"ab\\")}}}},
        {"a quoted @ is the default value", u"[HKEY_CURRENT_USER\\T]\n\"@\"=\"quoted\"\n",
         {{kKey, {Sz(u"", u"quoted")}}}},
        {"a bare @ is the default value", u"[HKEY_CURRENT_USER\\T]\n@=\"bare\"\n",
         {{kKey, {Sz(u"", u"bare")}}}},
        {"both reach the same default value", u"[HKEY_CURRENT_USER\\T]\n\"@\"=\"1\"\n@=\"2\"\n",
         {{kKey, {Sz(u"", u"2")}}}},
        {"an empty quoted name is the default value", u"[HKEY_CURRENT_USER\\T]\n\"\"=\"e\"\n",
         {{kKey, {Sz(u"", u"e")}}}},
        {"names are literal", u"[HKEY_CURRENT_USER\\T]\n\"a\\tb\"=\"\"\n", {{kKey, {Sz(u"a\\tb", u"")}}}},
        {"Cyrillic text", u"[HKEY_CURRENT_USER\\T]\n\"Имя\"=\"Привет\"\n",
         {{kKey, {Sz(u"Имя", u"Привет")}}}},
        // Mended: without the closing quote nothing is written; the section goes on.
        {"a name without its closing quote writes nothing",
         u"[HKEY_CURRENT_USER\\T]\n\"A=x\n\"B\"=\"2\"\n", {{kKey, {Sz(u"B", u"2")}}}},
        {"a text without its closing quote writes nothing",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"open\n\"B\"=\"2\"\n", {{kKey, {Sz(u"B", u"2")}}}},
    });
}

TEST(RegScriptImport, ValueLinesThatWriteNothing) {
    RunCases({
        {"capital DWORD and HEX write nothing, the section goes on",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=DWORD:1\n\"B\"=HEX:01\n\"C\"=dword:2\n",
         {{kKey, {Dw(u"C", 2)}}}},
        {"ends at its closing quote, its @ or its separator",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"\n@\n\"B\"=\n@=\n\"C\"=\"3\"\n", {{kKey, {Sz(u"C", u"3")}}}},
        {"a space before = writes nothing", u"[HKEY_CURRENT_USER\\T]\n\"A\" =\"1\"\n\"B\"=\"2\"\n",
         {{kKey, {Sz(u"B", u"2")}}}},
        {"a data part with a minus sign writes nothing",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=-\n\"B\"=\"2\"\n", {{kKey, {Sz(u"B", u"2")}}}},
    });
}

// ---- Numbers ----

TEST(RegScriptImport, Numbers) {
    const std::u16string manyDigits = Repeat(u'7', 70) + u"89abcdef";
    RunCases({
        {"hex digits in either case, no digits, nine digits",
         u"[HKEY_CURRENT_USER\\T]\n\"U\"=dword:1A\n\"L\"=dword:1a\n\"F\"=dword:FF\n"
         u"\"E\"=dword:\n\"N\"=dword:123456789\n\"M\"=dword:ffffffff\n\"S\"=dword:12 34\n",
         {{kKey, {Dw(u"U", 26), Dw(u"L", 26), Dw(u"F", 255), Dw(u"E", 0), Dw(u"N", 0x23456789),
                  Dw(u"M", 0xffffffff), Dw(u"S", 0x12)}}}},
        {"the six skipped characters are not examined", u"[HKEY_CURRENT_USER\\T]\n\"A\"=dXXXXX10\n",
         {{kKey, {Dw(u"A", 16)}}}},
        {"a d that ends within its skipped characters gives 0",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=d\n\"B\"=dwo\n", {{kKey, {Dw(u"A", 0), Dw(u"B", 0)}}}},
        // Mended: more than 63 digits; the last eight still decide.
        {"78 digits", u"[HKEY_CURRENT_USER\\T]\n\"A\"=dword:" + manyDigits + u"\n",
         {{kKey, {Dw(u"A", 0x89abcdef)}}}},
    });
}

// ---- Byte data ----

TEST(RegScriptImport, ByteData) {
    RunCases({
        {"a continuation line", u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,02,\\\n  03,04\n\"C\"=\"c\"\n",
         {{kKey, {Bin(u"B", {1, 2, 3, 4}), Sz(u"C", u"c")}}}},
        {"the rest of the line after the backslash is ignored",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\ 99\n02\n", {{kKey, {Bin(u"B", {1, 2})}}}},
        {"a type number is passed over", u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex(2):41,00\n",
         {{kKey, {Bin(u"B", {0x41, 0})}}}},
        {"nothing after the colon", u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:\n", {{kKey, {Bin(u"B", {})}}}},
        {"an h without a colon", u"[HKEY_CURRENT_USER\\T]\n\"A\"=h\n\"B\"=hex\n\"C\"=hex 01\n",
         {{kKey, {Bin(u"A", {}), Bin(u"B", {}), Bin(u"C", {})}}}},
        {"pairs are not validated", u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:zz,Ab\n",
         {{kKey, {Bin(u"B", {static_cast<uint8_t>(('z' - 0x57) * 16 + ('z' - 0x57)), 0xab})}}}},
        {"the end of the file ends a continued value",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\\n", {{kKey, {Bin(u"B", {1})}}}},
        // Mended faults.
        {"a lone last digit is dropped", u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,02,3\n",
         {{kKey, {Bin(u"B", {1, 2})}}}},
        {"an empty continuation line ends the data, the section goes on",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\\n\n\"C\"=\"c\"\n",
         {{kKey, {Bin(u"B", {1}), Sz(u"C", u"c")}}}},
    });
}

// Mended: a header where a continuation line was due was decoded into the bytes, and
// the values under it went into the key above.
TEST(RegScriptImport, StrayBackslashBeforeAHeader) {
    const std::u16string longHeader = u"[HKEY_CURRENT_USER\\" + Repeat(u'x', 300) + u"]\n";
    RunCases({
        {"the byte data ends, the header opens its own section",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,02,\\\n[HKEY_CURRENT_USER\\U]\n\"C\"=\"c\"\n",
         {{kKey, {Bin(u"B", {1, 2})}}, {u"HKEY_CURRENT_USER\\U", {Sz(u"C", u"c")}}}},
        {"after a continuation line",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\\n  02,\\\n[HKEY_CURRENT_USER\\U]\n\"C\"=\"c\"\n",
         {{kKey, {Bin(u"B", {1, 2})}}, {u"HKEY_CURRENT_USER\\U", {Sz(u"C", u"c")}}}},
        {"an unknown root there passes its section over",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\\n[HKEY_USERS\\U]\n\"C\"=\"c\"\n",
         {{kKey, {Bin(u"B", {1})}}}},
        {"an over-long header there: the bytes are written, its section passed over",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\\n" + longHeader +
             u"\"C\"=\"c\"\n[HKEY_CURRENT_USER\\U]\n\"D\"=\"d\"\n",
         {{kKey, {Bin(u"B", {1})}}, {u"HKEY_CURRENT_USER\\U", {Sz(u"D", u"d")}}}},
        {"a line that begins with a space is still a continuation line",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\\n [a\n",
         {{kKey, {Bin(u"B", {1, static_cast<uint8_t>(('[' - 0x30) * 16 + 10)})}}}},
    });
}

TEST(RegScriptImport, ByteDataBeyondTheBufferIsNotWritten) {
    // 104 continuation lines of 80 bytes: 8320 bytes, over the 8196-byte buffer.
    std::u16string s = u"[HKEY_CURRENT_USER\\T]\n\"Big\"=hex:00,\\\n";
    for (int line = 0; line < 104; ++line) {
        for (int i = 0; i < 80; ++i) s += u"ab,";
        s += u"\\\n";
    }
    s += u"01\n\"After\"=\"a\"\n";
    RunCases({{"too many bytes", s, {{kKey, {Sz(u"After", u"a")}}}}});
}

// ---- Line lengths ----

TEST(RegScriptImport, OverLongLines) {
    const std::u16string longHeader = u"[HKEY_CURRENT_USER\\" + Repeat(u'x', 300) + u"]\n";
    const std::u16string longValue = u"\"L\"=\"" + Repeat(u'y', 300) + u"\"\n";
    const std::u16string longDefault = u"@=\"" + Repeat(u'y', 300) + u"\"\n";
    const std::u16string longComment = u";" + Repeat(u'c', 300) + u"\n";
    const std::u16string longIndented = u"  \"I\"=\"" + Repeat(u'i', 300) + u"\"\n";
    // 255 characters exactly: "N"="yyy..." is 1+1+1+1+1+text+1.
    const std::u16string text250 = Repeat(u'z', 250);
    const std::u16string fullLine = u"\"N\"=\"" + text250 + u"\"\n";
    ASSERT_EQ(fullLine.size() - 1, 256u);
    const std::u16string text249 = Repeat(u'z', 249);
    const std::u16string maxLine = u"\"N\"=\"" + text249 + u"\"\n";
    // A name of 251 characters puts "=d" / "=h" at the very end of a 255-character line.
    const std::u16string name251 = Repeat(u'n', 251);
    const std::u16string other251 = Repeat(u'm', 251);
    RunCases({
        {"an over-long header outside a section: its section is passed over",
         longHeader + u"\"A\"=\"1\"\n[HKEY_CURRENT_USER\\T]\n\"B\"=\"2\"\n", {{kKey, {Sz(u"B", u"2")}}}},
        {"an over-long value line writes nothing and the section goes on",
         u"[HKEY_CURRENT_USER\\T]\n" + longValue + u"\"B\"=\"2\"\n" + longDefault + u"\"C\"=\"3\"\n",
         {{kKey, {Sz(u"B", u"2"), Sz(u"C", u"3")}}}},
        // Mended: an over-long line inside a section was passed over and the section
        // went on, so the values under an over-long header went into the key above it.
        {"an over-long header ends the section; its own section is passed over",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n" + longHeader +
             u"\"C\"=\"3\"\n[HKEY_CURRENT_USER\\U]\n\"D\"=\"4\"\n",
         {{kKey, {Sz(u"A", u"1")}}, {u"HKEY_CURRENT_USER\\U", {Sz(u"D", u"4")}}}},
        {"an over-long header right under its header ends the section as well",
         u"[HKEY_CURRENT_USER\\T]\n" + longHeader + u"\"C\"=\"3\"\n", {{kKey, {}}}},
        {"an over-long comment ends the section",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n" + longComment + u"\"B\"=\"2\"\n",
         {{kKey, {Sz(u"A", u"1")}}}},
        {"an over-long indented line ends the section",
         u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n" + longIndented + u"\"B\"=\"2\"\n",
         {{kKey, {Sz(u"A", u"1")}}}},
        {"the first character is the one after a byte-order mark: a value line",
         u"[HKEY_CURRENT_USER\\T]\n\uFEFF" + longValue + u"\"B\"=\"2\"\n", {{kKey, {Sz(u"B", u"2")}}}},
        {"the first character is the one after a byte-order mark: a comment",
         u"[HKEY_CURRENT_USER\\T]\n\uFEFF" + longComment + u"\"B\"=\"2\"\n", {{kKey, {}}}},
        {"a line of 256 characters is over-long",
         u"[HKEY_CURRENT_USER\\T]\n" + fullLine + u"\"B\"=\"2\"\n", {{kKey, {Sz(u"B", u"2")}}}},
        {"a line of 255 characters (CR not counted) is read",
         u"[HKEY_CURRENT_USER\\T]\n" + maxLine, {{kKey, {Sz(u"N", text249)}}}},
        {"an over-long continuation line: its value writes nothing, the section goes on",
         u"[HKEY_CURRENT_USER\\T]\n\"B\"=hex:01,\\\n" + Repeat(u'0', 300) + u"\n\"C\"=\"c\"\n",
         {{kKey, {Sz(u"C", u"c")}}}},
        {"d and h at the very end of a full line",
         u"[HKEY_CURRENT_USER\\T]\n\"" + name251 + u"\"=d\n\"" + other251 + u"\"=h\n",
         {{kKey, {Dw(name251, 0), Bin(other251, {})}}}},
    });
}

TEST(RegScriptImport, LoneFinalByteIsTheEndOfTheFile) {
    ScratchImage img;
    // The last line's LF arrives as a single byte: that line is never seen.
    Bytes bytes = Script(u"[HKEY_CURRENT_USER\\T]\n\"A\"=\"1\"\n\"B\"=\"2\"", {true, false, true});
    bytes.push_back(0x0A);
    ImportText(img, bytes);
    ExpectKeys(img, {"", u"", {{kKey, {Sz(u"A", u"1")}}}});
}

// ---- The pure routines ----

TEST(RegScriptRoutines, HexDigits) {
    struct {
        const char16_t* digits;
        DWORD value;
    } const numbers[] = {
        {u"1A", 26}, {u"1a", 26}, {u"FF", 255}, {u"", 0}, {u"123456789", 0x23456789},
        {u"ffffffff", 0xffffffff}, {u"00000000000000010", 0x10},
    };
    for (const auto& n : numbers) EXPECT_EQ(ParseHexNumber(n.digits), n.value) << Show(n.digits);
    for (WCHAR c : std::u16string(u"0123456789abcdefABCDEF")) EXPECT_TRUE(IsHexDigitChar(c)) << char(c);
    for (WCHAR c : std::u16string(u"gG :x-\\\"")) EXPECT_FALSE(IsHexDigitChar(c)) << char(c);
    EXPECT_FALSE(IsHexDigitChar(0));
    // One digit rule for numbers and byte pairs; it counts any character.
    struct {
        char16_t c;
        DWORD value;
    } const values[] = {{u'0', 0}, {u'9', 9}, {u'a', 10}, {u'F', 15}, {u'g', 16}, {u'Z', 0x23},
                        {u'/', 0xFFFFFFFFu}};
    for (const auto& v : values) EXPECT_EQ(HexDigitValue(v.c), v.value) << char(v.c);
}

TEST(RegScriptRoutines, ValueLineReasons) {
    struct {
        const char16_t* line;
        DWORD type;
        ScriptValueReason reason;
    } const cases[] = {
        {u"\"A\"=\"x\"", REG_SZ, kValueWritten},
        {u"\"A=x", REG_NONE, kValueNoClosingQuote},
        {u"\"A\"", REG_NONE, kValueNoData},
        {u"@=", REG_NONE, kValueNoData},
        {u"\"A\"=DWORD:1", REG_NONE, kValueUnknownKind},
        {u"\"A\"=\"x", REG_NONE, kValueTextUnterminated},
        {u"\"A\"=dword:1", REG_DWORD, kValueWritten},
    };
    ScriptValue value;
    for (const auto& c : cases) {
        SCOPED_TRACE(Show(c.line));
        EXPECT_EQ(DecodeValueLine(c.line, &value), kValueDone);
        EXPECT_EQ(value.type, c.type);
        EXPECT_EQ(value.reason, c.reason);
    }
}

TEST(RegScriptRoutines, ByteBufferHoldsExactly8196Bytes) {
    ScriptValue value;
    // 8196 bytes fit; one more does not.
    std::u16string line;
    for (int i = 0; i < 100; ++i) line += u"11";
    ASSERT_EQ(DecodeValueLine(u"\"B\"=hex:\\", &value), kValueNeedsLine);
    for (int i = 0; i < 81; ++i) ASSERT_EQ(ContinueByteData((line + u"\\").c_str(), &value), kValueNeedsLine);
    EXPECT_EQ(ContinueByteData(Repeat(u'2', 2 * 96).c_str(), &value), kValueDone);
    EXPECT_EQ(value.byteCount, 8196u);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(value.bytes[8195], 0x22);

    ASSERT_EQ(DecodeValueLine(u"\"B\"=hex:\\", &value), kValueNeedsLine);
    for (int i = 0; i < 81; ++i) ASSERT_EQ(ContinueByteData((line + u"\\").c_str(), &value), kValueNeedsLine);
    EXPECT_EQ(ContinueByteData(Repeat(u'2', 2 * 97).c_str(), &value), kValueDone);
    EXPECT_EQ(value.type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(value.reason, kValueBytesTooMany);
}

// The section machine, fed line by line as a script checker would.
// The section machine, fed line by line as a script checker would: what it does with
// each line, and where the next line comes from.
TEST(RegScriptRoutines, SectionMachineStepByStep) {
    struct Step {
        const char16_t* line;
        ScriptLineStatus status;
        ScriptEvent event;
        ScriptNextLine next;
        BOOL opened = TRUE;  // reported for kEventOpenKey
    };
    const ScriptLineStatus line = kScriptLine;
    const ScriptLineStatus tooLong = kScriptLineTooLong;  // only the first character is kept
    const Step steps[] = {
        {u"REGEDIT4", line, kEventPassedOver, kNextLineRead},
        {u"[HKEY_USERS\\X]", line, kEventUnknownRoot, kNextLineRead},
        {u"[HKEY_CURRENT_USER\\Bad]", line, kEventOpenKey, kNextLineRead, FALSE},
        {u"\"A\"=\"1\"", line, kEventPassedOver, kNextLineRead},
        {u"[HKEY_CURRENT_USER\\T]", line, kEventOpenKey, kNextLineCleared},
        {u"\"A\"=\"1\"", line, kEventWriteValue, kNextLineCleared},
        {u"\"", tooLong, kEventValueSkipped, kNextLineCleared},
        {u"@", tooLong, kEventValueSkipped, kNextLineCleared},
        {u"\"B\"=HEX:1", line, kEventValueSkipped, kNextLineCleared},
        {u"\"C\"=hex:01,\\", line, kEventNeedLine, kNextLineCleared},
        {u"02", line, kEventWriteValue, kNextLineCleared},
        {u"[HKEY_CURRENT_USER\\U]", line, kEventSectionEnd, kNextLineSame},
        {u"[HKEY_CURRENT_USER\\U]", line, kEventOpenKey, kNextLineCleared},
        {u"\"D\"=hex:03,\\", line, kEventNeedLine, kNextLineCleared},
        {u"[HKEY_CURRENT_USER\\V]", line, kEventWriteValue, kNextLineSame},
        {u"[HKEY_CURRENT_USER\\V]", line, kEventSectionEnd, kNextLineSame},
        {u"[HKEY_CURRENT_USER\\V]", line, kEventOpenKey, kNextLineCleared},
        {u";", tooLong, kEventSectionEnd, kNextLineSame},
        {u";", tooLong, kEventPassedOver, kNextLineRead},
        {u"[", tooLong, kEventPassedOver, kNextLineRead},
        {u"\"E\"=\"5\"", line, kEventPassedOver, kNextLineRead},
        {u"; done", line, kEventPassedOver, kNextLineRead},
    };
    ScriptImport import;
    ScriptImportStart(&import);
    for (const Step& s : steps) {
        SCOPED_TRACE(Show(s.line));
        const ScriptEvent event = ScriptImportFeed(&import, s.line, s.status);
        EXPECT_EQ(event, s.event);
        if (event == kEventOpenKey) ScriptKeyOpened(&import, s.opened);
        EXPECT_EQ(ScriptImportNextLine(&import), s.next);
        if (event == kEventWriteValue && s.line[0] == u'[') {
            EXPECT_EQ(import.value.byteCount, 1u);  // the byte data ended at the header
        }
    }
    EXPECT_EQ(ScriptImportEnd(&import), kEventPassedOver);
}

TEST(RegScriptRoutines, LineBuilderFromMemory) {
    WCHAR line[kScriptLineChars];
    ScriptLineBuilder builder;
    ScriptLineStart(&builder, line);
    for (WCHAR c : std::u16string(u"\uFEFF\uFEFFab\rc")) EXPECT_FALSE(ScriptLineAdd(&builder, c));
    EXPECT_TRUE(ScriptLineAdd(&builder, u'\n'));
    EXPECT_EQ(ScriptLineFinish(&builder), kScriptLine);
    EXPECT_EQ(std::u16string(line), u"\uFEFFabc");  // only one mark is removed
}

// A line over 255 characters keeps its first character (after a removed mark) and
// nothing else; the buffer is never written past its 256 characters.
TEST(RegScriptRoutines, LineBuilderBound) {
    struct {
        size_t length;
        ScriptLineStatus status;
        size_t kept;
    } const cases[] = {{255, kScriptLine, 255}, {256, kScriptLineTooLong, 1}, {5000, kScriptLineTooLong, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        WCHAR buffer[kScriptLineChars + 16];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        ScriptLineBuilder builder;
        ScriptLineStart(&builder, buffer);
        EXPECT_FALSE(ScriptLineAdd(&builder, 0xFEFF));
        for (size_t i = 0; i < c.length; ++i) EXPECT_FALSE(ScriptLineAdd(&builder, i == 0 ? u'@' : u'x'));
        EXPECT_TRUE(ScriptLineAdd(&builder, u'\n'));
        EXPECT_EQ(ScriptLineFinish(&builder), c.status);
        EXPECT_EQ(buffer[0], u'@');
        EXPECT_EQ(std::u16string(buffer).size(), c.kept);
        for (size_t i = kScriptLineChars; i < std::size(buffer); ++i) EXPECT_EQ(buffer[i], u'#') << i;
    }
}

}  // namespace
