// Patch listings.
#include "tools/analyses/patch_listing.h"

#include <sstream>

#include "langdb/langdb.h"
#include "platform/host/backend.h"
#include "tools/formats/database_json.h"
#include "tools/formats/patch_file.h"
#include "tools/memory_file.h"

namespace tools {

namespace {

const char* StopReason(int result) {
    switch (result) {
        case kPatchCut: return "the data ends inside a field";
        case kPatchUnknownType: return "a property of a type other than CEVT_LPWSTR and CEVT_UI4";
        case kPatchEmptyText: return "a text of zero characters";
        case kPatchTextTooLong: return "a text of more than 499 characters";
        default: return "";
    }
}

std::string PropertyLine(const Json& p) {
    store::Property prop = PropertyFromJson(p, "entry", TextNul::Kept);
    return "id " + std::to_string(prop.propid >> 16) + " " +
           std::string(*PropTypeName(static_cast<uint16_t>(prop.propid & 0xFFFF))) + " " +
           PropertyDataText(prop);
}

}  // namespace

PatchListing ListPatch(std::vector<uint8_t> bytes) {
    PatchListing listing;
    listing.size = bytes.size();
    MemoryFile file(bytes, host::CurrentBackend());
    host::ScopedBackend inFront(file);
    HANDLE handle = file.CreateFileW(nullptr, 0, 0, nullptr, 0, 0, nullptr);
    static PatchEntry entry;  // large (two 500-character texts): kept off the stack
    for (size_t index = 1;; ++index) {
        const size_t offset = file.Position();
        const int result = ReadPatchEntry(handle, &entry);
        if (result == kPatchRead) {
            listing.entries.push_back(
                Json{{"key", PropertyToJson(PropertyOf(entry.key))},
                     {"value", PropertyToJson(PropertyOf(entry.value))}});
            listing.ends.push_back(file.Position());
            listing.numbers.push_back(index);
            continue;
        }
        if (result == kPatchEndOfData) break;
        Json where{{"entry", index},
                   {"part", entry.part == kPatchPartKey ? "key" : "value"},
                   {"offset", offset},
                   {"why", StopReason(result)}};
        if (result == kPatchTextTooLong) {
            listing.skipped.push_back(where);
            continue;
        }
        listing.stop = where;
        break;
    }
    return listing;
}

std::string ListingText(const PatchListing& listing) {
    std::ostringstream out;
    for (size_t i = 0; i < listing.entries.size(); ++i) {
        const Json& e = listing.entries[i];
        out << "entry " << listing.numbers[i] << ": key " << PropertyLine(e["key"]) << "  ->  "
            << PropertyLine(e["value"]) << '\n';
    }
    for (const Json& s : listing.skipped) {
        out << "skipped: entry " << s["entry"].get<size_t>() << " at byte "
            << s["offset"].get<size_t>() << " (" << s["part"].get<std::string>()
            << "): " << s["why"].get<std::string>() << "; the installer reads past it and goes on\n";
    }
    if (listing.stop) {
        const Json& s = *listing.stop;
        out << "stop: the installer stops reading at entry " << s["entry"].get<size_t>() << " ("
            << s["part"].get<std::string>() << ", byte " << s["offset"].get<size_t>()
            << "): " << s["why"].get<std::string>() << "; the rest of the file is not applied\n";
    } else {
        out << "the installer reads the whole file: " << listing.entries.size() << " entries, "
            << listing.size << " bytes\n";
    }
    return out.str();
}

}  // namespace tools
