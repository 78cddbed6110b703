// Lets the installer's own readers (the patch-entry reader, the script line reader)
// run over bytes in memory without a device: while a MemoryFile is in front
// (host::ScopedBackend), CreateFileW of any path opens the bytes, and
// ReadFile/CloseHandle serve that handle; every other call goes to its target.
#pragma once

#include <cstdint>
#include <span>

#include "platform/host/backend.h"

namespace tools {

class MemoryFile : public host::ForwardingBackend {
public:
    // The bytes are not copied: they must outlive the MemoryFile.
    MemoryFile(std::span<const uint8_t> bytes, host::Backend& target);
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // The handle CreateFileW hands out.
    HANDLE Handle() { return reinterpret_cast<HANDLE>(this); }

    HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                       HANDLE) override;
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                  LPOVERLAPPED overlapped) override;
    BOOL CloseHandle(HANDLE handle) override;

    // Bytes handed out so far.
    size_t Position() const { return position_; }

private:
    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
};

}  // namespace tools
