// Host files read or written whole.
#include "tools/host_files.h"

#include <fstream>
#include <iterator>
#include <system_error>

#include "tools/errors.h"

namespace tools {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadHostFile(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        throw ToolError(file.string() + " is not a readable file");
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw ToolError(file.string() + " cannot be read");
    return bytes;
}

void WriteFileWhole(const fs::path& file, const std::vector<uint8_t>& bytes) {
    fs::path temp = file;
    temp += ".partial";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::error_code ec;
            fs::remove(temp, ec);
            throw ToolError(file.string() + " cannot be written");
        }
    }
    std::error_code ec;
    fs::rename(temp, file, ec);
    if (ec) {
        fs::remove(temp, ec);
        throw ToolError(file.string() + " cannot be written: " + ec.message());
    }
}

}  // namespace tools
