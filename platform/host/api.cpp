// The platform operations of wince.h on the host: each hands over to the current
// backend (backend.h), generated from the operation table; and the error code, which
// is per thread. (The text operations are in text_operations.cpp; the scan's calls
// are inline in scan_calls.h, with their full calls here.)
#include "platform/host/backend.h"
#include "platform/host/device.h"
#include "platform/wince.h"

namespace host::detail {
constinit thread_local DWORD t_lastError = ERROR_SUCCESS;
}  // namespace host::detail

DWORD GetLastError(void) { return host::detail::t_lastError; }
void SetLastError(DWORD dwErrCode) { host::detail::t_lastError = dwErrCode; }

// ---- The operations: each hands over to the backend in front ----

// When whatever is in front of the bound device passes the call on unchanged, the
// device's own function is called directly (it is final), which spares the busiest
// calls a virtual call or more each.
#define CE_CALL_(R, name, failed, ...)                                                        \
    R name(CE_PARAMS(__VA_ARGS__)) {                                                         \
        if (host::device::Device* device = host::DirectDevice(host::Operation::name)) [[likely]] \
            return device->name(CE_ARGS(__VA_ARGS__));                                       \
        return host::CurrentBackend().name(CE_ARGS(__VA_ARGS__));                            \
    }
#define CE_SCAN_CALL_(R, name, failed, ...) \
    namespace host::calls {                 \
    CE_CALL_(R, name, failed, __VA_ARGS__)  \
    }
CE_OPERATIONS_MARKED(CE_CALL_, CE_SCAN_CALL_)
#undef CE_SCAN_CALL_
#undef CE_CALL_
