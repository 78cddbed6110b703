// ceupdate check [--device IMAGE] [--json] UPDATE_DIR: a dry run.
//
// The image is copied file by file into a scratch folder (its files are only ever
// opened for reading), the real installer runs once on the copy exactly as "run"
// starts it, with nothing drawn and the message dismissed at once, and a RunRecord in
// front of the copy's device notes the course of the run (analyses/check.h). The
// report is the diff of the copy against the image and what the record says the
// installer passed over. Exit 0 when nothing was passed over, 1 when something was.
#include <iostream>
#include <memory>
#include <system_error>

#include "store/scratch_folder.h"
#include "store/store.h"
#include "tools/analyses/check.h"
#include "tools/analyses/diff.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/errors.h"
#include "tools/installer_run.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// Copies every file of the image; SQLite's shared-memory index (-shm) is rebuilt by
// whoever opens the copy, and is left behind.
void CopyImage(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to, ec);
    if (ec) throw ToolError("the scratch copy " + to.string() + " cannot be made: " + ec.message());
    for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path target = to / it->path().lexically_relative(from);
        const std::string name = it->path().filename().string();
        if (it->is_symlink(ec)) {
            fs::copy_symlink(it->path(), target, ec);
        } else if (it->is_directory(ec)) {
            fs::create_directories(target, ec);
        } else if (name.size() < 4 || name.compare(name.size() - 4, 4, "-shm") != 0) {
            fs::copy_file(it->path(), target, ec);
        }
        if (ec) break;
    }
    if (ec) throw ToolError("the image " + from.string() + " cannot be copied: " + ec.message());
}

// The update folder as the copy holds it: one inside the image is copied with it.
std::string UpdateFolderIn(const fs::path& image, const fs::path& copy, const std::string& updateDir) {
    std::error_code ec;
    const fs::path folder = fs::canonical(updateDir, ec);
    if (ec) throw ToolError("the update folder " + updateDir + " does not exist");
    const fs::path relative = folder.lexically_relative(fs::canonical(image, ec));
    if (relative.empty() || *relative.begin() == "..") return updateDir;
    return (copy / relative).string();
}

// The installer's directory for an executable path: cut at the last backslash, so
// "\Update.exe" gives the root, "".
std::u16string InstallerFolder(const std::u16string& modulePath) {
    const size_t slash = modulePath.rfind(u'\\');
    return slash == std::u16string::npos ? modulePath : modulePath.substr(0, slash);
}

}  // namespace

void AddCheckCommand(CLI::App& app) {
    auto device = std::make_shared<DeviceArg>();
    auto updateDir = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* check = app.add_subcommand(
        "check", "a dry run on a scratch copy of the image: what the update would change, and "
                 "what the installer would pass over; the image is untouched; exit 1 when "
                 "something would be passed over");
    device->AddTo(*check);
    check->add_flag("--json", *json, "print {\"diff\", \"scripts\", \"patches\", \"passed_over\"}");
    check->add_option("UPDATE_DIR", *updateDir,
                      "the update folder: registry scripts, patch files, the companion program")
        ->required();
    check->callback([device, updateDir, json] {
        const fs::path image = device->Image();
        InstallerOptions(image, *updateDir);  // refuses what "run" would refuse, before copying
        store::ScratchFolder scratch;
        const fs::path copy = scratch.path() / "image";
        CopyImage(image, copy);
        host::DeviceOptions options = InstallerOptions(copy, UpdateFolderIn(image, copy, *updateDir));
        options.screen = nullptr;  // nothing drawn; the message returns at once
        TraceFromEnvironment(options);

        std::unique_ptr<RunRecord> record;
        RunInstaller(options, [&record](host::Backend& device) {
            record = std::make_unique<RunRecord>(device);
            return record.get();
        });

        const CheckReport report =
            BuildCheckReport(DiffImages(image, copy), *record, store::PathMap(copy, options.attachments),
                             InstallerFolder(options.modulePath));
        std::cout << (*json ? FormatJson(report.json, 3) + "\n" : report.text);
        if (report.passedOver > 0) SetExitCode(1);
    });
}

}  // namespace tools
