// A patch file as the installer reads it: its entries, those it reads past, and where
// it stops, found with the installer's own patch-entry reader. "patch show" prints the
// listing; "check" prints it for the update's patch files too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/formats/json.h"

namespace tools {

struct PatchListing {
    Json entries = Json::array();  // {"key", "value"} in the patch JSON's property form
    std::vector<size_t> ends;      // per entry: the byte after it, where its reading ended
    std::vector<size_t> numbers;   // per entry: its place in the file, from 1, skipped ones counted
    Json skipped = Json::array();  // entries read past: {"entry", "part", "offset", "why"}
    std::optional<Json> stop;      // where the installer stops reading, if before the end
    size_t size = 0;               // bytes of the file
};

// Reads the bytes with the installer's own patch-entry reader.
PatchListing ListPatch(std::vector<uint8_t> bytes);

// One line per entry, skipped entry and the stop.
std::string ListingText(const PatchListing& listing);

}  // namespace tools
