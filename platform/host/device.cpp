// Binding the device, and the device's handle table.
#include "platform/host/device.h"

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

Device::Device(const DeviceOptions& options)
    : options_(options), files_{store::PathMap(options.image, options.attachments)} {
    if (!store::IsImage(options.image))
        throw store::Error("\"" + options.image.string() + "\" is not a device image");
    registry_.store = std::make_unique<store::RegistryStore>(store::RegistryFile(options.image),
                                                             store::Mode::ReadWrite);
    databases_.mounts = std::make_unique<store::MountTable>(store::MountsFile(options.image),
                                                            store::Mode::ReadWrite);
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
                          databases_.readBuffers};
    handles_.Clear();
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
    }
    return TRUE;
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
