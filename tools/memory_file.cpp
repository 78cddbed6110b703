#include "tools/memory_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "tools/errors.h"

namespace tools {

MemoryFile::MemoryFile(std::vector<uint8_t> bytes, host::Backend& target)
    : host::ForwardingBackend(target), bytes_(std::move(bytes)) {}

HANDLE MemoryFile::CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                     HANDLE) {
    position_ = 0;
    return Handle();
}

BOOL MemoryFile::ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                                LPOVERLAPPED overlapped) {
    if (file != Handle()) return target().ReadFile(file, buffer, count, read, overlapped);
    const size_t n = std::min<size_t>(count, bytes_.size() - position_);
    if (n) std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    if (read) *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL MemoryFile::CloseHandle(HANDLE handle) {
    return handle == Handle() ? TRUE : target().CloseHandle(handle);
}

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

}  // namespace tools
