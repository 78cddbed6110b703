// Helpers of the hardening suites (kill, hostile inputs, two runs at once): starting
// ceupdate as a child that can be killed or timed out, and checking the stores of
// an image.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Starts CEUPDATE_BIN with the arguments (stdin, stdout and stderr on /dev/null,
// the extra environment variables added); returns the child's pid.
pid_t StartCli(const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& env = {});

// Waits for the child at most `seconds`; kills it (SIGKILL) when it takes longer.
// The exit code, 128 + N when it ended by signal N, or -1 when it had to be killed.
int WaitCli(pid_t pid, double seconds);

// StartCli then WaitCli.
int RunCliWithin(const std::vector<std::string>& args, double seconds,
                 const std::vector<std::pair<std::string, std::string>>& env = {});

// Every SQLite file under the folder (the registry, the mount table, the volumes).
std::vector<std::filesystem::path> StoreFiles(const std::filesystem::path& image);

// "ok", or what PRAGMA integrity_check (or opening the file) reported.
std::string IntegrityCheck(const std::filesystem::path& file);

// A new image with one record (number 42 as property 2, "seed" as property 3) in
// \FileNameLang, and in `update` a script that adds HKEY_CURRENT_USER\Marker "Run"
// and a patch file that relabels the record "patched".
void MakeSeededImageAndUpdate(const std::filesystem::path& image, const std::filesystem::path& update);

// Copies a folder with everything in it.
void CopyFolder(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace testing_support
