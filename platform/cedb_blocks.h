// How an open database's records lie in memory: each record's properties in one
// block, in the form CeReadRecordProps hands them back, and the array of the records'
// blocks. With the copy of one property into a read's buffer, which is all of the
// installer's read once the record's block is found. Light enough for
// platform/wince.h to include on the host (platform/host/scan_calls.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/wince.h"

namespace cedb {

inline size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// One property in a record's block: the entry's size, the size of its text or bytes,
// its CEPROPVAL as a read returns it (the text's or bytes' pointer is set by the read),
// then the text with its terminator or the bytes, padded to 8.
struct Entry {
    uint32_t size;
    uint32_t dataBytes;
    CEPROPVAL value;

    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    const Entry* Next() const {
        return reinterpret_cast<const Entry*>(reinterpret_cast<const uint8_t*>(this) + size);
    }
};
static_assert(sizeof(Entry) % 8 == 0 && alignof(Entry) <= 8);
static_assert(sizeof(CEPROPVAL) % 8 == 0, "a lone CEPROPVAL is followed by its data");

// Points a CEPROPVAL copied out of an entry at its text or bytes, copied to `data`.
inline void PointAtData(CEPROPVAL& value, uint8_t* data) {
    switch (TypeFromPropID(value.propid)) {
        case CEVT_LPWSTR: value.val.lpwstr = reinterpret_cast<WCHAR*>(data); break;
        case CEVT_BLOB: value.val.blob.lpb = data; break;
        default: break;
    }
}

// A record's properties: their number and the block's size, then the entries in the
// order the properties were first set.
struct Block {
    uint32_t count;
    uint32_t size;

    const Entry* First() const { return reinterpret_cast<const Entry*>(this + 1); }
    const Entry* Find(CEPROPID propid) const {
        const Entry* e = First();
        for (uint32_t i = 0; i < count; ++i, e = e->Next())
            if (e->value.propid == propid) return e;
        return nullptr;
    }
};
static_assert(sizeof(Block) % 8 == 0);

// A record's place: its object id, set before the slot is counted and never changed,
// and its current block.
struct Slot {
    CEOID oid = 0;
    std::atomic<const Block*> block{nullptr};
};

// The records in order: `count` slots of `capacity` are in use.
struct RecordArray {
    explicit RecordArray(size_t n) : capacity(n), slots(std::make_unique<Slot[]>(n)) {}
    const size_t capacity;
    std::atomic<size_t> count{0};
    std::unique_ptr<Slot[]> slots;

    // Starts loading the block of the record after `index`, which a scan reads next:
    // its first two cache lines, where a record's first properties lie.
    void PrefetchAfter(size_t index) const {
        if (index + 1 < count.load(std::memory_order_relaxed)) {
            // An address, not a pointer to step on: a prefetch of any address is harmless.
            const auto next = reinterpret_cast<uintptr_t>(slots[index + 1].block.load(std::memory_order_relaxed));
            __builtin_prefetch(reinterpret_cast<const void*>(next));
            __builtin_prefetch(reinterpret_cast<const void*>(next + 64));
        }
    }
};


// True for the installer's read: one property, into a block the call allocates.
[[gnu::always_inline]] inline bool IsReadOne(DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID, LPBYTE* lplpBuffer,
                      LPDWORD lpcbBuffer) {
    return lpcPropID && rgPropID && *lpcPropID == 1 && lplpBuffer && !*lplpBuffer && lpcbBuffer &&
           (dwFlags & CEDB_ALLOWREALLOC);
}

// The bytes a one-property read hands back: the CEPROPVAL, and the entry's text or
// bytes when the record has the property (e), padded to 8.
[[gnu::always_inline]] inline size_t ReadSize(const Entry* e) {
    return sizeof(CEPROPVAL) + (e ? Align8(e->dataBytes) : 0);
}

// Copies a property's text or bytes (a multiple of 8 bytes). The short texts of file
// names are the rule: they go in 16-byte steps here, without a call.
[[gnu::always_inline]] inline void CopyData(uint8_t* to, const uint8_t* from, size_t bytes) {
    if (bytes > 256) [[unlikely]] {
        std::memcpy(to, from, bytes);
        return;
    }
    size_t i = 0;
    for (; i + 16 <= bytes; i += 16) std::memcpy(to + i, from + i, 16);
    if (i < bytes) std::memcpy(to + i, from + i, 8);
}

// Fills a one-property read's buffer of ReadSize(e) bytes: a copy of the entry, or
// when the record lacks the property (e is nullptr) a CEPROPVAL flagged
// CEDB_PROPNOTFOUND. True when the property was there.
[[gnu::always_inline]] inline bool CopyOne(const Entry* e, CEPROPID propid, uint8_t* buffer) {
    auto* value = reinterpret_cast<CEPROPVAL*>(buffer);
    if (!e) {
        // Field by field: the whole CEPROPVAL zeroed at once compiles to a string
        // store that costs more than the rest of the read.
        value->propid = propid;
        value->wLenData = 0;
        value->wFlags = CEDB_PROPNOTFOUND;
        std::memset(&value->val, 0, sizeof value->val);
        return false;
    }
    // The CEPROPVAL as it stands; then the text or bytes, which most properties lack.
    *value = e->value;
    if (e->dataBytes) {
        CopyData(buffer + sizeof(CEPROPVAL), e->Data(), Align8(e->dataBytes));
        PointAtData(*value, buffer + sizeof(CEPROPVAL));
    }
    return true;
}

}  // namespace cedb
