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

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// A UTF-16 LE script from text with "\n" line ends: BOM and CR LF unless told not to.
Bytes Script(std::u16string_view text, bool bom = true, bool crlf = true) {
    Bytes b;
    if (bom) Put16(b, 0xFEFF);
    for (char16_t c : text) {
        if (c == u'\n' && crlf) Put16(b, u'\r');
        Put16(b, c);
    }
    return b;
}

void Text(Bytes& b, uint16_t id, std::u16string_view text) {
    Put32(b, uint32_t(id) << 16 | 0x1F);
    Put16(b, uint16_t(text.size()));
    for (char16_t c : text) Put16(b, c);
}
void Number(Bytes& b, uint16_t id, uint32_t n) {
    Put32(b, uint32_t(id) << 16 | 0x13);
    Put32(b, n);
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
    Bytes b;
    Text(b, 1, u"alpha");
    Number(b, 2, 7);
    Number(b, 2, 2);
    Text(b, 3, u"новое");
    Text(b, 1, u"привет");
    Text(b, 1, u"hello");
    c.Add(b);
    c.Add(0xF2, b);
    Bytes cut = b;
    cut.resize(cut.size() - 3);
    c.Add(cut);
    Bytes odd;
    Number(odd, 2, 1);
    Put32(odd, 0x00010003);  // an unknown type
    Put32(odd, 5);
    c.Add(odd);
    Bytes empty;
    Text(empty, 1, u"");
    Text(empty, 1, u"x");
    c.Add(empty);
    Bytes longText;
    Text(longText, 1, std::u16string(600, u'z'));
    Number(longText, 2, 9);
    Number(longText, 2, 5);
    Number(longText, 2, 6);
    c.Add(longText);
    Bytes huge;
    Put32(huge, 0x0001001F);
    Put16(huge, 0xFFFF);
    c.Add(huge);
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
    Bytes patch;
    Text(patch, 1, u"Notes");
    Number(patch, 2, 7);
    c.Add(3, patch);
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
