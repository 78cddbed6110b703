// A temporary folder of its own, removed with everything in it at the end of its
// scope: for scratch images (the dry run's copy, lint's image, tests, fuzz targets,
// benchmarks).
#pragma once

#include <filesystem>
#include <string>

namespace store {

class ScratchFolder {
public:
    // inMemory: in /dev/shm when there is one (for small scratch images, which then
    // cost no disk syncs), else in the temporary folder. Throws Error when none can
    // be made.
    explicit ScratchFolder(bool inMemory = false);
    // Removes the folder, also after a test took its permissions away.
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace store
