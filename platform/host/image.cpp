// The image as a whole: where its state files live, how one is recognised, found and
// created.
#include "platform/host/store.h"

namespace store {

fs::path RegistryFile(const fs::path& image) { return image / kStateFolder / "registry.db"; }
fs::path MountsFile(const fs::path& image) { return image / kStateFolder / "mounts.db"; }

bool IsImage(const fs::path&) { return false; }
std::optional<fs::path> FindImage(const fs::path&) { return std::nullopt; }
void InitImage(const fs::path&) { throw Error("not implemented"); }
bool IsPropertyType(uint16_t) { return false; }

}  // namespace store
