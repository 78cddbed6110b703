// The buffers CeReadRecordProps hands out and LocalFree takes back.
//
// A scan reads one record after another and frees each buffer before the next read,
// so blocks are kept for reuse: each thread has free lists of its own, one per size
// class (powers of two), and takes and gives back without any lock. A block may be
// given back on another thread than the one that took it. Blocks larger than the
// largest class, and those beyond a list's bound, go back to the heap.
//
// Every block carries a small header in front of what the caller sees: its size
// class, its capacity, and whether it is in use.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace host::read_blocks {

// A block of at least `bytes` bytes, aligned for any CEPROPVAL; nullptr when the heap
// has none.
inline void* Take(size_t bytes);

// Gives a block back; nullptr, and a block kept on a free list, are left alone.
inline void Give(void* block);

// True when `block`, a pointer Take returned at some time, is in use now.
bool InUse(const void* block);

// The usable size of a block in use.
size_t Capacity(const void* block);

// Blocks handed out and not given back, over every thread (exact when no thread is
// taking or giving at the time).
int64_t Outstanding();

// ---- Inside: the free lists, and Take and Give on them ----

namespace detail {

constexpr uint32_t kInUse = 0x4B4C4252;  // "RBLK"
constexpr uint32_t kFree = 0x45455246;   // "FREE"
constexpr int kSmallestShift = 6;        // 64 bytes, header included
constexpr int kLargestShift = 17;        // 128 KiB: a whole record
constexpr uint32_t kClasses = kLargestShift - kSmallestShift + 1;
constexpr uint32_t kUnpooled = kClasses;
constexpr int kKeptPerClass = 8;

struct alignas(16) Header {
    uint32_t magic;
    uint32_t sizeClass;  // kUnpooled: straight from the heap, back to it
    size_t capacity;     // usable bytes after the header
};
static_assert(sizeof(Header) == 16);

inline Header* HeaderOf(const void* block) {
    return reinterpret_cast<Header*>(static_cast<uint8_t*>(const_cast<void*>(block)) - sizeof(Header));
}
inline Header*& NextOf(Header* free) { return *reinterpret_cast<Header**>(free + 1); }

// A thread's free lists and count. Only its thread changes them; the count is an
// atomic only so that Outstanding may read it from another thread.
struct ThreadLists {
    Header* heads[kClasses];  // a free block keeps the next one in its first word
    int kept[kClasses];
    std::atomic<int64_t> out;  // blocks this thread took minus those it gave back
    bool registered;
    bool ended;
};
extern constinit thread_local ThreadLists t_lists;

// The rare cases, out of line: the thread's first block, a list that is empty or full.
void CountSlowly(ThreadLists& lists, int64_t change);
void* TakeSlowly(size_t bytes, uint32_t sizeClass);
void GiveSlowly(Header* h);

inline void Count(ThreadLists& lists, int64_t change) {
    if (!lists.registered) [[unlikely]] {
        CountSlowly(lists, change);
        return;
    }
    lists.out.store(lists.out.load(std::memory_order_relaxed) + change, std::memory_order_relaxed);
}

// The size class of a block of `total` bytes, header included; kUnpooled when none.
inline uint32_t ClassOf(size_t total) {
    const int shift = std::max(kSmallestShift, static_cast<int>(std::bit_width(total - 1)));
    return shift > kLargestShift ? kUnpooled : static_cast<uint32_t>(shift - kSmallestShift);
}

}  // namespace detail

[[gnu::always_inline]] inline void* Take(size_t bytes) {
    using namespace detail;
    const uint32_t sizeClass = ClassOf(bytes + sizeof(Header));
    ThreadLists& lists = t_lists;
    if (sizeClass < kClasses && bytes < SIZE_MAX - sizeof(Header)) [[likely]] {
        if (Header* h = lists.heads[sizeClass]) [[likely]] {
            lists.heads[sizeClass] = NextOf(h);
            --lists.kept[sizeClass];
            h->magic = kInUse;
            Count(lists, +1);
            return h + 1;
        }
    }
    return TakeSlowly(bytes, sizeClass);
}

[[gnu::always_inline]] inline void Give(void* block) {
    using namespace detail;
    if (!block) return;
    Header* h = HeaderOf(block);
    if (h->magic != kInUse) return;
    h->magic = kFree;
    ThreadLists& lists = t_lists;
    Count(lists, -1);
    const uint32_t c = h->sizeClass;
    if (c < kClasses && lists.kept[c] < kKeptPerClass && !lists.ended) [[likely]] {
        NextOf(h) = lists.heads[c];
        lists.heads[c] = h;
        ++lists.kept[c];
        return;
    }
    GiveSlowly(h);
}

}  // namespace host::read_blocks
