// Files: the module path, file search and reading regular files of the image.
//
// Searches list a folder once, keep the entries whose name matches the pattern, and
// hand them out in case-insensitive name order. Only regular files and folders are
// listed, and a link only when it leads somewhere the path map allows. CreateFileW
// opens regular files for reading and nothing else; reads are served from a buffer
// so that the many tiny reads of a line reader stay cheap: on the thread that opened
// the file they take neither the device's lock nor the table (device.h), only the
// file's own flag, which a read on any other thread takes as well.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/host/device.h"
#include "platform/host/errors.h"
#include "store/text.h"

namespace host::device {

namespace {

constexpr size_t kReadBuffer = 64 * 1024;
constexpr uint64_t kEpochDifference = 11644473600ULL;  // 1601-01-01 to 1970-01-01, seconds

struct FileObject final : Object {
    explicit FileObject(int descriptor) : Object(Kind::File), fd(descriptor) {}
    ~FileObject() override { ::close(fd); }
    int fd;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kReadBuffer);
    size_t begin = 0;  // unread bytes are buffer[begin, end)
    size_t end = 0;
    bool atEnd = false;
    std::atomic<bool> reading{false};  // a read is in the buffer
};

// Holds a file's flag for one read; another thread's read of the same file waits.
class ReadingFile {
public:
    explicit ReadingFile(FileObject& file) : file_(file) {
        while (file_.reading.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    }
    ~ReadingFile() { file_.reading.store(false, std::memory_order_release); }
    ReadingFile(const ReadingFile&) = delete;
    ReadingFile& operator=(const ReadingFile&) = delete;

private:
    FileObject& file_;
};

// Fills a read from the file's buffer, refilling it from the file as needed; the
// caller holds the file's flag. Fewer bytes than asked only at the end of the file.
[[gnu::noinline]] BOOL ReadRefilling(FileObject& file, uint8_t* out, DWORD count,
                                     LPDWORD lpNumberOfBytesRead) {
    size_t done = 0;
    while (done < count) {
        if (file.begin < file.end) {
            const size_t n = std::min<size_t>(file.end - file.begin, count - done);
            std::memcpy(out + done, file.buffer.data() + file.begin, n);
            file.begin += n;
            done += n;
            continue;
        }
        if (file.atEnd) break;
        const ssize_t got = ::read(file.fd, file.buffer.data(), file.buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(done);
            SetLastError(kFileReadFailed);
            return FALSE;
        }
        file.begin = 0;
        file.end = static_cast<size_t>(got);
        if (got == 0) file.atEnd = true;
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(done);
    return TRUE;
}

// Serves a read from the file's buffer. A line reader asks for one UTF-16 character
// at a time, so a read the buffer holds whole is a short copy and nothing more.
inline BOOL ReadBuffered(FileObject& file, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if ((lpBuffer == nullptr && nNumberOfBytesToRead > 0) || lpOverlapped != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ReadingFile reading(file);
    auto* out = static_cast<uint8_t*>(lpBuffer);
    if (nNumberOfBytesToRead <= file.end - file.begin) [[likely]] {
        const uint8_t* from = file.buffer.data() + file.begin;
        if (nNumberOfBytesToRead == sizeof(char16_t))
            std::memcpy(out, from, sizeof(char16_t));
        else if (nNumberOfBytesToRead > 0)
            std::memcpy(out, from, nNumberOfBytesToRead);
        file.begin += nNumberOfBytesToRead;
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = nNumberOfBytesToRead;
        return TRUE;
    }
    return ReadRefilling(file, out, nNumberOfBytesToRead, lpNumberOfBytesRead);
}

struct SearchObject final : Object {
    SearchObject() : Object(Kind::Search) {}
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

// '*' matches any run of characters, '?' exactly one; letters ignore case.
bool Matches(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0, n = 0, starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == u'?' || text::FoldChar(pattern[p]) == text::FoldChar(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

FILETIME ToFileTime(const timespec& t) {
    const uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + kEpochDifference) * 10'000'000ULL +
                           static_cast<uint64_t>(t.tv_nsec) / 100;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::u16string_view ParentOf(std::u16string_view path) {
    const size_t slash = path.find_last_of(u'\\');
    return slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash);
}

}  // namespace

DWORD Device::GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr || lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string& path = options_.modulePath;
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const size_t copied = std::min<size_t>(path.size(), nSize - 1);
    std::copy_n(path.data(), copied, lpFilename);
    lpFilename[copied] = 0;
    if (copied < path.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return static_cast<DWORD>(copied);
}

HANDLE Device::FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (lpFileName == nullptr || lpFindFileData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string_view platformPath(lpFileName);
    std::filesystem::path folder;
    std::u16string pattern;
    if (auto status = files_.paths.ResolveParent(platformPath, &folder, &pattern);
        status != store::PathStatus::Ok) {
        SetLastError(PathError(status, false));
        return INVALID_HANDLE_VALUE;
    }
    if (pattern == u"*.*") pattern.assign(1, u'*');

    struct Found {
        std::u16string name;
        WIN32_FIND_DATAW data;
    };
    std::vector<Found> found;
    const bool atImageRoot = folder == std::filesystem::weakly_canonical(files_.paths.image());
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string hostName = it->path().filename().string();
        const std::u16string name = text::FromUtf8(hostName);
        if (text::ToUtf8(name) != hostName) continue;  // not reachable by a platform name
        if (name.size() >= MAX_PATH || !Matches(pattern, name)) continue;
        if (atImageRoot && hostName == store::kStateFolder) continue;
        struct stat st;
        if (lstat(it->path().c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            // A link is listed only when it may be followed.
            std::filesystem::path target;
            const std::u16string linkPath =
                std::u16string(ParentOf(platformPath)) + u"\\" + name;
            if (files_.paths.Resolve(linkPath, &target) != store::PathStatus::Ok) continue;
            if (stat(target.c_str(), &st) != 0) continue;
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
        WIN32_FIND_DATAW data{};
        data.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        data.ftCreationTime = ToFileTime(st.st_ctim);
        data.ftLastAccessTime = ToFileTime(st.st_atim);
        data.ftLastWriteTime = ToFileTime(st.st_mtim);
        const uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
        data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data.nFileSizeLow = static_cast<DWORD>(size);
        data.dwOID = static_cast<DWORD>(st.st_ino);
        std::copy(name.begin(), name.end(), data.cFileName);
        found.push_back({name, data});
    }
    if (found.empty()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return text::CompareNoCase(a.name, b.name) < 0; });

    auto search = std::make_unique<SearchObject>();
    for (const Found& f : found) search->entries.push_back(f.data);
    *lpFindFileData = search->entries[0];
    search->next = 1;
    std::lock_guard lock(mutex_);
    return reinterpret_cast<HANDLE>(handles_.Add(std::move(search)));
}

BOOL Device::FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    std::lock_guard lock(mutex_);
    auto* search = handles_.Find<SearchObject>(reinterpret_cast<uintptr_t>(hFindFile), Object::Kind::Search);
    if (!search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (search->next >= search->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *lpFindFileData = search->entries[search->next++];
    return TRUE;
}

BOOL Device::FindClose(HANDLE hFindFile) {
    std::unique_ptr<Object> doomed;
    std::lock_guard lock(mutex_);
    const auto handle = reinterpret_cast<uintptr_t>(hFindFile);
    if (!handles_.Find<Object>(handle, Object::Kind::Search)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    doomed = handles_.Remove(handle);
    return TRUE;
}

HANDLE Device::CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                           DWORD dwCreationDisposition, DWORD, HANDLE) {
    auto fail = [](DWORD error) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    };
    if (lpFileName == nullptr) return fail(ERROR_INVALID_PARAMETER);
    // The device's files are for reading: nothing is created or written.
    if (dwDesiredAccess & ~GENERIC_READ) return fail(ERROR_ACCESS_DENIED);
    if (dwCreationDisposition != OPEN_EXISTING) return fail(ERROR_INVALID_PARAMETER);

    std::filesystem::path host;
    if (auto status = files_.paths.Resolve(lpFileName, &host); status != store::PathStatus::Ok)
        return fail(PathError(status, true));
    struct stat st;
    if (lstat(host.c_str(), &st) != 0) return fail(FileOpenError(errno));
    if (!S_ISREG(st.st_mode)) return fail(kNotARegularFile);
    // O_NOFOLLOW and O_NONBLOCK: should the entry have been swapped for a link or a
    // FIFO since the check, the open neither follows nor blocks, and fstat refuses it.
    const int fd = ::open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return fail(FileOpenError(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(kNotARegularFile);
    }
    std::lock_guard lock(mutex_);
    auto object = std::make_unique<FileObject>(fd);
    Object* opened = object.get();
    const uintptr_t handle = handles_.Add(std::move(object));
    Own(handle, opened);
    return reinterpret_cast<HANDLE>(handle);
}

BOOL Device::ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                      LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (auto* file = Owned<FileObject>(hFile, Object::Kind::File)) [[likely]]
        return ReadBuffered(*file, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    return ReadFileLocked(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL Device::ReadFileLocked(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                            LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    std::lock_guard lock(mutex_);
    const auto handle = reinterpret_cast<uintptr_t>(hFile);
    auto* file = handles_.Find<FileObject>(handle, Object::Kind::File);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (file->owner == ThisThread()) Own(handle, file);
    return ReadBuffered(*file, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

}  // namespace host::device
