// The registry operations over the image's registry store.
//
// Writes through one key handle form one batch (RegistryBatch): a single transaction
// that is committed when the handle is closed, when a write arrives through another
// handle, or after kMaxBatch writes. Only one batch is open at a time, so batches
// commit in the order their writes were made and a killed process leaves a prefix of
// the writes. Writes through the predefined root handles, which are never closed,
// commit at once.
#include <algorithm>

#include "platform/host/device.h"
#include "platform/host/errors.h"
#include "platform/limits.h"
#include "store/bytes.h"
#include "store/text.h"

namespace host {

std::optional<store::RegistryStore::KeyId> RootKeyOf(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) return store::RegistryStore::kClassesRoot;
    if (key == HKEY_CURRENT_USER) return store::RegistryStore::kCurrentUser;
    if (key == HKEY_LOCAL_MACHINE) return store::RegistryStore::kLocalMachine;
    if (key == HKEY_USERS) return store::RegistryStore::kUsers;
    return std::nullopt;
}

namespace device {

namespace {

constexpr size_t kMaxBatch = 1000;

struct KeyObject final : Object {
    explicit KeyObject(store::RegistryStore::KeyId k) : Object(Kind::Key), key(k) {}
    store::RegistryStore::KeyId key;
};

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
        if (name.empty() || name.size() > kRegistryMaxNameLength) return false;
        names->push_back(name);
        if (end == path.size()) return true;
        start = end + 1;
    }
}

}  // namespace

std::optional<store::RegistryStore::KeyId> Device::KeyOf(HKEY hKey) {
    if (auto root = RootKeyOf(hKey)) return root;
    auto* key = handles_.Find<KeyObject>(reinterpret_cast<uintptr_t>(hKey), Object::Kind::Key);
    if (!key) return std::nullopt;
    return key->key;
}

void Device::CommitBatch() {
    if (!registry_.store || !registry_.store->InTransaction()) {
        registry_.owner = 0;
        return;
    }
    std::vector<std::string> lines;
    lines.swap(registry_.trace);
    const size_t writes = registry_.writes;
    registry_.owner = 0;
    registry_.writes = 0;
    registry_.store->Commit();  // a failed commit leaves nothing of the batch
    Committed(writes);
    for (const std::string& line : lines) Trace(line);
}

template <typename Write>
LONG Device::WriteInBatch(uintptr_t owner, Write write) {
    if (writesStopped_) return kStoreWriteFailed;
    try {
        if (registry_.owner != owner) CommitBatch();
        if (!registry_.store->InTransaction()) registry_.store->Begin();
        registry_.owner = owner;
        write();
        return ERROR_SUCCESS;
    } catch (const store::Error& e) {
        StoreFailed(e, true);
        registry_.store->Rollback();
        registry_.owner = 0;
        registry_.writes = 0;
        registry_.trace.clear();
        return kStoreWriteFailed;
    }
}

LONG Device::OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult,
                          LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    const auto parent = KeyOf(hKey);
    if (!parent) return ERROR_INVALID_HANDLE;
    auto key = *parent;
    // No path opens the key itself: NULL for both calls, "" for the open only.
    const bool itself = lpSubKey == nullptr || (!create && *lpSubKey == 0);
    std::vector<std::u16string_view> names;
    size_t existing = 0;
    if (!itself) {
        if (!SplitKeyPath(lpSubKey, &names)) return ERROR_INVALID_PARAMETER;
        // Everything is checked before the first key is made, so a create that fails
        // leaves no key behind.
        try {
            if (registry_.store->Depth(*parent) + static_cast<int>(names.size()) > kRegistryMaxDepth)
                return ERROR_INVALID_PARAMETER;
            for (; existing < names.size(); ++existing) {
                const auto child = registry_.store->FindSubkey(key, names[existing]);
                if (!child) break;
                key = *child;
            }
        } catch (const store::Error& e) {
            StoreFailed(e, false);
            return kStoreReadFailed;
        }
        if (existing < names.size() && !create) return ERROR_FILE_NOT_FOUND;
    }
    if (existing < names.size()) {
        // The batch is the new key handle's: the one Add gives out next.
        const LONG result = WriteInBatch(handles_.Next(), [&] {
            for (size_t i = existing; i < names.size(); ++i) {
                // Another process may have made it since the look-up above.
                if (const auto made = registry_.store->FindSubkey(key, names[i])) {
                    key = *made;
                    continue;
                }
                key = registry_.store->AddSubkey(key, names[i]);
                if (options_.trace)
                    registry_.trace.push_back("reg\tkey\t" + TraceText(registry_.store->KeyPath(key)));
                ++registry_.writes;
            }
        });
        if (result != ERROR_SUCCESS) return result;
    }
    if (lpdwDisposition)
        *lpdwDisposition = existing < names.size() ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = reinterpret_cast<HKEY>(handles_.Add(std::make_unique<KeyObject>(key)));
    return ERROR_SUCCESS;
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
    if (name.size() > kRegistryMaxNameLength || cbData > kRegistryMaxValueData ||
        (lpData == nullptr && cbData > 0))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    const auto key = KeyOf(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    const std::span<const uint8_t> data(lpData, cbData);
    return WriteInBatch(reinterpret_cast<uintptr_t>(hKey), [&] {
        registry_.store->SetValue(*key, name, dwType, data);
        if (options_.trace)
            registry_.trace.push_back("reg\tvalue\t" + TraceText(registry_.store->KeyPath(*key)) + "\t" +
                                      TraceText(name) + "\t" + std::to_string(dwType) + "\t" +
                                      store::HexOf(data));
        ++registry_.writes;
        if (RootKeyOf(hKey) || registry_.writes >= kMaxBatch) CommitBatch();
    });
}

LONG Device::RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType,
                              LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    const auto key = KeyOf(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    std::optional<store::RegistryValue> value;
    try {
        value = registry_.store->GetValue(*key, lpValueName ? lpValueName : u"");
    } catch (const store::Error& e) {
        StoreFailed(e, false);
        return kStoreReadFailed;
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
    if (RootKeyOf(hKey)) return ERROR_SUCCESS;
    std::lock_guard lock(mutex_);
    const auto handle = reinterpret_cast<uintptr_t>(hKey);
    if (!handles_.Find<Object>(handle, Object::Kind::Key)) return ERROR_INVALID_HANDLE;
    handles_.Remove(handle);
    if (registry_.owner != handle) return ERROR_SUCCESS;
    try {
        CommitBatch();
    } catch (const store::Error& e) {
        StoreFailed(e, true);
        return kStoreWriteFailed;
    }
    return ERROR_SUCCESS;
}

}  // namespace device

}  // namespace host
