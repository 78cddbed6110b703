// ceupdate patch build IN.json OUT.dat, and patch show [--json] IN.dat.
//
// show reads the file with the installer's own patch-entry reader, so what it lists
// is what the installer applies, and where it says the installer stops, it stops.
#include <fstream>
#include <memory>
#include <optional>
#include <iostream>
#include <sstream>
#include <system_error>

#include "langdb/langdb.h"
#include "store/bytes.h"
#include "store/text.h"
#include "tools/commands/commands.h"
#include "tools/errors.h"
#include "tools/formats/json.h"
#include "tools/memory_file.h"
#include "tools/analyses/patch_listing.h"
#include "tools/formats/database_json.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// One property in the file's form, refusing what the installer would stop at or skip.
void AppendPatchProperty(std::vector<uint8_t>& out, const store::Property& p,
                         const std::string& where) {
    const uint16_t type = static_cast<uint16_t>(p.propid & 0xFFFF);
    if (type != CEVT_LPWSTR && type != CEVT_UI4) {
        throw ToolError(where + ": the installer reads only CEVT_LPWSTR and CEVT_UI4 "
                        "properties and would stop at this one");
    }
    store::AppendLittleEndian(out, p.propid, 4);
    if (type == CEVT_UI4) {
        out.insert(out.end(), p.bytes.begin(), p.bytes.end());
        return;
    }
    const size_t length = p.bytes.size() / 2;
    if (length == 0) {
        throw ToolError(where + ": an empty text would stop the installer here");
    }
    if (length > kPatchMaxTextLength) {
        throw ToolError(where + ": a text of " + std::to_string(length) +
                        " characters is longer than the installer reads (at most " +
                        std::to_string(kPatchMaxTextLength) + ")");
    }
    store::AppendLittleEndian(out, length, 2);
    out.insert(out.end(), p.bytes.begin(), p.bytes.end());
}

std::vector<uint8_t> BuildPatch(const Json& doc, const std::string& source) {
    CheckMembers(doc, {"entries"}, source);
    if (!doc.contains("entries") || !doc["entries"].is_array()) {
        throw ToolError(source + ": \"entries\" must be a list of {\"key\", \"value\"} pairs");
    }
    std::vector<uint8_t> out;
    size_t index = 0;
    for (const Json& entry : doc["entries"]) {
        const std::string where = source + ": entry " + std::to_string(++index);
        CheckMembers(entry, {"key", "value"}, where);
        if (!entry.contains("key") || !entry.contains("value")) {
            throw ToolError(where + " needs both \"key\" and \"value\"");
        }
        AppendPatchProperty(out, PropertyFromJson(entry["key"], where + " key"), where + " key");
        AppendPatchProperty(out, PropertyFromJson(entry["value"], where + " value"),
                            where + " value");
    }
    return out;
}

// Writes the whole file or nothing: a temporary file beside it, then a rename.
void WriteFileWhole(const fs::path& file, const std::vector<uint8_t>& bytes) {
    fs::path temp = file;
    temp += ".partial";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            throw ToolError(file.string() + " cannot be written");
        }
    }
    std::error_code ec;
    fs::rename(temp, file, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw ToolError(file.string() + " cannot be written: " + ec.message());
    }
}

store::Property PropertyOf(const PatchProperty& p) {
    store::Property out{p.tag, {}};
    if ((p.tag & 0xFFFF) == CEVT_UI4) {
        store::AppendLittleEndian(out.bytes, p.number, 4);
    } else {
        store::AppendUtf16Le(out.bytes, p.text);
    }
    return out;
}

const char* StopReason(int result) {
    switch (result) {
        case kPatchCut: return "the data ends inside a field";
        case kPatchUnknownType: return "a property of a type other than CEVT_LPWSTR and CEVT_UI4";
        case kPatchEmptyText: return "a text of zero characters";
        case kPatchTextTooLong: return "a text of more than 499 characters";
        default: return "";
    }
}

}  // namespace

PatchListing ListPatch(std::vector<uint8_t> bytes) {
    PatchListing listing;
    listing.size = bytes.size();
    MemoryFile file(std::move(bytes), host::CurrentBackend());
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

namespace {

std::string PropertyLine(const Json& p) {
    store::Property prop = PropertyFromJson(p, "entry");
    return "id " + std::to_string(prop.propid >> 16) + " " +
           std::string(*PropTypeName(static_cast<uint16_t>(prop.propid & 0xFFFF))) + " " +
           PropertyDataText(prop);
}

}  // namespace

void PrintListing(const PatchListing& listing) {
    size_t index = 0;
    for (const Json& e : listing.entries) {
        std::cout << "entry " << ++index << ": key " << PropertyLine(e["key"]) << "  ->  "
                  << PropertyLine(e["value"]) << '\n';
    }
    for (const Json& s : listing.skipped) {
        std::cout << "skipped: entry " << s["entry"].get<size_t>() << " at byte "
                  << s["offset"].get<size_t>() << " (" << s["part"].get<std::string>()
                  << "): " << s["why"].get<std::string>()
                  << "; the installer reads past it and goes on\n";
    }
    if (listing.stop) {
        const Json& s = *listing.stop;
        std::cout << "stop: the installer stops reading at entry " << s["entry"].get<size_t>()
                  << " (" << s["part"].get<std::string>() << ", byte "
                  << s["offset"].get<size_t>() << "): " << s["why"].get<std::string>()
                  << "; the rest of the file is not applied\n";
    } else {
        std::cout << "the installer reads the whole file: " << listing.entries.size()
                  << " entries, " << listing.size << " bytes\n";
    }
}

void AddPatchCommands(CLI::App& app) {
    CLI::App* patch = app.add_subcommand("patch", "build and inspect binary patch files");
    patch->require_subcommand(1);

    auto input = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    CLI::App* build = patch->add_subcommand(
        "build", "write a patch file from patch JSON; refuses entries the installer would "
                 "stop at or skip");
    build->add_option("IN.json", *input, "patch JSON: {\"entries\": [{\"key\", \"value\"}]}")
        ->required();
    build->add_option("OUT.dat", *output, "the patch file to write")->required();
    build->callback([input, output] {
        const std::vector<uint8_t> bytes = BuildPatch(ReadJsonFile(*input), *input);
        WriteFileWhole(*output, bytes);
    });

    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* show = patch->add_subcommand(
        "show", "list a patch file's entries as the installer reads them; exit 1 when it "
                "would skip an entry or stop before the end");
    show->add_flag("--json", *json, "patch JSON, with \"skipped\" and \"stop\"");
    show->add_option("IN.dat", *file, "the patch file")->required();
    show->callback([file, json] {
        PatchListing listing = ListPatch(ReadHostFile(*file));
        if (*json) {
            Json out{{"entries", listing.entries}};
            out["skipped"] = listing.skipped;
            out["stop"] = listing.stop ? *listing.stop : Json(nullptr);
            std::cout << FormatJson(out, 2) << '\n';
        } else {
            PrintListing(listing);
        }
        if (listing.stop || !listing.skipped.empty()) SetExitCode(1);
    });
}

}  // namespace tools
