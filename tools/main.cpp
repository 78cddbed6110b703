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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"ceupdate: device image tools and the installer runner"};
    app.name("ceupdate");
    app.require_subcommand(1);

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
