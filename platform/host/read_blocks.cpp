// Read blocks: per-thread free lists by size class, and the count of blocks out.
//
// Each thread's lists and count live in a plain thread-local record that only that
// thread changes; the count is an atomic only so that Outstanding may read it from
// another thread. A thread's first block registers its count (it joins the list that
// Outstanding sums); when the thread ends, its free blocks go back to the heap and its
// count is folded into the count of ended threads. Taking and giving back a block on
// a list are a few instructions; everything else is out of their way (the *Slowly
// functions).
#include "platform/host/read_blocks.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace host::read_blocks {

namespace detail {
constinit thread_local ThreadLists t_lists{};
}  // namespace detail

using namespace detail;

namespace {

// The counts of every registered thread, and what ended threads left.
struct Registry {
    std::mutex mutex;
    std::vector<const std::atomic<int64_t>*> counts;
    int64_t ended = 0;
};
Registry& TheRegistry() {
    static Registry* registry = new Registry;  // outlives every thread's end
    return *registry;
}

// Lets the thread's lists and count go when it ends; armed by registering.
struct ThreadEnd {
    bool armed = false;
    ~ThreadEnd() {
        ThreadLists& lists = t_lists;
        for (uint32_t c = 0; c < kClasses; ++c) {
            while (Header* h = lists.heads[c]) {
                lists.heads[c] = NextOf(h);
                std::free(h);
            }
            lists.kept[c] = 0;
        }
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        registry.ended += lists.out.load(std::memory_order_relaxed);
        std::erase(registry.counts, &lists.out);
        lists.out.store(0, std::memory_order_relaxed);
        lists.registered = false;
        lists.ended = true;
    }
};
thread_local ThreadEnd t_end;

}  // namespace

void detail::CountSlowly(ThreadLists& lists, int64_t change) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    if (lists.ended) {
        // A destructor running after the thread's end: counted with the ended.
        registry.ended += change;
        return;
    }
    t_end.armed = true;
    registry.counts.push_back(&lists.out);
    lists.registered = true;
    lists.out.store(lists.out.load(std::memory_order_relaxed) + change, std::memory_order_relaxed);
}

void* detail::TakeSlowly(size_t bytes, uint32_t sizeClass) {
    if (bytes > SIZE_MAX - sizeof(Header)) return nullptr;
    const size_t size = sizeClass < kClasses ? size_t{1} << (kSmallestShift + sizeClass) : bytes + sizeof(Header);
    auto* h = static_cast<Header*>(std::malloc(size));
    if (!h) return nullptr;
    h->magic = kInUse;
    h->sizeClass = sizeClass;
    h->capacity = size - sizeof(Header);
    Count(t_lists, +1);
    return h + 1;
}

void detail::GiveSlowly(Header* h) { std::free(h); }

bool InUse(const void* block) { return block && HeaderOf(block)->magic == kInUse; }

size_t Capacity(const void* block) { return HeaderOf(block)->capacity; }

int64_t Outstanding() {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    int64_t total = registry.ended;
    for (const std::atomic<int64_t>* count : registry.counts) total += count->load(std::memory_order_relaxed);
    return total;
}

}  // namespace host::read_blocks
