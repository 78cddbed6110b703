// Binding the device, and the device's handle table.
#include "platform/host/device.h"

#include "platform/host/read_blocks.h"
#include "store/text.h"

namespace host {

namespace {

std::mutex g_bindMutex;
std::unique_ptr<device::Device> g_device;

}  // namespace

Backend& BindDevice(const DeviceOptions& options) {
    std::lock_guard lock(g_bindMutex);
    if (g_device) {
        BindBackend(nullptr);
        g_device->Shutdown();
        g_device.reset();
    }
    g_device = std::make_unique<device::Device>(options);
    BindBackend(g_device.get());
    return *g_device;
}

OpenCounts UnbindDevice() {
    std::lock_guard lock(g_bindMutex);
    if (!g_device) return {};
    // The device's own threads may still be calling in while they end.
    const OpenCounts left = g_device->Shutdown();
    BindBackend(nullptr);
    g_device.reset();
    return left;
}

namespace device {

namespace {

// Numbers for devices and threads alike, so neither is ever mistaken for another.
std::atomic<uint64_t> g_nextSerial{1};
constinit thread_local uint64_t t_thisThread = 0;

}  // namespace

constinit thread_local OwnedHandles t_ownedHandles{};

}  // namespace device

namespace scan {
constinit const std::atomic<bool> kNoDatabase{true};
constinit thread_local LastDatabase t_lastDatabase{0, 0, nullptr, nullptr, &kNoDatabase, false};
}  // namespace scan

namespace device {

uint64_t ThisThread() {
    if (t_thisThread == 0) t_thisThread = g_nextSerial.fetch_add(1, std::memory_order_relaxed);
    return t_thisThread;
}

Device::Device(const DeviceOptions& options)
    : options_(options),
      serial_(g_nextSerial.fetch_add(1, std::memory_order_relaxed)),
      files_{store::PathMap(options.image, options.attachments)} {
    if (!store::IsImage(options.image))
        throw store::Error("\"" + options.image.string() + "\" is not a device image");
    registry_.store = std::make_unique<store::RegistryStore>(store::RegistryFile(options.image),
                                                             store::Mode::ReadWrite);
    databases_.mounts = std::make_unique<store::MountTable>(store::MountsFile(options.image),
                                                            store::Mode::ReadWrite);
    databases_.readBuffersBefore = read_blocks::Outstanding();
}

Device::~Device() { Shutdown(); }

OpenCounts Device::Shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(windows_.threads);
    }
    for (std::thread& t : threads) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id()) t.detach();
        else t.join();
    }
    std::lock_guard lock(mutex_);
    try {
        CommitBatch();
    } catch (const store::Error& e) {
        StoreFailed(e, true);  // nothing more can be done for writes whose store has failed
    }
    using Kind = Object::Kind;
    const OpenCounts left{handles_.Count(Kind::File),     handles_.Count(Kind::Search),
                          handles_.Count(Kind::Key),      handles_.Count(Kind::Database),
                          handles_.Count(Kind::Thread),   handles_.Count(Kind::Window),
                          static_cast<int>(read_blocks::Outstanding() - databases_.readBuffersBefore)};
    serial_.store(g_nextSerial.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
    // No inline scan call reaches the handles below any more.
    SerialChanged();
    handles_.Clear();
    closedElsewhere_.clear();
    return left;
}

// ---- The handle table ----

uintptr_t HandleTable::Add(std::unique_ptr<Object> object) {
    const uintptr_t handle = next_;
    next_ += 4;
    ++counts_[static_cast<size_t>(object->kind)];
    table_.emplace(handle, std::move(object));
    return handle;
}

Object* HandleTable::Find(uintptr_t handle) {
    if (handle == lastHandle_ && lastObject_) return lastObject_;
    const auto it = table_.find(handle);
    if (it == table_.end()) return nullptr;
    lastHandle_ = handle;
    lastObject_ = it->second.get();
    return lastObject_;
}

std::unique_ptr<Object> HandleTable::Remove(uintptr_t handle) {
    if (handle == lastHandle_) {
        lastHandle_ = 0;
        lastObject_ = nullptr;
    }
    auto node = table_.extract(handle);
    if (!node) return nullptr;
    --counts_[static_cast<size_t>(node.mapped()->kind)];
    return std::move(node.mapped());
}

void HandleTable::Clear() {
    lastHandle_ = 0;
    lastObject_ = nullptr;
    table_.clear();
    counts_.fill(0);
}

BOOL Device::CloseHandle(HANDLE hObject) {
    std::unique_ptr<Object> doomed;
    {
        std::lock_guard lock(mutex_);
        const auto handle = reinterpret_cast<uintptr_t>(hObject);
        const Object* object = handles_.Find(handle);
        // Searches end with FindClose, keys with RegCloseKey, windows stay.
        if (!object || (object->kind != Object::Kind::File && object->kind != Object::Kind::Database &&
                        object->kind != Object::Kind::Thread)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        doomed = handles_.Remove(handle);
        if (doomed->kind != Object::Kind::Thread && doomed->owner != ThisThread()) {
            doomed->closed.store(true, std::memory_order_relaxed);
            closedElsewhere_.push_back(std::move(doomed));
        }
    }
    Disown(reinterpret_cast<uintptr_t>(hObject));
    return TRUE;
}

// ---- Handles the calling thread owns ----

Object* Device::OwnedElsewhere(const void* handle) {
    OwnedHandles& owned = t_ownedHandles;
    if (owned.device != serial_.load(std::memory_order_relaxed)) return nullptr;
    const auto h = reinterpret_cast<uintptr_t>(handle);
    for (unsigned i = 1; i < OwnedHandles::kEntries; ++i) {
        if (owned.handles[i] != h || !owned.objects[i]) continue;
        std::swap(owned.handles[0], owned.handles[i]);
        std::swap(owned.objects[0], owned.objects[i]);
        return owned.objects[0];
    }
    return nullptr;
}

void Device::Own(uintptr_t handle, Object* object) {
    OwnedHandles& owned = t_ownedHandles;
    const uint64_t serial = serial_.load(std::memory_order_relaxed);
    if (owned.device != serial) owned = OwnedHandles{serial, {}, {}};
    for (unsigned i = 0; i < OwnedHandles::kEntries; ++i) {
        if (owned.handles[i] == handle) {
            owned.objects[i] = object;
            return;
        }
    }
    // In front, the one looked at longest ago falling out.
    for (unsigned i = OwnedHandles::kEntries - 1; i > 0; --i) {
        owned.handles[i] = owned.handles[i - 1];
        owned.objects[i] = owned.objects[i - 1];
    }
    owned.handles[0] = handle;
    owned.objects[0] = object;
}

void Device::Disown(uintptr_t handle) {
    scan::LastDatabase& last = scan::t_lastDatabase;
    if (last.handle == handle) last = {0, 0, nullptr, nullptr, &scan::kNoDatabase, false};
    OwnedHandles& owned = t_ownedHandles;
    if (owned.device != serial_.load(std::memory_order_relaxed)) return;
    for (unsigned i = 0; i < OwnedHandles::kEntries; ++i) {
        if (owned.handles[i] != handle) continue;
        owned.handles[i] = 0;
        owned.objects[i] = nullptr;
    }
}

void Device::Trace(const std::string& line) {
    if (options_.trace) options_.trace(line);
}

void Device::Committed(size_t writes) {
    if (options_.storeReport) options_.storeReport->committedWrites += writes;
}

void Device::StoreFailed(const store::Error& failure, bool writing) {
    writesStopped_ = writesStopped_ || writing;
    if (options_.storeReport && options_.storeReport->firstFailure.empty())
        options_.storeReport->firstFailure = failure.what();
}

std::string TraceText(std::u16string_view text) {
    std::string out;
    for (char c : text::ToUtf8(text)) {
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\\': out += "\\\\"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace device

}  // namespace host
