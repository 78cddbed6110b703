// ceupdate run [--device IMAGE] [--yes] UPDATE_DIR.
//
// run binds the host platform to the image and starts the installer as if its
// executable lay in UPDATE_DIR: a folder inside the image keeps its own platform
// path, a folder outside it is attached as "\Storage Card". Everything that could
// stop the run on the host side is checked before the installer starts, so a
// refused run writes nothing: the image's state (no store written through a link),
// the update folder, and the write locks of the stores the installer writes (the
// registry and the mounted volumes), each waited for a few seconds at most.
//
// A store that fails during the run (locked after all, a full disk, an I/O error)
// does not stop the installer, which goes on as it does on the phone; run then ends
// with one line naming the failure and the writes that were committed, and exit
// code 3 (kExitStoreFailed).
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "platform/host/host.h"
#include "store/store.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/errors.h"
#include "tools/installer_run.h"
#include "tools/terminal_screen.h"

namespace tools {

namespace fs = std::filesystem;

void AddRunCommand(CLI::App& app) {
    auto device = std::make_shared<DeviceArg>();
    auto updateDir = std::make_shared<std::string>();
    auto yes = std::make_shared<bool>(false);
    CLI::App* run = app.add_subcommand(
        "run", "run the installer on the image as if its executable lay in UPDATE_DIR; exits "
               "with the installer's code, 2 when the run is refused (nothing written), 3 when "
               "a store failed during the run (the line on stderr says which and how many "
               "writes were committed)");
    device->AddTo(*run);
    run->add_flag("--yes,-y", *yes, "dismiss the completion message at once");
    run->add_option("UPDATE_DIR", *updateDir,
                    "the update folder: registry scripts, patch files, the companion program")
        ->required();
    run->callback([device, updateDir, yes] {
        const fs::path image = device->ImageForWriting();
        host::DeviceOptions options = InstallerOptions(image, *updateDir);
        store::WaitForWriteLock(store::RegistryFile(image));
        for (const fs::path& volume : store::MountedVolumeFiles(image)) store::WaitForWriteLock(volume);
        host::StoreReport stores;
        options.storeReport = &stores;
        // Not in --help: CEUPDATE_TRACE=FILE writes one line per committed registry or
        // database write to FILE, in commit order (the kill test's record of writes).
        TraceFromEnvironment(options);
        const bool framed = isatty(STDOUT_FILENO) != 0;
        const bool dismissAtOnce = *yes || isatty(STDIN_FILENO) == 0;
        TerminalScreen screen(stdout, stdin, framed, dismissAtOnce);
        options.screen = &screen;
        std::cout.flush();
        const int result = RunInstaller(options);
        SetExitCode(result);
        if (!stores.firstFailure.empty()) {
            std::cout.flush();
            std::cerr << "ceupdate: the run went on past a store failure: " << stores.firstFailure
                      << "; " << stores.committedWrites
                      << (stores.committedWrites == 1 ? " write was" : " writes were")
                      << " committed\n";
            SetExitCode(kExitStoreFailed);
        }
    });
}

}  // namespace tools
