// "ceupdate lint" predicts exactly the writes the installer makes: for a corpus of
// hand-written scripts (every edge case of the importer) and a few hundred generated
// ones (random mixes of well- and ill-formed lines, seeded), the writes of
// "lint --json" equal, in order, the RegSetValueExW calls a real ImportRegistryScript
// makes on a scratch image.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/host/backend.h"
#include "regscript/regscript.h"
#include "store/bytes.h"
#include "store/text.h"
#include "tests/support/cli.h"
#include "tests/support/installer_fixture.h"
#include "tests/support/script_corpus.h"
#include "tools/analyses/check.h"
#include "tools/analyses/script_calls.h"
#include "tools/errors.h"

namespace {

using namespace testing_support;
using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

// Records the key each handle stands for and every value write, in order.
class WriteRecorder : public host::ForwardingBackend {
public:
    explicit WriteRecorder(host::Backend& target) : host::ForwardingBackend(target) {}

    LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                         REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                         LPDWORD lpdwDisposition) override {
        const LONG result = target().RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                                                     lpSecurityAttributes, phkResult, lpdwDisposition);
        if (result == ERROR_SUCCESS) keys_[*phkResult] = text::ToUtf8(tools::FullKeyPath(hKey, lpSubKey));
        return result;
    }

    LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                        DWORD cbData) override {
        writes.push_back(keys_[hKey] + " | " + text::ToUtf8(lpValueName ? lpValueName : u"") + " | " +
                         std::to_string(dwType) + " | " +
                         store::HexOf(std::span<const uint8_t>(lpData, lpData ? cbData : 0)));
        return target().RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
    }

    std::vector<std::string> writes;

private:
    std::map<HKEY, std::string> keys_;
};

uint32_t TypeNumber(const Json& type) {
    static const std::map<std::string, uint32_t> kNames = {
        {"REG_NONE", 0}, {"REG_SZ", 1}, {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3}, {"REG_DWORD", 4}};
    return type.is_number() ? type.get<uint32_t>() : kNames.at(type.get<std::string>());
}

// One image for every run of a suite: what the importer calls does not depend on the
// keys and values earlier scripts left.
std::unique_ptr<ScratchImage> g_image;

ScratchImage& SharedImage() { return *g_image; }

class LintAgreementTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_image = std::make_unique<ScratchImage>(); }
    static void TearDownTestSuite() { g_image.reset(); }
};

// Lints the script through the binary and runs it through the installer; both write
// lists in the same form.
void ExpectAgreement(const Bytes& script, const std::string& label) {
    TempFolder folder;
    const fs::path file = folder / "script.reg";
    WriteTextFile(file, std::string(script.begin(), script.end()));
    CliResult lint = RunCli({"lint", "--json", file.string()});
    ASSERT_TRUE(lint.exitCode == 0 || lint.exitCode == 1) << label << ": " << lint.err;
    const Json report = Json::parse(lint.out);
    std::vector<std::string> predicted;
    for (const Json& w : report["writes"]) {
        predicted.push_back(w["key"].get<std::string>() + " | " + w["name"].get<std::string>() + " | " +
                            std::to_string(TypeNumber(w["type"])) + " | " + w["bytes"].get<std::string>());
        EXPECT_GT(w["line"].get<size_t>(), 0u) << label;
    }
    EXPECT_EQ(lint.exitCode == 1, !report["warnings"].empty()) << label;

    ScratchImage& img = SharedImage();
    img.WriteUpdateFile("script.reg", script);
    img.Bind();
    std::vector<std::string> made;
    {
        WriteRecorder recorder(host::CurrentBackend());
        host::ScopedBackend inFront(recorder);
        ImportRegistryScript(u"\\upd\\script.reg");
        made = recorder.writes;
    }
    img.Unbind();
    EXPECT_EQ(predicted, made) << label;
}

// ---- The hand-written corpus (tests/support/script_corpus.h) ---------------------------------

TEST_F(LintAgreementTest, HandWrittenCorpus) {
    for (const CorpusCase& c : ScriptCorpus()) ExpectAgreement(Script(c.text, c.options), c.name);
}

TEST_F(LintAgreementTest, BigByteValues) {
    // 2100 bytes on continuation lines: written, but over what the platform stores.
    ExpectAgreement(BigByteValueScript(), "big value");
}

TEST_F(LintAgreementTest, DemoScript) {
    std::ifstream in(std::string(CEUPDATE_SOURCE_DIR) + "/demo/update-src/settings.reg.txt", std::ios::binary);
    std::string utf8((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(utf8.empty());
    ExpectAgreement(Script(text::FromUtf8(utf8)), "demo");
}

// ---- Generated scripts ------------------------------------------------------------------------

TEST_F(LintAgreementTest, GeneratedScripts) {
    ScriptGenerator generator(20240611);
    for (int i = 0; i < 300; ++i) ExpectAgreement(generator.Next(), "generated script " + std::to_string(i));
}

// ---- The lint that follows check's run -------------------------------------------------------

std::string TextOf(const tools::LintReport& report) {
    std::ostringstream out;
    report.WriteTo(out);
    return out.str();
}

// What check's lint says of a script, made while the installer imports it, on a
// thread of its own that takes each call as it is made.
std::string LintFollowingTheImport(const Bytes& script) {
    ScratchImage img;
    img.WriteUpdateFile("script.reg", script);
    img.Bind();
    std::string text;
    {
        tools::RunRecord record(host::CurrentBackend());
        std::future<tools::ScriptLints> lints =
            std::async(std::launch::async, [&] { return tools::LintScripts(record, false); });
        {
            host::ScopedBackend inFront(record);
            ImportRegistryScript(u"\\upd\\script.reg");
        }
        record.EndOfRun();
        const tools::ScriptLints made = lints.get();
        EXPECT_EQ(made.size(), 1u);
        if (made.size() == 1) text = TextOf(*made[0]);
    }
    img.Unbind();
    return text;
}

// A script of many sections and values, written a section at a time: enough calls
// that the follower takes them in several batches while the import goes on.
Bytes ManyValues(int sections, int values) {
    std::u16string text = u"Windows Registry Editor Version 5.00\n\n";
    for (int s = 0; s < sections; ++s) {
        text += u"[HKEY_CURRENT_USER\\Software\\Follow\\S" + text::FromUtf8(std::to_string(s)) + u"]\n";
        for (int v = 0; v < values; ++v) {
            const std::u16string n = text::FromUtf8(std::to_string(v));
            text += (v % 3 == 0 ? u"\"V" + n + u"\"=dword:" + n
                                : v % 3 == 1 ? u"\"V" + n + u"\"=\"text " + n + u"\""
                                             : u"\"V" + n + u"\"=hex:0" + n.substr(0, 1) + u",ff") + u"\n";
        }
        text += u"\n";
    }
    return Script(text);
}

TEST_F(LintAgreementTest, CheckLintFollowingTheRunSaysWhatLintSaysAfterIt) {
    struct Case {
        std::string name;
        Bytes script;
    };
    std::vector<Case> cases = {{"demo", Bytes()}, {"many values", ManyValues(12, 1000)}};
    std::ifstream in(std::string(CEUPDATE_SOURCE_DIR) + "/demo/update-src/settings.reg.txt", std::ios::binary);
    cases[0].script = Script(text::FromUtf8(std::string((std::istreambuf_iterator<char>(in)), {})));
    for (const CorpusCase& c : ScriptCorpus()) cases.push_back({c.name, Script(c.text, c.options)});
    for (const Case& c : cases) {
        tools::LintReport after;
        tools::LintScript(c.script, after);
        EXPECT_EQ(LintFollowingTheImport(c.script), TextOf(after)) << c.name;
    }
}

TEST_F(LintAgreementTest, CheckLintComesBackWhenTheRunEndsInTheMiddleOfAScript) {
    // The installer opened the script and wrote nothing before the run ended (a store
    // failed, say): the lint waiting for its writes is told there are none.
    ScratchImage img;
    img.WriteUpdateFile("script.reg", Script(u"[HKEY_CURRENT_USER\\Software\\T]\n\"A\"=\"x\"\n"));
    img.Bind();
    {
        tools::RunRecord record(host::CurrentBackend());
        std::future<tools::ScriptLints> lints =
            std::async(std::launch::async, [&] { return tools::LintScripts(record, false); });
        const HANDLE file = record.CreateFileW(u"\\upd\\script.reg", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        record.EndOfRun();
        EXPECT_THROW(lints.get(), tools::ToolError);
        record.CloseHandle(file);
    }
    img.Unbind();
}

}  // namespace
