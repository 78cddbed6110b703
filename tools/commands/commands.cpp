// The exit code the commands set for main() to return.
#include "tools/commands/commands.h"

namespace tools {

namespace {
int g_exitCode = 0;
}  // namespace

void SetExitCode(int code) { g_exitCode = code; }
int ExitCode() { return g_exitCode; }

}  // namespace tools
