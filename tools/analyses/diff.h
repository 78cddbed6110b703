// Every difference between two device images: registry keys and values, volumes
// (present, mounted), databases, and records matched by object id, property by
// property. Both images are opened read-only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/formats/json.h"

namespace tools {

struct ImageDiff {
    // {"equal": bool, "registry": {"keys": {"added", "removed"}, "values": {"added",
    //  "removed", "changed"}}, "volumes": {"added", "removed", "mounted", "unmounted"},
    //  "databases": {"added", "removed"}, "records": {"added", "removed", "changed"}}
    Json json;
    std::vector<std::string> lines;  // one per difference, in the order of the JSON
    bool Equal() const { return lines.empty(); }
};

ImageDiff DiffImages(const std::filesystem::path& before, const std::filesystem::path& after);

// The lines, then "N differences" or "the images are equal".
std::string DiffText(const ImageDiff& diff);

}  // namespace tools
