// The device backend: serves the platform operations of wince.h from one bound
// device image. Internal to platform/host.
//
// One class, Device, whose methods live one file per service: device.cpp (binding,
// the handle table, CloseHandle, the trace), files.cpp, registry.cpp, databases.cpp,
// windows.cpp (windows, messages and threads). Every handle the device gives out
// (files, searches, keys, databases, threads, windows) sits in one table; a handle is
// never reused, so a closed or made-up handle is simply not found and the call
// fails with an error code. One mutex guards the device's state; calls that block
// (GetMessageW, WaitForSingleObject, the screen) wait without holding it.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
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
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
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

    // Commits what is pending and waits for the device's threads to end.
    void Shutdown();

    // The operations, one file per service (see above).
    CE_OPERATIONS(CE_DECLARE_OPERATION_OVERRIDE)

private:
    // ---- The handle table (device.cpp); callers hold mutex_ ----
    uintptr_t Add(std::unique_ptr<Object> object);
    Object* Find(uintptr_t handle, Object::Kind kind);
    template <typename T>
    T* Find(uintptr_t handle, Object::Kind kind) {
        return static_cast<T*>(Find(handle, kind));
    }
    std::unique_ptr<Object> Remove(uintptr_t handle);
    void Trace(const std::string& line);

    // ---- Registry (registry.cpp) ----
    std::optional<store::RegistryStore::KeyId> KeyOf(HKEY hKey);
    void CommitBatch();
    LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult,
                      LPDWORD lpdwDisposition);

    // ---- Databases (databases.cpp) ----
    store::VolumeStore* Volume(const std::u16string& volumePath);

    // ---- Threads (windows.cpp) ----
    std::shared_ptr<MessageQueue> QueueOf(std::thread::id thread);

    DeviceOptions options_;
    store::PathMap paths_;
    std::mutex mutex_;

    std::unordered_map<uintptr_t, std::unique_ptr<Object>> handles_;
    uintptr_t nextHandle_ = 0x1000;
    uintptr_t lastHandle_ = 0;       // a one-entry cache in front of handles_
    Object* lastObject_ = nullptr;

    std::unique_ptr<store::RegistryStore> registry_;
    uintptr_t batchOwner_ = 0;           // the key handle whose writes are pending
    std::vector<std::string> batchTrace_;  // their trace lines, in write order
    size_t batchWrites_ = 0;

    std::unique_ptr<store::MountTable> mounts_;
    std::map<std::filesystem::path, std::unique_ptr<store::VolumeStore>> volumes_;
    std::map<std::pair<std::filesystem::path, uint32_t>, std::weak_ptr<OpenDatabase>> databases_;

    std::map<std::thread::id, std::shared_ptr<MessageQueue>> queues_;
    std::vector<std::thread> threads_;
    DWORD nextThreadId_ = 1;
};

// Trace text: tabs, line ends and backslashes escaped so one write stays one line.
std::string TraceText(std::u16string_view text);

}  // namespace host::device
