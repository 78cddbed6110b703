// The ceupdate subcommands, one registration function per command group, each in a
// file of its own in tools/commands/ (init.cpp, reg.cpp, ...). main() calls every one;
// a new group is one declaration here and one line in main.cpp.
//
// A registration adds its subcommands to the app and sets their callbacks. Callbacks
// report failure by throwing tools::ToolError or store::Error; they print results
// to stdout and may change the process exit code through SetExitCode.
#pragma once

#include <CLI/CLI.hpp>

namespace tools {

void AddInitCommand(CLI::App& app);     // init IMAGE
void AddRegCommands(CLI::App& app);     // reg export | load | delete | import
void AddDbCommands(CLI::App& app);      // db list | dump | load | drop
void AddMountCommands(CLI::App& app);   // mount VOLUME, unmount VOLUME
void AddRunCommand(CLI::App& app);      // run UPDATE_DIR
void AddBootCommand(CLI::App& app);     // boot
void AddPatchCommands(CLI::App& app);   // patch build | show
void AddLintCommand(CLI::App& app);     // lint SCRIPT.reg
void AddDiffCommand(CLI::App& app);     // diff IMAGE_A IMAGE_B
void AddCheckCommand(CLI::App& app);    // check UPDATE_DIR

// The exit code main() returns once the command's callback has finished without
// an error (0 unless a command sets it, e.g. "differences found").
void SetExitCode(int code);
int ExitCode();

}  // namespace tools
