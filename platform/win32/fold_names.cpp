// fold_names.exe: the Windows build's case folding (store/text_win32.cpp) of every
// line of standard input (UTF-8), one line out per line in: the folded UTF-16 code
// units in hex, four digits each. The difference test folds the same names with the
// host's ICU folding and compares.
#include <windows.h>

#include <cstdio>
#include <string>

#include "store/text.h"

int wmain() {
    std::string input;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &got, nullptr) && got > 0)
        input.append(chunk, got);
    std::string out;
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        for (char16_t c : text::FoldCase(text::FromUtf8(input.substr(start, end - start)))) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%04x", static_cast<unsigned>(c));
            out += hex;
        }
        out += '\n';
        start = end + 1;
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    return 0;
}
