// ceupdate: the host command that creates, inspects and changes device images and
// runs the installer against them. Every failure ends as one line on stderr and
// exit code 2.
#include <cstdio>
#include <exception>
#include <iostream>

#include <CLI/CLI.hpp>

#include "store/store.h"
#include "tools/commands/commands.h"
#include "tools/errors.h"
#include "tools/version.h"

namespace {

// CLI11's messages may span lines; the contract is one line.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int Fail(const std::string& message) {
    std::cerr << "ceupdate: " << OneLine(message) << '\n';
    return tools::kExitError;
}

std::string VersionText() {
    std::string version = std::string("ceupdate ") + tools::kVersion;
    if (*tools::kCommit) version += std::string(" (commit ") + tools::kCommit + ")";
    return version;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"ceupdate: device image tools and the installer runner"};
    app.name("ceupdate");
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionText(), "print the version and exit");
    app.footer("Exit codes: 0 done; 1 a finding (check, lint, diff, boot, patch show, reg import "
               "--force over malformed lines); 2 an "
               "error or a refused command (one line on stderr, nothing written); 3 run: a "
               "store failed while the installer ran. Input files are read whole, at most "
               "256 MiB.");

    tools::AddInitCommand(app);
    tools::AddRegCommands(app);
    tools::AddDbCommands(app);
    tools::AddMountCommands(app);
    tools::AddRunCommand(app);
    tools::AddBootCommand(app);
    tools::AddPatchCommands(app);
    tools::AddLintCommand(app);
    tools::AddDiffCommand(app);
    tools::AddCheckCommand(app);

    if (argc < 2) {
        std::cout << app.help();
        return Fail("a command is required (the list is above)");
    }
    if (const std::string first = argv[1]; !first.starts_with("-")) {
        const auto named = app.get_subcommands([&](const CLI::App* command) { return command->get_name() == first; });
        if (named.empty()) return Fail("there is no command \"" + first + "\"; ceupdate --help lists them");
    }
    store::SetLockWaitNotice([](const std::filesystem::path& file) {
        std::cerr << "ceupdate: waiting for " << OneLine(file.string())
                  << ", locked by another process\n";
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return Fail(e.what());
    } catch (const tools::ToolError& e) {
        return Fail(e.what());
    } catch (const store::Error& e) {
        return Fail(e.what());
    } catch (const std::exception& e) {
        return Fail(std::string("unexpected failure: ") + e.what());
    }
    std::cout.flush();
    if (!std::cout) return Fail("could not write the output");
    return tools::ExitCode();
}
