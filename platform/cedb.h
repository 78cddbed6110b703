// The property database calls' core, shared by every implementation behind
// platform/wince.h (platform/host/ on Linux, platform/win32/ on Windows), so that both
// name volumes, order records and read and write properties alike. Each
// implementation keeps its own handles, lock and allocator and calls these.
//
// Volumes are the mount table's entries; a volume's identifier is made from its mount
// id. An open database holds all its records in memory (Database, shared by every
// handle on it) and writes through to the volume store, which commits each call: the
// installer's scan -- seek to record i, read one property, free the buffer, for every
// patch entry -- then never touches SQLite. Each record's properties lie in one block
// in the form a read hands them back (each CEPROPVAL followed by its text or bytes),
// so reading one property is one copy.
//
// CeReadRecordProps hands out one block: the CEPROPVALs, then, each at an 8-byte
// boundary, the variable data (text with its terminator, blob bytes) that their
// pointers point at.
//
// Every function below reports failure as the call it serves does: 0, FALSE or
// INVALID_HANDLE_VALUE, with SetLastError.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wince.h"
#include "store/store.h"

namespace cedb {

// ---- Volumes ----

// True for the identifier that starts an enumeration (every bit set).
inline bool IsInvalidGuid(const CEGUID& g) {
    return (g.Data1 & g.Data2 & g.Data3 & g.Data4) == 0xFFFFFFFFu;
}

// The identifier of the volume mounted under the mount table's id, and back (none for
// an identifier that names no mount).
CEGUID GuidOf(uint32_t mountId);
std::optional<uint32_t> MountIdOf(const CEGUID& g);

// CeEnumDBVolumes over the mount table's list: the next mount after *pguid.
BOOL NextVolume(const std::vector<store::Mount>& mounts, PCEGUID pguid, LPWSTR lpBuf,
                DWORD dwSize);

// ---- Open databases ----

// The records of an open database (cedb.cpp): each record's properties in one
// unchanging block, in the form a read hands them back.
struct RecordTable;

struct Database {
    store::VolumeStore* volume = nullptr;
    std::u16string volumePath;
    std::u16string name;
    uint32_t oid = 0;
    std::unique_ptr<RecordTable> records;
    // Each record's object id with its index, sorted by object id; for Write and Seek
    // by object id only.
    std::vector<std::pair<CEOID, size_t>> byOid;

    Database();
    ~Database();
    // The records of one database of a volume, in record order.
    static std::shared_ptr<Database> Load(store::VolumeStore& volume, const std::u16string& volumePath,
                                          const store::DatabaseInfo& info);
    // How many records there are.
    size_t Count() const;
    // The index of the record with the object id; SIZE_MAX for none.
    size_t IndexOf(CEOID oid) const;
};

// How an implementation reaches volumes for Open: a mount's store (nullptr when its
// file is not there), and the one Database of a volume's database that every handle
// on it shares (made with Database::Load when none is open).
struct VolumeAccess {
    std::function<store::VolumeStore*(const store::Mount& mount)> volume;
    std::function<std::shared_ptr<Database>(const store::Mount& mount, store::VolumeStore& volume,
                                            const store::DatabaseInfo& info)>
        share;
};

// CeOpenDatabaseEx over the mount table's list: the database, by object id when *poid
// is not 0, else by name (ignoring case), in the first volume the identifier names
// that holds it; *poid receives its object id. nullptr with SetLastError when there is
// none; a store's failure is thrown (store::Error).
std::shared_ptr<Database> Open(const std::vector<store::Mount>& mounts, PCEGUID pguid, PCEOID poid,
                               LPWSTR lpszName, const VolumeAccess& access);

// What one handle on a database holds.
struct Cursor {
    Cursor(std::shared_ptr<Database> d, bool autoIncrement)
        : db(std::move(d)), records(*db->records), autoIncrement(autoIncrement) {}
    const std::shared_ptr<Database> db;
    const RecordTable& records;  // db's, at hand for the scan's calls
    const bool autoIncrement;
    // The current record, SIZE_MAX for none; an atomic so that a handle may be used on
    // more than one thread.
    std::atomic<size_t> current{SIZE_MAX};
};

// How CeReadRecordProps' blocks are allocated and released: the platform's LocalAlloc
// and LocalFree.
struct Allocator {
    void* (*allocate)(size_t bytes);
    void (*release)(void* block);
};

// Seek (but by object id) and Read look only at what Write publishes whole (a record
// is never changed in place: a write gives it a new block), so an implementation may
// call them without its lock, on a cursor that its thread alone uses; a record a
// write replaced stays readable until the database is dropped. Open, Write and
// Seek by object id need the lock.
//
//   CEOID Seek(Cursor& cursor, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex);
//   CEOID Read(Cursor& cursor, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
//              LPBYTE* lplpBuffer, LPDWORD lpcbBuffer, const Allocator& allocator);
//
// are inline (cedb_records.h), with the installer's read apart: when IsReadOne(...)
// holds, ReadOne(cursor, rgPropID[0], lplpBuffer, lpcbBuffer, allocate) is the whole
// read, with any allocate(bytes) callable.

// Every read but the installer's one-property read.
CEOID ReadMany(Cursor& cursor, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
               LPBYTE* lplpBuffer, LPDWORD lpcbBuffer, const Allocator& allocator);

// Called once for each property written, after the store committed it.
using WriteObserver = std::function<void(const Database& db, CEOID record, const store::Property& prop)>;

// Told the store's failure when a write fails in the store (the call then fails with
// ERROR_WRITE_FAULT).
using StoreFailure = std::function<void(const store::Error& failure)>;
CEOID Write(Cursor& cursor, CEOID oidRecord, WORD cPropID, CEPROPVAL* rgPropVal,
            const WriteObserver& written, const StoreFailure& failed = nullptr);

}  // namespace cedb

#include "platform/cedb_records.h"
