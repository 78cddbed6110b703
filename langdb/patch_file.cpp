// The patch file reader: one property, one entry at a time.
//
// Every field is read whole or not at all: a read that delivers fewer bytes than
// asked ends the data, so no entry is ever built from bytes left over from the one
// before. A text longer than the 499-character buffer is read past in pieces and the
// entry it belongs to is skipped.
#include "langdb/langdb.h"

namespace {

const DWORD kTagBytes = 4;
const DWORD kLengthBytes = 2;
const DWORD kNumberBytes = 4;
const DWORD kCharBytes = 2;

// Reads exactly size bytes: kPatchRead, kPatchEndOfData when nothing came, kPatchCut
// when fewer came.
PatchReadResult ReadField(HANDLE file, BYTE* buffer, DWORD size, DWORD* byteCount) {
    DWORD delivered = 0;
    if (!ReadFile(file, buffer, size, &delivered, NULL) || delivered == 0) return kPatchEndOfData;
    *byteCount += delivered;
    return delivered < size ? kPatchCut : kPatchRead;
}

// A field after the property's first: running out of data there cuts the property.
PatchReadResult ReadInnerField(HANDLE file, BYTE* buffer, DWORD size, DWORD* byteCount) {
    const PatchReadResult result = ReadField(file, buffer, size, byteCount);
    return result == kPatchEndOfData ? kPatchCut : result;
}

DWORD LittleEndian32(const BYTE* b) {
    return static_cast<DWORD>(b[0]) | (static_cast<DWORD>(b[1]) << 8) |
           (static_cast<DWORD>(b[2]) << 16) | (static_cast<DWORD>(b[3]) << 24);
}

// Reads n characters into text; over the buffer's bound they are read past and the
// text is left empty.
PatchReadResult ReadText(HANDLE file, DWORD n, PatchProperty* property) {
    BYTE* bytes = reinterpret_cast<BYTE*>(property->text);
    if (n > kPatchMaxTextLength) {
        DWORD left = n * kCharBytes;
        while (left > 0) {
            const DWORD piece = left < kPatchMaxTextLength * kCharBytes ? left
                                                                         : kPatchMaxTextLength * kCharBytes;
            const PatchReadResult result =
                ReadInnerField(file, bytes, piece, &property->byteCount);
            if (result != kPatchRead) return result;
            left -= piece;
        }
        memset(property->text, 0, sizeof property->text);
        return kPatchTextTooLong;
    }
    const PatchReadResult result =
        ReadInnerField(file, bytes, n * kCharBytes, &property->byteCount);
    if (result != kPatchRead) return result;
    for (DWORD i = 0; i < n; ++i) {
        const BYTE low = bytes[2 * i];
        const BYTE high = bytes[2 * i + 1];
        property->text[i] = static_cast<WCHAR>(low | (high << 8));
    }
    property->text[n] = 0;
    return kPatchRead;
}

}  // namespace

PatchReadResult ReadPatchPropertyEx(HANDLE file, PatchProperty* property) {
    memset(property, 0, sizeof *property);
    BYTE field[kTagBytes];
    PatchReadResult result = ReadField(file, field, kTagBytes, &property->byteCount);
    if (result != kPatchRead) return result;
    property->tag = LittleEndian32(field);
    switch (TypeFromPropID(property->tag)) {
        case CEVT_LPWSTR:
            result = ReadInnerField(file, field, kLengthBytes, &property->byteCount);
            if (result != kPatchRead) return result;
            property->textLength = static_cast<DWORD>(field[0] | (field[1] << 8));
            if (property->textLength == 0) return kPatchEmptyText;
            return ReadText(file, property->textLength, property);
        case CEVT_UI4:
            result = ReadInnerField(file, field, kNumberBytes, &property->byteCount);
            if (result != kPatchRead) return result;
            property->number = LittleEndian32(field);
            return kPatchRead;
        default:
            return kPatchUnknownType;
    }
}

PatchReadResult ReadPatchEntry(HANDLE file, PatchEntry* entry) {
    entry->part = kPatchPartKey;
    const PatchReadResult key = ReadPatchPropertyEx(file, &entry->key);
    if (key != kPatchRead && key != kPatchTextTooLong) return key;
    entry->part = kPatchPartValue;
    const PatchReadResult value = ReadPatchPropertyEx(file, &entry->value);
    if (value == kPatchEndOfData) return kPatchCut;  // a key without its value
    if (value != kPatchRead && value != kPatchTextTooLong) return value;
    if (key == kPatchTextTooLong) {
        entry->part = kPatchPartKey;
        return kPatchTextTooLong;
    }
    return value;
}

BOOL ReadPatchProperty(HANDLE file, CEPROPID* tag, DWORD* number, WCHAR* text) {
    PatchProperty property;
    const PatchReadResult result = ReadPatchPropertyEx(file, &property);
    *tag = property.tag;
    *number = property.number;
    memcpy(text, property.text, sizeof property.text);
    return result == kPatchRead;
}
