// The registry store.
#include "platform/host/store.h"

namespace store {

struct RegistryStore::Impl {};

void RegistryStore::Create(const fs::path&) { throw Error("not implemented"); }
RegistryStore::RegistryStore(const fs::path&, Mode) { throw Error("not implemented"); }
RegistryStore::~RegistryStore() = default;
std::optional<RegistryStore::KeyId> RegistryStore::RootByName(std::u16string_view) { return std::nullopt; }
std::u16string RegistryStore::RootName(KeyId) { return {}; }
std::optional<RegistryStore::KeyId> RegistryStore::FindSubkey(KeyId, std::u16string_view) const { return std::nullopt; }
RegistryStore::KeyId RegistryStore::AddSubkey(KeyId, std::u16string_view) { throw Error("not implemented"); }
std::vector<RegistryStore::Key> RegistryStore::Subkeys(KeyId) const { return {}; }
std::optional<RegistryStore::KeyId> RegistryStore::Parent(KeyId) const { return std::nullopt; }
std::u16string RegistryStore::KeyPath(KeyId) const { return {}; }
std::optional<RegistryStore::KeyId> RegistryStore::FindPath(std::u16string_view) const { return std::nullopt; }
int RegistryStore::Depth(KeyId) const { return 0; }
std::optional<RegistryValue> RegistryStore::GetValue(KeyId, std::u16string_view) const { return std::nullopt; }
std::vector<RegistryValue> RegistryStore::Values(KeyId) const { return {}; }
void RegistryStore::SetValue(KeyId, std::u16string_view, uint32_t, std::span<const uint8_t>) { throw Error("not implemented"); }
bool RegistryStore::DeleteValue(KeyId, std::u16string_view) { throw Error("not implemented"); }
void RegistryStore::DeleteKey(KeyId) { throw Error("not implemented"); }
void RegistryStore::Begin() {}
void RegistryStore::Commit() {}
void RegistryStore::Rollback() {}
bool RegistryStore::InTransaction() const { return false; }

}  // namespace store
