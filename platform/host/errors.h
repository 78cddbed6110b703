// Host failures in the platform's words: the one place that says which error code a
// platform call leaves when something goes wrong on the host side (a path the image
// refuses, a host file that cannot be opened or read, a store that fails, no memory
// or thread to be had).
#pragma once

#include "platform/wince.h"
#include "store/store.h"

namespace host::device {

// A platform path the path map did not resolve. A missing last component is a missing
// file when lastMissingIsFile (CreateFileW), else a missing folder (FindFirstFileW).
DWORD PathError(store::PathStatus status, bool lastMissingIsFile);

// A host file that cannot be opened: errno of the failed open or stat.
DWORD FileOpenError(int error);

inline constexpr DWORD kNotARegularFile = ERROR_ACCESS_DENIED;  // a folder, link, device...
inline constexpr DWORD kFileReadFailed = ERROR_READ_FAULT;
inline constexpr DWORD kStoreReadFailed = ERROR_READ_FAULT;
inline constexpr DWORD kStoreWriteFailed = ERROR_WRITE_FAULT;
inline constexpr DWORD kOutOfResources = ERROR_NOT_ENOUGH_MEMORY;  // memory, threads

}  // namespace host::device
