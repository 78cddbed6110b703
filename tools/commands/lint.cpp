// ceupdate lint [--json] SCRIPT.reg: what the installer will write from a registry
// script and every line it will pass over, with line numbers. Exit 1 when there are
// warnings.
#include <iostream>
#include <memory>

#include "tools/analyses/lint.h"
#include "tools/commands/commands.h"
#include "tools/host_files.h"

namespace tools {

void AddLintCommand(CLI::App& app) {
    auto file = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* lint = app.add_subcommand(
        "lint", "go through a registry script the way the installer does: what it writes and "
                "every line it passes over, with line numbers; exit 1 when there are warnings");
    lint->add_flag("--json", *json, "print {\"writes\": [...], \"warnings\": [...]}");
    lint->add_option("SCRIPT.reg", *file, "the registry script (UTF-16 LE, as the installer reads it; a regular file of at most 256 MiB)")
        ->required();
    lint->callback([file, json] {
        LintReport report = *json ? LintReport(1, 2) : LintReport();
        LintScript(ReadHostFile(*file), report);
        report.WriteTo(std::cout);
        if (*json) std::cout << '\n';
        if (report.warnings() > 0) SetExitCode(1);
    });
}

}  // namespace tools
