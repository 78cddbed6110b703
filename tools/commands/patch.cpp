// ceupdate patch build IN.json OUT.dat, and patch show [--json] IN.dat.
//
// show reads the file with the installer's own patch-entry reader, so what it lists
// is what the installer applies, and where it says the installer stops, it stops.
#include <iostream>
#include <memory>

#include "tools/analyses/patch_listing.h"
#include "tools/commands/commands.h"
#include "tools/formats/json.h"
#include "tools/formats/patch_file.h"
#include "tools/host_files.h"

namespace tools {

void AddPatchCommands(CLI::App& app) {
    CLI::App* patch = app.add_subcommand("patch", "build and inspect binary patch files");
    patch->require_subcommand(1);

    auto input = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    CLI::App* build = patch->add_subcommand(
        "build", "write a patch file from patch JSON; refuses entries the installer would "
                 "stop at or skip");
    build->add_option("IN.json", *input,
                      "patch JSON: {\"entries\": [{\"key\", \"value\"}]} (\"skipped\" and "
                      "\"stop\", as show --json writes them, are passed over); a regular file "
                      "of at most 256 MiB")
        ->required();
    build->add_option("OUT.dat", *output,
                      "the patch file to write: a new file, or a regular file replaced whole")
        ->required();
    build->callback([input, output] {
        const std::vector<uint8_t> bytes = BuildPatchFile(ReadJsonFile(*input), *input);
        WriteFileWhole(*output, bytes);
    });

    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* show = patch->add_subcommand(
        "show", "list a patch file's entries as the installer reads them; exit 1 when it "
                "would skip an entry or stop before the end");
    show->add_flag("--json", *json,
                   "patch JSON, with \"skipped\" and \"stop\"; patch build takes it back");
    show->add_option("IN.dat", *file, "the patch file (a regular file, at most 256 MiB)")->required();
    show->callback([file, json] {
        PatchListing listing = ListPatch(ReadHostFile(*file));
        if (*json) {
            Json out{{"entries", listing.entries}};
            out["skipped"] = listing.skipped;
            out["stop"] = listing.stop ? *listing.stop : Json(nullptr);
            std::cout << FormatJson(out, 2) << '\n';
        } else {
            std::cout << ListingText(listing);
        }
        if (listing.stop || !listing.skipped.empty()) SetExitCode(1);
    });
}

}  // namespace tools
