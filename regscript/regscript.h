// Registry script import: applies one UTF-16 LE registry script (a subset of the
// registry editor's export syntax) to the platform registry.
//
// Layout:
//   - the line reader: bytes to whole lines (LF ends a line, CR is dropped, a BOM at
//     the start of a line is removed), usable over a file or character by character;
//   - the pure steps of the importer: a section header, a value line and its data
//     (text, 32-bit number, byte pairs with continuation lines), the hex digit rules;
//   - the section state machine, fed one line at a time: it says what the importer
//     does with each line (open a key, write a value, pass the line over, end the
//     section) and where the next line comes from, and never touches the registry;
//   - ImportRegistryScript, the driver that reads the file, feeds the machine and
//     makes the registry calls.
// Everything works on the fixed buffers below; a caller such as a script checker can
// run the same steps on its own buffers and learn what the importer would do.
#pragma once

#include "platform/wince.h"

// ---- Bounds, in characters (16-bit code units) unless stated ----

enum {
    kScriptLineChars = 256,    // a line: 255 characters and the terminator
    kScriptKeyPathChars = 256,  // root token, then key path
    kScriptValueNameChars = 256,
    kScriptTextChars = 1024,    // data of a text value, terminator included
    kScriptByteDataBytes = 8196,  // data of a byte-string value, in bytes
    kScriptDigitChars = 64,     // hexadecimal digits of a number: 63 and the terminator
    kScriptMaxLineLength = kScriptLineChars - 1,
    kScriptMaxDigits = kScriptDigitChars - 1
};

// ---- Reading lines ----

// Result of reading one line. kScriptEnd is 0, so the result reads as a boolean
// "a line was read".
enum ScriptLineStatus {
    kScriptEnd = 0,          // end of file: the characters since the last LF are dropped
    kScriptLine = 1,         // a whole line is in the buffer, terminated
    kScriptLineTooLong = 2   // a line over 255 characters was read to its LF and dropped,
                             // all but its first character (as read, after a leading
                             // U+FEFF is removed): the importer still tells a value line
                             // or a header from any other line
};

// Builds one line from the characters of a script, as ReadScriptLine does over a
// file: for callers that have the script's characters in memory.
struct ScriptLineBuilder {
    WCHAR* line;      // kScriptLineChars characters
    DWORD length;     // characters kept so far
    BOOL tooLong;     // more than kScriptMaxLineLength characters were offered
    BOOL markerSeen;  // a leading U+FEFF was already removed from this line
};

void ScriptLineStart(ScriptLineBuilder* builder, WCHAR* line);
// Takes one character; TRUE when it was the LF that completes the line.
BOOL ScriptLineAdd(ScriptLineBuilder* builder, WCHAR c);
// Terminates the line; kScriptLine or kScriptLineTooLong.
ScriptLineStatus ScriptLineFinish(ScriptLineBuilder* builder);

// Reads the next line of the file into line (kScriptLineChars characters). A read
// that delivers fewer than two bytes is the end of the file.
ScriptLineStatus ReadScriptLine(HANDLE file, WCHAR* line);

// ---- Hexadecimal digits ----

// TRUE for a decimal digit and, after lower-casing, for 'a' to 'f'.
BOOL IsHexDigitChar(WCHAR c);

// What one digit counts, in a number and in a byte pair alike: after lower-casing,
// 'a' and above count from 0x57 ('a' is 10), everything else from '0'. The character
// is not checked, so any character counts something.
DWORD HexDigitValue(WCHAR c);

// Unsigned 32-bit value of a string of hexadecimal digits; only the last eight count.
DWORD ParseHexNumber(const WCHAR* digits);

// ---- Section headers ----

enum ScriptHeaderResult {
    kHeaderNone = 0,         // the line does not begin with '['
    kHeaderUnknownRoot = 1,  // the root token is none of the three roots
    kHeaderOk = 2
};

struct ScriptHeader {
    HKEY root;
    WCHAR keyPath[kScriptKeyPathChars];  // the key path under the root
    BOOL hasKeyPath;  // FALSE: the header names only the root, which is opened itself
};

// The whole header: the root token (compared ignoring case with HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER and HKEY_CLASSES_ROOT), then the key path after the first '\' up
// to ']' or the end of the line (a missing ']' is accepted).
ScriptHeaderResult ParseSectionHeader(const WCHAR* line, ScriptHeader* header);

// ---- Value lines ----

// Why a value line writes nothing (kValueWritten when it does).
enum ScriptValueReason {
    kValueWritten = 0,
    kValueNoClosingQuote = 1,  // the quoted name has no closing double quote
    kValueNoData = 2,          // the line ends at its closing quote, its '@' or its separator
    kValueUnknownKind = 3,     // the data part begins with something other than '"', 'd', 'h'
    kValueTextUnterminated = 4,  // a text value without its closing double quote
    kValueBytesTooMany = 5,    // byte data beyond kScriptByteDataBytes
    kValueContinuationTooLong = 6,  // a continuation line over 255 characters
    kValueLineTooLong = 7      // the value line itself is over 255 characters
};

enum ScriptValueProgress {
    kValueDone = 0,      // the value is complete: see type and reason
    kValueNeedsLine = 1   // byte data goes on on the next line (ContinueByteData)
};

// One value line, decoded into the importer's buffers.
struct ScriptValue {
    WCHAR name[kScriptValueNameChars];  // "" is the key's default value
    DWORD type;                        // REG_SZ, REG_DWORD, REG_BINARY; REG_NONE: nothing
    WCHAR text[kScriptTextChars];
    BYTE bytes[kScriptByteDataBytes];
    DWORD byteCount;
    WCHAR digits[kScriptDigitChars];
    DWORD number;
    BYTE numberBytes[4];  // the number, little-endian, as written
    ScriptValueReason reason;
};

// TRUE for a line that the importer takes as a value line (it begins with '"' or '@').
BOOL IsValueLine(const WCHAR* line);

// Takes the name part; returns the index where the separator stands, or -1 when the
// name has no closing quote. A name "@" (bare or quoted) becomes the empty name.
int TakeValueName(const WCHAR* line, WCHAR* name);

// Decodes a whole value line: clears the buffers, takes the name, decodes the data
// (a text, a "d" number after six skipped characters, "h" byte pairs after everything
// up to the first ':').
ScriptValueProgress DecodeValueLine(const WCHAR* line, ScriptValue* value);

// A value line over 255 characters: only its first character was kept, so nothing is
// decoded and nothing written (kValueLineTooLong).
void SkipLongValueLine(ScriptValue* value);

// Continues byte data on the next line (after a '\' at the end of the last one).
ScriptValueProgress ContinueByteData(const WCHAR* line, ScriptValue* value);

// Ends byte data that was waiting for a continuation line, with the bytes so far: at
// the end of the file, or at a header; when the continuation line was over-long,
// nothing is written.
void EndByteData(ScriptValue* value, BOOL lineTooLong);

// The bytes that RegSetValueExW receives for a complete value (type not REG_NONE).
void ScriptValueData(const ScriptValue* value, const BYTE** data, DWORD* size);

// ---- The section state machine ----

enum ScriptPhase {
    kPhaseSeekSection = 0,  // looking for a header line
    kPhaseOpeningKey = 1,   // a header was found; waiting for ScriptKeyOpened
    kPhaseInSection = 2,    // a key is open: value lines are written
    kPhaseByteData = 3      // byte data waits for its continuation line
};

// What the importer does with one line.
enum ScriptEvent {
    kEventPassedOver = 0,    // seeking: not a header, or a header over 255 characters
    kEventUnknownRoot = 1,   // seeking: a header whose root is not recognised
    kEventOpenKey = 2,       // seeking: header holds the key to open; report with ScriptKeyOpened
    kEventWriteValue = 3,    // value holds a value to write
    kEventValueSkipped = 4,  // a value line (or its continuation) writes nothing: value.reason
    kEventNeedLine = 5,      // byte data continues on the next line
    kEventSectionEnd = 6     // the line ends the section: close the key
};

// Where the line fed next comes from: the machine says, the importer follows.
enum ScriptNextLine {
    kNextLineRead = 0,     // read the next line over the buffer as it stands
    kNextLineCleared = 1,  // clear the line buffer, then read: a value line or a
                           // continuation line is due
    kNextLineSame = 2      // feed the same line again: it ended the section or the byte
                           // data, and a header there opens the next section
};

struct ScriptImport {
    ScriptPhase phase;
    ScriptNextLine next;
    ScriptHeader header;
    ScriptValue value;
};

void ScriptImportStart(ScriptImport* import);

// Feeds the next line with the status ReadScriptLine gave it (not kScriptEnd).
ScriptEvent ScriptImportFeed(ScriptImport* import, const WCHAR* line,
                             ScriptLineStatus lineStatus);

// Reports whether the key of the last kEventOpenKey was opened: the section is then
// read; otherwise its lines are passed over until the next header.
void ScriptKeyOpened(ScriptImport* import, BOOL opened);

// How to come by the line to feed after the last ScriptImportFeed or ScriptKeyOpened.
ScriptNextLine ScriptImportNextLine(const ScriptImport* import);

// At the end of the file: kEventWriteValue or kEventValueSkipped when byte data was
// still waiting for a continuation line (it is written with the bytes so far),
// kEventPassedOver otherwise.
ScriptEvent ScriptImportEnd(ScriptImport* import);

// ---- The import ----

// Applies the script at path to the registry. A script that cannot be opened is
// skipped; nothing is reported.
void ImportRegistryScript(LPCWSTR path);
