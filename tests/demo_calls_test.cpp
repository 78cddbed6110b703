// The demo update's platform calls, every one with its arguments and result, against
// the golden trace tests/golden/demo-update.calls: any change to what the installer
// asks of the platform shows up there, in review. The demo is built as
// scripts/demo.sh builds it and run as "ceupdate run" runs it.
//
//   CEUPDATE_REWRITE_GOLDEN=1 build/tests/demo_calls_test    rewrites the golden trace
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "control/control.h"
#include "store/text.h"
#include "tests/support/cli.h"
#include "tests/support/installer_fixture.h"
#include "tools/installer_run.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const fs::path kSource = CEUPDATE_SOURCE_DIR;
const fs::path kGolden = kSource / "tests" / "golden" / "demo-update.calls";

const char kHeader[] =
    "# The platform calls of the demo update (scripts/demo.sh), run as \"ceupdate run\" runs it:\n"
    "# every call with its arguments and result, thread by thread (thread 1 made the first\n"
    "# call), each thread's calls in order. The line format is in testing/recorder.h.\n"
    "# Written by tests/demo_calls_test.cpp; CEUPDATE_REWRITE_GOLDEN=1 rewrites it.\n";

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteBytes(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The phone before the update, from demo/seed.
void SeedImage(const fs::path& image) {
    const fs::path seed = kSource / "demo" / "seed";
    CliResult r = RunOnImage(image, {"reg", "load", (seed / "registry.json").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* db : {"FileNameLang", "MetaBaseOptions", "MetaBaseLabels"}) {
        r = RunOnImage(image, {"db", "load", "\\storage\\mxip_lang.vol", std::string("\\") + db,
                               (seed / (std::string(db) + ".json")).string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
}

// The update folder, from demo/update-src: the script in UTF-16 LE with BOM and CR LF,
// the patch files built from their JSON, the companion program.
void BuildUpdate(const fs::path& update) {
    const fs::path source = kSource / "demo" / "update-src";
    fs::create_directories(update);
    WriteBytes(update / "settings.reg", Script(text::FromUtf8(ReadFile(source / "settings.reg.txt"))));
    for (const char* patch : {"FileNameLang", "MetabaseOptions", "MetabaseLabels"}) {
        CliResult r = RunCli({"patch", "build", (source / (std::string(patch) + ".json")).string(),
                              (update / (std::string(patch) + ".dat")).string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }
    fs::copy_file(source / "Brindel.exe", update / "Brindel.exe");
}

// The first line where the two texts differ, with its number.
std::string FirstDifference(const std::string& want, const std::string& got) {
    std::istringstream a(want), b(got);
    std::string x, y;
    for (int line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(a, x));
        const bool moreB = static_cast<bool>(std::getline(b, y));
        if (!moreA && !moreB) return "none";
        if (moreA != moreB || x != y)
            return "line " + std::to_string(line) + "\n  golden: " + (moreA ? x : "(end)") +
                   "\n  now:    " + (moreB ? y : "(end)");
    }
}

TEST(DemoUpdate, AsksThePlatformExactlyWhatTheGoldenTraceHolds) {
    ScratchImage img;
    SeedImage(img.image());
    TempFolder folder;
    BuildUpdate(folder / "update");
    img.Bind(tools::InstallerOptions(img.image(), (folder / "update").string()));
    WCHAR noCommandLine[1] = {0};
    EXPECT_EQ(WinMain(nullptr, nullptr, noCommandLine, 1), 0);
    img.Unbind();  // also checks the run's call rules and that nothing was left open
    const std::string transcript = kHeader + img.calls().Transcript();

    if (const char* rewrite = std::getenv("CEUPDATE_REWRITE_GOLDEN"); rewrite && *rewrite) {
        fs::create_directories(kGolden.parent_path());
        std::ofstream(kGolden, std::ios::binary) << transcript;
        GTEST_SKIP() << "rewrote " << kGolden;
    }
    const std::string golden = ReadFile(kGolden);
    EXPECT_TRUE(golden == transcript)
        << "the demo update's calls differ from " << kGolden << " at " << FirstDifference(golden, transcript)
        << "\nIf the change is meant, rewrite it with CEUPDATE_REWRITE_GOLDEN=1 and review the diff.";
}

}  // namespace
