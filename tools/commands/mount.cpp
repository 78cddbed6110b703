// ceupdate mount VOLUME, ceupdate unmount VOLUME
#include <iostream>
#include <memory>

#include "store/store.h"
#include "store/text.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/errors.h"
#include "tools/image_volumes.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

struct VolumeArgs {
    DeviceArg device;
    std::string volume;
};

CLI::App* AddVolumeCommand(CLI::App& app, const char* name, const char* description,
                           VolumeArgs& args) {
    CLI::App* cmd = app.add_subcommand(name, description);
    args.device.AddTo(*cmd);
    cmd->add_option("VOLUME", args.volume, "the volume's platform path, e.g. \\storage\\mxip_lang.vol")
        ->required();
    return cmd;
}

}  // namespace

void AddMountCommands(CLI::App& app) {
    auto mountArgs = std::make_shared<VolumeArgs>();
    AddVolumeCommand(app, "mount", "mount a volume of the image: the platform's volume "
                                   "enumeration then lists it", *mountArgs)
        ->callback([mountArgs] {
            fs::path image = mountArgs->device.ImageForWriting();
            fs::path file = VolumeFile(image, mountArgs->volume);
            // Mounted under the path's spelling on disk, the way "db list" shows it.
            auto path = store::PathMap(image).PlatformPathOf(file);
            store::MountTable mounts(store::MountsFile(image), store::Mode::ReadWrite);
            store::Mount mount = mounts.Add(path ? *path : text::FromUtf8(mountArgs->volume));
            std::cout << "mounted " << text::ToUtf8(mount.volumePath) << "\n";
        });

    auto unmountArgs = std::make_shared<VolumeArgs>();
    AddVolumeCommand(app, "unmount", "remove a volume from the mount table (its file stays)",
                     *unmountArgs)
        ->callback([unmountArgs] {
            fs::path image = unmountArgs->device.ImageForWriting();
            store::MountTable mounts(store::MountsFile(image), store::Mode::ReadWrite);
            if (!mounts.Remove(text::FromUtf8(unmountArgs->volume))) {
                throw ToolError("the volume " + unmountArgs->volume + " is not mounted");
            }
            std::cout << "unmounted " << unmountArgs->volume << "\n";
        });
}

}  // namespace tools
