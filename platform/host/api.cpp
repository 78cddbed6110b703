// The platform operations of wince.h on the host: each hands over to the current
// backend (backend.h), generated from the operation table; and the error code, which
// is per thread. (The text operations are in text_operations.cpp.)
#include "platform/host/backend.h"
#include "platform/wince.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

// ---- The operations: each hands over to the backend in front ----

#define CE_WRAPPER_(R, name, failed, ...)                               \
    R name(CE_PARAMS(__VA_ARGS__)) {                                     \
        return host::CurrentBackend().name(CE_ARGS(__VA_ARGS__));        \
    }
CE_OPERATIONS(CE_WRAPPER_)
#undef CE_WRAPPER_
