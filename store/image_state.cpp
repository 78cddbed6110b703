// The image's state checked before a writer opens it: the state folder and every store
// file (registry, mount table, mounted volumes) must be the image's own, reached
// through no link and named once, so that nothing a writer does lands outside the
// image. Uses the path rules of the image (PathMap), which the Windows build, running
// on the image as a drive, does not compile.

#include "store/sqlite_db.h"
#include "store/store.h"

namespace store {

void CheckImageState(const fs::path& image) {
    const fs::path state = image / kStateFolder;
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(state, ec);
    if (!fs::exists(st)) throw Error("\"" + image.string() + "\" is not a device image");
    if (fs::is_symlink(st))
        throw Error("\"" + state.string() + "\" is a symbolic link; the image's state is written "
                    "only inside the image");
    if (!fs::is_directory(st)) throw Error("\"" + state.string() + "\" is not a folder");
    sql::RequireOwnFile(RegistryFile(image), "registry \"" + RegistryFile(image).string() + "\"");
    sql::RequireOwnFile(MountsFile(image), "mount table \"" + MountsFile(image).string() + "\"");
    // Each mounted path as it stands in its folder, so that a link there is seen
    // rather than followed. A path that reaches nothing, or a FIFO or a device, leaves
    // the run no volume, as on the phone; a link or a folder is refused.
    const PathMap paths(image);
    for (const Mount& mount : MountTable(MountsFile(image), Mode::ReadOnly).List()) {
        fs::path entry;
        if (paths.Locate(mount.volumePath, &entry) != PathStatus::Ok) continue;
        if (!fs::is_other(fs::symlink_status(entry, ec)))
            sql::RequireOwnFile(entry, "volume \"" + entry.string() + "\"");
    }
}

std::vector<fs::path> MountedVolumeFiles(const fs::path& image) {
    const PathMap paths(image);
    std::vector<fs::path> files;
    for (const Mount& mount : MountTable(MountsFile(image), Mode::ReadOnly).List()) {
        fs::path file;
        std::error_code ec;
        if (paths.Resolve(mount.volumePath, &file) == PathStatus::Ok && fs::is_regular_file(file, ec))
            files.push_back(file);
    }
    return files;
}

}  // namespace store
