// Writes the seed corpora: fuzz_seeds DIR creates DIR/<target>/seed-N for every fuzz
// target, from the same kinds of input the test suites build (UTF-16 scripts with and
// without BOM and CR, continuation lines, long lines; patch files with text and number
// entries, cut fields, unknown types; the JSON forms of reg load, db load and patch
// build). Each seed starts with the target's selector byte.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/inputs.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;

using testing_support::PatchFile;

// A UTF-16 LE script from text with "\n" line ends: BOM and CR LF unless told not to.
Bytes Script(std::u16string_view text, bool bom = true, bool crlf = true) {
    testing_support::ScriptOptions options;
    options.byteOrderMark = bom;
    options.crlf = crlf;
    return testing_support::Script(text, options);
}

class Corpus {
public:
    Corpus(const fs::path& dir, uint8_t selector) : dir_(dir), selector_(selector) {
        fs::create_directories(dir_);
    }
    void Add(const Bytes& bytes) { Add(selector_, bytes); }
    void Add(uint8_t selector, const Bytes& bytes) {
        std::ofstream out(dir_ / ("seed-" + std::to_string(n_++)), std::ios::binary);
        out.put(static_cast<char>(selector));
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void AddText(uint8_t selector, const std::string& text) { Add(selector, Bytes(text.begin(), text.end())); }

private:
    fs::path dir_;
    uint8_t selector_;
    int n_ = 0;
};

void ScriptSeeds(Corpus& c) {
    const std::u16string typical =
        u"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Demo]\n\"Name\"=\"Привет\"\n"
        u"\"Count\"=dword:0000001a\n@=\"default\"\n\"Blob\"=hex:01,02,ff,\\\n  0a,0B\n\n"
        u"[HKEY_LOCAL_MACHINE\\init]\n\"Launch50\"=\"x.exe\"\n\"Depend50\"=hex(3):14,00\n\n"
        u"[HKEY_CLASSES_ROOT]\n\"@\"=\"root\"\n";
    c.Add(Script(typical));
    c.Add(0xF1, Script(typical));  // read two bytes at a time
    c.Add(Script(typical, false, false));
    c.Add(Script(u"[-HKEY_CURRENT_USER\\Gone]\n[HKEY_USERS\\x]\n\"a\"=\"b\"\n[hkey_current_user\\A\\B\\C]\n"
                 u"\"D\"=DWORD:1\n\"d\"=dword:ffffffffff\n\"h\"=hex:\\\n\\\n"));
    c.Add(Script(u"[HKEY_CURRENT_USER\\T]\n\"" + std::u16string(300, u'n') + u"\"=\"v\"\n\"t\"=\"" +
                 std::u16string(1100, u'x') + u"\"\n"));
    std::u16string bytes = u"[HKEY_CURRENT_USER\\T]\n\"b\"=hex:";
    for (int i = 0; i < 60; ++i) bytes += u"00,11,22,33,\\\n";
    c.Add(Script(bytes + u"ff\n"));
    c.Add(Script(u"[HKEY_CURRENT_USER\\T\\\\x]\n\"a\"=\"b\n[HKEY_CURRENT_USER\\" + std::u16string(40, u'k') + u"]\n"));
}

void PatchSeeds(Corpus& c) {
    const Bytes b = PatchFile()
                        .Text(1, u"alpha")
                        .Number(2, 7)
                        .Number(2, 2)
                        .Text(3, u"новое")
                        .Text(1, u"привет")
                        .Text(1, u"hello")
                        .bytes();
    c.Add(b);
    c.Add(0xF2, b);
    Bytes cut = b;
    cut.resize(cut.size() - 3);
    c.Add(cut);
    c.Add(PatchFile().Number(2, 1).Tag(0x00010003).Raw({5, 0, 0, 0}).bytes());  // an unknown type
    c.Add(PatchFile().Text(1, u"").Text(1, u"x").bytes());
    c.Add(PatchFile().Text(1, std::u16string(600, u'z')).Number(2, 9).Number(2, 5).Number(2, 6).bytes());
    c.Add(PatchFile().Tag(0x0001001F).Raw({0xFF, 0xFF}).bytes());
}

void JsonSeeds(Corpus& c) {
    c.AddText(0, R"({"HKEY_CURRENT_USER\\Software\\Demo": {"": {"type": "REG_SZ", "data": "default text"},)"
                 R"( "Count": {"type": "REG_DWORD", "data": 26, "bytes": "1a000000"},)"
                 R"( "Blob": {"type": "REG_BINARY", "data": "0102ff"},)"
                 R"( "M": {"type": "REG_MULTI_SZ", "data": ["a", "б"]}, "Q": {"type": 11, "bytes": "0102030405060708"}},)"
                 R"( "HKEY_LOCAL_MACHINE\\init": {}})");
    c.AddText(0, R"({"HKEY_CURRENT_USER": {"x": {"type": "REG_EXPAND_SZ", "data": "%x%", "bytes": "25007800250000"}}})");
    c.AddText(1, R"({"records": [{"oid": 4097, "props": [{"id": 1, "type": "CEVT_LPWSTR", "data": "Notes"},)"
                 R"( {"id": 2, "type": "CEVT_UI4", "data": 7}, {"id": 9, "type": "CEVT_BLOB", "data": "00ff"},)"
                 R"( {"id": 3, "type": "CEVT_I2", "data": -5}, {"id": 4, "type": "CEVT_R8", "data": "NaN"},)"
                 R"( {"id": 5, "type": "CEVT_BOOL", "data": true}, {"id": 6, "type": "CEVT_FILETIME", "data": 132000000000000000},)"
                 R"( {"id": 7, "type": "CEVT_UI2", "data": 65535}, {"id": 8, "type": "CEVT_I4", "data": -1}]}]})");
    c.AddText(2, R"({"entries": [{"key": {"id": 1, "type": "CEVT_LPWSTR", "data": "Notes"},)"
                 R"( "value": {"id": 2, "type": "CEVT_UI4", "data": 7}},)"
                 R"( {"key": {"id": 2, "type": "CEVT_UI4", "data": 4294967295}, "value": {"id": 1, "type": "CEVT_LPWSTR", "data": "Привет"}}]})");
    c.Add(3, PatchFile().Text(1, u"Notes").Number(2, 7).bytes());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const fs::path dir = argv[1];
    Corpus scripts(dir / "script_import_fuzz", 0);
    ScriptSeeds(scripts);
    Corpus patches(dir / "patch_job_fuzz", 0);
    PatchSeeds(patches);
    Corpus json(dir / "json_loaders_fuzz", 0);
    JsonSeeds(json);
    Corpus imports(dir / "reg_import_fuzz", 0);
    ScriptSeeds(imports);
    return 0;
}
