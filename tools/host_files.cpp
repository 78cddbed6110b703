// Host files read or written whole.
#include "tools/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "tools/errors.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// Closes a descriptor at the end of its scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::string Why() { return std::strerror(errno); }

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// True when the file is an SQLite database: an image's store, or someone else's.
bool IsStoreFile(const fs::path& file) {
    static constexpr char kHeader[] = "SQLite format 3";  // and its terminator: 16 bytes
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    char head[sizeof kHeader] = {};
    return fd.get() >= 0 && ::read(fd.get(), head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
           std::memcmp(head, kHeader, sizeof head) == 0;
}

// The store a file belongs to when it is one of a store's companions (its write-ahead
// log, shared memory or journal), which are as much the store as the file itself.
std::optional<fs::path> CompanionOf(const fs::path& file) {
    const std::string name = file.filename().string();
    for (const std::string suffix : {"-wal", "-shm", "-journal"}) {
        if (name.size() > suffix.size() && name.ends_with(suffix))
            return file.parent_path() / name.substr(0, name.size() - suffix.size());
    }
    return std::nullopt;
}

// The permissions a new file gets from the process's umask.
mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::vector<uint8_t> ReadHostFile(const fs::path& file) {
    const std::string name = file.string();
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) throw ToolError(name + " cannot be read: " + Why());
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw ToolError(name + " cannot be read: " + Why());
    if (!S_ISREG(st.st_mode)) throw ToolError(name + " is not a readable file (only regular files are read)");
    if (static_cast<uint64_t>(st.st_size) > kMaxInputBytes) {
        throw ToolError(name + " is larger than the " + std::to_string(kMaxInputBytes >> 20) +
                        " MiB an input file may have");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    size_t done = 0;
    // Read to the end, as the file may have grown since fstat; never past the bound.
    while (true) {
        if (done == bytes.size()) {
            if (bytes.size() > kMaxInputBytes) {
                throw ToolError(name + " is larger than the " + std::to_string(kMaxInputBytes >> 20) +
                                " MiB an input file may have");
            }
            bytes.resize(bytes.size() + 64 * 1024);
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ToolError(name + " cannot be read: " + Why());
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

void WriteFileWhole(const fs::path& file, const std::vector<uint8_t>& bytes) {
    const std::string name = file.string();
    struct stat st;
    if (::lstat(file.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            throw ToolError(name + (S_ISLNK(st.st_mode) ? " is a symbolic link" : " is not a regular file") +
                            "; only a regular file is replaced");
        }
    } else if (errno != ENOENT) {
        throw ToolError(name + " cannot be written: " + Why());
    }
    // An output over a store (an image's registry or volume, say) would destroy it.
    const std::optional<fs::path> store = CompanionOf(file);
    if (IsStoreFile(file) || (store && IsStoreFile(*store))) {
        throw ToolError(name + (store ? " belongs to the database " + store->string() : " is a database") +
                        "; an output never replaces a database or its companion files");
    }

    // A fresh name of its own beside the file: mkstemp makes it exclusively, so no
    // link or other file planted under that name is ever written through.
    fs::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    std::string pattern = (folder / ("." + file.filename().string() + ".partial-XXXXXX")).string();
    FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0) throw ToolError(name + " cannot be written: " + Why());
    const fs::path temp = pattern;
    auto fail = [&](const std::string& why) {
        std::error_code ec;
        fs::remove(temp, ec);
        throw ToolError(name + " cannot be written: " + why);
    };
    if (!WriteAll(fd.get(), bytes)) fail(Why());
    if (::fchmod(fd.get(), NewFileMode()) != 0 || ::fsync(fd.get()) != 0) fail(Why());
    if (::close(fd.Release()) != 0) fail(Why());
    if (::rename(temp.c_str(), file.c_str()) != 0) fail(Why());
}

}  // namespace tools
