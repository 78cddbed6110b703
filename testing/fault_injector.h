// Fault injection for tests: a backend in front of the current one that makes chosen
// platform operations fail, so the installer's failure paths run without any change
// to its code.
//
//   testing_support::FaultInjector faults(host::CurrentBackend());
//   faults.FailOn("RegSetValueExW", 3);       // the 3rd call fails
//   faults.FailAlways("CreateWindowExW");    // every call fails
//   faults.LimitReads(3);                     // ReadFile delivers at most 3 bytes a call
//   faults.Delay("FindFirstFileW", 100);      // every call waits 100 ms first
//   host::ScopedBackend use(faults);
//
// A failing call returns its operation's failure value and leaves the error given
// (the operation table, operations.h, says which value and how). Calls are counted
// per operation from the injector's construction. The calls that cannot fail
// (LocalFree, DispatchMessageW) are counted and passed on.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <tuple>

#include "platform/host/backend.h"

namespace testing_support {

class FaultInjector : public host::ForwardingBackend {
public:
    explicit FaultInjector(host::Backend& target) : host::ForwardingBackend(target) {}

    // The nth call (1 = the first) of the operation fails.
    void FailOn(std::string_view operation, int nth, DWORD error = ERROR_GEN_FAILURE);
    // Every call of the operation fails.
    void FailAlways(std::string_view operation, DWORD error = ERROR_GEN_FAILURE);
    // ReadFile delivers at most maxBytes per call (0: no limit).
    void LimitReads(DWORD maxBytes);
    // Every call of the operation waits this long before it is made.
    void Delay(std::string_view operation, int milliseconds);
    // How often the operation was called, failed calls included.
    int Calls(std::string_view operation) const;
    // Forgets every rule and count.
    void Clear();

#define CE_FAULT_(R, name, failed, ...)                                               \
    R name(CE_PARAMS(__VA_ARGS__)) override {                                         \
        if (const auto error = Fault(host::Operation::name, host::CanFail(CE_FAILED(failed))))   \
            return host::FailedResult<R>(CE_FAILED(failed), *error);                        \
        Reshape<host::Operation::name>(CE_ARGS(__VA_ARGS__));                               \
        return target().name(CE_ARGS(__VA_ARGS__));                                   \
    }
    CE_OPERATIONS(CE_FAULT_)
#undef CE_FAULT_

private:
    struct Rule {
        int nth = 0;  // 0: every call
        DWORD error = ERROR_GEN_FAILURE;
    };
    // Counts the call and waits as a Delay rule says; the error code to fail it with,
    // or nothing.
    std::optional<DWORD> Fault(host::Operation operation, bool canFail);

    // Changes the arguments a call is passed on with (ReadFile's count, when limited).
    template <host::Operation op, typename... Args>
    void Reshape(Args&... args) {
        if constexpr (op == host::Operation::ReadFile) {
            DWORD& count = std::get<2>(std::tie(args...));
            std::lock_guard lock(mutex_);
            if (readLimit_ != 0 && count > readLimit_) count = readLimit_;
        }
    }

    mutable std::mutex mutex_;
    std::array<int, host::kOperationCount> calls_{};
    std::array<int, host::kOperationCount> delays_{};  // milliseconds
    std::multimap<host::Operation, Rule> rules_;
    DWORD readLimit_ = 0;
};

}  // namespace testing_support
