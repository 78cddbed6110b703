// The scratch folder removed on every exit.
#include "tools/scratch_guard.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <system_error>

namespace tools {

namespace {

std::mutex g_openMutex;
std::condition_variable g_closed;
int g_open = 0;  // the StopWaits alive

}  // namespace

StopWaits::StopWaits() {
    std::lock_guard lock(g_openMutex);
    ++g_open;
}

StopWaits::~StopWaits() {
    {
        std::lock_guard lock(g_openMutex);
        --g_open;
    }
    g_closed.notify_all();
}

ScratchGuard::ScratchGuard(bool inMemory) {
    sigemptyset(&signals_);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals_, signal);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    try {
        folder_ = std::make_unique<store::ScratchFolder>(inMemory);
        path_ = folder_->path();
        inMemory_ = folder_->inMemory();
        watcher_ = std::thread([this] { Watch(); });
    } catch (...) {
        folder_.reset();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        throw;
    }
}

bool ScratchGuard::RoomInMemory() const {
    std::lock_guard lock(mutex_);
    return folder_ && folder_->RoomInMemory();
}

ScratchGuard::~ScratchGuard() {
    {
        std::lock_guard lock(mutex_);
        folder_.reset();
        stopping_ = true;
    }
    // Wakes the watcher, which sees that the guard is going and ends.
    pthread_kill(watcher_.native_handle(), SIGHUP);
    watcher_.join();
    // A signal that came since is delivered now, with the folder gone already.
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void ScratchGuard::Watch() {
    int signal = 0;
    while (sigwait(&signals_, &signal) != 0) {
    }
    // Held to the end: nothing of the image is opened again before the process ends.
    std::unique_lock open(g_openMutex);
    g_closed.wait(open, [] { return g_open == 0; });
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        folder_.reset();
        // The command's other threads go on until the process ends and may have made
        // a file in it while it was being removed: removed again until it is gone. Once
        // it is, nothing is made in it any more (nothing makes folders after the copies).
        std::error_code ec;
        for (int i = 0; i < 100 && std::filesystem::exists(std::filesystem::symlink_status(path_, ec)); ++i)
            std::filesystem::remove_all(path_, ec);
    }
    // Stopped by the signal, as if nothing had caught it.
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    pthread_kill(pthread_self(), signal);
    _exit(128 + signal);
}

}  // namespace tools
