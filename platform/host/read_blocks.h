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

#include <cstddef>
#include <cstdint>

namespace host::read_blocks {

// A block of at least `bytes` bytes, aligned for any CEPROPVAL; nullptr when the heap
// has none.
void* Take(size_t bytes);

// Gives a block back; nullptr, and a block kept on a free list, are left alone.
void Give(void* block);

// True when `block`, a pointer Take returned at some time, is in use now.
bool InUse(const void* block);

// The usable size of a block in use.
size_t Capacity(const void* block);

// Blocks handed out and not given back, over every thread (exact when no thread is
// taking or giving at the time).
int64_t Outstanding();

}  // namespace host::read_blocks
