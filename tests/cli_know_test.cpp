// End to end through the ceupdate binary: lint, diff, check and reg import, and the
// round trip of reg export and reg import.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/wince.h"
#include "store/store.h"
#include "store/text.h"
#include "tests/support/cli.h"
#include "tests/support/hardening.h"
#include "tests/support/installer_fixture.h"

namespace {

using namespace testing_support;
using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& file, const Bytes& bytes) {
    WriteTextFile(file, std::string(bytes.begin(), bytes.end()));
}

class KnowTest : public ::testing::Test {
protected:
    fs::path NewImage(const std::string& name) {
        const fs::path image = folder_ / name;
        CliResult r = RunCli({"init", image.string()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return image;
    }

    void LoadRegistry(const fs::path& image, const Json& registry) {
        const fs::path file = folder_ / "load.json";
        WriteTextFile(file, registry.dump());
        CliResult r = RunOnImage(image, {"reg", "load", file.string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    void LoadRecords(const fs::path& image, const std::string& database, const Json& records) {
        const fs::path file = folder_ / "records.json";
        WriteTextFile(file, records.dump());
        CliResult r = RunOnImage(image, {"db", "load", "\\storage\\mxip_lang.vol", database, file.string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    Json ExportJson(const fs::path& image) {
        CliResult r = RunOnImage(image, {"reg", "export", "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0 ? Json::parse(r.out) : Json();
    }

    TempFolder folder_;
};

// ---- lint ----------------------------------------------------------------------------------------

TEST_F(KnowTest, LintDemoScriptWritesEverythingWithoutWarnings) {
    const std::string demo = ReadText(fs::path(CEUPDATE_SOURCE_DIR) / "demo/update-src/settings.reg.txt");
    const fs::path script = folder_ / "settings.reg";
    WriteBytes(script, Script(text::FromUtf8(demo)));
    CliResult r = RunCli({"lint", "--json", script.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const Json report = Json::parse(r.out);
    EXPECT_TRUE(report["warnings"].empty());
    ASSERT_EQ(report["writes"].size(), 8u);
    EXPECT_EQ(report["writes"][1],
              (Json{{"line", 5}, {"key", "HKEY_CURRENT_USER\\ControlPanel\\Sounds"}, {"name", "Volume"},
                    {"type", "REG_DWORD"}, {"bytes", "05000000"}}));
    EXPECT_EQ(report["writes"][4]["bytes"], "102030405060708090a0b0c0");
    EXPECT_EQ(report["writes"][4]["line"], 10);
    EXPECT_EQ(report["writes"][7]["name"], "");
}

struct BrokenLine {
    size_t line;
    const char* why;  // a part of the warning
};

TEST_F(KnowTest, LintReportsEveryLineThatIsPassedOver) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\n"     // 1
        u"\n"                                         // 2
        u"[HKEY_CURRENT_USER\\Software\\T]\n"         // 3
        u"\"A\"=DWORD:00000001\n"                     // 4
        u"\"B\" =\"x\"\n"                             // 5
        u"\"C\"=\"open\n"                             // 6
        u"\"D\"=\"ok\"\n"                             // 7
        u"; note\n"                                   // 8
        u"\"E\"=\"lost\"\n"                           // 9
        u"[-HKEY_CURRENT_USER\\Old]\n"                // 10
        u"[HKEY_USERS\\X]\n"                          // 11
        u"[HKEY_LOCAL_MACHINE\\Y]\n"                  // 12
        u"\"" + std::u16string(300, u'n') + u"\"=\"v\"\n"  // 13
        u"\"F\"=hex(2):41,00\n"                       // 14
        u"\"G\"=\"last\"";                            // 15, no LF
    ScriptOptions options;
    options.finalNewline = false;
    const fs::path script = folder_ / "broken.reg";
    WriteBytes(script, Script(text, options));
    CliResult r = RunCli({"lint", "--json", script.string()});
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const Json report = Json::parse(r.out);
    ASSERT_EQ(report["writes"].size(), 2u);
    EXPECT_EQ(report["writes"][0]["line"], 7);
    EXPECT_EQ(report["writes"][1]["line"], 14);
    EXPECT_EQ(report["writes"][1]["type"], "REG_BINARY");

    const BrokenLine expected[] = {
        {4, "data kind not recognised: \"DWORD\" (only lower case is read)"},
        {5, "a space before \"=\""},
        {6, "the text has no closing quote"},
        {9, "the comment that ended the section HKEY_CURRENT_USER\\Software\\T at line 8"},
        {10, "the deletion form"},
        {11, "unknown root \"HKEY_USERS\""},
        {13, "longer than 255 characters"},
        {14, "\"hex(2)\": the type is not read"},
        {15, "the last line has no line feed"},
    };
    for (const BrokenLine& e : expected) {
        bool found = false;
        for (const Json& w : report["warnings"]) {
            found |= w["line"] == e.line && w["why"].get<std::string>().find(e.why) != std::string::npos;
        }
        EXPECT_TRUE(found) << "line " << e.line << ": " << e.why << "\n" << r.out;
    }
    EXPECT_EQ(report["warnings"].size(), std::size(expected)) << r.out;
    EXPECT_EQ(report["warnings"][0],
              (Json{{"line", 4}, {"why", "data kind not recognised: \"DWORD\" (only lower case is read)"}}));

    CliResult textForm = RunCli({"lint", script.string()});
    EXPECT_EQ(textForm.exitCode, 1);
    EXPECT_NE(textForm.out.find("line 4: warning: not written: data kind not recognised: \"DWORD\" (only lower case is read)"), std::string::npos) << textForm.out;
    EXPECT_NE(textForm.out.find("line 8: the comment ends the section"), std::string::npos) << textForm.out;
    EXPECT_NE(textForm.out.find("2 values written, 9 warnings"), std::string::npos) << textForm.out;
}

// Where an over-long header or a stray backslash ends a section, lint says so, and the
// writes are the installer's: nothing of the long header's section, the header after
// the stray backslash opened.
TEST_F(KnowTest, LintWarnsWhereALongHeaderOrAStrayBackslashEndsASection) {
    const std::u16string text =
        u"[HKEY_CURRENT_USER\\A]\n"                                     // 1
        u"\"a\"=\"1\"\n"                                                 // 2
        u"[HKEY_CURRENT_USER\\" + std::u16string(300, u'x') + u"]\n"  // 3
        u"\"b\"=\"2\"\n"                                                 // 4
        u"[HKEY_CURRENT_USER\\B]\n"                                     // 5
        u"\"c\"=hex:01,02,\\\n"                                          // 6
        u"[HKEY_CURRENT_USER\\C]\n"                                     // 7
        u"\"d\"=\"4\"\n";                                                // 8
    const fs::path script = folder_ / "ends.reg";
    WriteBytes(script, Script(text));
    CliResult r = RunCli({"lint", "--json", script.string()});
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const Json report = Json::parse(r.out);
    EXPECT_EQ(report["writes"],
              Json::parse(R"([
        {"line": 2, "key": "HKEY_CURRENT_USER\\A", "name": "a", "type": "REG_SZ", "bytes": "31000000"},
        {"line": 6, "key": "HKEY_CURRENT_USER\\B", "name": "c", "type": "REG_BINARY", "bytes": "0102"},
        {"line": 8, "key": "HKEY_CURRENT_USER\\C", "name": "d", "type": "REG_SZ", "bytes": "34000000"}])"))
        << r.out;
    EXPECT_EQ(report["warnings"],
              Json::parse(R"([
        {"line": 3, "why": "over-long header: its section is passed over"},
        {"line": 4, "why": "value line not written: its section header (longer than 255 characters) was passed over at line 3"},
        {"line": 7, "why": "a stray `\\` before a header: the byte data ends here"}])"))
        << r.out;
}

// What the installer keeps doing as it always did, lint points out: each case one
// warning at its line.
TEST_F(KnowTest, LintWarnsWhereTheInstallerKeepsItsOddWays) {
    ScriptOptions noFinalLineFeed;
    noFinalLineFeed.finalNewline = false;
    const struct {
        std::u16string text;
        ScriptOptions options;
        size_t line;
        const char* why;
    } cases[] = {
        {u"[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n\"b\"=\"y\"", noFinalLineFeed, 3,
         "the last line has no line feed: the installer never reads it"},
        {u"[HKEY_CURRENT_USER\\A]\n\"p\"=\"C:\\\\dir\"\n", {}, 2,
         "the text holds a doubled backslash, which is stored as two backslashes"},
        {u"[HKEY_CURRENT_USER\\A]\n\"e\"=hex(2):41,00\n", {}, 2,
         "\"hex(2)\": the type is not read; the value is written as REG_BINARY"},
        {u"[HKEY_CURRENT_USER\\A]\n\"b\"=hex:0g,01\n", {}, 2,
         "the byte data holds \"g\", not a hex digit; it is turned into a byte all the same"},
        {u"[HKEY_CURRENT_USER\\A]\n\"b\"=hex:01,2,03\n", {}, 2,
         "the byte data holds a byte of one digit, \"2,\": the \",\" is read as its second digit"},
        {u"[HKEY_CURRENT_USER\\A]\n\"b\"=hex:01, 02 ,3\n", {}, 2,
         "the byte data ends in a lone digit, \"3\", which is dropped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const fs::path script = folder_ / "odd.reg";
        WriteBytes(script, Script(c.text, c.options));
        CliResult r = RunCli({"lint", "--json", script.string()});
        ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_EQ(Json::parse(r.out)["warnings"], Json::array({{{"line", c.line}, {"why", c.why}}}))
            << r.out;
    }
}

TEST_F(KnowTest, LintWarnsAboutAScriptThatIsNotUtf16) {
    const fs::path script = folder_ / "utf8.reg";
    WriteTextFile(script, "[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n");
    CliResult r = RunCli({"lint", script.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("not UTF-16 LE"), std::string::npos) << r.out;
}

TEST_F(KnowTest, CommandsExplainThemselvesAndRefuseBadArguments) {
    for (const char* command : {"lint", "diff", "check"}) {
        CliResult help = RunCli({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_NE(help.out.find("Usage"), std::string::npos) << command;
    }
    EXPECT_EQ(RunCli({"reg", "import", "--help"}).exitCode, 0);
    const std::vector<std::vector<std::string>> bad = {
        {"lint", (folder_ / "missing.reg").string()},
        {"diff", (folder_ / "nope").string(), (folder_ / "nope2").string()},
        {"check", "--device", (folder_ / "nope").string(), folder_.path().string()},
        {"reg", "import", "--device", (folder_ / "nope").string(), (folder_ / "x.reg").string()},
        {"lint"},
    };
    for (const auto& args : bad) {
        CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    }
    // An update folder that is a file is called what it is.
    const fs::path image = NewImage("image");
    WriteTextFile(folder_ / "settings.reg", "x");
    const std::string file = (folder_ / "settings.reg").string();
    for (const auto& args : std::vector<std::vector<std::string>>{{"check", file}, {"run", "--yes", file}}) {
        CliResult r = RunOnImage(image, args);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_NE(r.err.find("settings.reg is not a folder"), std::string::npos) << r.err;
    }
}

// ---- diff ------------------------------------------------------------------------------------------

TEST_F(KnowTest, DiffOfEqualImagesIsEmpty) {
    const fs::path a = NewImage("a");
    const fs::path b = NewImage("b");
    CliResult r = RunCli({"diff", a.string(), b.string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "the images are equal\n");
}

// A registry nested deeper than any the phone makes is damaged: the diff says so in one
// line, whichever side it is on and however much of the report was made before.
TEST_F(KnowTest, DiffRefusesARegistryNestedBeyondAnyPhones) {
    const fs::path plain = NewImage("plain");
    const fs::path deep = NewImage("deep");
    LoadRegistry(plain, {{"HKEY_CURRENT_USER\\Software\\T", {{"v", {{"type", "REG_DWORD"}, {"data", 1}}}}}});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store::RegistryFile(deep).c_str(), &db), SQLITE_OK);
    // 1,001 keys, each the only subkey of the one before, under HKEY_CURRENT_USER (id 2).
    const char* nest =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1001) "
        "INSERT INTO keys(id, parent, name, fold) "
        "SELECT 100 + i, CASE i WHEN 1 THEN 2 ELSE 99 + i END, CAST(X'6B00' AS BLOB), CAST(X'6B00' AS BLOB) FROM n";
    ASSERT_EQ(sqlite3_exec(db, nest, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    for (const auto& [before, after] : {std::pair{plain, deep}, std::pair{deep, plain}}) {
        for (const bool json : {false, true}) {
            std::vector<std::string> args{"diff", before.string(), after.string()};
            if (json) args.insert(args.begin() + 1, "--json");
            CliResult r = RunCli(args);
            EXPECT_EQ(r.exitCode, 2) << r.out;
            EXPECT_NE(r.err.find("nests its keys more than 1000 levels deep: it is damaged"), std::string::npos)
                << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}

TEST_F(KnowTest, DiffReportsRegistryAndRecordChanges) {
    const fs::path a = NewImage("a");
    LoadRegistry(a, {{"HKEY_CURRENT_USER\\Software\\T", {{"Keep", {{"type", "REG_SZ"}, {"data", "same"}}},
                                                         {"Count", {{"type", "REG_DWORD"}, {"data", 1}}},
                                                         {"Gone", {{"type", "REG_SZ"}, {"data", "x"}}}}},
                     {"HKEY_CURRENT_USER\\Old", Json::object()}});
    LoadRecords(a, "\\FileNameLang",
                {{"records", {{{"props", {{{"id", 1}, {"type", "CEVT_LPWSTR"}, {"data", "one"}},
                                          {{"id", 2}, {"type", "CEVT_UI4"}, {"data", 7}}}}},
                              {{"props", {{{"id", 1}, {"type", "CEVT_LPWSTR"}, {"data", "two"}}}}}}}});
    const fs::path b = folder_ / "b";
    fs::copy(a, b, fs::copy_options::recursive);
    LoadRegistry(b, {{"HKEY_CURRENT_USER\\Software\\T", {{"Count", {{"type", "REG_DWORD"}, {"data", 2}}},
                                                         {"New", {{"type", "REG_BINARY"}, {"data", "0102"}}}}}});
    ASSERT_EQ(RunOnImage(b, {"reg", "delete", "HKEY_CURRENT_USER\\Software\\T", "Gone"}).exitCode, 0);
    ASSERT_EQ(RunOnImage(b, {"reg", "delete", "HKEY_CURRENT_USER\\Old"}).exitCode, 0);
    std::vector<store::Record> records;
    {
        store::VolumeStore volume(b / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
        const auto db = volume.FindDatabase(u"\\FileNameLang");
        records = volume.Records(db->oid);
        const store::Property changed{(2u << 16) | 19u, {9, 0, 0, 0}};
        volume.SetProperties(records[1].oid, std::span(&changed, 1));
    }
    ASSERT_EQ(RunOnImage(b, {"db", "drop", "\\storage\\mxip_lang.vol", "\\MetaBaseLabels"}).exitCode, 0);

    CliResult r = RunCli({"diff", "--json", a.string(), b.string()});
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const Json d = Json::parse(r.out);
    EXPECT_EQ(d["equal"], false);
    EXPECT_EQ(d["registry"]["keys"]["removed"], Json::array({"HKEY_CURRENT_USER\\Old"}));
    ASSERT_EQ(d["registry"]["values"]["changed"].size(), 1u);
    EXPECT_EQ(d["registry"]["values"]["changed"][0]["name"], "Count");
    EXPECT_EQ(d["registry"]["values"]["changed"][0]["old"]["data"], 1);
    EXPECT_EQ(d["registry"]["values"]["changed"][0]["new"]["data"], 2);
    EXPECT_EQ(d["registry"]["values"]["added"][0]["name"], "New");
    EXPECT_EQ(d["registry"]["values"]["removed"][0]["name"], "Gone");
    EXPECT_EQ(d["databases"]["removed"][0]["database"], "\\MetaBaseLabels");
    ASSERT_EQ(d["records"]["changed"].size(), 1u);
    const Json& change = d["records"]["changed"][0];
    EXPECT_EQ(change["database"], "\\FileNameLang");
    EXPECT_EQ(change["index"], 1);
    EXPECT_EQ(change["oid"], records[1].oid);
    EXPECT_EQ(change["property"], 2);
    EXPECT_TRUE(change["old"].is_null());
    EXPECT_EQ(change["new"]["data"], 9);

    CliResult text = RunCli({"diff", a.string(), b.string()});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_NE(text.out.find("value changed: HKEY_CURRENT_USER\\Software\\T \"Count\": REG_DWORD 1 -> REG_DWORD 2"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("record changed: \\storage\\mxip_lang.vol \\FileNameLang record 1"), std::string::npos);
}

// Names and texts that hold a line break, a NUL or a lone surrogate come out escaped,
// each difference and each note on one line; the default value is @, as reg export
// writes it, and stays "" in JSON.
TEST_F(KnowTest, ReportsPrintEveryNameAndTextOnOneLine) {
    const fs::path a = NewImage("a");
    const fs::path b = folder_ / "b";
    fs::copy(a, b, fs::copy_options::recursive);
    LoadRegistry(b, {{"HKEY_CURRENT_USER\\T", {{"", {{"type", "REG_SZ"}, {"data", "d"}}},
                                               {"two\nlines", {{"type", "REG_SZ"}, {"data", "x"}}},
                                               {"nul", {{"type", "REG_SZ"}, {"bytes", "6100000062000000"}}},
                                               {"it's", {{"type", "REG_SZ"}, {"data", "it's\\\r"}}}}},
                     {"HKEY_CURRENT_USER\\Odd\nKey", Json::object()}});
    CliResult r = RunCli({"diff", a.string(), b.string()});
    ASSERT_EQ(r.exitCode, 1) << r.err;
    const char* const expected[] = {
        "key added: $'HKEY_CURRENT_USER\\\\Odd\\nKey'\n",
        "value added: HKEY_CURRENT_USER\\T @ = REG_SZ \"d\"\n",
        "value added: HKEY_CURRENT_USER\\T \"it's\" = REG_SZ $'it\\'s\\\\\\r'\n",
        "value added: HKEY_CURRENT_USER\\T \"nul\" = REG_SZ $'a\\x00b'\n",
        "value added: HKEY_CURRENT_USER\\T $'two\\nlines' = REG_SZ \"x\"\n",
    };
    for (const char* line : expected) EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_EQ(LineCount(r.out), 7u) << r.out;  // the key T, the key Odd\nKey, 4 values, the count
    const Json json = Json::parse(RunCli({"diff", "--json", a.string(), b.string()}).out);
    EXPECT_EQ(json["registry"]["values"]["added"][0]["name"], "");
    EXPECT_EQ(json["registry"]["keys"]["added"][0], "HKEY_CURRENT_USER\\Odd\nKey");

    const fs::path script = folder_ / "odd.reg";
    WriteBytes(script, Script(u"[HKEY_CURRENT_USER\\T]\n\"a\xD800z\"=\"x\xDC00\"\n@=\"y\"\n"));
    CliResult lint = RunCli({"lint", script.string()});
    ASSERT_EQ(lint.exitCode, 0) << lint.out << lint.err;
    EXPECT_NE(lint.out.find("line 2: write $'a\\uD800z' REG_SZ 6 bytes: $'x\\uDC00'\n"), std::string::npos)
        << lint.out;
    EXPECT_NE(lint.out.find("line 3: write @ (the default value) REG_SZ 4 bytes: \"y\"\n"), std::string::npos)
        << lint.out;
}

// ---- check -----------------------------------------------------------------------------------------

class CheckTest : public KnowTest {
protected:
    void SetUp() override {
        image_ = NewImage("image");
        LoadRecords(image_, "\\FileNameLang",
                    {{"records", {{{"props", {{{"id", 1}, {"type", "CEVT_LPWSTR"}, {"data", "Notes"}}}}}}}});
        update_ = folder_ / "update";
        fs::create_directories(update_);
    }

    void Patch(const std::string& name, const Json& entries) {
        const fs::path json = folder_ / "patch.json";
        WriteTextFile(json, Json{{"entries", entries}}.dump());
        CliResult r = RunCli({"patch", "build", json.string(), (update_ / name).string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    static Json Entry(const char* key, uint32_t value) {
        return {{"key", {{"id", 1}, {"type", "CEVT_LPWSTR"}, {"data", key}}},
                {"value", {{"id", 2}, {"type", "CEVT_UI4"}, {"data", value}}}};
    }

    CliResult Check(bool json = true) {
        std::vector<std::string> args{"check"};
        if (json) args.push_back("--json");
        args.push_back(update_.string());
        return RunOnImage(image_, args);
    }

    fs::path image_;
    fs::path update_;
};

TEST_F(CheckTest, ShowsTheChangesAndLeavesTheImageAlone) {
    WriteBytes(update_ / "a.reg", Script(u"[HKEY_CURRENT_USER\\Software\\T]\n\"Count\"=dword:1a\n"));
    Patch("FileNameLang.dat", Json::array({Entry("notes", 5)}));
    const Fingerprint before = FolderFingerprint(image_);
    CliResult r = Check();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(FolderFingerprint(image_), before);
    const Json c = Json::parse(r.out);
    EXPECT_EQ(c["passed_over"], 0);
    bool countAdded = false;
    for (const Json& v : c["diff"]["registry"]["values"]["added"]) countAdded |= v["name"] == "Count" && v["data"] == 26;
    EXPECT_TRUE(countAdded) << r.out;
    bool launch = false;
    for (const Json& v : c["diff"]["registry"]["values"]["added"]) {
        launch |= v["name"] == "Launch25" && v["data"] == "\\Storage Card\\Brindel.exe";
    }
    EXPECT_TRUE(launch) << r.out;
    ASSERT_EQ(c["diff"]["records"]["changed"].size(), 1u);
    EXPECT_EQ(c["diff"]["records"]["changed"][0]["new"]["data"], 5);
    EXPECT_EQ(c["scripts"][0]["file"], "a.reg");
    EXPECT_EQ(c["patches"][0]["present"], true);
    EXPECT_EQ(c["patches"][1]["present"], false);

    CliResult text = Check(false);
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("no MetabaseOptions.dat in the update folder"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("nothing is passed over"), std::string::npos) << text.out;
    EXPECT_EQ(FolderFingerprint(image_), before);
}

TEST_F(CheckTest, SaysWhatTheInstallerPassesOver) {
    WriteBytes(update_ / "b.reg", Script(u"[HKEY_CURRENT_USER\\T]\n\"x\"=\"1\"\n"));
    WriteBytes(update_ / "a.reg", Script(u"[HKEY_CURRENT_USER\\T]\n\"A\"=DWORD:1\n"));
    Patch("FileNameLang.dat", Json::array({Entry("nothing like it", 5), Entry("Notes", 6)}));
    const Fingerprint before = FolderFingerprint(image_);
    CliResult r = Check();
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const Json c = Json::parse(r.out);
    ASSERT_EQ(c["scripts"].size(), 2u);
    EXPECT_EQ(c["scripts"][0]["file"], "a.reg");  // the installer's order
    EXPECT_EQ(c["scripts"][0]["warnings"][0]["line"], 2);
    EXPECT_TRUE(c["scripts"][1]["warnings"].empty());
    EXPECT_EQ(c["patches"][0]["unmatched"], Json::array({1}));
    EXPECT_EQ(c["passed_over"], 2);
    EXPECT_EQ(FolderFingerprint(image_), before);
}

// Files of the update folder that the installer never takes are passed over, with why:
// names that differ only in case (the platform finds neither) and paths longer than
// the installer builds.
TEST_F(CheckTest, SaysWhyTheInstallerNeverTakesAFile) {
    const std::u16string script = u"[HKEY_CURRENT_USER\\T]\n\"x\"=dword:1\n";
    WriteBytes(update_ / "a.reg", Script(script));
    WriteBytes(update_ / "A.REG", Script(script));
    WriteBytes(update_ / "b.Reg", Script(script));
    CliResult r = Check();
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    Json c = Json::parse(r.out);
    const std::string twin = "another file's name differs from it only in case: the installer finds neither";
    EXPECT_EQ(c["scripts"], Json::parse(R"([{"file": "b.Reg", "opened": true, "writes": [{"line": 2,
        "key": "HKEY_CURRENT_USER\\T", "name": "x", "type": "REG_DWORD", "bytes": "01000000"}], "warnings": []},
        {"file": "A.REG", "opened": false, "why": ")" + twin + R"("},
        {"file": "a.reg", "opened": false, "why": ")" + twin + R"("}])"));
    EXPECT_EQ(c["passed_over"], 2);

    // The update folder inside the image, as deep as run takes it: its path leaves room
    // for the installer's own name, not for the script's or the patch file's.
    fs::path inside = image_;
    size_t length = 0;
    while (length < 248) {
        const std::string part(std::min<size_t>(100, 248 - length - 1), 'd');
        inside /= part;
        length += 1 + part.size();
    }
    ASSERT_EQ(length, 248u);
    fs::create_directories(inside);
    WriteBytes(inside / "settings.reg", Script(script));
    Patch("FileNameLang.dat", Json::array({Entry("Notes", 1)}));
    fs::copy_file(update_ / "FileNameLang.dat", inside / "FileNameLang.dat");
    r = RunOnImage(image_, {"check", "--json", inside.string()});
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    c = Json::parse(r.out);
    EXPECT_EQ(c["scripts"], Json::parse(R"([{"file": "settings.reg", "opened": false,
        "why": "its path is 261 characters long; the installer builds none longer than 259"}])"));
    EXPECT_EQ(c["patches"][0]["why"], "its path is 265 characters long; the installer builds none longer than 259");
}

TEST_F(CheckTest, PatchFilesAreNotAppliedWithoutTheLanguageVolume) {
    Patch("MetabaseLabels.dat", Json::array({Entry("Notes", 1)}));
    ASSERT_EQ(RunOnImage(image_, {"unmount", "\\storage\\mxip_lang.vol"}).exitCode, 0);
    CliResult r = Check();
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const Json c = Json::parse(r.out);
    EXPECT_EQ(c["patches"][2]["applied"], false);
    EXPECT_NE(c["patches"][2]["why"].get<std::string>().find("not mounted"), std::string::npos);
}

TEST_F(CheckTest, AnUpdateFolderInsideTheImageKeepsItsPath) {
    update_ = image_ / "upd";
    fs::create_directories(update_);
    WriteBytes(update_ / "a.reg", Script(u"[HKEY_CURRENT_USER\\T]\n\"x\"=\"1\"\n"));
    const Fingerprint before = FolderFingerprint(image_);
    CliResult r = Check();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\\\\upd\\\\Brindel.exe"), std::string::npos) << r.out;
    EXPECT_EQ(FolderFingerprint(image_), before);
}

// Mended: at the image's root the installer's folder was taken to be "\Update.exe",
// so check found no patch files there.
TEST_F(CheckTest, AnUpdateFolderAtTheImageRoot) {
    update_ = image_;
    WriteBytes(update_ / "a.reg", Script(u"[HKEY_CURRENT_USER\\T]\n\"x\"=\"1\"\n"));
    Patch("MetabaseLabels.dat", Json::array({Entry("Notes", 1)}));
    ASSERT_EQ(RunOnImage(image_, {"unmount", "\\storage\\mxip_lang.vol"}).exitCode, 0);
    CliResult r = Check();
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const Json c = Json::parse(r.out);
    ASSERT_EQ(c["scripts"].size(), 1u);
    EXPECT_EQ(c["scripts"][0]["file"], "a.reg");
    EXPECT_EQ(c["patches"][2]["present"], true) << r.out;
    EXPECT_EQ(c["patches"][2]["applied"], false);
    EXPECT_NE(c["patches"][2]["why"].get<std::string>().find("not mounted"), std::string::npos);
    bool launch = false;
    for (const Json& v : c["diff"]["registry"]["values"]["added"]) {
        launch |= v["name"] == "Launch25" && v["data"] == "\\Brindel.exe";
    }
    EXPECT_TRUE(launch) << r.out;
}

// The dry run runs the installer once: with CEUPDATE_TRACE, every device ceupdate
// binds traces its writes, and check's trace holds exactly the writes of run.
TEST_F(CheckTest, RunsTheInstallerOnceMakingTheWritesRunMakes) {
    WriteBytes(update_ / "a.reg", Script(u"[HKEY_CURRENT_USER\\T]\n\"x\"=\"1\"\n\"y\"=dword:2\n"));
    WriteBytes(update_ / "b.reg", Script(u"[HKEY_LOCAL_MACHINE\\Software\\Б]\n@=hex:01,02\n"));
    Patch("FileNameLang.dat", Json::array({Entry("notes", 5), Entry("nothing like it", 6)}));
    const fs::path checkTrace = folder_ / "check.trace";
    ASSERT_EQ(RunCliWithin({"check", "--device", image_.string(), update_.string()}, 120,
                           {{"CEUPDATE_TRACE", checkTrace.string()}}),
              1);
    const fs::path runTrace = folder_ / "run.trace";
    ASSERT_EQ(RunCliWithin({"run", "--yes", "--device", image_.string(), update_.string()}, 120,
                           {{"CEUPDATE_TRACE", runTrace.string()}}),
              0);
    const std::string writes = ReadText(runTrace);
    // Keys T, Software and Software\Б, values x, y and @, the record, three launch values.
    EXPECT_EQ(LineCount(writes), 10u) << writes;
    EXPECT_EQ(ReadText(checkTrace), writes);
}

// ---- reg import -------------------------------------------------------------------------------------

TEST_F(KnowTest, RegImportReadsTheFullSyntax) {
    const fs::path image = NewImage("image");
    LoadRegistry(image, {{"HKEY_CURRENT_USER\\Doomed\\Child", {{"v", {{"type", "REG_SZ"}, {"data", "x"}}}}},
                         {"HKEY_CURRENT_USER\\Keep", {{"Drop", {{"type", "REG_SZ"}, {"data", "x"}}}}}});
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\n"
        u"\n"
        u"; a comment\n"
        u"[-HKEY_CURRENT_USER\\Doomed]\n"
        u"[HKEY_CURRENT_USER\\Keep]\n"
        u"\"Drop\"=-\n"
        u"@=\"default\"\n"
        u"\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\n"
        u"\"Num\"=dword:0000001a\n"
        u"\"Bin\"=hex:01,02,\\\n"
        u"  03,04\n"
        u"\"Exp\"=hex(2):25,00,54,00,00,00\n"
        u"\"Multi\"=hex(7):61,00,00,00,00,00\n"
        u"\"None\"=hex(0):\n"
        u"\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
        u"\"Имя\"=\"Весна\"\n";
    const fs::path file = folder_ / "full.reg";
    WriteBytes(file, Script(text));  // UTF-16 LE with BOM and CR LF
    CliResult r = RunOnImage(image, {"reg", "import", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Json reg = ExportJson(image);
    EXPECT_FALSE(reg.contains("HKEY_CURRENT_USER\\Doomed"));
    EXPECT_FALSE(reg.contains("HKEY_CURRENT_USER\\Doomed\\Child"));
    const Json& keep = reg["HKEY_CURRENT_USER\\Keep"];
    EXPECT_FALSE(keep.contains("Drop"));
    EXPECT_EQ(keep[""]["data"], "default");
    EXPECT_EQ(keep["Path"]["data"], "C:\\dir\\\"q\"");
    EXPECT_EQ(keep["Num"]["data"], 26);
    EXPECT_EQ(keep["Bin"]["bytes"], "01020304");
    EXPECT_EQ(keep["Exp"]["type"], "REG_EXPAND_SZ");
    EXPECT_EQ(keep["Multi"]["type"], "REG_MULTI_SZ");
    EXPECT_EQ(keep["None"]["type"], "REG_NONE");
    EXPECT_EQ(keep["Q"]["type"], "REG_QWORD");
    EXPECT_EQ(keep["Имя"]["data"], "Весна");

    // The same as UTF-8 without BOM and with the old header.
    const fs::path image2 = NewImage("image2");
    const fs::path utf8 = folder_ / "old.reg";
    WriteTextFile(utf8, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Soft]\r\n\"a\"=\"b\"\r\n");
    ASSERT_EQ(RunOnImage(image2, {"reg", "import", utf8.string()}).exitCode, 0);
    EXPECT_EQ(ExportJson(image2)["HKEY_LOCAL_MACHINE\\Soft"]["a"]["data"], "b");
}

struct MalformedCase {
    const char* line;
    const char* why;
};

const MalformedCase kMalformed[] = {
    {"[HKEY_CURRENT_USER\\A", "no closing \"]\""},
    {"[HKEY_NOWHERE\\A]", "unknown root"},
    {"[HKEY_CURRENT_USER\\A\\\\B]", "an empty key name"},
    {"\"a\"=dword:1g", "text after the dword's digits"},
    {"\"a\"=dword:", "one to eight"},
    {"\"a\"=dword:123456789", "one to eight"},
    {"\"a\"=hex:1,02", "two hex digits"},
    {"\"a\"=hex(zz):01", "hex(N)"},
    {"\"a\"=str:x", "data kind not recognised"},
    {"\"a\"=\"open", "no closing quote"},
    {"\"a\"=\"x\" junk", "text after the closing quote"},
    {"\"a\"=\"bad \\q\"", "backslash"},
    {"\"a\" \"x\"", "no \"=\""},
    {"junk", "neither a key"},
};

TEST_F(KnowTest, RegImportReportsEveryMalformedLineAndWritesNothing) {
    const fs::path image = NewImage("image");
    std::string text = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Good]\n\"ok\"=\"1\"\n";
    for (const MalformedCase& c : kMalformed) text += "[HKEY_CURRENT_USER\\Good]\n" + std::string(c.line) + "\n";
    const fs::path file = folder_ / "bad.reg";
    WriteTextFile(file, text);
    const Json before = ExportJson(image);
    CliResult r = RunOnImage(image, {"reg", "import", file.string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(ExportJson(image), before);
    for (size_t i = 0; i < std::size(kMalformed); ++i) {
        const std::string where = file.string() + ":" + std::to_string(5 + 2 * i) + ": ";
        const size_t at = r.err.find(where);
        ASSERT_NE(at, std::string::npos) << kMalformed[i].line << "\n" << r.err;
        const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
        EXPECT_NE(line.find(kMalformed[i].why), std::string::npos) << line;
    }
    EXPECT_EQ(LineCount(r.err), std::size(kMalformed) + 1) << r.err;

    CliResult forced = RunOnImage(image, {"reg", "import", "--force", file.string()});
    EXPECT_EQ(forced.exitCode, 1) << forced.err;
    EXPECT_EQ(ExportJson(image)["HKEY_CURRENT_USER\\Good"]["ok"]["data"], "1");
}

// ---- export and import round trip -------------------------------------------------------------------

void ExpectRoundTrip(KnowTest& t, const fs::path& source, const fs::path& target, const fs::path& file) {
    CliResult exported = RunOnImage(source, {"reg", "export"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    WriteTextFile(file, exported.out);
    CliResult imported = RunOnImage(target, {"reg", "import", file.string()});
    ASSERT_EQ(imported.exitCode, 0) << imported.err << exported.out;
    (void)t;
}

TEST_F(KnowTest, ExportThenImportGivesTheSameRegistryForTheDemoSeed) {
    const fs::path source = NewImage("source");
    const fs::path seed = fs::path(CEUPDATE_SOURCE_DIR) / "demo/seed/registry.json";
    ASSERT_EQ(RunOnImage(source, {"reg", "load", seed.string()}).exitCode, 0);
    const fs::path target = NewImage("target");
    ExpectRoundTrip(*this, source, target, folder_ / "demo.reg");
    EXPECT_EQ(ExportJson(target), ExportJson(source));
}

TEST_F(KnowTest, ExportThenImportGivesTheSameRegistryForEveryKindOfValue) {
    const fs::path source = NewImage("source");
    {
        // Written through the store: every type with every shape of data, also those
        // the JSON form refuses (a REG_DWORD of 0 or 2 bytes).
        store::RegistryStore registry(store::RegistryFile(source), store::Mode::ReadWrite);
        using Registry = store::RegistryStore;
        const Registry::KeyId software = registry.AddSubkey(Registry::kCurrentUser, u"Software");
        const Registry::KeyId all = registry.AddSubkey(software, u"All");
        const Bytes shapes[] = {{}, {0}, {0x41, 0}, {0x41, 0, 0, 0}, {0x41, 0, 0, 0, 0x42, 0}, {0xff, 0xff},
                                {1, 2, 3, 4, 5, 6, 7, 8}, {0x1a, 0, 0, 0},
                                {0x1f, 0x04, 0x40, 0x04, 0x38, 0x04, 0, 0}, {0x0a, 0, 0x41, 0, 0, 0},
                                {0x00, 0xd8, 0, 0}};
        for (uint32_t type : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 4096u, 0xffffffffu}) {
            for (size_t i = 0; i < std::size(shapes); ++i) {
                const std::string name = "t" + std::to_string(type) + "_" + std::to_string(i);
                registry.SetValue(all, std::u16string(name.begin(), name.end()), type, shapes[i]);
            }
        }
        registry.SetValue(all, u"", REG_SZ, TextValueBytes(u"default"));
        registry.SetValue(all, u"@", REG_SZ, TextValueBytes(u"at sign"));
        registry.SetValue(all, u"quote\"back\\slash", REG_SZ, TextValueBytes(u"C:\\dir\\\"x\"\\"));
        registry.SetValue(all, u"Имя = ; [x]", REG_SZ, TextValueBytes(u"Весна \"ёж\""));
        registry.SetValue(all, u"wide", REG_BINARY, Bytes(150, 0xaa));
        const Registry::KeyId odd = registry.AddSubkey(registry.AddSubkey(Registry::kLocalMachine, u"Ключ"), u" a b ]c");
        registry.SetValue(odd, u"x", REG_DWORD, NumberValueBytes(7));
        registry.AddSubkey(Registry::kClassesRoot, u"Empty");
        registry.SetValue(registry.AddSubkey(Registry::kUsers, u"U"), u"", REG_SZ, TextValueBytes(u""));
        registry.SetValue(Registry::kCurrentUser, u"OnRoot", REG_SZ, TextValueBytes(u"r"));
    }
    const fs::path target = NewImage("target");
    ExpectRoundTrip(*this, source, target, folder_ / "all.reg");
    EXPECT_EQ(ExportJson(target), ExportJson(source));
}

}  // namespace
