// The dry run's copies of an image's stores.
#include "tools/store_copies.h"

#include <algorithm>
#include <system_error>

#include "store/snapshot.h"
#include "store/text.h"
#include "tools/errors.h"
#include "tools/scratch_guard.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// The relative host path a copy of the volume at a platform path takes: one folder
// per component, named as the mount table names it.
fs::path PlaceOf(std::u16string_view platformPath) {
    fs::path place;
    size_t start = 0;
    while (start <= platformPath.size()) {
        size_t end = platformPath.find(u'\\', start);
        if (end == std::u16string_view::npos) end = platformPath.size();
        if (end > start) place /= text::ToUtf8(platformPath.substr(start, end - start));
        start = end + 1;
    }
    return place;
}

void MakeFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw ToolError("the scratch folder " + folder.string() + " cannot be made: " + ec.message());
}

}  // namespace

StoreCopies::StoreCopies(const fs::path& image, const std::vector<store::PathAttachment>& attachments,
                         const fs::path& folder)
    : before_(folder / "before"), after_(folder / "after") {
    const StopWaits originalOpen;
    // What "run" refuses to write through (links in the state, second hard links),
    // "check" refuses too.
    store::CheckImageState(image);
    for (const auto& [file, kind] : {std::pair{store::RegistryFile(image), "registry"},
                                     std::pair{store::MountsFile(image), "mount table"}}) {
        const fs::path name = file.lexically_relative(image);
        const fs::path copies[] = {before_ / name, after_ / name};
        MakeFolder(copies[0].parent_path());
        MakeFolder(copies[1].parent_path());
        store::CopyStore(file, copies, kind);
        for (const fs::path& copy : copies) originals_.push_back({copy.string(), file.string()});
    }
    try {
        const store::PathMap paths(image, attachments);
        for (const store::Mount& mount : store::MountTable(store::MountsFile(before_), store::Mode::ReadOnly).List())
            CopyVolume(mount, paths);
    } catch (const store::Error& e) {
        throw store::Error(InUserTerms(e.what()));
    }
}

void StoreCopies::CopyVolume(const store::Mount& mount, const store::PathMap& paths) {
    fs::path file;
    if (paths.Resolve(mount.volumePath, &file) != store::PathStatus::Ok) return;  // as "run" finds none
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return;
    const fs::path place = PlaceOf(mount.volumePath);
    // A volume that two mounted paths reach is one store, as on the device: the second
    // path is a link to the first one's copy.
    const auto first = std::find_if(volumes_.begin(), volumes_.end(),
                                    [&](const Volume& v) { return fs::equivalent(v.original, file, ec); });
    for (const fs::path& copy : {before_, after_}) {
        MakeFolder((copy / place).parent_path());
        if (first == volumes_.end() || fs::exists(fs::symlink_status(copy / place, ec))) continue;
        fs::create_symlink(copy / first->place, copy / place, ec);
        if (ec) throw ToolError("the scratch folder " + (copy / place).string() + " cannot be made: " + ec.message());
    }
    if (first == volumes_.end()) {
        const fs::path copies[] = {before_ / place, after_ / place};
        store::CopyStore(file, copies, "volume");
        for (const fs::path& copy : copies) originals_.push_back({copy.string(), file.string()});
    }
    volumes_.push_back({mount.volumePath, place, file});
}

std::vector<std::u16string> StoreCopies::MountedVolumes() const {
    std::vector<std::u16string> paths;
    for (const store::Mount& mount : store::MountTable(store::MountsFile(before_), store::Mode::ReadOnly).List())
        paths.push_back(mount.volumePath);
    return paths;
}

std::vector<VolumeListing> StoreCopies::Volumes(const fs::path& copy) const {
    std::vector<VolumeListing> listings;
    for (const store::Mount& mount : store::MountTable(store::MountsFile(copy), store::Mode::ReadOnly).List()) {
        VolumeListing listing{mount.volumePath, {}, true, {}, {}};
        const auto copied = std::find_if(volumes_.begin(), volumes_.end(), [&](const Volume& v) {
            return text::EqualNoCase(v.platformPath, mount.volumePath);
        });
        if (copied != volumes_.end()) {
            listing.hostFile = copy / copied->place;
            listing.databases = store::VolumeStore(listing.hostFile, store::Mode::ReadOnly).Databases();
        }
        listings.push_back(std::move(listing));
    }
    return listings;
}

std::string StoreCopies::InUserTerms(std::string message) const {
    for (const auto& [copy, original] : originals_) {
        for (size_t at = message.find(copy); at != std::string::npos; at = message.find(copy, at + original.size()))
            message.replace(at, copy.size(), original);
    }
    return message;
}

}  // namespace tools
