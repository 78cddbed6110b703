// ceupdate check [--device IMAGE] [--json] UPDATE_DIR: a dry run.
//
// The stores the installer needs (the registry, the mount table, the mounted volumes)
// are copied consistently into a scratch folder that is removed however the command
// ends (store_copies.h, scratch_guard.h); nothing of the image is written or copied
// else. The real installer runs once on the copies exactly as "run" starts it, with
// nothing drawn and the message dismissed at once, reading its scripts and patch files
// where they are through the original image's path rules (original_files.h), and a
// RunRecord in front notes the course of the run (analyses/check.h). The report is the
// diff of the copies before and after the run and what the record says the installer
// passed over. Exit 0 when nothing was passed over, 1 when something was.
#include <exception>
#include <iostream>
#include <memory>
#include <thread>

#include "store/store.h"
#include "tools/analyses/check.h"
#include "tools/analyses/diff.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/errors.h"
#include "tools/installer_run.h"
#include "tools/original_files.h"
#include "tools/output_spool.h"
#include "tools/scratch_guard.h"
#include "tools/store_copies.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// The installer's directory for an executable path: cut at the last backslash, so
// "\Update.exe" gives the root, "".
std::u16string InstallerFolder(const std::u16string& modulePath) {
    const size_t slash = modulePath.rfind(u'\\');
    return slash == std::u16string::npos ? modulePath : modulePath.substr(0, slash);
}

// The dry run, its report written to the spool; returns how much was passed over.
size_t DryRun(const fs::path& image, const std::string& updateDir, bool json, OutputSpool& report) {
    // Refuses what "run" would refuse, before anything is copied.
    const host::DeviceOptions run = InstallerOptions(image, updateDir);
    // The copies are throwaway: in memory they cost no disk writes. Where memory is
    // short for them, they are made again in the temporary folder.
    auto scratch = std::make_unique<ScratchGuard>(true);
    std::unique_ptr<StoreCopies> made;
    try {
        made = std::make_unique<StoreCopies>(image, run.attachments, scratch->path());
    } catch (const store::Error&) {
        if (!scratch->inMemory() || scratch->RoomInMemory()) throw;  // not for want of memory
    }
    if (scratch->inMemory() && !scratch->RoomInMemory()) {
        made.reset();
        scratch.reset();
        scratch = std::make_unique<ScratchGuard>(false);
        made = std::make_unique<StoreCopies>(image, run.attachments, scratch->path());
    }
    const StoreCopies& copies = *made;
    try {
        OriginalPlaces places = PlacesFor(image, run.attachments, copies.MountedVolumes());
        host::DeviceOptions options;
        options.image = copies.after();
        options.modulePath = run.modulePath;
        options.attachments = places.AliasAttachments();
        options.screen = nullptr;  // nothing drawn; the message returns at once
        TraceFromEnvironment(options);

        // The lint of the scripts follows the run on a thread of its own, taking each
        // call as the installer makes it; the diff of the copies, made once the run is
        // over, goes alongside the rest of the lint. On two cores where there are two.
        std::unique_ptr<OriginalFiles> files;
        std::unique_ptr<RunRecord> record;
        ScriptLints lints;
        std::exception_ptr lintFailed;
        std::jthread linter;
        try {
            RunInstaller(options, [&](host::Backend& device) {
                files = std::make_unique<OriginalFiles>(device, places);
                record = std::make_unique<RunRecord>(*files);
                linter = std::jthread([&] {
                    try {
                        lints = LintScripts(*record, json);
                    } catch (...) {
                        lintFailed = std::current_exception();
                    }
                });
                return record.get();
            });
        } catch (...) {
            if (record) record->EndOfRun();
            throw;
        }
        record->EndOfRun();

        DiffReport diff = json ? DiffReport(1, 3) : DiffReport();
        std::exception_ptr diffFailed;
        {
            std::jthread differ([&] {
                try {
                    DiffRegistries(store::RegistryFile(copies.before()), store::RegistryFile(copies.after()), diff);
                    DiffVolumes(copies.Volumes(copies.before()), copies.Volumes(copies.after()), diff);
                } catch (...) {
                    diffFailed = std::current_exception();
                }
            });
            linter.join();
        }
        if (lintFailed) std::rethrow_exception(lintFailed);
        if (diffFailed) std::rethrow_exception(diffFailed);
        SpoolStream out(report);
        return WriteCheckReport(out, json, diff, *record, lints, store::PathMap(image, run.attachments),
                                InstallerFolder(run.modulePath));
    } catch (const store::Error& e) {
        throw store::Error(copies.InUserTerms(e.what()));
    }
}

}  // namespace

void AddCheckCommand(CLI::App& app) {
    auto device = std::make_shared<DeviceArg>();
    auto updateDir = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* check = app.add_subcommand(
        "check", "a dry run on copies of the image's stores: what the update would change, and "
                 "what the installer would pass over; the image is untouched; exit 1 when "
                 "something would be passed over");
    device->AddTo(*check);
    check->add_flag("--json", *json, "print {\"diff\", \"scripts\", \"patches\", \"passed_over\"}");
    check->add_option("UPDATE_DIR", *updateDir,
                      "the update folder: registry scripts, patch files, the companion program")
        ->required();
    check->callback([device, updateDir, json] {
        OutputSpool report;
        const size_t passedOver = DryRun(device->Image(), *updateDir, *json, report);
        report.WriteTo(std::cout);
        if (passedOver > 0) SetExitCode(1);
    });
}

}  // namespace tools
