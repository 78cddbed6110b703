// The platform operations of wince.h on the host: each hands over to the current
// backend (backend.h), generated from the operation table; and the error code, which
// is per thread. (The text operations are in text_operations.cpp.)
#include "platform/host/backend.h"
#include "platform/host/device.h"
#include "platform/wince.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

// ---- The operations: each hands over to the backend in front ----

// When whatever is in front of the bound device passes the call on unchanged, the
// device's own function is called directly (it is final), which spares the busiest
// calls a virtual call or more each.
#define CE_WRAPPER_(R, name, failed, ...)                                                   \
    R name(CE_PARAMS(__VA_ARGS__)) {                                                         \
        if (host::device::Device* device = host::DirectDevice(host::Operation::name)) [[likely]] \
            return device->name(CE_ARGS(__VA_ARGS__));                                       \
        return host::CurrentBackend().name(CE_ARGS(__VA_ARGS__));                            \
    }
CE_OPERATIONS(CE_WRAPPER_)
#undef CE_WRAPPER_
