// Registry scripts that reach every edge of the installer's importer, shared by the
// suites that run them: the lint agreement test (lint against the installer) and the
// Windows difference test (the host platform against a real Win32 API).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "testing/inputs.h"

namespace testing_support {

// ---- The hand-written corpus: the importer's edge cases ----

struct CorpusCase {
    const char* name;
    std::u16string text;
    ScriptOptions options;
};

std::vector<CorpusCase> ScriptCorpus();

// 2100 bytes of one REG_BINARY value on continuation lines.
Bytes BigByteValueScript();

// ---- Generated scripts: random mixes of well- and ill-formed lines, seeded ----

class ScriptGenerator {
public:
    explicit ScriptGenerator(uint32_t seed) : random_(seed) {}

    // The next script, as file bytes.
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

}  // namespace testing_support
