// Finding the database volumes of an image: the volume a command names, and every
// volume file the image holds, mounted or not.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "store/store.h"

namespace tools {

// The host file of the volume at a platform path ("\storage\mxip_lang.vol", matched
// ignoring case); throws ToolError when there is no such volume file in the image.
std::filesystem::path VolumeFile(const std::filesystem::path& image, const std::string& volume);

// The database of a volume by name, ignoring case; throws ToolError when missing.
store::DatabaseInfo FindDatabaseOrFail(const store::VolumeStore& volumes, const std::string& database,
                                       const std::string& volume);

struct VolumeListing {
    std::u16string platformPath;
    std::filesystem::path hostFile;  // empty for a mounted volume whose file is missing
    bool mounted = false;
    std::vector<store::DatabaseInfo> databases;
    // A mounted volume whose file is there but cannot be read as a volume (corrupt,
    // or another kind of file): the reason, naming the file.
    std::string problem;
};

// Every volume file of the image (any file that opens as a volume, outside the
// image's own state folder) and every mounted volume, in case-insensitive path order.
std::vector<VolumeListing> ListVolumes(const std::filesystem::path& image);

}  // namespace tools
