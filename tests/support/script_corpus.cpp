// The hand-written script corpus.
#include "tests/support/script_corpus.h"

namespace testing_support {

namespace {

const std::u16string kLong(300, u'x');
const std::u16string kLongHeader = u"[HKEY_CURRENT_USER\\" + kLong + u"]\n";

}  // namespace

std::vector<CorpusCase> ScriptCorpus() {
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

Bytes BigByteValueScript() {
    std::u16string text = u"[HKEY_CURRENT_USER\\A]\n\"B\"=hex:";
    for (int line = 0; line < 30; ++line) {
        for (int i = 0; i < 70; ++i) text += u"ab,";
        text += u"\\\n  ";
    }
    text += u"01\n";
    return Script(text);
}

}  // namespace testing_support
