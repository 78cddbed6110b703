// Binding the device, the backend in front of the platform operations, and the
// device's handle table.
#include "platform/host/device.h"

#include <atomic>

#include "platform/host/unicode.h"

namespace host {

namespace {

// Serves every call while no device is bound: files, registry and databases fail,
// as on a phone whose storage is not there.
class UnboundBackend final : public Backend {
public:
    DWORD GetModuleFileNameW(HMODULE, LPWSTR, DWORD) override { return Fail(0u); }
    HANDLE FindFirstFileW(LPCWSTR, LPWIN32_FIND_DATAW) override {
        return Fail(INVALID_HANDLE_VALUE);
    }
    BOOL FindNextFileW(HANDLE, LPWIN32_FIND_DATAW) override { return Fail(FALSE); }
    BOOL FindClose(HANDLE) override { return Fail(FALSE); }
    HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                       HANDLE) override {
        return Fail(INVALID_HANDLE_VALUE);
    }
    BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) override { return Fail(FALSE); }
    BOOL CloseHandle(HANDLE) override { return Fail(FALSE); }
    LONG RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                         PHKEY, LPDWORD) override {
        return ERROR_INVALID_HANDLE;
    }
    LONG RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) override {
        return ERROR_INVALID_HANDLE;
    }
    LONG RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) override {
        return ERROR_INVALID_HANDLE;
    }
    LONG RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) override {
        return ERROR_INVALID_HANDLE;
    }
    LONG RegCloseKey(HKEY) override { return ERROR_INVALID_HANDLE; }
    BOOL CeEnumDBVolumes(PCEGUID, LPWSTR, DWORD) override {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    HANDLE CeOpenDatabaseEx(PCEGUID, PCEOID, LPWSTR, CEPROPID, DWORD,
                            CENOTIFYREQUEST*) override {
        return Fail(INVALID_HANDLE_VALUE);
    }
    CEOID CeSeekDatabase(HANDLE, DWORD, DWORD, LPDWORD) override { return Fail(0u); }
    CEOID CeReadRecordProps(HANDLE, DWORD, LPWORD, CEPROPID*, LPBYTE*, LPDWORD) override {
        return Fail(0u);
    }
    CEOID CeWriteRecordProps(HANDLE, CEOID, WORD, CEPROPVAL*) override { return Fail(0u); }
    HLOCAL LocalFree(HLOCAL h) override {
        free(h);
        return nullptr;
    }
    HWND CreateWindowExW(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU,
                         HINSTANCE, LPVOID) override {
        return Fail<HWND>(nullptr);
    }
    BOOL InvalidateRect(HWND, const RECT*, BOOL) override { return Fail(FALSE); }
    BOOL UpdateWindow(HWND) override { return Fail(FALSE); }
    HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                        LPDWORD) override {
        return Fail<HANDLE>(nullptr);
    }
    BOOL GetMessageW(LPMSG, HWND, UINT, UINT) override { return Fail(-1); }
    LRESULT DispatchMessageW(const MSG*) override { return 0; }
    BOOL PostMessageW(HWND, UINT, WPARAM, LPARAM) override { return Fail(FALSE); }
    int MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT) override { return Fail(0); }
    DWORD WaitForSingleObject(HANDLE, DWORD) override { return Fail(WAIT_FAILED); }

private:
    template <typename T>
    static T Fail(T value) {
        SetLastError(ERROR_INVALID_HANDLE);
        return value;
    }
};

UnboundBackend g_unbound;
std::mutex g_bindMutex;
std::unique_ptr<device::Device> g_device;
std::atomic<Backend*> g_override{nullptr};
std::atomic<Backend*> g_bound{nullptr};

}  // namespace

Backend& CurrentBackend() {
    if (Backend* b = g_override.load(std::memory_order_acquire)) return *b;
    if (Backend* b = g_bound.load(std::memory_order_acquire)) return *b;
    return g_unbound;
}

void SetBackend(Backend* backend) { g_override.store(backend, std::memory_order_release); }

Backend* BackendInFront() { return g_override.load(std::memory_order_acquire); }

void BindDevice(const DeviceOptions& options) {
    std::lock_guard lock(g_bindMutex);
    if (g_device) {
        g_bound.store(nullptr);
        g_device->Shutdown();
        g_device.reset();
    }
    g_device = std::make_unique<device::Device>(options);
    g_bound.store(g_device.get(), std::memory_order_release);
}

void UnbindDevice() {
    std::lock_guard lock(g_bindMutex);
    if (!g_device) return;
    // The device's own threads may still be calling in while they end.
    g_device->Shutdown();
    g_bound.store(nullptr);
    g_device.reset();
}

namespace device {

namespace {

std::vector<store::PathAttachment> Attachments(const DeviceOptions& options) {
    std::vector<store::PathAttachment> list;
    for (const Attachment& a : options.attachments) list.push_back({a.platformPath, a.hostFolder});
    return list;
}

}  // namespace

Device::Device(const DeviceOptions& options)
    : options_(options), paths_(options.image, Attachments(options)) {
    if (!store::IsImage(options.image))
        throw store::Error("\"" + options.image.string() + "\" is not a device image");
    registry_ = std::make_unique<store::RegistryStore>(store::RegistryFile(options.image),
                                                       store::Mode::ReadWrite);
    mounts_ = std::make_unique<store::MountTable>(store::MountsFile(options.image),
                                                  store::Mode::ReadWrite);
}

Device::~Device() { Shutdown(); }

void Device::Shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (std::thread& t : threads) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id()) t.detach();
        else t.join();
    }
    std::lock_guard lock(mutex_);
    try {
        CommitBatch();
    } catch (const store::Error&) {
        // Nothing more can be done for writes whose store has failed.
    }
    lastHandle_ = 0;
    lastObject_ = nullptr;
    handles_.clear();
}

uintptr_t Device::Add(std::unique_ptr<Object> object) {
    const uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(handle, std::move(object));
    return handle;
}

Object* Device::Find(uintptr_t handle, Object::Kind kind) {
    if (handle == lastHandle_ && lastObject_) return lastObject_->kind == kind ? lastObject_ : nullptr;
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    lastHandle_ = handle;
    lastObject_ = it->second.get();
    return it->second->kind == kind ? it->second.get() : nullptr;
}

std::unique_ptr<Object> Device::Remove(uintptr_t handle) {
    if (handle == lastHandle_) {
        lastHandle_ = 0;
        lastObject_ = nullptr;
    }
    auto node = handles_.extract(handle);
    return node ? std::move(node.mapped()) : nullptr;
}

BOOL Device::CloseHandle(HANDLE hObject) {
    std::unique_ptr<Object> doomed;
    {
        std::lock_guard lock(mutex_);
        const auto handle = reinterpret_cast<uintptr_t>(hObject);
        const auto it = handles_.find(handle);
        // Searches end with FindClose, keys with RegCloseKey, windows stay.
        if (it == handles_.end() || (it->second->kind != Object::Kind::File &&
                                     it->second->kind != Object::Kind::Database &&
                                     it->second->kind != Object::Kind::Thread)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        doomed = Remove(handle);
    }
    return TRUE;
}

void Device::Trace(const std::string& line) {
    if (options_.trace) options_.trace(line);
}

std::string TraceText(std::u16string_view text) {
    std::string out;
    for (char c : ToUtf8(text)) {
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
