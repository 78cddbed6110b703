// End to end through the ceupdate binary: creating images, finding the image from
// the current directory, --help everywhere and the one-line error contract.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/cli.h"

namespace {

using namespace testing_support;
using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

TEST(CliImageTest, InitCreatesTheDocumentedImage) {
    TempFolder folder;
    fs::path image = folder / "new" / "image";
    CliResult r = RunCli({"init", image.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(LineCount(r.out), 1u);

    r = RunOnImage(image, {"reg", "export", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Json::parse(r.out), Json::parse(R"({"HKEY_CLASSES_ROOT": {}, "HKEY_CURRENT_USER": {},
        "HKEY_LOCAL_MACHINE": {}, "HKEY_LOCAL_MACHINE\\init": {}, "HKEY_USERS": {}})"));
    r = RunOnImage(image, {"db", "list"});
    EXPECT_EQ(r.out, "\\storage\\mxip_lang.vol (mounted)\n"
                     "  \\FileNameLang: 0 records\n"
                     "  \\MetaBaseOptions: 0 records\n"
                     "  \\MetaBaseLabels: 0 records\n");
}

TEST(CliImageTest, InitTakesAnEmptyFolderButRefusesOneWithFiles) {
    TempFolder folder;
    EXPECT_EQ(RunCli({"init", folder.path().string()}).exitCode, 0);

    TempFolder used;
    WriteTextFile(used / "keep.txt", "mine");
    Fingerprint before = FolderFingerprint(used.path());
    CliResult r = RunCli({"init", used.path().string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    EXPECT_EQ(FolderFingerprint(used.path()), before);
    EXPECT_FALSE(fs::exists(used / ".ceimage"));
    // An empty name names no folder: not the current one either.
    r = RunCli({"init", ""}, InFolder(used.path()));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    EXPECT_EQ(FolderFingerprint(used.path()), before);

    // An image is not empty either: init never overwrites one.
    r = RunCli({"init", folder.path().string()});
    EXPECT_EQ(r.exitCode, 2);
}

TEST(CliImageTest, TheImageIsFoundAtOrAboveTheCurrentDirectory) {
    TempFolder folder;
    fs::path image = folder / "image";
    ASSERT_EQ(RunCli({"init", image.string()}).exitCode, 0);
    fs::create_directories(image / "deep" / "er");

    for (const fs::path& cwd : {image, image / "storage", image / "deep" / "er"}) {
        SCOPED_TRACE(cwd.string());
        CliResult r = RunCli({"reg", "export", "HKEY_LOCAL_MACHINE\\init"}, InFolder(cwd));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\init]\n\n");
    }
    // The nearest image wins: an image nested in another one is its own device.
    fs::path inner = image / "deep" / "inner";
    ASSERT_EQ(RunCli({"init", inner.string()}).exitCode, 0);
    CliResult r = RunCli({"unmount", "\\storage\\mxip_lang.vol"}, InFolder(inner / "storage"));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(RunCli({"db", "list"}, InFolder(inner)).out.find("(not mounted)"), std::string::npos);
    EXPECT_NE(RunCli({"db", "list"}, InFolder(image)).out.find("(mounted)"), std::string::npos);
}

TEST(CliImageTest, WithoutAnImageCommandsFailWithOneLine) {
    TempFolder folder;
    const std::vector<std::vector<std::string>> commands = {
        {"reg", "export"}, {"db", "list"}, {"mount", "\\x.vol"}, {"unmount", "\\x.vol"},
        {"db", "dump", "\\x.vol", "\\X"}};
    for (const auto& args : commands) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        CliResult r = RunCli(args, InFolder(folder.path()));
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find("no device image"), std::string::npos) << r.err;

        r = RunOnImage(folder.path(), args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find("not a device image"), std::string::npos) << r.err;

        r = RunOnImage(folder / "missing", args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
    }
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

TEST(CliImageTest, EverySubcommandHasHelp) {
    const std::vector<std::vector<std::string>> commands = {
        {},           {"init"},         {"reg"},         {"reg", "export"}, {"reg", "load"},
        {"reg", "delete"}, {"db"},      {"db", "list"},  {"db", "dump"},    {"db", "load"},
        {"db", "drop"}, {"mount"},      {"unmount"}};
    for (std::vector<std::string> args : commands) {
        std::string label;
        for (const std::string& arg : args) label += arg + " ";
        SCOPED_TRACE(label);
        args.push_back("--help");
        CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// (ceupdate alone also exits 2 with one line, after printing the help: hostile_store_test.)
TEST(CliImageTest, UsageErrorsAreOneLineWithExitTwo) {
    const std::vector<std::vector<std::string>> commands = {
        {"frobnicate"},
        {"init"},
        {"init", "a", "b"},
        {"reg", "export", "--bogus"},
        {"db", "load", "\\x.vol"},
        {"mount"}};
    for (const auto& args : commands) {
        CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
        EXPECT_EQ(r.out, "");
    }
    // A command that does not exist is named as such.
    EXPECT_EQ(RunCli({"frobnicate"}).err, "ceupdate: there is no command \"frobnicate\"; ceupdate --help lists them\n");
}

}  // namespace
