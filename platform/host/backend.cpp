// The stack of backends behind the platform operations: the ones put in front, else
// the bound device, else the unbound backend, which fails every call as a phone
// without its storage would. Also the operations' names.
#include "platform/host/backend.h"

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/host/device.h"
#include "platform/host/read_blocks.h"

namespace host {

namespace {

// Fails every call with ERROR_INVALID_HANDLE (CeEnumDBVolumes: no volumes, so
// ERROR_NO_MORE_ITEMS); the calls that cannot fail return 0.
class RefusingBackend : public Backend {
public:
#define CE_REFUSE_(R, name, failed, ...)                                               \
    R name(CE_UNUSED_PARAMS(__VA_ARGS__)) override {                                   \
        return FailedResult<R>(CE_FAILED(failed), Operation::name == Operation::CeEnumDBVolumes \
                                                      ? ERROR_NO_MORE_ITEMS              \
                                                      : ERROR_INVALID_HANDLE);           \
    }
    CE_OPERATIONS(CE_REFUSE_)
#undef CE_REFUSE_
};

class UnboundBackend final : public RefusingBackend {
public:
    // A buffer handed out before the device went away is still the caller's to free.
    HLOCAL LocalFree(HLOCAL hMem) override {
        read_blocks::Give(hMem);
        return nullptr;
    }
};

UnboundBackend g_unbound;
std::mutex g_stackMutex;                          // orders changes of the stack
Backend* g_front = nullptr;                       // the top of the stack above the bottom, if any
device::Device* g_bound = nullptr;                // the bottom: the bound device, if any

}  // namespace

namespace detail {
constinit std::atomic<Backend*> g_current{&g_unbound};
constinit std::atomic<device::Device*> g_direct[kOperationCount]{};
}  // namespace detail

namespace scan {
constinit std::atomic<uint64_t> g_direct[kCalls]{};
}  // namespace scan

namespace {

// Publishes the top of the stack after a change (under g_stackMutex).
void Publish() {
    Backend* bottom = g_bound ? static_cast<Backend*>(g_bound) : &g_unbound;
    detail::g_current.store(g_front ? g_front : bottom, std::memory_order_release);
    for (int i = 0; i < kOperationCount; ++i) {
        Backend* at = g_front ? g_front : g_bound;
        while (at && at != g_bound) at = at->PassesOn(static_cast<Operation>(i));
        detail::g_direct[i].store(at ? g_bound : nullptr, std::memory_order_release);
    }
    const auto serialFor = [](Operation operation) -> uint64_t {
        return DirectDevice(operation) ? g_bound->Serial() : 0;
    };
    scan::g_direct[scan::kSeek].store(serialFor(Operation::CeSeekDatabase), std::memory_order_release);
    scan::g_direct[scan::kRead].store(serialFor(Operation::CeReadRecordProps), std::memory_order_release);
    scan::g_direct[scan::kFree].store(serialFor(Operation::LocalFree), std::memory_order_release);
}

const char* const kOperationNames[] = {
#define CE_OPERATION_NAME_(R, name, failed, ...) #name,
    CE_OPERATIONS(CE_OPERATION_NAME_)
#undef CE_OPERATION_NAME_
};

}  // namespace

const char* OperationName(Operation operation) {
    return kOperationNames[static_cast<int>(operation)];
}

Operation OperationNamed(std::string_view name) {
    for (int i = 0; i < kOperationCount; ++i) {
        const auto operation = static_cast<Operation>(i);
        if (name == OperationName(operation)) return operation;
    }
    throw std::invalid_argument("no platform operation is named " + std::string(name));
}

ScopedBackend::ScopedBackend(Backend& backend) {
    std::lock_guard lock(g_stackMutex);
    previous_ = g_front;
    g_front = &backend;
    Publish();
}

ScopedBackend::~ScopedBackend() {
    std::lock_guard lock(g_stackMutex);
    g_front = previous_;
    Publish();
}

void SerialChanged() {
    std::lock_guard lock(g_stackMutex);
    Publish();
}

void BindBackend(device::Device* device) {
    std::lock_guard lock(g_stackMutex);
    g_bound = device;
    Publish();
}

}  // namespace host
