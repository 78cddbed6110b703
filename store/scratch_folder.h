// A temporary folder of its own, removed with everything in it at the end of its
// scope: for scratch images (the dry run's copy, lint's image, tests, fuzz targets,
// benchmarks).
#pragma once

#include <filesystem>
#include <string>

namespace store {

class ScratchFolder {
public:
    // inMemory: in /dev/shm when there is one and TMPDIR names no other place (for
    // small scratch images, which then cost no disk writes), else in the temporary
    // folder. Throws Error when none can be made.
    explicit ScratchFolder(bool inMemory = false);
    // Removes the folder, also after a test took its permissions away.
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // True when the folder is in memory (/dev/shm).
    bool inMemory() const { return inMemory_; }
    // True when the folder is in memory and what it holds now may stay there and grow:
    // no more than a scratch image should take of memory (256 MiB), with 64 MiB more
    // free beside it.
    bool RoomInMemory() const;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
    bool inMemory_ = false;
};

}  // namespace store
