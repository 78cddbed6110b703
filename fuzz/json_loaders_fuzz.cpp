// The JSON readers of the ceupdate command, driven through the commands themselves:
// the first input byte picks "reg load", "db load", "patch build" or "patch show"
// (which reads a binary patch file), the rest is the file it reads. Loads go into a
// scratch image renewed every few thousand inputs. A refused input must end as a
// ToolError or store::Error (one clear line, exit 2); any other exception escaping a
// command is a finding.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "fuzz/fuzz_support.h"
#include "store/store.h"
#include "tools/commands/commands.h"
#include "tools/errors.h"

namespace {

constexpr int kRenewEvery = 2000;

void RunCommand(const std::vector<std::string>& args) {
    CLI::App app{"ceupdate"};
    app.require_subcommand(1);
    tools::AddRegCommands(app);
    tools::AddDbCommands(app);
    tools::AddPatchCommands(app);
    std::vector<const char*> argv = {"ceupdate"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
    } catch (const CLI::ParseError&) {
    } catch (const tools::ToolError&) {
    } catch (const store::Error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The commands print what they did; the fuzzer only wants the exceptions.
    static std::ostringstream sink;
    std::cout.rdbuf(sink.rdbuf());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    fuzz::ScratchImage& image = fuzz::SharedImage();
    image.Due(kRenewEvery);
    const std::string img = image.image().string();
    const std::string in = (image.root() / "in").string();
    const std::string out = (image.root() / "out.dat").string();
    fuzz::WriteFile(in, data + 1, size - 1);
    switch (data[0] % 4) {
        case 0: RunCommand({"reg", "load", "--device", img, in}); break;
        case 1:
            RunCommand({"db", "load", "--device", img, "\\storage\\mxip_lang.vol", "\\FileNameLang", in});
            break;
        case 2: RunCommand({"patch", "build", in, out}); break;
        case 3: RunCommand({"patch", "show", "--json", in}); break;
    }
    // Whatever was loaded, the stores still open and read.
    store::RegistryStore registry(store::RegistryFile(image.image()), store::Mode::ReadOnly);
    (void)registry.FindPath(u"HKEY_LOCAL_MACHINE\\init");
    return 0;
}
