// ceupdate run [--device IMAGE] [--yes] UPDATE_DIR.
//
// run binds the host platform to the image and starts the installer as if its
// executable lay in UPDATE_DIR: a folder inside the image keeps its own platform
// path, a folder outside it is attached as "\Storage Card". Everything that could
// stop the run on the host side is checked before the installer starts, so a
// refused run writes nothing.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "platform/host/host.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/installer_run.h"
#include "tools/terminal_screen.h"

namespace tools {

namespace fs = std::filesystem;

void AddRunCommand(CLI::App& app) {
    auto device = std::make_shared<DeviceArg>();
    auto updateDir = std::make_shared<std::string>();
    auto yes = std::make_shared<bool>(false);
    CLI::App* run = app.add_subcommand(
        "run", "run the installer on the image as if its executable lay in UPDATE_DIR");
    device->AddTo(*run);
    run->add_flag("--yes,-y", *yes, "dismiss the completion message at once");
    run->add_option("UPDATE_DIR", *updateDir,
                    "the update folder: registry scripts, patch files, the companion program")
        ->required();
    run->callback([device, updateDir, yes] {
        const fs::path image = device->Image();
        host::DeviceOptions options = InstallerOptions(image, *updateDir);
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
    });
}

}  // namespace tools
