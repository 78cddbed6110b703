// Finding the language volume and applying a patch file to one of its databases.
//
// Records are reached by position only: for every entry the scan starts again at
// record 0 and the first record whose key property matches is changed. The database
// is opened without a sort order, and its record order stays fixed while it is open.
#include "langdb/langdb.h"

const WCHAR kLanguageVolumeName[] = TEXT("\\storage\\mxip_lang.vol");

namespace {

BOOL KeyMatches(const PatchProperty* key, const CEPROPVAL* property) {
    if (property->wFlags & CEDB_PROPNOTFOUND) return FALSE;
    if (TypeFromPropID(key->tag) == CEVT_LPWSTR) {
        return property->val.lpwstr != NULL && _wcsicmp(property->val.lpwstr, key->text) == 0;
    }
    return property->val.ulVal == key->number;
}

// Writes the entry's new property into the first matching record, if any.
void ApplyPatchEntry(HANDLE database, PatchEntry* entry) {
    for (DWORD i = 0;; ++i) {
        DWORD index = 0;
        if (CeSeekDatabase(database, CEDB_SEEK_BEGINNING, i, &index) == 0) return;
        WORD count = 1;
        CEPROPID keyTag = entry->key.tag;
        LPBYTE buffer = NULL;
        DWORD size = 0;
        const CEOID record = CeReadRecordProps(database, CEDB_ALLOWREALLOC, &count, &keyTag,
                                               &buffer, &size);
        if (record == 0 || buffer == NULL) {
            if (buffer != NULL) LocalFree(buffer);
            continue;
        }
        if (!KeyMatches(&entry->key, reinterpret_cast<const CEPROPVAL*>(buffer))) {
            LocalFree(buffer);
            continue;
        }
        CEPROPVAL property;
        memset(&property, 0, sizeof property);
        property.propid = entry->value.tag;
        if (TypeFromPropID(entry->value.tag) == CEVT_LPWSTR) {
            property.val.lpwstr = entry->value.text;
        } else {
            property.val.ulVal = entry->value.number;
        }
        CeWriteRecordProps(database, record, 1, &property);
        LocalFree(buffer);
        return;
    }
}

}  // namespace

BOOL FindLanguageVolume(CEGUID* volume) {
    if (volume == NULL) return FALSE;
    CEGUID guid;
    WCHAR name[kVolumeNameChars];
    CREATE_INVALIDGUID(&guid);
    memset(name, 0, sizeof name);
    while (CeEnumDBVolumes(&guid, name, kVolumeNameChars)) {
        if (_wcsicmp(name, kLanguageVolumeName) == 0) {
            memcpy(volume, &guid, sizeof guid);
            return TRUE;
        }
    }
    return FALSE;
}

BOOL PatchLanguageDatabase(CEGUID* volume, LPCWSTR databaseName, LPCWSTR patchPath) {
    if (volume == NULL || databaseName == NULL || patchPath == NULL) return FALSE;
    HANDLE file = CreateFileW(patchPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    CEOID oid = 0;
    // The platform declares the name writable but only reads it.
    HANDLE database = CeOpenDatabaseEx(volume, &oid, const_cast<LPWSTR>(databaseName), 0, 0, NULL);
    if (database == INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return FALSE;
    }
    PatchEntry entry;
    for (;;) {
        const PatchReadResult result = ReadPatchEntry(file, &entry);
        if (result == kPatchTextTooLong) continue;  // skipped whole; the next entry follows
        if (result != kPatchRead) break;
        ApplyPatchEntry(database, &entry);
    }
    CloseHandle(database);
    CloseHandle(file);
    return TRUE;
}
