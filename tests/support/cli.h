// Runs the ceupdate binary the way a user does, for the end-to-end suites.
//
//   CliResult r = RunCli({"reg", "export", "--json"}, {.cwd = image});
//   EXPECT_EQ(r.exitCode, 0) << r.err;
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store/scratch_folder.h"

namespace testing_support {

struct CliResult {
    int exitCode = -1;  // the exit status; 128 + N when killed by signal N; -1 timed out
    std::string out;    // everything written to stdout
    std::string err;    // everything written to stderr
};

struct CliOptions {
    std::optional<std::string> stdinText;  // none: stdin is /dev/null
    std::filesystem::path cwd;             // empty: the test's current directory
    double timeoutSeconds = 0;             // > 0: the child is killed after this long
};

inline CliOptions InFolder(const std::filesystem::path& cwd) {
    CliOptions options;
    options.cwd = cwd;
    return options;
}

// Runs CEUPDATE_BIN with the arguments and waits for it to end.
CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options = {});

// RunCli with "--device IMAGE" appended to the arguments.
CliResult RunOnImage(const std::filesystem::path& image, std::vector<std::string> args,
                     const CliOptions& options = {});

// The number of lines of a text (a last line without newline counts).
size_t LineCount(const std::string& text);

// A temporary folder, removed with everything in it at the end of its scope.
using TempFolder = store::ScratchFolder;

void WriteTextFile(const std::filesystem::path& file, const std::string& text);

// Every regular file under a folder (relative path) with a hash of its content: two
// equal fingerprints mean the folder's files are byte for byte the same.
using Fingerprint = std::map<std::string, uint64_t>;
Fingerprint FolderFingerprint(const std::filesystem::path& folder);

}  // namespace testing_support
