// End to end through the ceupdate binary: db load/dump round trips of every property
// type, db drop, db list, mount/unmount, and every bad input leaving the image as it
// was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include <nlohmann/json.hpp>

#include "platform/wince.h"
#include "store/store.h"
#include "tests/support/cli.h"

namespace {

using namespace testing_support;
using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

constexpr const char* kVolume = "\\storage\\mxip_lang.vol";

class CliDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = folder_ / "image";
        CliResult init = RunCli({"init", image_.string()});
        ASSERT_EQ(init.exitCode, 0) << init.err;
    }

    CliResult Run(std::vector<std::string> args) { return RunOnImage(image_, std::move(args)); }

    void Load(const std::string& database, const Json& records, const std::string& volume = kVolume) {
        fs::path file = folder_ / "records.json";
        WriteTextFile(file, records.dump());
        CliResult r = Run({"db", "load", volume, database, file.string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    Json Dump(const std::string& database, const std::string& volume = kVolume) {
        CliResult r = Run({"db", "dump", "--json", volume, database});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0 ? Json::parse(r.out) : Json();
    }

    std::string List() {
        CliResult r = Run({"db", "list"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    // The records as stored, read through the store layer itself.
    std::vector<store::Record> StoredRecords(const std::string& database) {
        store::VolumeStore volume(image_ / "storage" / "mxip_lang.vol", store::Mode::ReadOnly);
        auto info = volume.FindDatabase(std::u16string(database.begin(), database.end()));
        EXPECT_TRUE(info.has_value());
        return info ? volume.Records(info->oid) : std::vector<store::Record>{};
    }

    TempFolder folder_;
    fs::path image_;
};

Json Records(std::initializer_list<Json> propsPerRecord) {
    Json records = Json::array();
    for (const Json& props : propsPerRecord) records.push_back({{"props", props}});
    return {{"records", records}};
}

Json Prop(int id, const char* type, const Json& data) {
    return {{"id", id}, {"type", type}, {"data", data}};
}

std::vector<uint8_t> Le(uint64_t value, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

std::vector<uint8_t> R8(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return Le(bits, 8);
}

// ---- Round trips ----------------------------------------------------------------------

struct PropCase {
    const char* label;
    Json input;                  // the property as loaded
    Json dumped;                 // its data as dumped
    std::vector<uint8_t> bytes;  // as stored
};

std::vector<PropCase> PropCases() {
    return {
        {"i2 min", Prop(1, "CEVT_I2", -32768), -32768, Le(0x8000, 2)},
        {"i2 max", Prop(2, "CEVT_I2", 32767), 32767, Le(0x7fff, 2)},
        {"ui2 max", Prop(3, "CEVT_UI2", 65535), 65535, Le(0xffff, 2)},
        {"i4 min", Prop(4, "CEVT_I4", -2147483648LL), -2147483648LL, Le(0x80000000u, 4)},
        {"i4 -1", Prop(5, "CEVT_I4", -1), -1, Le(0xffffffffu, 4)},
        {"ui4 max", Prop(6, "CEVT_UI4", 4294967295u), 4294967295u, Le(0xffffffffu, 4)},
        {"filetime 64-bit", Prop(7, "CEVT_FILETIME", 133444736000000000ull), 133444736000000000ull,
         Le(133444736000000000ull, 8)},
        {"filetime max", Prop(8, "CEVT_FILETIME", 18446744073709551615ull), 18446744073709551615ull,
         Le(18446744073709551615ull, 8)},
        {"r8 fraction", Prop(9, "CEVT_R8", 0.1), 0.1, R8(0.1)},
        {"r8 negative zero", Prop(10, "CEVT_R8", -0.0), -0.0, R8(-0.0)},
        {"r8 tiny", Prop(11, "CEVT_R8", 5e-324), 5e-324, R8(5e-324)},
        {"r8 whole", Prop(12, "CEVT_R8", 3), 3.0, R8(3.0)},
        {"r8 infinity", Prop(13, "CEVT_R8", "-Infinity"), "-Infinity", R8(-INFINITY)},
        {"bool true", Prop(14, "CEVT_BOOL", true), true, Le(1, 4)},
        {"bool false", Prop(15, "CEVT_BOOL", false), false, Le(0, 4)},
        {"text", Prop(16, "CEVT_LPWSTR", "Notes"), "Notes", {'N', 0, 'o', 0, 't', 0, 'e', 0, 's', 0}},
        {"cyrillic text", Prop(17, "CEVT_LPWSTR", "Да"), "Да", {0x14, 0x04, 0x30, 0x04}},
        {"empty text", Prop(18, "CEVT_LPWSTR", ""), "", {}},
        {"blob", Prop(19, "CEVT_BLOB", "00FF7a"), "00ff7a", {0x00, 0xff, 0x7a}},
        {"empty blob", Prop(20, "CEVT_BLOB", ""), "", {}},
        {"highest id", Prop(65535, "CEVT_UI4", 1), 1, Le(1, 4)},
        {"type by number", {{"id", 21}, {"type", CEVT_UI2}, {"data", 5}}, 5, Le(5, 2)},
    };
}

TEST_F(CliDbTest, EveryPropertyTypeLoadsDumpsAndIsStoredCanonically) {
    std::vector<PropCase> cases = PropCases();
    Json props = Json::array();
    for (const PropCase& c : cases) props.push_back(c.input);
    Load("\\FileNameLang", Records({props}));

    Json dumped = Dump("\\FileNameLang");
    ASSERT_EQ(dumped["records"].size(), 1u);
    Json got = dumped["records"][0]["props"];
    std::vector<store::Record> stored = StoredRecords("\\FileNameLang");
    ASSERT_EQ(stored.size(), 1u);
    ASSERT_EQ(got.size(), cases.size());
    ASSERT_EQ(stored[0].props.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].label);
        EXPECT_EQ(got[i]["id"], cases[i].input["id"]);
        uint16_t type = static_cast<uint16_t>(stored[0].props[i].propid & 0xffff);
        if (cases[i].input["type"].is_string()) {
            EXPECT_EQ(got[i]["type"], cases[i].input["type"]);
        }
        EXPECT_EQ(got[i]["type"].is_string(), true);
        EXPECT_EQ(stored[0].props[i].propid >> 16, cases[i].input["id"].get<uint32_t>());
        EXPECT_NE(type, 0);
        EXPECT_EQ(got[i]["data"], cases[i].dumped);
        EXPECT_EQ(stored[0].props[i].bytes, cases[i].bytes);
    }
    // The sign of a negative zero survives the text form.
    EXPECT_TRUE(std::signbit(got[9]["data"].get<double>()));
}

TEST_F(CliDbTest, NotANumberSurvivesTheRoundTrip) {
    Load("\\FileNameLang", Records({Json::array({Prop(1, "CEVT_R8", "NaN")})}));
    Json prop = Dump("\\FileNameLang")["records"][0]["props"][0];
    EXPECT_EQ(prop["data"], "NaN");
    double stored;
    std::memcpy(&stored, StoredRecords("\\FileNameLang")[0].props[0].bytes.data(), 8);
    EXPECT_TRUE(std::isnan(stored));
}

TEST_F(CliDbTest, DumpedRecordsLoadIntoAnotherDatabaseInTheSameOrder) {
    Json first = Records({Json::array({Prop(1, "CEVT_LPWSTR", "Привет"), Prop(2, "CEVT_UI4", 7)}),
                          Json::array(),
                          Json::array({Prop(9, "CEVT_BLOB", "00ff"), Prop(1, "CEVT_LPWSTR", "B")}),
                          Json::array({Prop(1, "CEVT_LPWSTR", "A"), Prop(3, "CEVT_R8", 2.5),
                                       Prop(4, "CEVT_FILETIME", 1)})});
    Load("\\MetaBaseLabels", first);
    Json dumped = Dump("\\MetaBaseLabels");
    ASSERT_EQ(dumped["records"].size(), 4u);

    fs::path file = folder_ / "dump.json";
    WriteTextFile(file, dumped.dump());
    CliResult r = Run({"db", "load", kVolume, "\\Copy", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Json copy = Dump("\\Copy");

    ASSERT_EQ(copy["records"].size(), dumped["records"].size());
    std::vector<uint32_t> oids;
    for (size_t i = 0; i < copy["records"].size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(copy["records"][i]["props"], dumped["records"][i]["props"]);
        EXPECT_EQ(dumped["records"][i]["props"], first["records"][i]["props"]);
        oids.push_back(dumped["records"][i]["oid"]);
        oids.push_back(copy["records"][i]["oid"]);
    }
    // The loaded "oid" is ignored: every record has an id of its own in the volume.
    std::sort(oids.begin(), oids.end());
    EXPECT_EQ(std::adjacent_find(oids.begin(), oids.end()), oids.end());
    EXPECT_NE(oids.front(), 0u);
}

TEST_F(CliDbTest, DumpJsonHasTheDocumentedLayout) {
    Load("\\FileNameLang", Records({Json::array({Prop(1, "CEVT_LPWSTR", "Notes"), Prop(2, "CEVT_UI4", 7)}),
                                    Json::array()}));
    std::vector<store::Record> stored = StoredRecords("\\FileNameLang");
    ASSERT_EQ(stored.size(), 2u);
    CliResult r = Run({"db", "dump", "--json", kVolume, "\\filenamelang"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\"records\": [\n"
                     "  {\"oid\": " + std::to_string(stored[0].oid) + ", \"props\": [\n"
                     "    {\"id\": 1, \"type\": \"CEVT_LPWSTR\", \"data\": \"Notes\"},\n"
                     "    {\"id\": 2, \"type\": \"CEVT_UI4\", \"data\": 7}\n"
                     "  ]},\n"
                     "  {\"oid\": " + std::to_string(stored[1].oid) + ", \"props\": []}\n"
                     "]}\n");
    r = Run({"db", "dump", "--json", kVolume, "\\MetaBaseOptions"});
    EXPECT_EQ(r.out, "{\"records\": []}\n");
}

TEST_F(CliDbTest, TextDumpShowsRecordsInOrder) {
    Load("\\FileNameLang", Records({Json::array({Prop(1, "CEVT_LPWSTR", "Привет"), Prop(9, "CEVT_BLOB", "0a")}),
                                    Json::array({Prop(2, "CEVT_BOOL", true)})}));
    std::vector<store::Record> stored = StoredRecords("\\FileNameLang");
    CliResult r = Run({"db", "dump", "\\STORAGE\\MXIP_LANG.VOL", "\\FileNameLang"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "\\FileNameLang in \\STORAGE\\MXIP_LANG.VOL: 2 records\n"
                     "record 1 (oid " + std::to_string(stored[0].oid) + ")\n"
                     "  id 1 CEVT_LPWSTR \"Привет\"\n"
                     "  id 9 CEVT_BLOB hex:0a\n"
                     "record 2 (oid " + std::to_string(stored[1].oid) + ")\n"
                     "  id 2 CEVT_BOOL true\n");
}

TEST_F(CliDbTest, LoadAppendsToTheDatabaseOfTheSameNameIgnoringCase) {
    Load("\\FileNameLang", Records({Json::array({Prop(1, "CEVT_UI4", 1)})}));
    Load("\\FILENAMELANG", Records({Json::array({Prop(1, "CEVT_UI4", 2)}),
                                    Json::array({Prop(1, "CEVT_UI4", 3)})}));
    Json records = Dump("\\filenamelang")["records"];
    ASSERT_EQ(records.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(records[i]["props"][0]["data"], i + 1);
    EXPECT_NE(List().find("  \\FileNameLang: 3 records\n"), std::string::npos);
}

// ---- db list, db drop, mount, unmount -----------------------------------------------------

TEST_F(CliDbTest, ListShowsTheFreshImage) {
    EXPECT_EQ(List(), "\\storage\\mxip_lang.vol (mounted)\n"
                      "  \\FileNameLang: 0 records\n"
                      "  \\MetaBaseOptions: 0 records\n"
                      "  \\MetaBaseLabels: 0 records\n");
}

TEST_F(CliDbTest, DropDeletesOneDatabase) {
    Load("\\MetaBaseLabels", Records({Json::array({Prop(1, "CEVT_UI4", 1)})}));
    CliResult r = Run({"db", "drop", "\\Storage\\Mxip_Lang.vol", "\\metabaselabels"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(List(), "\\storage\\mxip_lang.vol (mounted)\n"
                      "  \\FileNameLang: 0 records\n"
                      "  \\MetaBaseOptions: 0 records\n");
    r = Run({"db", "dump", kVolume, "\\MetaBaseLabels"});
    EXPECT_EQ(r.exitCode, 2);
}

TEST_F(CliDbTest, EveryVolumeFileIsListedAndMountingChangesOnlyTheTable) {
    fs::create_directories(image_ / "Data");
    fs::copy_file(image_ / "storage" / "mxip_lang.vol", image_ / "Data" / "Second.vol");
    WriteTextFile(image_ / "Data" / "notes.txt", "not a volume");
    Load("\\FileNameLang", Records({Json::array({Prop(1, "CEVT_UI4", 1)})}), "\\data\\second.vol");

    std::string second = "\\Data\\Second.vol (not mounted)\n"
                         "  \\FileNameLang: 1 record\n"
                         "  \\MetaBaseOptions: 0 records\n"
                         "  \\MetaBaseLabels: 0 records\n";
    std::string language = "\\storage\\mxip_lang.vol (mounted)\n"
                           "  \\FileNameLang: 0 records\n"
                           "  \\MetaBaseOptions: 0 records\n"
                           "  \\MetaBaseLabels: 0 records\n";
    EXPECT_EQ(List(), second + language);

    CliResult r = Run({"mount", "\\DATA\\SECOND.VOL"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "mounted \\Data\\Second.vol\n");
    r = Run({"unmount", "\\STORAGE\\mxip_lang.vol"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto replace = [](std::string text, const std::string& from, const std::string& to) {
        return text.replace(text.find(from), from.size(), to);
    };
    EXPECT_EQ(List(), replace(second, "(not mounted)", "(mounted)") +
                          replace(language, "(mounted)", "(not mounted)"));

    store::MountTable mounts(store::MountsFile(image_), store::Mode::ReadOnly);
    std::vector<store::Mount> list = mounts.List();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].volumePath, u"\\Data\\Second.vol");

    // Mounting twice is harmless; the records were never touched.
    EXPECT_EQ(Run({"mount", "\\data\\second.vol"}).exitCode, 0);
    EXPECT_EQ(mounts.List().size(), 1u);
    EXPECT_EQ(Dump("\\FileNameLang", "\\Data\\Second.vol")["records"].size(), 1u);
}

TEST_F(CliDbTest, AMountedVolumeWithoutItsFileIsListedAsSuch) {
    fs::remove(image_ / "storage" / "mxip_lang.vol");
    EXPECT_EQ(List(), "\\storage\\mxip_lang.vol (mounted, but the volume file is missing)\n");
    CliResult r = Run({"unmount", kVolume});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(List(), "no volumes\n");
}

// ---- Bad input ------------------------------------------------------------------------------

struct BadCase {
    const char* label;
    std::vector<std::string> args;  // "FILE" stands for the input file
    const char* input;              // the input file's text
};

std::string PropsJson(const std::string& props) {
    return R"({"records": [{"props": [{"id": 1, "type": "CEVT_UI4", "data": 1}]}, {"props": [)" +
           props + "]}]}";
}

const std::vector<BadCase>& BadCases() {
    static const std::vector<std::string> load = {"db", "load", kVolume, "\\FileNameLang", "FILE"};
    static const std::vector<BadCase> cases = {
        {"malformed json", load, R"({"records": [)"},
        {"not an object", load, R"([])"},
        {"no records", load, R"({})"},
        {"records not a list", load, R"({"records": {}})"},
        {"unknown member", load, R"({"records": [], "extra": 1})"},
        {"record without props", load, R"({"records": [{"oid": 1}]})"},
        {"record with unknown member", load, R"({"records": [{"props": [], "flags": 0}]})"},
        {"property not an object", load, nullptr},
        {"unknown type", load, nullptr},
        {"type not a property type", load, nullptr},
        {"id too large", load, nullptr},
        {"negative id", load, nullptr},
        {"no id", load, nullptr},
        {"no data", load, nullptr},
        {"i2 too large", load, nullptr},
        {"i2 too small", load, nullptr},
        {"ui2 negative", load, nullptr},
        {"i4 too large", load, nullptr},
        {"ui4 2^32", load, nullptr},
        {"ui4 negative", load, nullptr},
        {"ui4 fraction", load, nullptr},
        {"filetime 2^64", load, nullptr},
        {"filetime negative", load, nullptr},
        {"r8 as text", load, nullptr},
        {"bool as number", load, nullptr},
        {"text with nul", load, nullptr},
        {"text as number", load, nullptr},
        {"blob not hex", load, nullptr},
        {"blob odd length", load, nullptr},
        {"repeated property", load, nullptr},
        {"missing volume", {"db", "load", "\\storage\\nothing.vol", "\\FileNameLang", "FILE"},
         R"({"records": []})"},
        {"volume in a missing folder", {"db", "load", "\\nowhere\\x.vol", "\\X", "FILE"},
         R"({"records": []})"},
        {"volume path leaving the image", {"db", "load", "\\..\\x.vol", "\\X", "FILE"},
         R"({"records": []})"},
        {"relative volume path", {"db", "load", "storage\\mxip_lang.vol", "\\X", "FILE"},
         R"({"records": []})"},
        {"a folder as volume", {"db", "load", "\\storage", "\\X", "FILE"}, R"({"records": []})"},
        {"database name too long",
         {"db", "load", kVolume, "\\ThisDatabaseNameIsFarTooLongToBeUsed", "FILE"},
         R"({"records": []})"},
        {"missing file", {"db", "load", kVolume, "\\FileNameLang", "/nonexistent/x.json"}, nullptr},
        {"dump missing database", {"db", "dump", kVolume, "\\Nothing"}, nullptr},
        {"dump missing volume", {"db", "dump", "\\storage\\nothing.vol", "\\FileNameLang"}, nullptr},
        {"drop missing database", {"db", "drop", kVolume, "\\Nothing"}, nullptr},
        {"drop missing volume", {"db", "drop", "\\nothing.vol", "\\FileNameLang"}, nullptr},
        {"mount missing volume", {"mount", "\\storage\\nothing.vol"}, nullptr},
        {"mount a file that is not a volume", {"mount", "\\storage\\notes.txt"}, nullptr},
        {"unmount a volume not mounted", {"unmount", "\\storage\\other.vol"}, nullptr},
        {"dump without database", {"db", "dump", kVolume}, nullptr},
        {"no db command", {"db"}, nullptr},
    };
    return cases;
}

// The property JSON of the cases whose input is one bad property.
const std::map<std::string, std::string>& BadProperties() {
    static const std::map<std::string, std::string> props = {
        {"property not an object", "1"},
        {"unknown type", R"({"id": 2, "type": "CEVT_I8", "data": 1})"},
        {"type not a property type", R"({"id": 2, "type": 100, "data": 1})"},
        {"id too large", R"({"id": 65536, "type": "CEVT_UI4", "data": 1})"},
        {"negative id", R"({"id": -1, "type": "CEVT_UI4", "data": 1})"},
        {"no id", R"({"type": "CEVT_UI4", "data": 1})"},
        {"no data", R"({"id": 2, "type": "CEVT_UI4"})"},
        {"i2 too large", R"({"id": 2, "type": "CEVT_I2", "data": 32768})"},
        {"i2 too small", R"({"id": 2, "type": "CEVT_I2", "data": -32769})"},
        {"ui2 negative", R"({"id": 2, "type": "CEVT_UI2", "data": -1})"},
        {"i4 too large", R"({"id": 2, "type": "CEVT_I4", "data": 2147483648})"},
        {"ui4 2^32", R"({"id": 2, "type": "CEVT_UI4", "data": 4294967296})"},
        {"ui4 negative", R"({"id": 2, "type": "CEVT_UI4", "data": -1})"},
        {"ui4 fraction", R"({"id": 2, "type": "CEVT_UI4", "data": 1.5})"},
        {"filetime 2^64", R"({"id": 2, "type": "CEVT_FILETIME", "data": 18446744073709551616})"},
        {"filetime negative", R"({"id": 2, "type": "CEVT_FILETIME", "data": -1})"},
        {"r8 as text", R"({"id": 2, "type": "CEVT_R8", "data": "1.5"})"},
        {"bool as number", R"({"id": 2, "type": "CEVT_BOOL", "data": 1})"},
        {"text with nul", R"({"id": 2, "type": "CEVT_LPWSTR", "data": "a\u0000b"})"},
        {"text as number", R"({"id": 2, "type": "CEVT_LPWSTR", "data": 1})"},
        {"blob not hex", R"({"id": 2, "type": "CEVT_BLOB", "data": "zz"})"},
        {"blob odd length", R"({"id": 2, "type": "CEVT_BLOB", "data": "abc"})"},
        {"repeated property",
         R"({"id": 2, "type": "CEVT_UI4", "data": 1}, {"id": 2, "type": "CEVT_UI4", "data": 2})"},
    };
    return props;
}

TEST_F(CliDbTest, BadInputEndsWithOneLineAndLeavesTheImageUnchanged) {
    Load("\\FileNameLang", Records({Json::array({Prop(1, "CEVT_LPWSTR", "kept")})}));
    WriteTextFile(image_ / "storage" / "notes.txt", "not a volume");
    fs::copy_file(image_ / "storage" / "mxip_lang.vol", image_ / "storage" / "other.vol");
    Fingerprint before = FolderFingerprint(image_);
    for (const BadCase& c : BadCases()) {
        SCOPED_TRACE(c.label);
        fs::path file = folder_ / "input.json";
        auto prop = BadProperties().find(c.label);
        if (prop != BadProperties().end()) {
            WriteTextFile(file, PropsJson(prop->second));
        } else if (c.input) {
            WriteTextFile(file, c.input);
        }
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
    EXPECT_EQ(Dump("\\FileNameLang")["records"].size(), 1u);
}

}  // namespace
