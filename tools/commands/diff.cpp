// ceupdate diff [--json] IMAGE_A IMAGE_B: every difference between two images.
#include <iostream>
#include <memory>

#include "tools/analyses/diff.h"
#include "tools/commands/commands.h"

namespace tools {

void AddDiffCommand(CLI::App& app) {
    auto before = std::make_shared<std::string>();
    auto after = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* diff = app.add_subcommand(
        "diff", "every difference between two images: registry keys and values, volumes, "
                "databases and records; exit 0 when equal, 1 when they differ");
    diff->add_flag("--json", *json, "print the differences as JSON");
    diff->add_option("IMAGE_A", *before, "the image before")->required();
    diff->add_option("IMAGE_B", *after, "the image after")->required();
    diff->callback([before, after, json] {
        DiffReport report = *json ? DiffReport(0, 3) : DiffReport();
        DiffImages(*before, *after, report);
        report.WriteTo(std::cout);
        if (*json) std::cout << '\n';
        if (!report.Equal()) SetExitCode(1);
    });
}

}  // namespace tools
