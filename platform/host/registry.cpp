// The registry operations over the image's registry store.
//
// Writes through one key handle form one batch: a single transaction that is
// committed when the handle is closed, when a write arrives through another handle,
// or after kMaxBatch writes. Only one batch is open at a time, so batches commit in
// the order their writes were made and a killed process leaves a prefix of the
// writes. Writes through the predefined root handles, which are never closed, commit
// at once.
#include <algorithm>

#include "platform/host/device.h"
#include "store/bytes.h"
#include "store/text.h"

namespace host::device {

namespace {

constexpr size_t kMaxNameLength = 255;  // characters of a key or value name
constexpr DWORD kMaxValueData = 4096;   // bytes of value data
constexpr int kMaxDepth = 16;           // levels of keys below a root
constexpr size_t kMaxBatch = 1000;

struct KeyObject final : Object {
    explicit KeyObject(store::RegistryStore::KeyId k) : Object(Kind::Key), key(k) {}
    store::RegistryStore::KeyId key;
};

std::optional<store::RegistryStore::KeyId> RootOf(HKEY hKey) {
    if (hKey == HKEY_CLASSES_ROOT) return store::RegistryStore::kClassesRoot;
    if (hKey == HKEY_CURRENT_USER) return store::RegistryStore::kCurrentUser;
    if (hKey == HKEY_LOCAL_MACHINE) return store::RegistryStore::kLocalMachine;
    if (hKey == HKEY_USERS) return store::RegistryStore::kUsers;
    return std::nullopt;
}

// The names of a key path; one leading and one trailing backslash are allowed, an
// empty name anywhere else or a name over the limit refuses the path.
bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>* names) {
    if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.empty()) return false;
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        const auto name = path.substr(start, end - start);
        if (name.empty() || name.size() > kMaxNameLength) return false;
        names->push_back(name);
        if (end == path.size()) return true;
        start = end + 1;
    }
}

}  // namespace

std::optional<store::RegistryStore::KeyId> Device::KeyOf(HKEY hKey) {
    if (auto root = RootOf(hKey)) return root;
    auto* key = Find<KeyObject>(reinterpret_cast<uintptr_t>(hKey), Object::Kind::Key);
    if (!key) return std::nullopt;
    return key->key;
}

void Device::CommitBatch() {
    if (!registry_ || !registry_->InTransaction()) {
        batchOwner_ = 0;
        return;
    }
    std::vector<std::string> lines;
    lines.swap(batchTrace_);
    batchOwner_ = 0;
    batchWrites_ = 0;
    registry_->Commit();
    for (const std::string& line : lines) Trace(line);
}

LONG Device::OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult,
                          LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    const auto parent = KeyOf(hKey);
    if (!parent) return ERROR_INVALID_HANDLE;
    try {
        // No path opens the key itself: NULL for both calls, "" for the open only.
        if (lpSubKey == nullptr || (!create && *lpSubKey == 0)) {
            *phkResult = reinterpret_cast<HKEY>(Add(std::make_unique<KeyObject>(*parent)));
            if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
            return ERROR_SUCCESS;
        }
        std::vector<std::u16string_view> names;
        if (!SplitKeyPath(lpSubKey, &names)) return ERROR_INVALID_PARAMETER;
        if (registry_->Depth(*parent) + static_cast<int>(names.size()) > kMaxDepth)
            return ERROR_INVALID_PARAMETER;

        // Everything is checked before the first key is made, so a create that
        // fails leaves no key behind.
        auto key = *parent;
        size_t existing = 0;
        for (; existing < names.size(); ++existing) {
            const auto child = registry_->FindSubkey(key, names[existing]);
            if (!child) break;
            key = *child;
        }
        if (existing < names.size() && !create) return ERROR_FILE_NOT_FOUND;

        const uintptr_t handle = nextHandle_;  // the handle Add is about to give out
        if (existing < names.size()) {
            if (batchOwner_ != handle) CommitBatch();
            if (!registry_->InTransaction()) registry_->Begin();
            batchOwner_ = handle;
            for (size_t i = existing; i < names.size(); ++i) {
                key = registry_->AddSubkey(key, names[i]);
                if (options_.trace) batchTrace_.push_back("reg\tkey\t" + TraceText(registry_->KeyPath(key)));
                ++batchWrites_;
            }
        }
        if (lpdwDisposition)
            *lpdwDisposition = existing < names.size() ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        *phkResult = reinterpret_cast<HKEY>(Add(std::make_unique<KeyObject>(key)));
        return ERROR_SUCCESS;
    } catch (const store::Error&) {
        if (registry_->InTransaction()) registry_->Rollback();
        batchOwner_ = 0;
        batchTrace_.clear();
        return ERROR_WRITE_FAULT;
    }
}

LONG Device::RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM,
                             LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, true, phkResult, lpdwDisposition);
}

LONG Device::RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, false, phkResult, nullptr);
}

LONG Device::RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                            const BYTE* lpData, DWORD cbData) {
    const std::u16string_view name = lpValueName ? lpValueName : u"";
    if (name.size() > kMaxNameLength || cbData > kMaxValueData ||
        (lpData == nullptr && cbData > 0))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    const auto key = KeyOf(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    const auto handle = reinterpret_cast<uintptr_t>(hKey);
    try {
        if (batchOwner_ != handle) CommitBatch();
        if (!registry_->InTransaction()) registry_->Begin();
        batchOwner_ = handle;
        registry_->SetValue(*key, name, dwType, std::span<const uint8_t>(lpData, cbData));
        if (options_.trace)
            batchTrace_.push_back("reg\tvalue\t" + TraceText(registry_->KeyPath(*key)) + "\t" +
                                  TraceText(name) + "\t" + std::to_string(dwType) + "\t" +
                                  store::HexOf(std::span<const uint8_t>(lpData, cbData)));
        ++batchWrites_;
        if (RootOf(hKey) || batchWrites_ >= kMaxBatch) CommitBatch();
        return ERROR_SUCCESS;
    } catch (const store::Error&) {
        if (registry_->InTransaction()) registry_->Rollback();
        batchOwner_ = 0;
        batchTrace_.clear();
        return ERROR_WRITE_FAULT;
    }
}

LONG Device::RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                              LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    const auto key = KeyOf(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    std::optional<store::RegistryValue> value;
    try {
        value = registry_->GetValue(*key, lpValueName ? lpValueName : u"");
    } catch (const store::Error&) {
        return ERROR_READ_FAULT;
    }
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = value->type;
    const auto size = static_cast<DWORD>(value->data.size());
    if (lpData == nullptr) {
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::copy(value->data.begin(), value->data.end(), lpData);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG Device::RegCloseKey(HKEY hKey) {
    if (RootOf(hKey)) return ERROR_SUCCESS;
    std::lock_guard lock(mutex_);
    const auto handle = reinterpret_cast<uintptr_t>(hKey);
    if (!Find(handle, Object::Kind::Key)) return ERROR_INVALID_HANDLE;
    Remove(handle);
    if (batchOwner_ != handle) return ERROR_SUCCESS;
    try {
        CommitBatch();
    } catch (const store::Error&) {
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

}  // namespace host::device
