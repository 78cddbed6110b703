// Property databases: the mounted volumes, and databases opened from them. The core
// (volumes from the mount table, records held in memory, the read block's layout) is
// platform/cedb.h, shared with the Windows build; here are the device's handles, its
// lock, its allocator and the write trace. Seeks and reads on the thread that opened
// the database take neither the lock nor the table (device.h).
#include "platform/cedb.h"
#include "platform/host/device.h"
#include "platform/host/errors.h"
#include "platform/host/read_blocks.h"
#include "store/bytes.h"

namespace host::device {

namespace {

// Read blocks come from the free lists of read_blocks.h; LocalFree gives them back.
const cedb::Allocator kAllocator = {&read_blocks::Take, &read_blocks::Give};

}  // namespace

store::VolumeStore* Device::Volume(const std::u16string& volumePath) {
    std::filesystem::path host;
    if (files_.paths.Resolve(volumePath, &host) != store::PathStatus::Ok) return nullptr;
    auto& slot = databases_.volumes[host];
    if (!slot) slot = std::make_unique<store::VolumeStore>(host, store::Mode::ReadWrite);
    return slot.get();
}

BOOL Device::CeEnumDBVolumes(PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize) {
    if (pguid == nullptr || lpBuf == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(mutex_);
    std::vector<store::Mount> mounts;
    try {
        mounts = databases_.mounts->List();
    } catch (const store::Error& e) {
        StoreFailed(e, false);
        SetLastError(kStoreReadFailed);
        return FALSE;
    }
    return cedb::NextVolume(mounts, pguid, lpBuf, dwSize);
}

HANDLE Device::CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID,
                                DWORD dwFlags, CENOTIFYREQUEST*) {
    std::lock_guard lock(mutex_);
    cedb::VolumeAccess access;
    access.volume = [this](const store::Mount& m) { return Volume(m.volumePath); };
    access.share = [this](const store::Mount& m, store::VolumeStore& volume, const store::DatabaseInfo& info) {
        std::filesystem::path host;
        files_.paths.Resolve(m.volumePath, &host);
        auto& cached = databases_.open[{host, info.oid}];
        std::shared_ptr<cedb::Database> db = cached.lock();
        if (!db) {
            db = cedb::Database::Load(volume, m.volumePath, info);
            cached = db;
        }
        return db;
    };
    try {
        std::shared_ptr<cedb::Database> db = cedb::Open(databases_.mounts->List(), pguid, poid, lpszName, access);
        if (!db) return INVALID_HANDLE_VALUE;
        auto object = std::make_unique<DatabaseObject>(std::move(db), (dwFlags & CEDB_AUTOINCREMENT) != 0);
        Object* opened = object.get();
        const uintptr_t handle = handles_.Add(std::move(object));
        Own(handle, opened);
        return reinterpret_cast<HANDLE>(handle);
    } catch (const store::Error& e) {
        StoreFailed(e, false);
        SetLastError(kStoreReadFailed);
        return INVALID_HANDLE_VALUE;
    }
}

CEOID Device::SeekDatabaseLocked(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue,
                                 LPDWORD lpdwIndex) {
    std::lock_guard lock(mutex_);
    const auto handle = reinterpret_cast<uintptr_t>(hDatabase);
    auto* h = handles_.Find<DatabaseObject>(handle, Object::Kind::Database);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (h->owner == ThisThread()) Own(handle, h);
    return cedb::Seek(h->cursor, dwSeekType, dwValue, lpdwIndex);
}

CEOID Device::ReadRecordPropsLocked(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID,
                                    CEPROPID* rgPropID, LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) {
    std::lock_guard lock(mutex_);
    const auto handle = reinterpret_cast<uintptr_t>(hDbase);
    auto* h = handles_.Find<DatabaseObject>(handle, Object::Kind::Database);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (h->owner == ThisThread()) Own(handle, h);
    return cedb::Read(h->cursor, dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer, kAllocator);
}

CEOID Device::CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID,
                                 CEPROPVAL* rgPropVal) {
    std::lock_guard lock(mutex_);
    auto* h = handles_.Find<DatabaseObject>(reinterpret_cast<uintptr_t>(hDbase), Object::Kind::Database);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (writesStopped_) {
        SetLastError(kStoreWriteFailed);
        return 0;
    }
    cedb::WriteObserver trace;
    if (options_.trace) {
        trace = [this](const cedb::Database& db, CEOID record, const store::Property& p) {
            Trace("db\t" + TraceText(db.volumePath) + "\t" + TraceText(db.name) + "\t" +
                  std::to_string(record) + "\t" + std::to_string(p.propid) + "\t" + store::HexOf(p.bytes));
        };
    }
    const CEOID written = cedb::Write(h->cursor, oidRecord, cPropID, rgPropVal, trace,
                                      [this](const store::Error& e) { StoreFailed(e, true); });
    if (written) Committed(1);
    return written;
}

}  // namespace host::device
