// The fault-injecting backend's rules and counts; its methods are generated in the header.
#include "testing/fault_injector.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace testing_support {

using host::Operation;
using host::OperationNamed;

void FaultInjector::FailOn(std::string_view operation, int nth, DWORD error) {
    const Operation op = OperationNamed(operation);
    std::lock_guard lock(mutex_);
    rules_.emplace(op, Rule{std::max(nth, 1), error});
}

void FaultInjector::FailAlways(std::string_view operation, DWORD error) {
    const Operation op = OperationNamed(operation);
    std::lock_guard lock(mutex_);
    rules_.emplace(op, Rule{0, error});
}

void FaultInjector::LimitReads(DWORD maxBytes) {
    std::lock_guard lock(mutex_);
    readLimit_ = maxBytes;
}

void FaultInjector::Delay(std::string_view operation, int milliseconds) {
    const Operation op = OperationNamed(operation);
    std::lock_guard lock(mutex_);
    delays_[static_cast<size_t>(op)] = milliseconds;
}

int FaultInjector::Calls(std::string_view operation) const {
    const Operation op = OperationNamed(operation);
    std::lock_guard lock(mutex_);
    return calls_[static_cast<size_t>(op)];
}

void FaultInjector::Clear() {
    std::lock_guard lock(mutex_);
    calls_.fill(0);
    delays_.fill(0);
    rules_.clear();
    readLimit_ = 0;
}

std::optional<DWORD> FaultInjector::Fault(Operation operation, bool canFail) {
    int delay = 0;
    std::optional<DWORD> error;
    {
        std::lock_guard lock(mutex_);
        const int call = ++calls_[static_cast<size_t>(operation)];
        delay = delays_[static_cast<size_t>(operation)];
        const auto [first, last] = rules_.equal_range(operation);
        for (auto it = first; it != last && canFail && !error; ++it)
            if (it->second.nth == 0 || it->second.nth == call) error = it->second.error;
    }
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return error;
}

}  // namespace testing_support
