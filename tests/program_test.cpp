// End to end through the ceupdate binary: "run" of an update folder on a scratch
// image (registry, databases, launch values, the texts on the screen, the exit code),
// the runner's host checks, "boot", and "patch build" / "patch show".
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/wince.h"
#include "store/bytes.h"
#include "tests/support/cli.h"
#include "tests/support/installer_fixture.h"

namespace {

using namespace testing_support;
using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

const char* kStatusLines[] = {"Идет обновление программного обеспечения.", "Пожалуйста, подождите...",
                              "Updating phone settings", "Please wait..."};
const char* kCompletionLines[] = {
    "Обновление завершено. Пожалуйста, выключите Ваш телефон, а затем включите его.",
    "Update complete. To activate it, please turn your phone off and then on."};

void WriteBytes(const fs::path& file, const Bytes& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Utf16Hex(std::u16string_view text) {
    return store::HexOf(store::Utf16LeBytes(std::u16string(text) + u'\0'));
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = folder_ / "image";
        ASSERT_EQ(RunCli({"init", image_.string()}).exitCode, 0);
        update_ = folder_ / "update";
        fs::create_directories(update_);
        // An older list under Depend30 must be replaced, not merged.
        Load({{"HKEY_LOCAL_MACHINE\\init",
               {{"Launch30", {{"type", "REG_SZ"}, {"data", "gwes.exe"}}},
                {"Depend30", {{"type", "REG_BINARY"}, {"data", "14001e00"}}}}}});
        LoadRecords("\\FileNameLang", {{{"id", 1}, {"type", "CEVT_LPWSTR"}, {"data", "Заметки"}},
                                       {{"id", 2}, {"type", "CEVT_UI4"}, {"data", 1}}});
    }

    CliResult Cli(std::vector<std::string> args) { return RunOnImage(image_, std::move(args)); }

    void Load(const Json& registry) {
        WriteTextFile(folder_ / "reg.json", registry.dump());
        CliResult r = Cli({"reg", "load", (folder_ / "reg.json").string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    void LoadRecords(const std::string& database, const Json& props) {
        WriteTextFile(folder_ / "db.json", Json{{"records", {{{"props", props}}}}}.dump());
        CliResult r = Cli({"db", "load", "\\storage\\mxip_lang.vol", database,
                           (folder_ / "db.json").string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // A script, a patch file for \FileNameLang and the companion program.
    void WriteUpdate(const fs::path& folder) {
        WriteBytes(folder / "a.reg", Script(u"[HKEY_CURRENT_USER\\Software\\Demo]\n"
                                            u"\"Name\"=\"Значение\"\n\"Count\"=dword:1a\n\n"));
        WriteBytes(folder / "FileNameLang.dat",
                   PatchFile().Text(1, u"ЗАМЕТКИ").Number(2, 7).bytes());
        WriteBytes(folder / "Brindel.exe", {'M', 'Z'});
    }

    Json Export(const std::string& key) {
        CliResult r = Cli({"reg", "export", "--json", key});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0 ? Json::parse(r.out)[key] : Json();
    }

    Json Records(const std::string& database) {
        CliResult r = Cli({"db", "dump", "--json", "\\storage\\mxip_lang.vol", database});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.exitCode == 0 ? Json::parse(r.out)["records"] : Json();
    }

    TempFolder folder_;
    fs::path image_;
    fs::path update_;
};

TEST_F(ProgramTest, RunAppliesTheUpdateAndRegistersTheCompanion) {
    WriteUpdate(update_);
    CliResult r = Cli({"run", "--yes", update_.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    const Json demo = Export("HKEY_CURRENT_USER\\Software\\Demo");
    EXPECT_EQ(demo["Name"]["data"], "Значение");
    EXPECT_EQ(demo["Count"]["bytes"], "1a000000");
    EXPECT_EQ(Records("\\FileNameLang")[0]["props"][1]["data"], 7);

    const Json init = Export("HKEY_LOCAL_MACHINE\\init");
    EXPECT_EQ(init["Launch25"]["type"], "REG_SZ");
    EXPECT_EQ(init["Launch25"]["bytes"], Utf16Hex(u"\\Storage Card\\Brindel.exe"));
    EXPECT_EQ(init["Depend25"]["type"], "REG_BINARY");
    EXPECT_EQ(init["Depend25"]["bytes"], "1500");
    EXPECT_EQ(init["Depend30"]["bytes"], "1900");
    EXPECT_EQ(init["Launch30"]["data"], "gwes.exe");

    // The status window comes first, then the completion message under its caption.
    size_t at = 0;
    for (const char* line : kStatusLines) {
        at = r.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << r.out;
    }
    at = r.out.find("Finished", at);
    ASSERT_NE(at, std::string::npos) << r.out;
    for (const char* line : kCompletionLines) {
        at = r.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << r.out;
    }
    EXPECT_NE(r.out.find("[ OK ]", at), std::string::npos);
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(ProgramTest, UpdateFolderInsideTheImageKeepsItsPath) {
    WriteUpdate(image_ / "Updates" / "v2");
    CliResult r = Cli({"run", "--yes", (image_ / "Updates" / "v2").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Export("HKEY_LOCAL_MACHINE\\init")["Launch25"]["bytes"],
              Utf16Hex(u"\\Updates\\v2\\Brindel.exe"));
    EXPECT_EQ(Export("HKEY_CURRENT_USER\\Software\\Demo")["Count"]["data"], 26);
}

// Mended: an installer at the root took its own path, "\Update.exe", as its folder,
// found nothing beneath it and registered "\Update.exe\Brindel.exe".
TEST_F(ProgramTest, RunFromTheImageRootWorksOnTheRoot) {
    WriteUpdate(image_);
    CliResult r = Cli({"run", "--yes", image_.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Export("HKEY_LOCAL_MACHINE\\init")["Launch25"]["bytes"], Utf16Hex(u"\\Brindel.exe"));
    EXPECT_EQ(Export("HKEY_CURRENT_USER\\Software\\Demo")["Count"]["data"], 26);
    EXPECT_EQ(Records("\\FileNameLang")[0]["props"][1]["data"], 7);
}

TEST_F(ProgramTest, UnmountedVolumeSkipsTheDatabasesOnly) {
    WriteUpdate(update_);
    ASSERT_EQ(Cli({"unmount", "\\storage\\mxip_lang.vol"}).exitCode, 0);
    CliResult r = Cli({"run", "--yes", update_.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Records("\\FileNameLang")[0]["props"][1]["data"], 1);
    EXPECT_EQ(Export("HKEY_CURRENT_USER\\Software\\Demo")["Count"]["data"], 26);
    EXPECT_EQ(Export("HKEY_LOCAL_MACHINE\\init")["Depend25"]["bytes"], "1500");
    EXPECT_NE(r.out.find(kCompletionLines[1]), std::string::npos);
}

TEST_F(ProgramTest, MissingInitKeySkipsRegistrationButShowsTheMessage) {
    WriteUpdate(update_);
    ASSERT_EQ(Cli({"reg", "delete", "HKEY_LOCAL_MACHINE\\init"}).exitCode, 0);
    CliResult r = Cli({"run", "--yes", update_.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    CliResult exported = Cli({"reg", "export", "--json"});
    EXPECT_FALSE(Json::parse(exported.out).contains("HKEY_LOCAL_MACHINE\\init"));
    EXPECT_NE(r.out.find(kCompletionLines[0]), std::string::npos);
}

TEST_F(ProgramTest, EmptyUpdateFolderStillRegistersAndFinishes) {
    CliResult r = Cli({"run", "--yes", update_.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Export("HKEY_LOCAL_MACHINE\\init")["Depend30"]["bytes"], "1900");
    EXPECT_EQ(Records("\\FileNameLang")[0]["props"][1]["data"], 1);
}

// Host problems end the run before the installer starts: exit 2, one line on stderr,
// the image unchanged.
TEST_F(ProgramTest, HostProblemsRefuseTheRunAndChangeNothing) {
    const fs::path deep = image_ / std::string(120, 'a') / std::string(120, 'b') / std::string(20, 'c');
    fs::create_directories(deep);
    const Fingerprint before = FolderFingerprint(image_);
    struct Case {
        const char* name;
        std::vector<std::string> args;
    } cases[] = {
        {"missing update folder", {"run", "--yes", "--device", image_.string(), (folder_ / "nope").string()}},
        {"not an image", {"run", "--yes", "--device", update_.string(), update_.string()}},
        {"executable path too long", {"run", "--yes", "--device", image_.string(), deep.string()}},
        {"state folder", {"run", "--yes", "--device", image_.string(), (image_ / ".ceimage").string()}},
    };
    for (const Case& c : cases) {
        CliResult r = RunCli(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.name;
        EXPECT_EQ(LineCount(r.err), 1u) << c.name << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << c.name << ": " << r.out;
    }
    EXPECT_EQ(FolderFingerprint(image_), before);
}

// ---- boot ----

struct BootCase {
    const char* name;
    Json init;
    int exitCode;
    std::vector<std::string> expected;  // substrings of the output
};

TEST_F(ProgramTest, BootShowsOrderProblemsAndWarnings) {
    const BootCase cases[] = {
        {"chain", {{"Launch20", {{"type", "REG_SZ"}, {"data", "device.exe"}}},
                   {"Launch25", {{"type", "REG_SZ"}, {"data", "\\upd\\Brindel.exe"}}},
                   {"Depend25", {{"type", "REG_BINARY"}, {"data", "1400"}}}},
         0, {"20  device.exe", "after 20", "entry 25 is the update's companion"}},
        {"depends on a later entry", {{"Launch20", {{"type", "REG_SZ"}, {"data", "a.exe"}}},
                                      {"Depend20", {{"type", "REG_BINARY"}, {"data", "1e00"}}},
                                      {"Launch30", {{"type", "REG_SZ"}, {"data", "b.exe"}}}},
         1, {"problem: entry 20 waits for entry 30"}},
        {"odd list", {{"Launch20", {{"type", "REG_SZ"}, {"data", "a.exe"}}},
                      {"Depend20", {{"type", "REG_BINARY"}, {"data", "0a0000"}}}},
         1, {"problem: \"Depend20\" is a malformed list"}},
        {"missing dependency", {{"Launch20", {{"type", "REG_SZ"}, {"data", "a.exe"}}},
                                {"Depend20", {{"type", "REG_BINARY"}, {"data", "0b00"}}}},
         0, {"warning: entry 20 depends on entry 11, which does not exist"}},
        {"depend without launch", {{"Launch10", {{"type", "REG_SZ"}, {"data", "a.exe"}}},
                                   {"Depend40", {{"type", "REG_BINARY"}, {"data", "0a00"}}}},
         0, {"warning: \"Depend40\" has no \"Launch40\""}},
        {"letter case", {{"launch40", {{"type", "REG_SZ"}, {"data", "a.exe"}}}},
         0, {"warning: \"launch40\" is not read"}},
        {"every digit counts", {{"Launch12345678", {{"type", "REG_SZ"}, {"data", "a.exe"}}}},
         0, {"12345678  a.exe"}},
    };
    for (const BootCase& c : cases) {
        ASSERT_EQ(Cli({"reg", "delete", "HKEY_LOCAL_MACHINE\\init"}).exitCode, 0);
        Load({{"HKEY_LOCAL_MACHINE\\init", c.init}});
        CliResult r = Cli({"boot"});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << r.out << r.err;
        for (const std::string& s : c.expected) {
            EXPECT_NE(r.out.find(s), std::string::npos) << c.name << ": " << s << "\n" << r.out;
        }
        EXPECT_NE(r.out.find("must signal that it has started"), std::string::npos) << c.name;
    }
}

// ---- patch build / show ----

TEST_F(ProgramTest, PatchBuildThenShowGivesTheEntriesBack) {
    const Json entries = {
        {{"key", {{"id", 1}, {"type", "CEVT_LPWSTR"}, {"data", "Заметки"}}},
         {"value", {{"id", 2}, {"type", "CEVT_UI4"}, {"data", 4294967295u}}}},
        {{"key", {{"id", 7}, {"type", "CEVT_UI4"}, {"data", 0}}},
         {"value", {{"id", 3}, {"type", "CEVT_LPWSTR"}, {"data", std::string(499, 'x')}}}}};
    WriteTextFile(folder_ / "p.json", Json{{"entries", entries}}.dump());
    const fs::path dat = folder_ / "p.dat";
    CliResult built = RunCli({"patch", "build", (folder_ / "p.json").string(), dat.string()});
    ASSERT_EQ(built.exitCode, 0) << built.err;
    EXPECT_EQ(fs::file_size(dat), (4u + 2 + 14) + (4 + 4) + (4 + 4) + (4 + 2 + 998));
    CliResult shown = RunCli({"patch", "show", "--json", dat.string()});
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(Json::parse(shown.out)["entries"], entries);
}

TEST_F(ProgramTest, PatchBuildRefusesWhatTheInstallerWouldNotApply) {
    const Json key = {{"id", 1}, {"type", "CEVT_UI4"}, {"data", 1}};
    const struct {
        const char* name;
        Json value;
    } cases[] = {
        {"empty text", {{"id", 2}, {"type", "CEVT_LPWSTR"}, {"data", ""}}},
        {"text too long", {{"id", 2}, {"type", "CEVT_LPWSTR"}, {"data", std::string(500, 'x')}}},
        {"other type", {{"id", 2}, {"type", "CEVT_I2"}, {"data", 1}}},
    };
    for (const auto& c : cases) {
        const Json doc = {{"entries", {{{"key", key}, {"value", key}}, {{"key", key}, {"value", c.value}}}}};
        WriteTextFile(folder_ / "p.json", doc.dump());
        CliResult r = RunCli({"patch", "build", (folder_ / "p.json").string(), (folder_ / "x.dat").string()});
        EXPECT_EQ(r.exitCode, 2) << c.name;
        EXPECT_NE(r.err.find("entry 2 value"), std::string::npos) << c.name << ": " << r.err;
        EXPECT_FALSE(fs::exists(folder_ / "x.dat")) << c.name;
    }
}

TEST_F(ProgramTest, PatchShowSaysWhereTheInstallerStops) {
    const struct {
        const char* name;
        Bytes bytes;
        int exitCode;
        const char* expected;
    } cases[] = {
        {"whole", PatchFile().Number(1, 5).Number(2, 6).bytes(), 0, "reads the whole file: 1 entries"},
        {"cut inside a field", PatchFile().Number(1, 5).Number(2, 6).Raw({0x13, 0x00}).bytes(), 1,
         "stops reading at entry 2 (key, byte 16): the data ends inside a field"},
        {"empty text", PatchFile().Number(1, 5).Text(2, u"").bytes(), 1, "a text of zero characters"},
        {"unknown type", PatchFile().Tag(0x00010002).bytes(), 1, "a type other than"},
        {"text too long", PatchFile().Number(1, 5).Text(2, std::u16string(500, u'x')).Number(1, 5).Number(2, 6).bytes(),
         1, "skipped: entry 1"},
        // Entries are numbered by their place in the file, the skipped ones counted.
        {"the entry after a skipped one",
         PatchFile().Number(1, 5).Text(2, std::u16string(500, u'x')).Number(1, 5).Number(2, 6).bytes(), 1,
         "entry 2: key id 1 CEVT_UI4 5"},
    };
    for (const auto& c : cases) {
        WriteBytes(folder_ / "p.dat", c.bytes);
        CliResult r = RunCli({"patch", "show", (folder_ / "p.dat").string()});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.name << "\n" << r.out;
    }
}

}  // namespace
