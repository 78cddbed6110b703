// Platform paths to host paths inside an image.
#include "platform/host/store.h"

namespace store {

PathMap::PathMap(fs::path image, std::vector<PathAttachment> attachments)
    : image_(std::move(image)), attachments_(std::move(attachments)) {}
PathStatus PathMap::Resolve(std::u16string_view, fs::path*) const { return PathStatus::NotFound; }
PathStatus PathMap::ResolveParent(std::u16string_view, fs::path*, std::u16string*) const {
    return PathStatus::NotFound;
}
std::optional<std::u16string> PathMap::PlatformPathOf(const fs::path&) const { return std::nullopt; }

}  // namespace store
