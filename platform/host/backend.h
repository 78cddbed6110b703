// The host backend: one object behind every platform operation of wince.h.
//
// The functions of wince.h are two-line wrappers that hand over to the current
// backend (api.cpp). The device backend (device.cpp) serves them from a device image;
// a ForwardingBackend subclass put in front of it with ScopedBackend changes chosen
// calls (a test's FaultInjector makes them fail, "check" notes what the installer
// does) without touching the installer's code.
//
// Every class here is generated from the operation table (operations.h); each method
// has the contract of the operation of the same name in wince.h.
#pragma once

#include <atomic>
#include <bitset>
#include <initializer_list>

#include "platform/host/operations.h"

namespace host {

class Backend {
public:
    virtual ~Backend() = default;

    // The backend this one hands the operation on to unchanged, if it does; nullptr
    // when it serves or changes the operation itself.
    virtual Backend* PassesOn(Operation) { return nullptr; }

#define CE_BACKEND_METHOD_(R, name, failed, ...) virtual R name(CE_PARAMS(__VA_ARGS__)) = 0;
    CE_OPERATIONS(CE_BACKEND_METHOD_)
#undef CE_BACKEND_METHOD_
};

// Declares every operation as an override, for a class that serves them all.
#define CE_DECLARE_OPERATION_OVERRIDE(R, name, failed, ...) R name(CE_PARAMS(__VA_ARGS__)) override;

// Passes every call on to another backend; subclasses override the calls they change.
// A subclass may name operations it never overrides (`untouched`): with nothing but
// such backends between the installer and the bound device, those calls go to the
// device directly, sparing a scan of a million calls the detour.
class ForwardingBackend : public Backend {
public:
    explicit ForwardingBackend(Backend& target, std::initializer_list<Operation> untouched = {})
        : target_(target) {
        for (Operation operation : untouched) untouched_.set(static_cast<size_t>(operation));
    }

    Backend* PassesOn(Operation operation) override {
        return untouched_.test(static_cast<size_t>(operation)) ? &target_ : nullptr;
    }

#define CE_FORWARD_(R, name, failed, ...) \
    R name(CE_PARAMS(__VA_ARGS__)) override { return target_.name(CE_ARGS(__VA_ARGS__)); }
    CE_OPERATIONS(CE_FORWARD_)
#undef CE_FORWARD_

protected:
    Backend& target() { return target_; }

private:
    Backend& target_;
    std::bitset<kOperationCount> untouched_;
};

// The backends in front of the platform operations form a stack: at its bottom the
// bound device (or, without one, a backend that fails every file, registry and
// database call), above it whatever ScopedBackend put in front. A fake such as the
// FaultInjector is given its target when it is made, usually CurrentBackend().

namespace device {
class Device;
}

namespace detail {
// The top of the stack, kept by ScopedBackend and BindBackend (never nullptr); and per
// operation, the bound device when every backend in front of it passes the operation
// on unchanged, else nullptr: the operation calls that one directly, without a
// virtual call.
extern std::atomic<Backend*> g_current;
extern std::atomic<device::Device*> g_direct[kOperationCount];
}  // namespace detail

// The backend the platform operations use now: the top of the stack.
inline Backend& CurrentBackend() { return *detail::g_current.load(std::memory_order_acquire); }

// The bound device when whatever is in front of it passes the operation on unchanged,
// else nullptr.
inline device::Device* DirectDevice(Operation operation) {
    return detail::g_direct[static_cast<size_t>(operation)].load(std::memory_order_acquire);
}

// Puts a backend in front of whatever is in front now, for the scope's lifetime; on
// leaving the scope, also by an exception, exactly what was in front before is put
// back. It is the only way to change the front. Scopes nest: the last one made ends
// first. The caller keeps the backend alive for the scope.
class ScopedBackend {
public:
    explicit ScopedBackend(Backend& backend);
    ~ScopedBackend();
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;

private:
    Backend* previous_;  // nullptr: the bottom of the stack
};

// For BindDevice: the bottom of the stack (nullptr: no device is bound).
void BindBackend(device::Device* device);
// Publishes the stack again after the bound device's serial changed (it shuts down).
void SerialChanged();

}  // namespace host
