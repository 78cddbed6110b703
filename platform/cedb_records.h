// The records of an open database, and the calls of the installer's scan over them
// (seek by position, read one property), inline, so that an implementation's call
// for one record visit is a few dozen instructions. The blocks' layout is in
// platform/cedb_blocks.h. Included by platform/cedb.h; nothing else includes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/cedb_blocks.h"

namespace cedb {

// Memory for blocks, handed out in order and given back all at once.
class Arena {
public:
    uint8_t* Allocate(size_t bytes) {
        bytes = Align8(bytes);
        if (bytes > room_) {
            const size_t words = std::max(kChunkBytes, bytes) / 8;
            chunks_.push_back(std::make_unique<uint64_t[]>(words));
            next_ = reinterpret_cast<uint8_t*>(chunks_.back().get());
            room_ = words * 8;
        }
        uint8_t* at = next_;
        next_ += bytes;
        room_ -= bytes;
        return at;
    }

private:
    static constexpr size_t kChunkBytes = 256 * 1024;
    std::vector<std::unique_ptr<uint64_t[]>> chunks_;
    uint8_t* next_ = nullptr;
    size_t room_ = 0;
};

// Every block a database's records ever had, and the array of its records. Blocks and
// arrays are never changed once published and stay until the database is dropped, so
// a read that runs alongside a write (on another thread, under that one's lock) copies
// either the old block or the new one whole.
struct RecordTable {
    std::atomic<const RecordArray*> current{nullptr};
    // Changed under the implementation's lock only:
    std::vector<std::unique_ptr<RecordArray>> arrays;  // the current one last
    Arena blocks;

    // The current block of a record, or nullptr when there is no such record.
    const Block* BlockAt(size_t index, CEOID* recordOid) const {
        const RecordArray* array = current.load(std::memory_order_acquire);
        if (index >= array->count.load(std::memory_order_acquire)) return nullptr;
        *recordOid = array->slots[index].oid;
        return array->slots[index].block.load(std::memory_order_acquire);
    }

    size_t Count() const { return current.load(std::memory_order_acquire)->count.load(std::memory_order_acquire); }

    // Adds a record at the end and returns its index; a full array gives way to one
    // twice its size.
    size_t Append(CEOID recordOid, const Block* block) {
        RecordArray* array = arrays.back().get();
        const size_t n = array->count.load(std::memory_order_relaxed);
        if (n == array->capacity) {
            auto larger = std::make_unique<RecordArray>(array->capacity * 2);
            for (size_t i = 0; i < n; ++i) {
                larger->slots[i].oid = array->slots[i].oid;
                larger->slots[i].block.store(array->slots[i].block.load(std::memory_order_relaxed),
                                             std::memory_order_relaxed);
            }
            larger->count.store(n, std::memory_order_relaxed);
            arrays.push_back(std::move(larger));
            array = arrays.back().get();
            current.store(array, std::memory_order_release);
        }
        array->slots[n].oid = recordOid;
        array->slots[n].block.store(block, std::memory_order_relaxed);
        array->count.store(n + 1, std::memory_order_release);
        return n;
    }

    void Replace(size_t index, const Block* block) {
        arrays.back()->slots[index].block.store(block, std::memory_order_release);
    }
};

[[gnu::always_inline]] inline CEOID Seek(Cursor& cursor, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex) {
    const RecordTable& records = cursor.records;
    if (dwSeekType == CEDB_SEEK_BEGINNING) [[likely]] {
        // The scan's seek: every record below the count has its block.
        const RecordArray* array = records.current.load(std::memory_order_acquire);
        if (dwValue >= array->count.load(std::memory_order_acquire)) {
            SetLastError(ERROR_SEEK);
            return 0;
        }
        cursor.current.store(dwValue, std::memory_order_relaxed);
        if (lpdwIndex) *lpdwIndex = dwValue;
        return array->slots[dwValue].oid;
    }
    const size_t count = records.Count();
    size_t target = SIZE_MAX;
    switch (dwSeekType) {
        case CEDB_SEEK_BEGINNING:
            if (dwValue < count) target = dwValue;
            break;
        case CEDB_SEEK_END:
            if (dwValue < count) target = count - 1 - dwValue;
            break;
        case CEDB_SEEK_CURRENT: {
            const size_t current = cursor.current.load(std::memory_order_relaxed);
            if (current == SIZE_MAX) break;
            const int64_t at = static_cast<int64_t>(current) + static_cast<int32_t>(dwValue);
            if (at >= 0 && static_cast<size_t>(at) < count) target = static_cast<size_t>(at);
            break;
        }
        case CEDB_SEEK_CEOID:
            target = cursor.db->IndexOf(dwValue);
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
    }
    CEOID oid = 0;
    // A failed seek leaves the current record where it was.
    if (target == SIZE_MAX || !records.BlockAt(target, &oid)) {
        SetLastError(ERROR_SEEK);
        return 0;
    }
    cursor.current.store(target, std::memory_order_relaxed);
    if (lpdwIndex) *lpdwIndex = static_cast<DWORD>(target);
    return oid;
}

// The block of the cursor's current record, its index and object id; nullptr with
// ERROR_NO_MORE_ITEMS when there is none.
[[gnu::always_inline]] inline const Block* CurrentBlock(const Cursor& cursor, size_t* index, CEOID* oid) {
    *index = cursor.current.load(std::memory_order_relaxed);
    const Block* block = *index == SIZE_MAX ? nullptr : cursor.records.BlockAt(*index, oid);
    if (!block) SetLastError(ERROR_NO_MORE_ITEMS);
    return block;
}

// The installer's read: one property into a new block, a copy of its entry; the
// block comes from allocate(bytes).
template <typename Allocate>
[[gnu::always_inline]] inline CEOID ReadOne(Cursor& cursor, CEPROPID propid, LPBYTE* lplpBuffer, LPDWORD lpcbBuffer,
              Allocate allocate) {
    size_t index;
    CEOID oid = 0;
    const Block* block = CurrentBlock(cursor, &index, &oid);
    if (!block) return 0;
    const Entry* e = block->Find(propid);
    const size_t needed = ReadSize(e);
    auto* buffer = static_cast<uint8_t*>(allocate(needed));
    if (!buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    *lplpBuffer = buffer;
    *lpcbBuffer = static_cast<DWORD>(needed);
    if (cursor.autoIncrement) cursor.current.store(index + 1, std::memory_order_relaxed);
    if (!CopyOne(e, propid, buffer)) {
        SetLastError(ERROR_NO_DATA);
        return 0;
    }
    return oid;
}

inline CEOID Read(Cursor& cursor, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                  LPBYTE* lplpBuffer, LPDWORD lpcbBuffer, const Allocator& allocator) {
    if (IsReadOne(dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer)) [[likely]]
        return ReadOne(cursor, rgPropID[0], lplpBuffer, lpcbBuffer, allocator.allocate);
    if (!lpcPropID || !lplpBuffer || !lpcbBuffer || (rgPropID && *lpcPropID == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return ReadMany(cursor, dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer, allocator);
}

}  // namespace cedb
