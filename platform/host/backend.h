// The host backend: one object behind every platform operation of wince.h.
//
// The functions of wince.h are two-line wrappers that hand over to the current
// backend (api.cpp). The device backend (device.cpp) serves them from a device image;
// a test can put a ForwardingBackend subclass in front of it (FaultInjector, in
// faults.h) to make a chosen call fail without touching the installer's code.
//
// Every class here is generated from the operation table (operations.h); each method
// has the contract of the operation of the same name in wince.h.
#pragma once

#include "platform/host/operations.h"

namespace host {

class Backend {
public:
    virtual ~Backend() = default;

#define CE_BACKEND_METHOD_(R, name, failed, ...) virtual R name(CE_PARAMS(__VA_ARGS__)) = 0;
    CE_OPERATIONS(CE_BACKEND_METHOD_)
#undef CE_BACKEND_METHOD_
};

// Declares every operation as an override, for a class that serves them all.
#define CE_DECLARE_OPERATION_OVERRIDE(R, name, failed, ...) R name(CE_PARAMS(__VA_ARGS__)) override;

// Passes every call on to another backend; subclasses override the calls they change.
class ForwardingBackend : public Backend {
public:
    explicit ForwardingBackend(Backend& target) : target_(target) {}

#define CE_FORWARD_(R, name, failed, ...) \
    R name(CE_PARAMS(__VA_ARGS__)) override { return target_.name(CE_ARGS(__VA_ARGS__)); }
    CE_OPERATIONS(CE_FORWARD_)
#undef CE_FORWARD_

protected:
    Backend& target() { return target_; }

private:
    Backend& target_;
};

// The backend the platform operations use now. Without a bound device every file,
// registry and database call fails.
Backend& CurrentBackend();

// Puts a backend in front (a test's FaultInjector); nullptr goes back to the device.
// The caller keeps ownership and must restore before destroying it.
void SetBackend(Backend* backend);

// The backend put in front with SetBackend, or nullptr: what a scoped override puts
// back when it ends.
Backend* BackendInFront();

// For BindDevice: the bound device, behind whatever is in front (nullptr: none).
void BindBackend(Backend* device);

}  // namespace host
