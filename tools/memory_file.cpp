// The memory file backend.
#include "tools/memory_file.h"

#include <algorithm>
#include <cstring>

namespace tools {

MemoryFile::MemoryFile(std::span<const uint8_t> bytes, host::Backend& target)
    : host::ForwardingBackend(target), bytes_(bytes) {}

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

}  // namespace tools
