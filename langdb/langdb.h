// Language database patching: finds the mounted language volume and applies one
// binary patch file to one property database in it.
//
// A patch file is a sequence of entries up to its end, with no header: each entry is
// two properties, the key and the new value. A property is a 4-byte tag (low 16 bits
// the type, high 16 bits the identifier) followed, for CEVT_LPWSTR, by a 2-byte
// character count n and 2n bytes of UTF-16 text (no terminator) or, for CEVT_UI4, by
// a 4-byte number; all little-endian. For each entry the first record, from record 0
// on, whose key property equals the key (text ignoring case, numbers exactly) gets
// the new property written into it.
#pragma once

#include "platform/wince.h"

enum {
    kPatchTextChars = 500,  // a text of at most 499 characters and its terminator
    kPatchMaxTextLength = kPatchTextChars - 1,
    kVolumeNameChars = MAX_PATH
};

// The language volume's name, compared ignoring case.
extern const WCHAR kLanguageVolumeName[];

// How reading a patch property or entry ended.
enum PatchReadResult {
    kPatchRead = 0,         // a whole property (entry) was read
    kPatchEndOfData = 1,    // the data ended cleanly, before the entry's first byte
    kPatchCut = 2,          // the data ended inside a field or between key and value
    kPatchUnknownType = 3,  // a type other than CEVT_LPWSTR and CEVT_UI4
    kPatchEmptyText = 4,    // a text of zero characters
    kPatchTextTooLong = 5   // a text over 499 characters: read past, entry skipped
};

// Which property of the entry the result concerns.
enum PatchPart {
    kPatchPartKey = 0,
    kPatchPartValue = 1
};

struct PatchProperty {
    CEPROPID tag;
    DWORD number;                 // CEVT_UI4
    WCHAR text[kPatchTextChars];  // CEVT_LPWSTR, terminated; empty when too long
    DWORD textLength;             // the character count the file gives
    DWORD byteCount;              // bytes of the file this property took
};

struct PatchEntry {
    PatchProperty key;
    PatchProperty value;
    PatchPart part;  // where a result other than kPatchRead arose
};

// Reads one property. Every field must arrive whole: a read that delivers fewer bytes
// than asked ends the data (kPatchCut, or kPatchEndOfData before the tag's first
// byte). A text over 499 characters is read past, so the next property follows.
PatchReadResult ReadPatchPropertyEx(HANDLE file, PatchProperty* property);

// Reads one entry: kPatchRead, kPatchTextTooLong (both properties were read past; the
// entry is skipped and the next one follows), or why the data stops here.
PatchReadResult ReadPatchEntry(HANDLE file, PatchEntry* entry);

// TRUE when a whole property of one of the two types was read; text holds
// kPatchTextChars characters.
BOOL ReadPatchProperty(HANDLE file, CEPROPID* tag, DWORD* number, WCHAR* text);

// TRUE when "\storage\mxip_lang.vol" is mounted; *volume then holds its identifier.
BOOL FindLanguageVolume(CEGUID* volume);

// Applies the patch file to the named database of the volume. TRUE when the database
// was opened, whatever the entries did; FALSE when an argument is missing or the patch
// file or the database cannot be opened.
BOOL PatchLanguageDatabase(CEGUID* volume, LPCWSTR databaseName, LPCWSTR patchPath);
