// End to end through the ceupdate binary: reg export (text and JSON), reg load and
// reg delete on scratch images, and every bad input leaving the image as it was.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/cli.h"

namespace {

using namespace testing_support;
using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

// A fresh image made by "ceupdate init", and a place for input files.
class CliRegTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = folder_ / "image";
        CliResult init = RunCli({"init", image_.string()});
        ASSERT_EQ(init.exitCode, 0) << init.err;
    }

    CliResult Run(std::vector<std::string> args) { return RunOnImage(image_, std::move(args)); }

    // Loads registry JSON; the test fails unless the load succeeds.
    void Load(const Json& registry) {
        fs::path file = folder_ / "load.json";
        WriteTextFile(file, registry.dump());
        CliResult r = Run({"reg", "load", file.string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    Json ExportJson(const std::string& key = "") {
        std::vector<std::string> args{"reg", "export", "--json"};
        if (!key.empty()) args.push_back(key);
        CliResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0 ? Json::parse(r.out) : Json();
    }

    std::string ExportText(const std::string& key) {
        CliResult r = Run({"reg", "export", key});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    TempFolder folder_;
    fs::path image_;
};

// ---- JSON round trips ----------------------------------------------------------------

struct ValueCase {
    const char* name;
    Json input;        // the value as loaded
    Json type;         // as exported
    const char* bytes; // as exported
    Json data;         // as exported; null: no "data" member
};

const ValueCase kValueCases[] = {
    {"sz", {{"type", "REG_SZ"}, {"data", "Hello"}}, "REG_SZ", "480065006c006c006f000000", "Hello"},
    {"sz empty", {{"type", "REG_SZ"}, {"data", ""}}, "REG_SZ", "0000", ""},
    {"sz cyrillic", {{"type", "REG_SZ"}, {"data", "Привет"}}, "REG_SZ",
     "1f04400438043204350442040000", "Привет"},
    {"sz unterminated", {{"type", "REG_SZ"}, {"bytes", "4100"}}, "REG_SZ", "4100", "A"},
    {"sz embedded nul", {{"type", "REG_SZ"}, {"bytes", "410000004200000000"}}, "REG_SZ",
     "410000004200000000", "A"},
    {"sz odd length", {{"type", "REG_SZ"}, {"bytes", "410042"}}, "REG_SZ", "410042", "A"},
    {"sz data and bytes", {{"type", "REG_SZ"}, {"data", "x"}, {"bytes", "78000000"}}, "REG_SZ",
     "78000000", "x"},
    {"expand sz", {{"type", "REG_EXPAND_SZ"}, {"data", "%T%"}}, "REG_EXPAND_SZ", "2500540025000000",
     "%T%"},
    {"binary", {{"type", "REG_BINARY"}, {"data", "0102FF"}}, "REG_BINARY", "0102ff", "0102ff"},
    {"binary empty", {{"type", "REG_BINARY"}, {"bytes", ""}}, "REG_BINARY", "", ""},
    {"dword", {{"type", "REG_DWORD"}, {"data", 26}}, "REG_DWORD", "1a000000", 26},
    {"dword max", {{"type", "REG_DWORD"}, {"data", 4294967295u}}, "REG_DWORD", "ffffffff",
     4294967295u},
    {"dword from bytes", {{"type", "REG_DWORD"}, {"bytes", "78563412"}}, "REG_DWORD", "78563412",
     305419896},
    {"dword by number", {{"type", 4}, {"data", 7}}, "REG_DWORD", "07000000", 7},
    {"dword big endian", {{"type", "REG_DWORD_BIG_ENDIAN"}, {"data", "00000001"}},
     "REG_DWORD_BIG_ENDIAN", "00000001", "00000001"},
    {"link", {{"type", "REG_LINK"}, {"bytes", "5c00"}}, "REG_LINK", "5c00", "5c00"},
    {"multi sz", {{"type", "REG_MULTI_SZ"}, {"data", {"a", "Б"}}}, "REG_MULTI_SZ",
     "61000000110400000000", {"a", "Б"}},
    {"multi sz empty", {{"type", "REG_MULTI_SZ"}, {"data", Json::array()}}, "REG_MULTI_SZ", "0000",
     Json::array()},
    {"multi sz no final nul", {{"type", "REG_MULTI_SZ"}, {"bytes", "610000006200"}}, "REG_MULTI_SZ",
     "610000006200", {"a", "b"}},
    {"none", {{"type", "REG_NONE"}, {"bytes", ""}}, "REG_NONE", "", ""},
    {"resource list", {{"type", "REG_RESOURCE_LIST"}, {"data", "00"}}, "REG_RESOURCE_LIST", "00", "00"},
    {"full resource descriptor", {{"type", "REG_FULL_RESOURCE_DESCRIPTOR"}, {"data", "01"}},
     "REG_FULL_RESOURCE_DESCRIPTOR", "01", "01"},
    {"requirements list", {{"type", "REG_RESOURCE_REQUIREMENTS_LIST"}, {"data", "02"}},
     "REG_RESOURCE_REQUIREMENTS_LIST", "02", "02"},
    {"qword", {{"type", "REG_QWORD"}, {"data", "0807060504030201"}}, "REG_QWORD", "0807060504030201",
     "0807060504030201"},
    {"other type number", {{"type", 4660}, {"bytes", "abcd"}}, 4660, "abcd", "abcd"},
};

TEST_F(CliRegTest, EveryValueTypeLoadsAndExportsItsBytes) {
    Json values = Json::object();
    for (const ValueCase& c : kValueCases) values[c.name] = c.input;
    Load({{"HKEY_CURRENT_USER\\Types", values}});

    Json key = ExportJson("HKEY_CURRENT_USER\\Types")["HKEY_CURRENT_USER\\Types"];
    ASSERT_EQ(key.size(), std::size(kValueCases));
    for (const ValueCase& c : kValueCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(key.contains(c.name));
        const Json& value = key[c.name];
        EXPECT_EQ(value["type"], c.type);
        EXPECT_EQ(value["bytes"], c.bytes);
        if (c.data.is_null()) {
            EXPECT_FALSE(value.contains("data"));
        } else {
            EXPECT_EQ(value["data"], c.data);
        }
    }
}

TEST_F(CliRegTest, ExportedJsonLoadsIntoAFreshImageUnchanged) {
    Json values = Json::object();
    for (const ValueCase& c : kValueCases) values[c.name] = c.input;
    Load({{"HKEY_CURRENT_USER\\Types", values},
          {"HKEY_CURRENT_USER", {{"OnRoot", {{"type", "REG_DWORD"}, {"data", 1}}}}},
          {"HKEY_LOCAL_MACHINE\\Ключ\\Пустой", Json::object()},
          {"HKEY_LOCAL_MACHINE\\Software\\Ключ",
           {{"", {{"type", "REG_SZ"}, {"data", "по умолчанию"}}},
            {"Имя", {{"type", "REG_SZ"}, {"data", "значение"}}}}}});
    Json first = ExportJson();

    TempFolder other;
    ASSERT_EQ(RunCli({"init", (other / "image").string()}).exitCode, 0);
    WriteTextFile(other / "export.json", first.dump());
    CliResult load = RunOnImage(other / "image", {"reg", "load", (other / "export.json").string()});
    ASSERT_EQ(load.exitCode, 0) << load.err;
    CliResult second = RunOnImage(other / "image", {"reg", "export", "--json"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(Json::parse(second.out), first);
}

TEST_F(CliRegTest, ExportListsEveryKeyInCaseInsensitiveOrderWithRootsAndEmptyKeys) {
    Load({{"HKEY_CURRENT_USER\\b", Json::object()},
          {"HKEY_CURRENT_USER\\A\\z", Json::object()},
          {"HKEY_CURRENT_USER\\a b", Json::object()},
          {"HKEY_CURRENT_USER\\C", {{"v", {{"type", "REG_DWORD"}, {"data", 1}}}}}});
    std::vector<std::string> keys;
    Json exported = ExportJson();
    for (auto& [name, values] : exported.items()) keys.push_back(name);
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_CURRENT_USER\\A",
                        "HKEY_CURRENT_USER\\A\\z", "HKEY_CURRENT_USER\\a b", "HKEY_CURRENT_USER\\b",
                        "HKEY_CURRENT_USER\\C", "HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\init",
                        "HKEY_USERS"}));
}

TEST_F(CliRegTest, ExportJsonHasTheDocumentedLayout) {
    Load({{"HKEY_CURRENT_USER\\Software\\Demo",
           {{"", {{"type", "REG_SZ"}, {"data", "d"}}}, {"Count", {{"type", "REG_DWORD"}, {"data", 26}}}}}});
    CliResult r = Run({"reg", "export", "--json", "HKEY_CURRENT_USER\\Software"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\n"
              "  \"HKEY_CURRENT_USER\\\\Software\": {},\n"
              "  \"HKEY_CURRENT_USER\\\\Software\\\\Demo\": {\n"
              "    \"\": {\"type\": \"REG_SZ\", \"data\": \"d\", \"bytes\": \"64000000\"},\n"
              "    \"Count\": {\"type\": \"REG_DWORD\", \"data\": 26, \"bytes\": \"1a000000\"}\n"
              "  }\n"
              "}\n");
}

TEST_F(CliRegTest, NamesDifferingOnlyInCaseAreTheSameKeyAndValue) {
    Load({{"HKEY_CURRENT_USER\\Software\\MiXed", {{"VaLue", {{"type", "REG_DWORD"}, {"data", 1}}}}},
          {"HKEY_CURRENT_USER\\Software\\Ключ", {{"Имя", {{"type", "REG_DWORD"}, {"data", 1}}}}}});
    Load({{"HKEY_CURRENT_USER\\SOFTWARE\\mixed", {{"value", {{"type", "REG_DWORD"}, {"data", 2}}}}},
          {"hkey_current_user\\software\\КЛЮЧ", {{"ИМЯ", {{"type", "REG_SZ"}, {"data", "x"}}}}}});

    Json exported = ExportJson("HKEY_CURRENT_USER\\Software");
    ASSERT_EQ(exported.size(), 3u) << exported.dump();
    // Keys keep the case they were created with; the second load replaced the values.
    Json mixed = exported["HKEY_CURRENT_USER\\Software\\MiXed"];
    ASSERT_EQ(mixed.size(), 1u) << mixed.dump();
    EXPECT_EQ(mixed.begin().value()["data"], 2);
    Json cyrillic = exported["HKEY_CURRENT_USER\\Software\\Ключ"];
    ASSERT_EQ(cyrillic.size(), 1u) << exported.dump();
    EXPECT_EQ(cyrillic.begin().value()["type"], "REG_SZ");
    EXPECT_EQ(cyrillic.begin().value()["data"], "x");
}

TEST_F(CliRegTest, ExportOfAMissingKeyFails) {
    CliResult r = Run({"reg", "export", "HKEY_CURRENT_USER\\Nothing"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    EXPECT_EQ(r.out, "");
}

// ---- Text export ----------------------------------------------------------------------

struct TextCase {
    const char* label;
    Json value;  // loaded as the value "v" (or "" for the default value)
    const char* line;
    bool defaultValue = false;
};

const TextCase kTextCases[] = {
    {"text", {{"type", "REG_SZ"}, {"data", "Hello"}}, "\"v\"=\"Hello\""},
    {"default value", {{"type", "REG_SZ"}, {"data", "x"}}, "@=\"x\"", true},
    {"escapes", {{"type", "REG_SZ"}, {"data", "q\"\\"}}, "\"v\"=\"q\\\"\\\\\""},
    {"cyrillic", {{"type", "REG_SZ"}, {"data", "Привет"}}, "\"v\"=\"Привет\""},
    {"empty text", {{"type", "REG_SZ"}, {"data", ""}}, "\"v\"=\"\""},
    {"text without terminator", {{"type", "REG_SZ"}, {"bytes", "4100"}}, "\"v\"=hex(1):41,00"},
    {"text with embedded nul", {{"type", "REG_SZ"}, {"bytes", "41000000420000 00"}},
     "\"v\"=hex(1):41,00,00,00,42,00,00,00"},
    {"text with a line break", {{"type", "REG_SZ"}, {"data", "a\nb"}},
     "\"v\"=hex(1):61,00,0a,00,62,00,00,00"},
    {"text with a lone surrogate", {{"type", "REG_SZ"}, {"bytes", "00d80000"}},
     "\"v\"=hex(1):00,d8,00,00"},
    {"no bytes at all", {{"type", "REG_SZ"}, {"bytes", ""}}, "\"v\"=hex(1):"},
    {"dword", {{"type", "REG_DWORD"}, {"data", 26}}, "\"v\"=dword:0000001a"},
    {"binary", {{"type", "REG_BINARY"}, {"data", "0102ff"}}, "\"v\"=hex:01,02,ff"},
    {"expand sz", {{"type", "REG_EXPAND_SZ"}, {"data", "%T%"}},
     "\"v\"=hex(2):25,00,54,00,25,00,00,00"},
    {"multi sz", {{"type", "REG_MULTI_SZ"}, {"data", {"a", "b"}}},
     "\"v\"=hex(7):61,00,00,00,62,00,00,00,00,00"},
    {"qword", {{"type", "REG_QWORD"}, {"data", "0100000000000000"}},
     "\"v\"=hex(b):01,00,00,00,00,00,00,00"},
    {"none", {{"type", "REG_NONE"}, {"data", "00"}}, "\"v\"=hex(0):00"},
    {"other type", {{"type", 77}, {"data", "ff"}}, "\"v\"=hex(4d):ff"},
};

TEST_F(CliRegTest, TextExportWritesEachTypeInRegeditForm) {
    for (const TextCase& c : kTextCases) {
        SCOPED_TRACE(c.label);
        Json value = c.value;
        if (value.contains("bytes")) {  // the table may space out hex for legibility
            std::string hex = value["bytes"];
            std::erase(hex, ' ');
            value["bytes"] = hex;
        }
        std::string key = std::string("HKEY_CURRENT_USER\\") + c.label;
        Load({{key, {{c.defaultValue ? "" : "v", value}}}});
        EXPECT_EQ(ExportText(key), "Windows Registry Editor Version 5.00\n\n[" + key + "]\n" +
                                       c.line + "\n\n");
    }
}

TEST_F(CliRegTest, TextExportEscapesValueNames) {
    Load({{"HKEY_CURRENT_USER\\N", {{"a\"b\\c", {{"type", "REG_DWORD"}, {"data", 0}}}}}});
    EXPECT_NE(ExportText("HKEY_CURRENT_USER\\N").find("\n\"a\\\"b\\\\c\"=dword:00000000\n"),
              std::string::npos);
}

TEST_F(CliRegTest, LongHexIsWrappedWithContinuations) {
    std::string hex;
    for (int i = 0; i < 100; ++i) hex += "a5";
    Load({{"HKEY_CURRENT_USER\\W", {{"Long", {{"type", "REG_BINARY"}, {"data", hex}}}}}});
    std::string text = ExportText("HKEY_CURRENT_USER\\W");
    size_t start = text.find("\"Long\"=hex:");
    ASSERT_NE(start, std::string::npos) << text;
    std::string value = text.substr(start, text.find("\n\n", start) - start);

    std::string joined;
    size_t lines = 0;
    for (size_t pos = 0; pos < value.size();) {
        size_t end = value.find('\n', pos);
        std::string line = value.substr(pos, end == std::string::npos ? end : end - pos);
        EXPECT_LE(line.size(), 80u) << line;
        if (lines > 0) {
            EXPECT_EQ(line.substr(0, 2), "  ");
            line = line.substr(2);
        }
        bool continued = end != std::string::npos;
        if (continued) {
            EXPECT_EQ(line.substr(line.size() - 2), ",\\");
            line.pop_back();
        }
        joined += line;
        ++lines;
        pos = continued ? end + 1 : value.size();
    }
    EXPECT_GT(lines, 3u);
    std::string expected = "\"Long\"=hex:";
    for (int i = 0; i < 100; ++i) expected += i ? ",a5" : "a5";
    EXPECT_EQ(joined, expected);
}

TEST_F(CliRegTest, TextExportListsEveryKeyAsASection) {
    Load({{"HKEY_LOCAL_MACHINE\\init", {{"Launch25", {{"type", "REG_SZ"}, {"data", "x.exe"}}}}}});
    CliResult r = Run({"reg", "export"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CLASSES_ROOT]\n\n"
              "[HKEY_CURRENT_USER]\n\n"
              "[HKEY_LOCAL_MACHINE]\n\n"
              "[HKEY_LOCAL_MACHINE\\init]\n\"Launch25\"=\"x.exe\"\n\n"
              "[HKEY_USERS]\n\n");
}

// ---- reg delete --------------------------------------------------------------------------

TEST_F(CliRegTest, DeleteRemovesOneValue) {
    Json dword = {{"type", "REG_DWORD"}, {"data", 1}};
    Load({{"HKEY_CURRENT_USER\\D", {{"", dword}, {"A", dword}, {"B", dword}}}});
    EXPECT_EQ(Run({"reg", "delete", "hkey_current_user\\d", "a"}).exitCode, 0);
    EXPECT_EQ(Run({"reg", "delete", "HKEY_CURRENT_USER\\D", ""}).exitCode, 0);
    Json key = ExportJson("HKEY_CURRENT_USER\\D")["HKEY_CURRENT_USER\\D"];
    std::vector<std::string> names;
    for (auto& [name, value] : key.items()) names.push_back(name);
    EXPECT_EQ(names, std::vector<std::string>{"B"});
}

TEST_F(CliRegTest, DeleteRemovesAKeyWithEverythingUnderIt) {
    Json dword = {{"type", "REG_DWORD"}, {"data", 1}};
    Load({{"HKEY_CURRENT_USER\\S\\A\\B", {{"x", dword}}},
          {"HKEY_CURRENT_USER\\S\\A\\C\\D", {{"y", dword}}},
          {"HKEY_CURRENT_USER\\S\\AB", {{"z", dword}}}});
    CliResult r = Run({"reg", "delete", "HKEY_CURRENT_USER\\s\\a"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> keys;
    Json exported = ExportJson("HKEY_CURRENT_USER\\S");
    for (auto& [name, values] : exported.items()) keys.push_back(name);
    EXPECT_EQ(keys, (std::vector<std::string>{"HKEY_CURRENT_USER\\S", "HKEY_CURRENT_USER\\S\\AB"}));
}

// ---- Bad input --------------------------------------------------------------------------

struct BadCase {
    const char* label;
    std::vector<std::string> args;  // "FILE" stands for the input file
    const char* input;              // the input file's text
};

const BadCase kBadCases[] = {
    {"malformed json", {"reg", "load", "FILE"}, R"({"HKEY_CURRENT_USER\\X": {)"},
    {"empty file", {"reg", "load", "FILE"}, ""},
    {"not an object", {"reg", "load", "FILE"}, "[]"},
    {"key not an object", {"reg", "load", "FILE"}, R"({"HKEY_CURRENT_USER\\X": 1})"},
    {"value not an object", {"reg", "load", "FILE"}, R"({"HKEY_CURRENT_USER\\X": {"a": 1}})"},
    {"unknown root", {"reg", "load", "FILE"}, R"({"HKEY_NOWHERE\\X": {}})"},
    {"empty key name", {"reg", "load", "FILE"}, R"({"HKEY_CURRENT_USER\\\\X": {}})"},
    {"trailing backslash", {"reg", "load", "FILE"}, R"({"HKEY_CURRENT_USER\\X\\": {}})"},
    {"unknown type", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_WORD", "data": 1}}})"},
    {"type in lower case", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "reg_sz", "data": "x"}}})"},
    {"negative type", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": -1, "bytes": ""}}})"},
    {"dword 2^32", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_DWORD", "data": 4294967296}}})"},
    {"dword negative", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_DWORD", "data": -1}}})"},
    {"dword fraction", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_DWORD", "data": 1.5}}})"},
    {"dword as text", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_DWORD", "data": "1"}}})"},
    {"dword bytes too short", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_DWORD", "bytes": "010203"}}})"},
    {"qword data too long", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_QWORD", "data": "010203040506070809"}}})"},
    {"big endian dword too long", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_DWORD_BIG_ENDIAN", "bytes": "0102030405"}}})"},
    {"non-hex blob", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_BINARY", "data": "0g"}}})"},
    {"odd hex", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_BINARY", "bytes": "abc"}}})"},
    {"hex with separators", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_BINARY", "bytes": "01,02"}}})"},
    {"data not matching bytes", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_SZ", "data": "B", "bytes": "41000000"}}})"},
    {"neither data nor bytes", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_SZ"}}})"},
    {"no type", {"reg", "load", "FILE"}, R"({"HKEY_CURRENT_USER\\X": {"a": {"data": "x"}}})"},
    {"unknown member", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_SZ", "data": "x", "date": 1}}})"},
    {"text with nul", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_SZ", "data": "a\u0000b"}}})"},
    {"multi sz with an empty string", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_MULTI_SZ", "data": ["a", ""]}}})"},
    {"multi sz not a list", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a": {"type": "REG_MULTI_SZ", "data": "a"}}})"},
    {"value name with nul", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"a\u0000": {"type": "REG_SZ", "data": "x"}}})"},
    {"same member twice", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {}, "HKEY_CURRENT_USER\\X": {}})"},
    {"keys differing only in case", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\Ключ": {}, "hkey_current_user\\КЛЮЧ": {}})"},
    {"values differing only in case", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\X": {"Имя": {"type": "REG_SZ", "data": "1"},
                                  "ИМЯ": {"type": "REG_SZ", "data": "2"}}})"},
    {"bad value after good keys", {"reg", "load", "FILE"},
     R"({"HKEY_CURRENT_USER\\New1": {"ok": {"type": "REG_DWORD", "data": 1}},
         "HKEY_CURRENT_USER\\Existing": {"ok": {"type": "REG_DWORD", "data": 9}},
         "HKEY_CURRENT_USER\\New2": {"bad": {"type": "REG_DWORD", "data": 99999999999}}})"},
    {"missing file", {"reg", "load", "/nonexistent/ceupdate.json"}, nullptr},
    {"load without file", {"reg", "load"}, nullptr},
    {"delete missing key", {"reg", "delete", "HKEY_CURRENT_USER\\Nothing"}, nullptr},
    {"delete missing value", {"reg", "delete", "HKEY_CURRENT_USER\\Existing", "nothing"}, nullptr},
    {"delete a root", {"reg", "delete", "HKEY_CURRENT_USER"}, nullptr},
    {"delete unknown root", {"reg", "delete", "HKEY_NOWHERE\\X"}, nullptr},
    {"delete with an empty name in the path", {"reg", "delete", "HKEY_CURRENT_USER\\\\Existing"}, nullptr},
    {"delete with a backslash at the end", {"reg", "delete", "HKEY_CURRENT_USER\\Existing\\"}, nullptr},
    {"export with an empty name in the path", {"reg", "export", "HKEY_CURRENT_USER\\\\Existing"}, nullptr},
    {"export missing key", {"reg", "export", "HKEY_CURRENT_USER\\Nothing"}, nullptr},
    {"unknown option", {"reg", "export", "--xml"}, nullptr},
    {"no reg command", {"reg"}, nullptr},
};

TEST_F(CliRegTest, BadInputEndsWithOneLineAndLeavesTheImageUnchanged) {
    Load({{"HKEY_CURRENT_USER\\Existing", {{"ok", {{"type", "REG_DWORD"}, {"data", 1}}}}}});
    Fingerprint before = FolderFingerprint(image_);
    Json registryBefore = ExportJson();
    ASSERT_FALSE(before.empty());
    for (const BadCase& c : kBadCases) {
        SCOPED_TRACE(c.label);
        fs::path file = folder_ / "input.json";
        if (c.input) WriteTextFile(file, c.input);
        std::vector<std::string> args;
        for (const std::string& arg : c.args) args.push_back(arg == "FILE" ? file.string() : arg);

        CliResult r = Run(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("ceupdate: ", 0), 0u) << r.err;
        EXPECT_EQ(FolderFingerprint(image_), before);
        fs::remove(file);
    }
    EXPECT_EQ(ExportJson(), registryBefore);
}

TEST_F(CliRegTest, AFolderThatIsNotAnImageIsRefused) {
    TempFolder plain;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"reg", "export"}, {"reg", "delete", "HKEY_CURRENT_USER\\X"}}) {
        CliResult r = RunOnImage(plain.path(), args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find("not a device image"), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_empty(plain.path()));
    }
}

}  // namespace
