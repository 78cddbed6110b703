// Runs the ceupdate binary the way a user does, for the end-to-end suites.
//
//   CliResult r = RunCli({"reg", "export", "--json"}, {.cwd = image});
//   EXPECT_EQ(r.exitCode, 0) << r.err;
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct CliResult {
    int exitCode = -1;  // the exit status; 128 + N when killed by signal N
    std::string out;    // everything written to stdout
    std::string err;    // everything written to stderr
};

struct CliOptions {
    std::optional<std::string> stdinText;  // none: stdin is /dev/null
    std::filesystem::path cwd;             // empty: the test's current directory
};

// Runs CEUPDATE_BIN with the arguments and waits for it to end.
CliResult RunCli(const std::vector<std::string>& args, const CliOptions& options = {});

// The number of lines of a text (a last line without newline counts).
size_t LineCount(const std::string& text);

}  // namespace testing_support
