// The volume store.
#include "platform/host/store.h"

namespace store {

struct VolumeStore::Impl {};

void VolumeStore::Create(const fs::path&) { throw Error("not implemented"); }
VolumeStore::VolumeStore(const fs::path&, Mode) { throw Error("not implemented"); }
VolumeStore::~VolumeStore() = default;
std::vector<DatabaseInfo> VolumeStore::Databases() const { return {}; }
std::optional<DatabaseInfo> VolumeStore::FindDatabase(std::u16string_view) const { return std::nullopt; }
DatabaseInfo VolumeStore::CreateDatabase(std::u16string_view, uint32_t) { throw Error("not implemented"); }
void VolumeStore::DropDatabase(uint32_t) { throw Error("not implemented"); }
std::vector<Record> VolumeStore::Records(uint32_t) const { return {}; }
uint32_t VolumeStore::AddRecord(uint32_t, std::span<const Property>) { throw Error("not implemented"); }
void VolumeStore::SetProperties(uint32_t, std::span<const Property>) { throw Error("not implemented"); }
void VolumeStore::Begin() {}
void VolumeStore::Commit() {}
void VolumeStore::Rollback() {}
bool VolumeStore::InTransaction() const { return false; }

}  // namespace store
