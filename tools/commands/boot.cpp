// ceupdate boot [--device IMAGE]: the launch order of the next boot.
#include <iostream>
#include <memory>

#include "store/store.h"
#include "tools/analyses/boot_order.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"

namespace tools {

namespace fs = std::filesystem;

void AddBootCommand(CLI::App& app) {
    auto device = std::make_shared<DeviceArg>();
    CLI::App* boot = app.add_subcommand(
        "boot", "the order in which the phone starts the HKEY_LOCAL_MACHINE\\init launch "
                "entries at the next boot; exit 1 when a problem would hang the boot");
    device->AddTo(*boot);
    boot->callback([device] {
        const fs::path image = device->Image();
        store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadOnly);
        const auto init = registry.FindPath(u"HKEY_LOCAL_MACHINE\\init");
        if (!init) {
            std::cout << "problem: HKEY_LOCAL_MACHINE\\init does not exist: the phone starts "
                         "no launch entries\n";
            SetExitCode(1);
            return;
        }
        const BootReport report = AnalyzeBoot(registry.Values(*init));
        std::cout << FormatBootReport(report);
        if (!report.problems.empty()) SetExitCode(1);
    });
}

}  // namespace tools
