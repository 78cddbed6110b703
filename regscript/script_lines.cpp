// The script line reader and the hexadecimal digit rules.
//
// A script is UTF-16 LE read two bytes at a time. LF ends a line, CR is dropped
// wherever it stands, and a U+FEFF at the start of a line (the byte-order mark) is
// removed. A line that would not fit the line buffer is read to its LF and dropped,
// all but its first character, so the buffer is never written past its end.
#include "regscript/regscript.h"

namespace {

const WCHAR kLineFeed = 0x000A;
const WCHAR kCarriageReturn = 0x000D;
const WCHAR kByteOrderMark = 0xFEFF;
const DWORD kCharBytes = 2;
const DWORD kHexDigitsInNumber = 8;

}  // namespace

void ScriptLineStart(ScriptLineBuilder* builder, WCHAR* line) {
    builder->line = line;
    builder->length = 0;
    builder->tooLong = FALSE;
    builder->markerSeen = FALSE;
    line[0] = 0;
}

BOOL ScriptLineAdd(ScriptLineBuilder* builder, WCHAR c) {
    if (c == kLineFeed) return TRUE;
    if (c == kCarriageReturn) return FALSE;
    if (c == kByteOrderMark && builder->length == 0 && !builder->markerSeen) {
        builder->markerSeen = TRUE;
        return FALSE;
    }
    if (builder->length >= kScriptMaxLineLength) {
        builder->tooLong = TRUE;
        return FALSE;
    }
    builder->line[builder->length++] = c;
    return FALSE;
}

ScriptLineStatus ScriptLineFinish(ScriptLineBuilder* builder) {
    if (builder->tooLong) {
        builder->line[1] = 0;  // the first character tells what kind of line it was
        return kScriptLineTooLong;
    }
    builder->line[builder->length] = 0;
    return kScriptLine;
}

ScriptLineStatus ReadScriptLine(HANDLE file, WCHAR* line) {
    ScriptLineBuilder builder;
    ScriptLineStart(&builder, line);
    for (;;) {
        BYTE pair[kCharBytes];
        DWORD delivered = 0;
        if (!ReadFile(file, pair, kCharBytes, &delivered, NULL) || delivered < kCharBytes) {
            // End of file, also after a lone final byte: the unfinished line is dropped.
            line[0] = 0;
            return kScriptEnd;
        }
        const WCHAR c = static_cast<WCHAR>(pair[0] | (pair[1] << 8));
        if (ScriptLineAdd(&builder, c)) return ScriptLineFinish(&builder);
    }
}

BOOL IsHexDigitChar(WCHAR c) {
    const WCHAR lower = towlower(c);
    if (iswdigit(lower)) return TRUE;
    return lower >= TEXT('a') && lower <= TEXT('f');
}

DWORD HexDigitValue(WCHAR c) {
    const WCHAR lower = towlower(c);
    return lower >= TEXT('a') ? static_cast<DWORD>(lower) - 0x57u
                              : static_cast<DWORD>(lower) - 0x30u;
}

DWORD ParseHexNumber(const WCHAR* digits) {
    DWORD value = 0;
    DWORD weight = 1;
    DWORD used = 0;
    for (size_t i = wcslen(digits); i > 0 && used < kHexDigitsInNumber; --i, ++used) {
        value += HexDigitValue(digits[i - 1]) * weight;
        weight *= 16;
    }
    // Digits before the last eight would be weighted by 16^8, which wraps to 0.
    return value;
}
