// "ceupdate lint" predicts exactly the writes the installer makes: for a corpus of
// hand-written scripts (every edge case of the importer) and a few hundred generated
// ones (random mixes of well- and ill-formed lines, seeded), the writes of
// "lint --json" equal, in order, the RegSetValueExW calls a real ImportRegistryScript
// makes on a scratch image.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <random>

#include <nlohmann/json.hpp>

#include "platform/host/backend.h"
#include "regscript/regscript.h"
#include "store/bytes.h"
#include "store/text.h"
#include "tests/support/cli.h"
#include "tests/support/installer_fixture.h"
#include "tools/analyses/script_calls.h"

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

// ---- The hand-written corpus: the importer's edge cases --------------------------------------

struct CorpusCase {
    const char* name;
    std::u16string text;
    ScriptOptions options;
};

const std::u16string kLong(300, u'x');
const std::u16string kLongHeader = u"[HKEY_CURRENT_USER\\" + kLong + u"]\n";

std::vector<CorpusCase> Corpus() {
    const ScriptOptions plain;
    ScriptOptions noFinal;
    noFinal.finalNewline = false;
    ScriptOptions lf;
    lf.crlf = false;
    lf.byteOrderMark = false;
    return {
        {"signature only", u"Windows Registry Editor Version 5.00\n", plain},
        {"no header", u"\"A\"=\"x\"\n", plain},
        {"two sections", u"[HKEY_CURRENT_USER\\A]\n\"X\"=\"1\"\n\n[HKEY_LOCAL_MACHINE\\B]\n\"Y\"=dword:1a\n", plain},
        {"header under value", u"[HKEY_CURRENT_USER\\A]\n\"X\"=\"1\"\n[HKEY_CURRENT_USER\\B]\n\"Y\"=\"2\"\n", plain},
        {"header under header", u"[HKEY_CURRENT_USER\\A]\n[HKEY_CURRENT_USER\\B]\n\"Y\"=\"2\"\n", plain},
        {"header under unknown root", u"[HKEY_USERS\\A]\n[HKEY_CURRENT_USER\\B]\n\"Y\"=\"2\"\n", plain},
        {"comment ends section", u"[HKEY_CURRENT_USER\\A]\n\"X\"=\"1\"\n; note\n\"Y\"=\"2\"\n", plain},
        {"indented value ends section", u"[HKEY_CURRENT_USER\\A]\n  \"X\"=\"1\"\n\"Y\"=\"2\"\n", plain},
        {"blank ends section", u"[HKEY_CURRENT_USER\\A]\n\n\"Y\"=\"2\"\n", plain},
        {"doubled backslash", u"[HKEY_CURRENT_USER\\A]\n\"P\"=\"C:\\\\Windows\"\n", plain},
        {"backslash quote", u"[HKEY_CURRENT_USER\\A]\n\"P\"=\"a\\\"b\"\n", plain},
        {"default values", u"[HKEY_CURRENT_USER\\A]\n@=\"bare\"\n\"@\"=\"quoted\"\n\"\"=\"empty\"\n", plain},
        {"numbers", u"[HKEY_CURRENT_USER\\A]\n\"a\"=dword:1A\n\"b\"=dword:1a\n\"c\"=dword:FF\n\"d\"=dword:\n\"e\"=dword:123456789\n", plain},
        {"capitals", u"[HKEY_CURRENT_USER\\A]\n\"a\"=DWORD:1\n\"b\"=HEX:01\n\"c\"=\"goes on\"\n", plain},
        {"continuation", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,02,\\\n  03,04\n", plain},
        {"hex type", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex(2):41,00,00,00\n\"C\"=hex:\n", plain},
        {"early ends", u"[HKEY_CURRENT_USER\\A]\n\"a\"=d\n\"b\"=h\n\"c\"=hex\n\"d\"\n@\n\"e\"=\n", plain},
        {"space before equals", u"[HKEY_CURRENT_USER\\A]\n\"a\" =\"x\"\n\"b\"= \"y\"\n\"c\"=-\n", plain},
        {"no final LF", u"[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n\"b\"=\"y\"\n", noFinal},
        {"no closing bracket", u"[HKEY_CURRENT_USER\\A\n\"a\"=\"x\"\n", plain},
        {"lower-case root", u"[hkey_current_user\\A]\n\"a\"=\"x\"\n", plain},
        {"root only", u"[HKEY_CURRENT_USER]\n\"a\"=\"x\"\n[HKEY_LOCAL_MACHINE\\]\n", plain},
        {"empty key name", u"[HKEY_CURRENT_USER\\A\\\\B]\n\"a\"=\"x\"\n\n[HKEY_CURRENT_USER\\C]\n\"b\"=\"y\"\n", plain},
        {"deletion form", u"[-HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n", plain},
        {"long line outside", u"[HKEY_CURRENT_USER\\A]\n\n\"" + kLong + u"\"=\"x\"\n[HKEY_CURRENT_USER\\B]\n\"b\"=\"y\"\n", plain},
        {"long line inside", u"[HKEY_CURRENT_USER\\A]\n\"" + kLong + u"\"=\"x\"\n\"b\"=\"y\"\n", plain},
        {"long continuation", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,\\\n" + kLong + u"\n\"c\"=\"z\"\n", plain},
        {"continuation at end", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,02,\\\n", plain},
        {"empty continuation", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,\\\n\n\"c\"=\"z\"\n", plain},
        {"lone digit", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,2\n\"C\"=hex:zz,g1\n", plain},
        {"no closing quotes", u"[HKEY_CURRENT_USER\\A]\n\"a=\"x\n\"b\"=\"y\n\"c\"=\"z\"\n", plain},
        {"cyrillic", u"[HKEY_CURRENT_USER\\Ключ]\n\"Имя\"=\"Весна\"\n", plain},
        {"lf and no bom", u"[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n", lf},
        {"other separator", u"[HKEY_CURRENT_USER\\A]\n\"a\":\"x\"\n\"b\"=dwor:12\n", plain},
        {"long header under value", u"[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n" + kLongHeader + u"\"b\"=\"y\"\n[HKEY_CURRENT_USER\\B]\n\"c\"=\"z\"\n", plain},
        {"long header under header", u"[HKEY_CURRENT_USER\\A]\n" + kLongHeader + u"\"b\"=\"y\"\n", plain},
        {"long comment inside", u"[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n;" + kLong + u"\n\"b\"=\"y\"\n", plain},
        {"long indented inside", u"[HKEY_CURRENT_USER\\A]\n\"a\"=\"x\"\n  \"" + kLong + u"\"=\"v\"\n\"b\"=\"y\"\n", plain},
        {"long default inside", u"[HKEY_CURRENT_USER\\A]\n@=\"" + kLong + u"\"\n\"b\"=\"y\"\n", plain},
        {"long line after a mark", u"[HKEY_CURRENT_USER\\A]\n\uFEFF\"" + kLong + u"\"=\"x\"\n\"b\"=\"y\"\n\uFEFF;" + kLong + u"\n\"c\"=\"z\"\n", plain},
        {"stray backslash before header", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,02,\\\n[HKEY_CURRENT_USER\\C]\n\"c\"=\"z\"\n", plain},
        {"stray backslash before long header", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,\\\n" + kLongHeader + u"\"c\"=\"z\"\n", plain},
        {"stray backslash before unknown root", u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:01,\\\n  02,\\\n[HKEY_USERS\\C]\n\"c\"=\"z\"\n", plain},
        {"too deep", u"[HKEY_CURRENT_USER\\1\\2\\3\\4\\5\\6\\7\\8\\9\\10\\11\\12\\13\\14\\15\\16\\17]\n\"a\"=\"x\"\n", plain},
    };
}

TEST_F(LintAgreementTest, HandWrittenCorpus) {
    for (const CorpusCase& c : Corpus()) ExpectAgreement(Script(c.text, c.options), c.name);
}

TEST_F(LintAgreementTest, BigByteValues) {
    // 2100 bytes on continuation lines: written, but over what the platform stores.
    std::u16string text = u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:";
    for (int line = 0; line < 30; ++line) {
        for (int i = 0; i < 70; ++i) text += u"ab,";
        text += u"\\\n  ";
    }
    text += u"01\n";
    ExpectAgreement(Script(text), "big value");
}

TEST_F(LintAgreementTest, DemoScript) {
    std::ifstream in(std::string(CEUPDATE_SOURCE_DIR) + "/demo/update-src/settings.reg.txt", std::ios::binary);
    std::string utf8((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(utf8.empty());
    ExpectAgreement(Script(text::FromUtf8(utf8)), "demo");
}

// ---- Generated scripts ------------------------------------------------------------------------

class ScriptGenerator {
public:
    explicit ScriptGenerator(uint32_t seed) : random_(seed) {}

    Bytes Next() {
        std::u16string text;
        const int lines = Pick(1, 25);
        for (int i = 0; i < lines; ++i) text += Line() + (Pick(0, 9) == 0 ? u"\r\n" : u"\n");
        ScriptOptions options;
        options.byteOrderMark = Pick(0, 4) != 0;
        options.crlf = Pick(0, 1) == 0;
        options.finalNewline = Pick(0, 5) != 0;
        Bytes bytes = Script(text, options);
        if (Pick(0, 15) == 0) bytes.push_back(0x41);  // an odd last byte
        return bytes;
    }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    template <typename T>
    const T& OneOf(const std::vector<T>& items) {
        return items[static_cast<size_t>(Pick(0, static_cast<int>(items.size()) - 1))];
    }

    std::u16string Name() {
        return OneOf<std::u16string>({u"A", u"Name", u"@", u"", u"Имя", u"a b", u"x\\y", u"Volume"});
    }

    std::u16string Header() {
        const std::u16string root = OneOf<std::u16string>(
            {u"HKEY_CURRENT_USER", u"HKEY_LOCAL_MACHINE", u"hkey_classes_root", u"HKEY_USERS", u"-HKEY_CURRENT_USER",
             u"HKCU", u"HKEY_Current_User"});
        const std::u16string path = OneOf<std::u16string>(
            {u"\\Software\\T", u"\\A", u"", u"\\", u"\\A\\\\B", u"\\Ключ", u"\\Software\\T\\"});
        return u"[" + root + path + OneOf<std::u16string>({u"]", u"]", u"", u"] ; c"});
    }

    std::u16string Data() {
        switch (Pick(0, 12)) {
            case 0: return u"\"text\"";
            case 1: return u"\"C:\\\\dir\\file\"";
            case 2: return u"\"a\\\"b\"";
            case 3: return u"dword:" + OneOf<std::u16string>({u"1a", u"FF", u"", u"123456789", u"zz", u"0000001"});
            case 4: return u"DWORD:1";
            case 5: return u"hex:" + OneOf<std::u16string>({u"01,02", u"", u"0", u"zz,1", u"01,\\", u"ab,cd,\\"});
            case 6: return u"hex(2):41,00";
            case 7: return u"HEX:01";
            case 8: return u"-";
            case 9: return u" \"spaced\"";
            case 10: return u"\"open";
            case 11: return OneOf<std::u16string>({u"d", u"h", u"hex", u"dw"});
            default: return u"\"Весна\"";
        }
    }

    std::u16string Line() {
        switch (Pick(0, 14)) {
            case 0:
            case 1: return Header();
            case 2: return u"";
            case 3: return u"; comment";
            case 4: return u"  \"" + Name() + u"\"=" + Data();
            case 5: return u"  01,02,03";
            case 6: return u"\"" + Name() + u"\" =" + Data();
            case 7: return u"@=" + Data();
            case 8: {
                const std::u16string filler(static_cast<size_t>(Pick(250, 262)), u'n');
                return OneOf<std::u16string>({u"\"" + filler + u"\"=\"v\"", u"[HKEY_CURRENT_USER\\" + filler + u"]",
                                              u";" + filler, u"  " + filler});
            }
            case 9: return u"Windows Registry Editor Version 5.00";
            case 10: return u"\"unclosed=\"x\"";
            default: return u"\"" + Name() + u"\"=" + Data();
        }
    }

    std::mt19937 random_;
};

TEST_F(LintAgreementTest, GeneratedScripts) {
    ScriptGenerator generator(20240611);
    for (int i = 0; i < 300; ++i) ExpectAgreement(generator.Next(), "generated script " + std::to_string(i));
}

}  // namespace
