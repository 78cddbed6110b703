// The scratch folder removed on every exit.
#include "tools/scratch_guard.h"

#include <pthread.h>
#include <unistd.h>

namespace tools {

ScratchGuard::ScratchGuard(bool inMemory) {
    sigemptyset(&signals_);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals_, signal);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    try {
        folder_ = std::make_unique<store::ScratchFolder>(inMemory);
        path_ = folder_->path();
        watcher_ = std::thread([this] { Watch(); });
    } catch (...) {
        folder_.reset();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        throw;
    }
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
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        folder_.reset();
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
