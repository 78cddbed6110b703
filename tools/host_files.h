// Host files read or written whole, for the commands' inputs and outputs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tools {

// The whole content of a host file; throws ToolError naming it when it cannot be read.
std::vector<uint8_t> ReadHostFile(const std::filesystem::path& file);

// Writes the whole file or nothing: a temporary file beside it, then a rename. Throws
// ToolError naming the file when it cannot be written.
void WriteFileWhole(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

}  // namespace tools
