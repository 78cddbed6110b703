// A command's scratch folder, removed however the command ends: when the guard goes
// out of scope (a return, an error) and when the process is told to stop by SIGINT
// (Ctrl-C), SIGTERM or SIGHUP. Only SIGKILL, which nothing can catch, leaves it.
//
// The three signals are blocked while the guard lives, in the thread that makes it
// and in every thread started after it (the installer's); a thread of the guard's own
// waits for them, removes the folder, and then ends the process by the same signal,
// so that whoever sent it sees the command stopped by it. Make the guard before the
// command starts any thread.
//
// While the command has a store of the original image open (a StopWaits lives), the
// end a signal asks for waits until it has closed it: a reader's connection removes
// the -wal and -shm files it made only as it closes, and those must not be left in
// the image.
#pragma once

#include <csignal>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "store/scratch_folder.h"

namespace tools {

class ScratchGuard {
public:
    // inMemory as for store::ScratchFolder.
    explicit ScratchGuard(bool inMemory);
    ~ScratchGuard();
    ScratchGuard(const ScratchGuard&) = delete;
    ScratchGuard& operator=(const ScratchGuard&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // As store::ScratchFolder's.
    bool inMemory() const { return inMemory_; }
    bool RoomInMemory() const;

private:
    void Watch();

    sigset_t signals_;
    sigset_t previous_;  // the mask of the making thread before the guard
    mutable std::mutex mutex_;
    std::unique_ptr<store::ScratchFolder> folder_;  // null once removed
    std::filesystem::path path_;
    bool inMemory_ = false;
    bool stopping_ = false;
    std::thread watcher_;
};

// Held while a store of the original image is open (see above).
class StopWaits {
public:
    StopWaits();
    ~StopWaits();
    StopWaits(const StopWaits&) = delete;
    StopWaits& operator=(const StopWaits&) = delete;
};

}  // namespace tools
