// The volumes of an image, found by platform path or by looking at every file.
#include "tools/image_volumes.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>

#include "store/text.h"
#include "tools/errors.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

bool LooksLikeSqlite(const fs::path& file) {
    static constexpr char kMagic[] = "SQLite format 3";  // 16 bytes with its NUL
    char head[sizeof kMagic] = {};
    std::ifstream in(file, std::ios::binary);
    return in.read(head, sizeof head) && std::memcmp(head, kMagic, sizeof kMagic) == 0;
}

// The databases of a volume file, or nothing when the file is not a volume.
std::optional<std::vector<store::DatabaseInfo>> DatabasesOf(const fs::path& file) {
    if (!LooksLikeSqlite(file)) return std::nullopt;
    try {
        store::VolumeStore volume(file, store::Mode::ReadOnly);
        return volume.Databases();
    } catch (const store::Error&) {
        return std::nullopt;
    }
}

}  // namespace

fs::path VolumeFile(const fs::path& image, const std::string& volume) {
    std::u16string path = text::FromUtf8(volume);
    if (path.empty() || path[0] != u'\\') {
        throw ToolError("the volume \"" + volume +
                        "\" is not an absolute platform path such as \\storage\\mxip_lang.vol");
    }
    store::PathMap paths(image);
    fs::path file;
    switch (paths.Resolve(path, &file)) {
        case store::PathStatus::Ok: break;
        case store::PathStatus::Denied:
            throw ToolError("the volume path " + volume + " is not allowed in a device image");
        default: throw ToolError("the volume " + volume + " does not exist in the image");
    }
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        throw ToolError(volume + " is not a volume file in the image");
    }
    if (!DatabasesOf(file)) throw ToolError(volume + " is not a database volume");
    return file;
}

store::DatabaseInfo FindDatabaseOrFail(const store::VolumeStore& volumes, const std::string& database,
                                       const std::string& volume) {
    if (auto info = volumes.FindDatabase(text::FromUtf8(database))) return *info;
    throw ToolError("the volume " + volume + " has no database " + database);
}

std::vector<VolumeListing> ListVolumes(const fs::path& image) {
    std::vector<VolumeListing> volumes;
    store::PathMap paths(image);
    std::error_code ec;
    auto options = fs::directory_options::skip_permission_denied;
    for (auto it = fs::recursive_directory_iterator(image, options, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename() == store::kStateFolder) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
        auto databases = DatabasesOf(it->path());
        auto platformPath = paths.PlatformPathOf(it->path());
        if (!databases || !platformPath) continue;
        volumes.push_back({*platformPath, it->path(), false, std::move(*databases), {}});
    }
    if (ec) throw ToolError("cannot list the image folder " + image.string() + ": " + ec.message());

    store::MountTable mounts(store::MountsFile(image), store::Mode::ReadOnly);
    for (const store::Mount& mount : mounts.List()) {
        auto same = [&](const VolumeListing& v) {
            return text::EqualNoCase(v.platformPath, mount.volumePath);
        };
        auto found = std::find_if(volumes.begin(), volumes.end(), same);
        if (found != volumes.end()) {
            found->mounted = true;
            continue;
        }
        // A mounted volume that was not listed: its file is missing, or is there and
        // does not open as a volume.
        VolumeListing listing{mount.volumePath, {}, true, {}, {}};
        fs::path file;
        if (paths.Resolve(mount.volumePath, &file) == store::PathStatus::Ok &&
            fs::is_regular_file(file, ec)) {
            listing.hostFile = file;
            try {
                store::VolumeStore volume(file, store::Mode::ReadOnly);
                listing.problem = file.string() + " cannot be read as a volume";
            } catch (const store::Error& e) {
                listing.problem = e.what();
            }
        }
        volumes.push_back(std::move(listing));
    }
    std::sort(volumes.begin(), volumes.end(), [](const VolumeListing& a, const VolumeListing& b) {
        return text::CompareNoCase(a.platformPath, b.platformPath) < 0;
    });
    return volumes;
}

}  // namespace tools
