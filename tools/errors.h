// The ceupdate command's error: one clear sentence naming what was wrong. main()
// prints it as the single line on stderr and exits with 2; so do store::Error and
// the command-line parser's own errors.
#pragma once

#include <stdexcept>
#include <string>

namespace tools {

inline constexpr int kExitError = 2;
// "run": a store failed while the installer ran (it went on, as on the phone).
inline constexpr int kExitStoreFailed = 3;

class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& sentence) : std::runtime_error(sentence) {}
};

}  // namespace tools
