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
#pragma once

#include <array>
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
#include <vector>

#include "platform/host/backend.h"
#include "platform/host/host.h"
#include "store/store.h"

namespace host::device {

// Something a handle refers to; each service derives its own kinds.
struct Object {
    enum class Kind { File, Search, Key, Database, Thread, Window };
    static constexpr size_t kKindCount = 6;
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
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

struct MessageQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<MSG> messages;
};

struct OpenDatabase;  // databases.cpp

class Device final : public Backend {
public:
    explicit Device(const DeviceOptions& options);
    ~Device() override;

    // Waits for the device's threads to end, commits what is pending and closes every
    // handle; returns what was still open before that.
    OpenCounts Shutdown();

    // The operations, one file per service (see above).
    CE_OPERATIONS(CE_DECLARE_OPERATION_OVERRIDE)

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
        std::map<std::pair<std::filesystem::path, uint32_t>, std::weak_ptr<OpenDatabase>> open;
        int readBuffers = 0;  // handed out by CeReadRecordProps and not yet freed
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

    // ---- Registry (registry.cpp) ----
    std::optional<store::RegistryStore::KeyId> KeyOf(HKEY hKey);
    void CommitBatch();
    // Runs one write of the batch of key handle `owner`; a store failure abandons the
    // batch and becomes the error code.
    template <typename Write>
    LONG WriteInBatch(uintptr_t owner, Write write);
    LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult,
                      LPDWORD lpdwDisposition);

    // ---- Databases (databases.cpp) ----
    store::VolumeStore* Volume(const std::u16string& volumePath);

    // ---- Threads (windows.cpp) ----
    std::shared_ptr<MessageQueue> QueueOf(std::thread::id thread);

    const DeviceOptions options_;
    bool writesStopped_ = false;  // a store write failed: no more writes
    std::mutex mutex_;
    HandleTable handles_;
    Files files_;
    RegistryBatch registry_;
    Databases databases_;
    Windows windows_;
};

// Trace text: tabs, line ends and backslashes escaped so one write stays one line.
std::string TraceText(std::u16string_view text);

}  // namespace host::device
