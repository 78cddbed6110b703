// Host files read or written whole, for the commands' inputs and outputs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tools {

// The most a command reads of one input file.
inline constexpr uint64_t kMaxInputBytes = 256u << 20;  // 256 MiB

// The whole content of a regular host file of at most kMaxInputBytes; throws
// ToolError naming it when it is something else (a folder, a FIFO, a device), is
// larger, or cannot be read. Opening never blocks (a FIFO is refused, not waited on).
std::vector<uint8_t> ReadHostFile(const std::filesystem::path& file);

// Writes the whole file or nothing: a new temporary file beside it (made exclusively,
// never through a link), then a rename over it. The file must be a regular file or
// absent: a link, a device or a folder there is refused. Throws ToolError naming the
// file when it cannot be written.
void WriteFileWhole(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

}  // namespace tools
