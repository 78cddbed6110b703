// Read blocks: per-thread free lists by size class, and the count of blocks out.
//
// Each thread's lists live in a plain thread-local record that only that thread
// changes; its counts are atomics only so that Outstanding may read them from another
// thread. A thread that takes a block from the heap or gives one back to it registers
// (it joins the list that Outstanding sums); when the thread ends, its free blocks go
// back to the heap and what it made is folded into the count of ended threads. Taking
// and giving back a block on a list are a few instructions; everything else is out of
// their way (the *Slowly functions).
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

void Add(int& count, int change) { __atomic_store_n(&count, count + change, __ATOMIC_RELAXED); }

// Every registered thread's lists, and what ended threads left.
struct Registry {
    std::mutex mutex;
    std::vector<const ThreadLists*> threads;
    int64_t ended = 0;
};
Registry& TheRegistry() {
    static Registry* registry = new Registry;  // outlives every thread's end
    return *registry;
}

// Lets the thread's lists go when it ends; armed by registering.
struct ThreadEnd {
    bool armed = false;
    ~ThreadEnd() {
        ThreadLists& lists = t_lists;
        int64_t made = lists.made.load(std::memory_order_relaxed);
        if (Header* h = lists.last) {
            __atomic_store_n(&lists.last, nullptr, __ATOMIC_RELAXED);
            std::free(h);
            --made;
        }
        for (uint32_t c = 0; c < kClasses; ++c) {
            while (Header* h = lists.heads[c]) {
                lists.heads[c] = NextOf(h);
                std::free(h);
                --made;
            }
            __atomic_store_n(&lists.kept[c], 0, __ATOMIC_RELAXED);
        }
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        registry.ended += made;
        std::erase(registry.threads, &lists);
        lists.made.store(0, std::memory_order_relaxed);
        lists.active = false;
        lists.ended = true;
    }
};
thread_local ThreadEnd t_end;

// Counts a block the thread took from the heap (+1) or gave back to it (-1),
// registering the thread first.
void CountMade(int64_t change) {
    ThreadLists& lists = t_lists;
    if (!lists.active) {
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        if (lists.ended) {
            // A destructor running after the thread's end: counted with the ended.
            registry.ended += change;
            return;
        }
        t_end.armed = true;
        registry.threads.push_back(&lists);
        lists.active = true;
    }
    lists.made.store(lists.made.load(std::memory_order_relaxed) + change, std::memory_order_relaxed);
}

}  // namespace

void* detail::TakeSlowly(size_t bytes, uint32_t sizeClass) {
    if (bytes > SIZE_MAX - sizeof(Header)) return nullptr;
    const size_t size = sizeClass < kClasses ? size_t{1} << (kSmallestShift + sizeClass) : bytes + sizeof(Header);
    auto* h = static_cast<Header*>(std::malloc(size));
    if (!h) return nullptr;
    h->magic = kInUse;
    h->sizeClass = sizeClass;
    h->capacity = size - sizeof(Header);
    CountMade(+1);
    return h + 1;
}

void detail::GiveSlowly(Header* h) {
    ThreadLists& lists = t_lists;
    // A thread's first block given back registers it, so that it may keep blocks.
    if (!lists.active && !lists.ended) CountMade(0);
    const uint32_t c = h->sizeClass;
    if (c < kClasses && lists.active && lists.kept[c] < kKeptPerClass) {
        NextOf(h) = lists.heads[c];
        lists.heads[c] = h;
        Add(lists.kept[c], +1);
        return;
    }
    CountMade(-1);
    std::free(h);
}

bool InUse(const void* block) { return block && HeaderOf(block)->magic == kInUse; }

size_t Capacity(const void* block) { return HeaderOf(block)->capacity; }

int64_t Outstanding() {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    int64_t total = registry.ended;
    for (const ThreadLists* lists : registry.threads) {
        total += lists->made.load(std::memory_order_relaxed);
        if (__atomic_load_n(&lists->last, __ATOMIC_RELAXED)) --total;
        for (uint32_t c = 0; c < kClasses; ++c) total -= __atomic_load_n(&lists->kept[c], __ATOMIC_RELAXED);
    }
    return total;
}

}  // namespace host::read_blocks
