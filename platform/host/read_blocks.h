// The buffers CeReadRecordProps hands out and LocalFree takes back.
//
// A scan reads one record after another and frees each buffer before the next read,
// so blocks are kept for reuse: each thread keeps the block given back last apart,
// for the next read to take at once, and has free lists of its own, one per size
// class (powers of two); it takes and gives back without any lock. A block may be
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

// Take when the thread's free list has a block for the size, else nullptr (no heap).
inline void* TryTake(size_t bytes);

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

// A thread's free lists. Only its thread changes them. Blocks out over the process are
// the blocks every thread made minus those it keeps (apart or on its lists): taking a
// kept block and keeping one count nothing else. Outstanding reads `last`, `kept` and
// `made` from another thread, so they are loaded and stored atomically (relaxed). The
// inline functions below do that with the compiler's atomic builtins on t_lists named
// at each use, not through a reference or a member function of std::atomic: GCC 12's
// undefined-behaviour sanitizer checks the address of a thread-local object for null
// with a branch on flags that nothing set, and reports a null pointer that is not there.
struct ThreadLists {
    // The block given back last, kept apart from the lists: a scan's next read takes
    // it back at once.
    Header* last;
    Header* heads[kClasses];  // a free block keeps the next one in its first word
    int kept[kClasses];
    std::atomic<int64_t> made;  // blocks this thread took from the heap minus those it gave back to it
    bool active;  // counted in Outstanding: blocks may be kept on its lists
    bool ended;
};
extern constinit thread_local ThreadLists t_lists;

// The rare cases, out of line: a list that is empty or full, a thread's first block.
void* TakeSlowly(size_t bytes, uint32_t sizeClass);
void GiveSlowly(Header* h);

// The size class of a block of `total` bytes, header included; kUnpooled when none.
inline uint32_t ClassOf(size_t total) {
    const int shift = std::max(kSmallestShift, static_cast<int>(std::bit_width(total - 1)));
    return shift > kLargestShift ? kUnpooled : static_cast<uint32_t>(shift - kSmallestShift);
}

}  // namespace detail

[[gnu::always_inline]] inline void* TryTake(size_t bytes) {
    using namespace detail;
    if (Header* h = __atomic_load_n(&t_lists.last, __ATOMIC_RELAXED); h && bytes <= h->capacity) [[likely]] {
        __atomic_store_n(&t_lists.last, nullptr, __ATOMIC_RELAXED);
        h->magic = kInUse;
        return h + 1;
    }
    const uint32_t sizeClass = ClassOf(bytes + sizeof(Header));
    if (sizeClass < kClasses && bytes < SIZE_MAX - sizeof(Header)) [[likely]] {
        if (Header* h = t_lists.heads[sizeClass]) [[likely]] {
            // A list holds blocks only while its thread is active.
            t_lists.heads[sizeClass] = NextOf(h);
            __atomic_store_n(&t_lists.kept[sizeClass], t_lists.kept[sizeClass] - 1, __ATOMIC_RELAXED);
            h->magic = kInUse;
            return h + 1;
        }
    }
    return nullptr;
}

[[gnu::always_inline]] inline void* Take(size_t bytes) {
    if (void* block = TryTake(bytes)) [[likely]]
        return block;
    return detail::TakeSlowly(bytes, detail::ClassOf(bytes + sizeof(detail::Header)));
}

[[gnu::always_inline]] inline void Give(void* block) {
    using namespace detail;
    if (!block) return;
    Header* h = HeaderOf(block);
    if (h->magic != kInUse) return;
    h->magic = kFree;
    if (h->sizeClass < kClasses && t_lists.active) [[likely]] {
        Header* previous = t_lists.last;
        __atomic_store_n(&t_lists.last, h, __ATOMIC_RELAXED);
        if (!previous) [[likely]]
            return;
        // The one kept apart before goes to its list.
        h = previous;
        const uint32_t c = h->sizeClass;
        if (t_lists.kept[c] < kKeptPerClass) {
            NextOf(h) = t_lists.heads[c];
            t_lists.heads[c] = h;
            __atomic_store_n(&t_lists.kept[c], t_lists.kept[c] + 1, __ATOMIC_RELAXED);
            return;
        }
    }
    GiveSlowly(h);
}

}  // namespace host::read_blocks
