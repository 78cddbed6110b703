// ceupdate init IMAGE
#include <iostream>
#include <memory>

#include "store/store.h"
#include "tools/commands/commands.h"

namespace tools {

void AddInitCommand(CLI::App& app) {
    auto folder = std::make_shared<std::string>();
    CLI::App* init = app.add_subcommand(
        "init", "create a device image in a new or empty folder: an empty registry with "
                "HKEY_LOCAL_MACHINE\\init and the mounted language volume with its three "
                "empty databases");
    init->add_option("IMAGE", *folder, "the folder to create the image in")->required();
    init->callback([folder] {
        store::InitImage(*folder);
        std::cout << "created a device image in " << *folder << "\n";
    });
}

}  // namespace tools
