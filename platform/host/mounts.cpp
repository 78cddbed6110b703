// The mount table.
#include "platform/host/store.h"

namespace store {

struct MountTable::Impl {};

void MountTable::Create(const fs::path&) { throw Error("not implemented"); }
MountTable::MountTable(const fs::path&, Mode) { throw Error("not implemented"); }
MountTable::~MountTable() = default;
std::vector<Mount> MountTable::List() const { return {}; }
Mount MountTable::Add(std::u16string_view) { throw Error("not implemented"); }
bool MountTable::Remove(std::u16string_view) { throw Error("not implemented"); }

}  // namespace store
