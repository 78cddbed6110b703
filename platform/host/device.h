// The device backend: serves the platform operations of wince.h from one bound
// device image. Internal to platform/host.
//
// One class, Device, whose methods live one file per service: device.cpp (binding,
// the handle table, CloseHandle, the trace), files.cpp, registry.cpp, databases.cpp,
// windows.cpp (windows, messages and threads). Each service keeps its state in a
// struct of its own (Files, RegistryBatch, Databases, Windows), below the store
// (store/), which holds the image itself.
//
// Every handle the device gives out (files, searches, keys, databases, threads,
// windows) sits in one table; a handle is never reused, so a closed or made-up handle
// is simply not found and the call fails with an error code. One mutex guards the
// device's state; calls that block (GetMessageW, WaitForSingleObject, the screen)
// wait without holding it.
//
// The calls an installer makes by the million (ReadFile, CeSeekDatabase,
// CeReadRecordProps, LocalFree) take neither the mutex nor the table when made on the
// thread that opened the file or database: each thread remembers the handles it opened
// (OwnedHandles), and what those calls touch is either guarded by the object itself
// (a file's read flag) or published whole by writes (platform/cedb.h); read buffers
// come from per-thread free lists (read_blocks.h). The scan's calls go further: on
// the database the thread used last they are inline where they are made
// (scan_calls.h), and reach the device only when that does not hold. On any other
// thread the same handle works as well, under the mutex. A handle closed on
// another thread than its owner's is kept, marked closed, until the device shuts down,
// since its owner may be inside a call on it at that moment.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/cedb.h"
#include "platform/host/backend.h"
#include "platform/host/host.h"
#include "platform/host/read_blocks.h"
#include "store/store.h"

namespace cedb {
struct Database;  // platform/cedb.h
}  // namespace cedb

namespace host::device {

// A number for the calling thread, never given to another thread of the process.
uint64_t ThisThread();

// Something a handle refers to; each service derives its own kinds.
struct Object {
    enum class Kind { File, Search, Key, Database, Thread, Window };
    static constexpr size_t kKindCount = 6;
    explicit Object(Kind k) : kind(k), owner(ThisThread()) {}
    virtual ~Object() = default;
    const Kind kind;
    const uint64_t owner;  // the thread that made it
    // Set when a file or database handle is closed on another thread than its owner.
    std::atomic<bool> closed{false};
};

// The handles given out, with a one-entry cache in front of the table for the many
// calls on one handle in a row.
class HandleTable {
public:
    uintptr_t Add(std::unique_ptr<Object> object);
    // The object of a handle, whatever its kind; nullptr when there is none.
    Object* Find(uintptr_t handle);
    // The object of a handle when it is of the kind; nullptr otherwise.
    template <typename T>
    T* Find(uintptr_t handle, Object::Kind kind) {
        Object* object = Find(handle);
        return object && object->kind == kind ? static_cast<T*>(object) : nullptr;
    }
    std::unique_ptr<Object> Remove(uintptr_t handle);
    // The handle Add gives out next.
    uintptr_t Next() const { return next_; }
    void Clear();
    // How many handles of the kind are in the table.
    int Count(Object::Kind kind) const { return counts_[static_cast<size_t>(kind)]; }

private:
    std::unordered_map<uintptr_t, std::unique_ptr<Object>> table_;
    std::array<int, Object::kKindCount> counts_{};
    uintptr_t next_ = 0x1000;
    uintptr_t lastHandle_ = 0;
    Object* lastObject_ = nullptr;
};

// The file and database handles the calling thread opened on a device, for its own
// calls on them: a few entries, the one used last first; a handle that fell out is
// found in the table again, under the lock, and put back. Entries of another device
// than the bound one are never looked at.
struct OwnedHandles {
    static constexpr unsigned kEntries = 4;
    uint64_t device;  // Device::serial_ of the entries
    uintptr_t handles[kEntries];
    Object* objects[kEntries];
};
extern constinit thread_local OwnedHandles t_ownedHandles;

struct DatabaseObject;  // below

struct MessageQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<MSG> messages;
};


class Device final : public Backend {
public:
    explicit Device(const DeviceOptions& options);
    ~Device() override;

    // Waits for the device's threads to end, commits what is pending and closes every
    // handle; returns what was still open before that.
    OpenCounts Shutdown();

    // The operations, one file per service (see above).
    CE_OPERATIONS(CE_DECLARE_OPERATION_OVERRIDE)

    // This device among every one the process binds (a new number once it is shut
    // down).
    uint64_t Serial() const { return serial_.load(std::memory_order_relaxed); }

private:
    // ---- Each service's state; all of it guarded by mutex_ ----

    struct Files {
        store::PathMap paths;
    };

    // Writes through one key handle form one batch: a single store transaction,
    // committed when the handle is closed, when a write arrives through another
    // handle, or after a number of writes (registry.cpp).
    struct RegistryBatch {
        std::unique_ptr<store::RegistryStore> store;
        uintptr_t owner = 0;             // the key handle whose writes are pending
        std::vector<std::string> trace;  // their trace lines, in write order
        size_t writes = 0;
    };

    struct Databases {
        std::unique_ptr<store::MountTable> mounts;
        std::map<std::filesystem::path, std::unique_ptr<store::VolumeStore>> volumes;
        // Shared by every handle on one database; dropped with the last handle.
        std::map<std::pair<std::filesystem::path, uint32_t>, std::weak_ptr<cedb::Database>> open;
        // Read buffers out over the process when the device was bound: those out now
        // beyond it are its callers' (read_blocks::Outstanding).
        int64_t readBuffersBefore = 0;
    };

    struct Windows {
        std::map<std::thread::id, std::shared_ptr<MessageQueue>> queues;
        std::vector<std::thread> threads;
        DWORD nextThreadId = 1;
    };

    void Trace(const std::string& line);
    // Notes in the store report (DeviceOptions::storeReport) writes committed, and the
    // first store failure. After a write has failed no later write is made (each
    // fails at once), so the stores hold a prefix of the run's writes.
    void Committed(size_t writes);
    void StoreFailed(const store::Error& failure, bool writing);

    // ---- Files (files.cpp) ----
    [[gnu::noinline]] BOOL ReadFileLocked(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                          LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);

    // ---- Registry (registry.cpp) ----
    std::optional<store::RegistryStore::KeyId> KeyOf(HKEY hKey);
    void CommitBatch();
    // Runs one write of the batch of key handle `owner`; a store failure abandons the
    // batch and becomes the error code.
    template <typename Write>
    LONG WriteInBatch(uintptr_t owner, Write write);
    LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult,
                      LPDWORD lpdwDisposition);

    // ---- Handles the calling thread owns (device.cpp) ----
    // The object of a handle this thread opened, when it is of the kind and open.
    // nullptr says nothing: the table, under the lock, has the final word.
    template <typename T>
    T* Owned(const void* handle, Object::Kind kind);
    // Owned's look past its first entry (moving what it finds there).
    [[gnu::noinline]] Object* OwnedElsewhere(const void* handle);
    // Remembers an object this thread owns, or forgets it.
    void Own(uintptr_t handle, Object* object);
    void Disown(uintptr_t handle);
    // Makes a database handle this thread owns its last database (scan_calls.h).
    void RememberLastDatabase(HANDLE handle, DatabaseObject* object);

    // ---- Databases (databases.cpp) ----
    store::VolumeStore* Volume(const std::u16string& volumePath);
    // The calls on a handle the calling thread does not own (or no longer has at hand),
    // and every read but the installer's.
    [[gnu::noinline]] CEOID SeekDatabaseLocked(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue,
                                               LPDWORD lpdwIndex);
    [[gnu::noinline]] CEOID ReadRecordPropsLocked(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID,
                                                  CEPROPID* rgPropID, LPBYTE* lplpBuffer,
                                                  LPDWORD lpcbBuffer);

    // ---- Threads (windows.cpp) ----
    std::shared_ptr<MessageQueue> QueueOf(std::thread::id thread);

    const DeviceOptions options_;
    // This device among every one the process binds; a new number once it is shut
    // down, so no thread finds its handles any more.
    std::atomic<uint64_t> serial_;
    bool writesStopped_ = false;  // a store write failed: no more writes
    std::mutex mutex_;
    HandleTable handles_;
    // File and database handles closed on another thread than their owner's (see above).
    std::vector<std::unique_ptr<Object>> closedElsewhere_;
    Files files_;
    RegistryBatch registry_;
    Databases databases_;
    Windows windows_;
};

template <typename T>
[[gnu::always_inline]] inline T* Device::Owned(const void* handle, Object::Kind kind) {
    // The handle used last sits first: a scan's calls find it there.
    OwnedHandles& owned = t_ownedHandles;
    Object* object = owned.objects[0];
    if (owned.handles[0] != reinterpret_cast<uintptr_t>(handle) || !object ||
        owned.device != serial_.load(std::memory_order_relaxed)) [[unlikely]]
        object = OwnedElsewhere(handle);
    if (!object || object->kind != kind || object->closed.load(std::memory_order_relaxed)) return nullptr;
    return static_cast<T*>(object);
}

// ---- The database calls of a scan, inline for the operations' wrappers ----

struct DatabaseObject final : Object {
    explicit DatabaseObject(std::shared_ptr<cedb::Database> db, bool autoIncrement)
        : Object(Kind::Database), cursor(std::move(db), autoIncrement) {}
    cedb::Cursor cursor;
};

// The scan's calls that follow on this handle, on this thread, are made inline
// (scan_calls.h).
inline void Device::RememberLastDatabase(HANDLE handle, DatabaseObject* object) {
    scan::t_lastDatabase = {reinterpret_cast<uintptr_t>(handle), serial_.load(std::memory_order_relaxed),
                            &object->cursor.records.current, &object->cursor.current, &object->closed,
                            object->cursor.autoIncrement};
}

[[gnu::always_inline]] inline CEOID Device::CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue,
                                    LPDWORD lpdwIndex) {
    // Seeking by object id looks at what only the lock guards.
    if (dwSeekType != CEDB_SEEK_CEOID) [[likely]] {
        if (auto* h = Owned<DatabaseObject>(hDatabase, Object::Kind::Database)) [[likely]] {
            RememberLastDatabase(hDatabase, h);
            return cedb::Seek(h->cursor, dwSeekType, dwValue, lpdwIndex);
        }
    }
    return SeekDatabaseLocked(hDatabase, dwSeekType, dwValue, lpdwIndex);
}

[[gnu::always_inline]] inline CEOID Device::CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID,
                                       CEPROPID* rgPropID, LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) {
    if (cedb::IsReadOne(dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer)) [[likely]] {
        if (auto* h = Owned<DatabaseObject>(hDbase, Object::Kind::Database)) [[likely]] {
            RememberLastDatabase(hDbase, h);
            return cedb::ReadOne(h->cursor, rgPropID[0], lplpBuffer, lpcbBuffer,
                                 [](size_t bytes) { return read_blocks::Take(bytes); });
        }
    }
    return ReadRecordPropsLocked(hDbase, dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer);
}

// Read blocks come from the free lists of read_blocks.h, whoever made them.
[[gnu::always_inline]] inline HLOCAL Device::LocalFree(HLOCAL hMem) {
    read_blocks::Give(hMem);
    return nullptr;
}

// Trace text: tabs, line ends and backslashes escaped so one write stays one line.
std::string TraceText(std::u16string_view text);

}  // namespace host::device
