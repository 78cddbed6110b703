// Output spools.
#include "tools/output_spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "tools/errors.h"

namespace tools {

namespace {

constexpr size_t kMemoryBound = 256 * 1024;
constexpr size_t kChunk = 64 * 1024;

[[noreturn]] void Fail(const char* what) {
    throw ToolError(std::string("the report's temporary file cannot be ") + what + ": " +
                    std::strerror(errno));
}

// A file of the temporary folder that no other process can find, removed when closed.
int AnonymousFile() {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec) throw ToolError("there is no temporary folder for the report: " + ec.message());
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string name = (folder / "ceupdate-report-XXXXXX").string();
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) Fail("made");
    unlink(name.c_str());
    return fd;
}

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("written");
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Hands the first `size` bytes of the file to `use`, a chunk at a time.
template <typename Use>
void ReadBack(int fd, size_t size, Use use) {
    std::vector<char> chunk(kChunk);
    for (size_t at = 0; at < size;) {
        const ssize_t n = pread(fd, chunk.data(), std::min(kChunk, size - at), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("read back");
        use(std::string_view(chunk.data(), static_cast<size_t>(n)));
        at += static_cast<size_t>(n);
    }
}

}  // namespace

OutputSpool::~OutputSpool() {
    if (file_ >= 0) close(file_);
}

void OutputSpool::Append(std::string_view text) {
    memory_ += text;
    size_ += text.size();
    if (memory_.size() > kMemoryBound) Spill();
}

void OutputSpool::Spill() {
    if (file_ < 0) file_ = AnonymousFile();
    WriteAll(file_, memory_.data(), memory_.size());
    memory_.clear();
}

void OutputSpool::Take(OutputSpool& other) {
    if (other.file_ >= 0) {
        ReadBack(other.file_, other.size_ - other.memory_.size(), [this](std::string_view part) { Append(part); });
        close(other.file_);
        other.file_ = -1;
    }
    Append(other.memory_);
    other.memory_.clear();
    other.size_ = 0;
}

void OutputSpool::WriteTo(std::ostream& out) const {
    if (file_ >= 0) {
        ReadBack(file_, size_ - memory_.size(),
                 [&out](std::string_view part) { out.write(part.data(), static_cast<std::streamsize>(part.size())); });
    }
    out.write(memory_.data(), static_cast<std::streamsize>(memory_.size()));
}

}  // namespace tools
