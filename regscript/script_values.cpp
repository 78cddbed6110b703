// The importer's pure steps: section headers, value lines and their data.
//
// Every routine reads a line only up to its terminator and writes its buffers only
// within their bounds; the characters a "d" or "h" data part skips stop at the end of
// the line as well.
#include "regscript/regscript.h"

namespace {

const WCHAR kQuote = TEXT('"');
const WCHAR kAt = TEXT('@');
const WCHAR kBackslash = TEXT('\\');
const WCHAR kOpenBracket = TEXT('[');
const WCHAR kCloseBracket = TEXT(']');
const WCHAR kColon = TEXT(':');
const WCHAR kCarriageReturn = 0x000D;
const WCHAR kLineFeed = 0x000A;
const int kNumberSkip = 6;  // "dword:" in the editor's syntax, not examined
const int kBytesSkip = 3;   // "hex" in the editor's syntax, not examined

struct RootToken {
    const WCHAR* name;
    HKEY root;
};

// Compared in this order.
const RootToken kRootTokens[] = {
    {TEXT("HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE},
    {TEXT("HKEY_CURRENT_USER"), HKEY_CURRENT_USER},
    {TEXT("HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT}
};
const int kRootTokenCount = sizeof kRootTokens / sizeof kRootTokens[0];

// Copies src up to (not including) a stop character or the end, at most max
// characters, and terminates; returns the number of characters copied.
int CopyUntil(const WCHAR* src, WCHAR stop1, WCHAR stop2, WCHAR* dst, int max) {
    int n = 0;
    while (src[n] != 0 && src[n] != stop1 && src[n] != stop2 && n < max) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
    return n;
}

// Takes the root token; returns the index in line where it stopped.
int TakeRootToken(const WCHAR* line, ScriptHeader* header, ScriptHeaderResult* result) {
    memset(header->keyPath, 0, sizeof header->keyPath);
    header->root = NULL;
    header->hasKeyPath = FALSE;
    if (line[0] != kOpenBracket) {
        *result = kHeaderNone;
        return 0;
    }
    const int stop = 1 + CopyUntil(line + 1, kBackslash, kCloseBracket, header->keyPath,
                                   kScriptKeyPathChars - 1);
    *result = kHeaderUnknownRoot;
    for (int i = 0; i < kRootTokenCount; ++i) {
        if (_wcsicmp(header->keyPath, kRootTokens[i].name) == 0) {
            header->root = kRootTokens[i].root;
            *result = kHeaderOk;
            break;
        }
    }
    return stop;
}

// Ends byte data: data that did not fit is not written at all.
ScriptValueProgress FinishBytes(ScriptValue* value) {
    if (value->reason != kValueWritten) value->type = REG_NONE;
    return kValueDone;
}

// The byte-pair loop from p. A continuation line's first character skips the end
// and continuation tests and is taken as it stands.
ScriptValueProgress DecodeBytePairs(const WCHAR* p, ScriptValue* value, BOOL continuationStart) {
    for (;;) {
        const WCHAR c = *p;
        if (!continuationStart) {
            if (c == 0 || c == kCarriageReturn || c == kLineFeed) return FinishBytes(value);
            if (c == kBackslash) return kValueNeedsLine;
        }
        continuationStart = FALSE;
        if (c == TEXT(' ') || c == TEXT(',')) {
            ++p;
            continue;
        }
        if (c == 0 || p[1] == 0) return FinishBytes(value);  // a lone last digit is dropped
        // Characters are not validated: every pair makes a byte by the digit rule.
        const DWORD pair = HexDigitValue(c) * 16 + HexDigitValue(p[1]);
        if (value->byteCount < kScriptByteDataBytes) {
            value->bytes[value->byteCount++] = static_cast<BYTE>(pair & 0xFF);
        } else {
            value->reason = kValueBytesTooMany;  // read on to the end, write nothing
        }
        p += 2;
    }
}

// Text after the opening quote up to the next one, stored literally; FALSE when the
// closing quote is missing.
BOOL DecodeTextData(const WCHAR* data, WCHAR* text) {
    const int n = CopyUntil(data + 1, kQuote, kQuote, text, kScriptTextChars - 1);
    if (data[1 + n] != kQuote) {
        memset(text, 0, kScriptTextChars * sizeof(WCHAR));
        return FALSE;
    }
    return TRUE;
}

// The number after the six skipped characters of a "d" data part ("dword:"); no
// digits give 0, more than 63 digits keep only the last 63.
DWORD DecodeNumberData(const WCHAR* data, WCHAR* digits) {
    memset(digits, 0, kScriptDigitChars * sizeof(WCHAR));
    const WCHAR* p = data;
    for (int i = 0; i < kNumberSkip && *p != 0; ++i) ++p;
    int count = 0;
    for (; IsHexDigitChar(*p); ++p) {
        if (count == kScriptMaxDigits) {
            // Keep the last digits: only the last eight count anyway.
            memmove(digits, digits + 1, (kScriptMaxDigits - 1) * sizeof(WCHAR));
            --count;
        }
        digits[count++] = *p;
        digits[count] = 0;
    }
    return ParseHexNumber(digits);
}

// Starts byte data at a "h" data part: three skipped characters, everything up to and
// including the first ':', then byte pairs.
ScriptValueProgress BeginByteData(const WCHAR* data, ScriptValue* value) {
    const WCHAR* p = data;
    for (int i = 0; i < kBytesSkip && *p != 0; ++i) ++p;
    while (*p != 0 && *p != kColon) ++p;
    if (*p == kColon) ++p;
    value->type = REG_BINARY;
    return DecodeBytePairs(p, value, FALSE);
}

// Clears the value's buffers before a value line is taken.
void StartValue(ScriptValue* value) {
    memset(value->name, 0, sizeof value->name);
    memset(value->text, 0, sizeof value->text);
    memset(value->bytes, 0, sizeof value->bytes);
    memset(value->numberBytes, 0, sizeof value->numberBytes);
    value->digits[0] = 0;
    value->number = 0;
    value->byteCount = 0;
    value->type = REG_NONE;
    value->reason = kValueWritten;
}

}  // namespace

ScriptHeaderResult ParseSectionHeader(const WCHAR* line, ScriptHeader* header) {
    ScriptHeaderResult result = kHeaderNone;
    const int stop = TakeRootToken(line, header, &result);
    if (result != kHeaderOk) return result;
    memset(header->keyPath, 0, sizeof header->keyPath);
    if (line[stop] == kBackslash) {
        CopyUntil(line + stop + 1, kCloseBracket, kCloseBracket, header->keyPath,
                  kScriptKeyPathChars - 1);
    }
    // A header that names only the root ("[ROOT]" or "[ROOT\]") opens the root itself.
    header->hasKeyPath = header->keyPath[0] != 0;
    return kHeaderOk;
}

BOOL IsValueLine(const WCHAR* line) { return line[0] == kQuote || line[0] == kAt; }

int TakeValueName(const WCHAR* line, WCHAR* name) {
    name[0] = 0;
    int separator = -1;
    if (line[0] == kAt) {
        name[0] = kAt;
        name[1] = 0;
        separator = 1;
    } else if (line[0] == kQuote) {
        const int n = CopyUntil(line + 1, kQuote, kQuote, name, kScriptValueNameChars - 1);
        if (line[1 + n] != kQuote) {
            name[0] = 0;
            return -1;
        }
        separator = n + 2;
    }
    if (name[0] == kAt && name[1] == 0) name[0] = 0;  // "@" is the default value
    return separator;
}

ScriptValueProgress ContinueByteData(const WCHAR* line, ScriptValue* value) {
    if (line[0] == 0) return FinishBytes(value);  // an empty continuation line ends the data
    return DecodeBytePairs(line, value, TRUE);
}

void EndByteData(ScriptValue* value, BOOL lineTooLong) {
    if (lineTooLong) value->reason = kValueContinuationTooLong;
    FinishBytes(value);
}

ScriptValueProgress DecodeValueLine(const WCHAR* line, ScriptValue* value) {
    StartValue(value);
    const int separator = TakeValueName(line, value->name);
    if (separator < 0) {
        value->reason = kValueNoClosingQuote;
        return kValueDone;
    }
    // The separator is skipped unexamined; the data part starts after it.
    if (line[separator] == 0 || line[separator + 1] == 0) {
        value->reason = kValueNoData;
        return kValueDone;
    }
    const WCHAR* data = line + separator + 1;
    switch (data[0]) {
        case kQuote:
            if (DecodeTextData(data, value->text)) {
                value->type = REG_SZ;
            } else {
                value->reason = kValueTextUnterminated;
            }
            return kValueDone;
        case TEXT('d'):
            value->number = DecodeNumberData(data, value->digits);
            for (int i = 0; i < 4; ++i) value->numberBytes[i] = (value->number >> (8 * i)) & 0xFF;
            value->type = REG_DWORD;
            return kValueDone;
        case TEXT('h'):
            return BeginByteData(data, value);
        default:
            value->reason = kValueUnknownKind;
            return kValueDone;
    }
}

void SkipLongValueLine(ScriptValue* value) {
    StartValue(value);
    value->reason = kValueLineTooLong;
}

void ScriptValueData(const ScriptValue* value, const BYTE** data, DWORD* size) {
    switch (value->type) {
        case REG_SZ:
            *data = reinterpret_cast<const BYTE*>(value->text);
            *size = static_cast<DWORD>((wcslen(value->text) + 1) * sizeof(WCHAR));
            return;
        case REG_DWORD:
            *data = value->numberBytes;
            *size = sizeof value->numberBytes;
            return;
        case REG_BINARY:
            *data = value->bytes;
            *size = value->byteCount;
            return;
        default:
            *data = NULL;
            *size = 0;
            return;
    }
}
