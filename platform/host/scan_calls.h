// The calls of a record scan, inline where they are made: CeSeekDatabase to a
// position, CeReadRecordProps of one property into a new buffer, and LocalFree of that
// buffer. An installer makes them by the million (for each patch entry, over every
// record), so on the host their common case is compiled into the caller: a handful of
// loads and compares, the copy of the property, and no call. Everything else (another
// thread's handle, another kind of seek or read, a backend in front that sees the
// call, an error) goes to the full call (host::calls), which behaves the same.
//
// The common case needs the handle to be the database the calling thread scanned
// last, opened by that thread on the bound device (LastDatabase, filled by the full
// calls), and the call to reach that device directly (g_direct). Included at the end
// of platform/wince.h on the host.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/cedb_blocks.h"
#include "platform/host/read_blocks.h"

namespace host {

// The full calls: what the platform's functions below do when their common case does
// not hold (api.cpp).
namespace calls {
CEOID CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex);
CEOID CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                        LPBYTE* lplpBuffer, LPDWORD lpcbBuffer);
HLOCAL LocalFree(HLOCAL hMem);
}  // namespace calls

namespace scan {

enum Call { kSeek, kRead, kFree, kCalls };

// Per call, the serial of the bound device when every backend in front of it passes
// the call on unchanged; 0 otherwise (backend.cpp keeps them, the device forgets its
// own when it shuts down).
extern constinit std::atomic<uint64_t> g_direct[kCalls];

// What the scan's calls touch of the database handle the calling thread scanned last:
// the records, the handle's current record and its closed flag (set when another
// thread closes it). Valid while `device` is the bound device's serial; the device
// fills it when the thread uses a handle of its own and empties it when the handle
// is closed on this thread.
struct LastDatabase {
    uintptr_t handle;
    uint64_t device;
    const std::atomic<const cedb::RecordArray*>* records;
    std::atomic<size_t>* current;
    const std::atomic<bool>* closed;
    bool autoIncrement;
};
extern constinit thread_local LastDatabase t_lastDatabase;
// Where an empty LastDatabase's closed flag points: always set.
extern const std::atomic<bool> kNoDatabase;

// True when the handle is the thread's last database and `call` reaches its device.
// (t_lastDatabase is named at each use rather than bound to a reference: GCC 12's
// undefined-behaviour sanitizer checks such a reference for null with a branch on
// flags that nothing set, and reports a null pointer that is not there.)
[[gnu::always_inline]] inline bool IsLastDatabase(HANDLE handle, Call call) {
    return t_lastDatabase.handle == reinterpret_cast<uintptr_t>(handle) &&
           t_lastDatabase.device == g_direct[call].load(std::memory_order_acquire) &&
           !t_lastDatabase.closed->load(std::memory_order_relaxed);
}

}  // namespace scan

namespace detail {
extern constinit thread_local DWORD t_lastError;  // GetLastError's (api.cpp)
}  // namespace detail

}  // namespace host

[[gnu::always_inline]] inline CEOID WINAPI CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex) {
    using namespace host::scan;
    if (dwSeekType == CEDB_SEEK_BEGINNING && IsLastDatabase(hDatabase, kSeek)) [[likely]] {
        // Every record below the count has its block.
        const cedb::RecordArray* array = t_lastDatabase.records->load(std::memory_order_acquire);
        if (dwValue < array->count.load(std::memory_order_acquire)) [[likely]] {
            t_lastDatabase.current->store(dwValue, std::memory_order_relaxed);
            if (lpdwIndex) *lpdwIndex = dwValue;
            return array->slots[dwValue].oid;
        }
    }
    return host::calls::CeSeekDatabase(hDatabase, dwSeekType, dwValue, lpdwIndex);
}

[[gnu::always_inline]] inline CEOID WINAPI CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                                      LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) {
    using namespace host::scan;
    if (cedb::IsReadOne(dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer) &&
        IsLastDatabase(hDbase, kRead)) [[likely]] {
        const size_t index = t_lastDatabase.current->load(std::memory_order_relaxed);
        const cedb::RecordArray* array = t_lastDatabase.records->load(std::memory_order_acquire);
        // No current record (SIZE_MAX) fails the count too.
        if (index < array->count.load(std::memory_order_acquire)) [[likely]] {
            const cedb::Slot& slot = array->slots[index];
            array->PrefetchAfter(index);
            const cedb::Entry* e = slot.block.load(std::memory_order_acquire)->Find(rgPropID[0]);
            const size_t needed = cedb::ReadSize(e);
            if (auto* buffer = static_cast<uint8_t*>(host::read_blocks::TryTake(needed))) [[likely]] {
                *lplpBuffer = buffer;
                *lpcbBuffer = static_cast<DWORD>(needed);
                if (t_lastDatabase.autoIncrement) t_lastDatabase.current->store(index + 1, std::memory_order_relaxed);
                if (!cedb::CopyOne(e, rgPropID[0], buffer)) {
                    host::detail::t_lastError = ERROR_NO_DATA;
                    return 0;
                }
                return slot.oid;
            }
        }
    }
    return host::calls::CeReadRecordProps(hDbase, dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer);
}

[[gnu::always_inline]] inline HLOCAL LocalFree(HLOCAL hMem) {
    // The device's LocalFree gives the block back to the free lists, whoever took it.
    if (host::scan::g_direct[host::scan::kFree].load(std::memory_order_acquire)) [[likely]] {
        host::read_blocks::Give(hMem);
        return nullptr;
    }
    return host::calls::LocalFree(hMem);
}
