// The backend stack: scoped backends put in front and taken away in any nesting, by
// exceptions too; and every operation's failure, as the operation table states it,
// reaching the installer through its wrapper.
#include <stdexcept>
#include <type_traits>

#include "platform_image.h"
#include "testing/fault_injector.h"

namespace {

class BackendStack : public platform_test::ScratchImage {};

// Counts the files opened through it.
class OpenCounter : public host::ForwardingBackend {
public:
    using host::ForwardingBackend::ForwardingBackend;
    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override {
        ++opens;
        return target().CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                    dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    }
    int opens = 0;
};

HANDLE OpenMissing() {
    return CreateFileW(u"\\missing.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST_F(BackendStack, ScopesPutBackExactlyWhatWasInFront) {
    host::Backend& device = host::CurrentBackend();
    OpenCounter outer(device);
    {
        host::ScopedBackend useOuter(outer);
        EXPECT_EQ(&host::CurrentBackend(), &outer);
        OpenCounter inner(host::CurrentBackend());
        {
            host::ScopedBackend useInner(inner);
            EXPECT_EQ(OpenMissing(), INVALID_HANDLE_VALUE);
        }
        EXPECT_EQ(&host::CurrentBackend(), &outer);
        EXPECT_EQ(OpenMissing(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(inner.opens, 1);
        EXPECT_EQ(outer.opens, 2);  // the inner one's call passed through it
    }
    EXPECT_EQ(&host::CurrentBackend(), &device);
}

TEST_F(BackendStack, ACallEveryBackendInFrontLeavesAloneGoesToTheDevice) {
    host::Backend& device = host::CurrentBackend();
    // Says it leaves CreateFileW alone, so its own count shows whether a call came by.
    OpenCounter bypassed(device, {host::Operation::CreateFileW});
    {
        host::ScopedBackend use(bypassed);
        EXPECT_EQ(OpenMissing(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(bypassed.opens, 0);
        // One in front that changes the call: the chain is followed call by call.
        OpenCounter counting(static_cast<host::Backend&>(bypassed));
        {
            host::ScopedBackend useCounting(counting);
            EXPECT_EQ(OpenMissing(), INVALID_HANDLE_VALUE);
        }
        EXPECT_EQ(counting.opens, 1);
        EXPECT_EQ(bypassed.opens, 1);
        EXPECT_EQ(OpenMissing(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(bypassed.opens, 1);
    }
    // With no device bound there is nothing to go to directly: the call takes the chain.
    host::UnbindDevice();
    OpenCounter unbound(host::CurrentBackend(), {host::Operation::CreateFileW});
    host::ScopedBackend use(unbound);
    EXPECT_EQ(OpenMissing(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(unbound.opens, 1);
}

TEST_F(BackendStack, AnExceptionLeavesTheStackAsItWas) {
    host::Backend& device = host::CurrentBackend();
    OpenCounter counter(device);
    try {
        host::ScopedBackend use(counter);
        throw std::runtime_error("out");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(&host::CurrentBackend(), &device);
}

TEST_F(BackendStack, AFakeMadeForTheDeviceSkipsWhatIsInFront) {
    host::Backend& device = host::CurrentBackend();
    testing_support::FaultInjector faults(device);
    faults.FailAlways("CreateFileW", ERROR_ACCESS_DENIED);
    host::ScopedBackend useFaults(faults);
    OpenCounter counter(device);  // wraps the device itself, not the injector
    host::ScopedBackend useCounter(counter);
    EXPECT_EQ(OpenMissing(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(faults.Calls("CreateFileW"), 0);
}

template <typename R, typename V>
void ExpectFailed(R result, host::failure::LastError<V> failed, DWORD error) {
    EXPECT_FALSE(host::Succeeded(result, failed));
    EXPECT_EQ(GetLastError(), error);
}
template <typename R>
void ExpectFailed(R result, host::failure::ErrorCode, DWORD error) {
    EXPECT_EQ(result, static_cast<R>(error));
}
template <typename R>
void ExpectFailed(R, host::failure::Never, DWORD error) {
    EXPECT_NE(GetLastError(), error);
}

// Every operation, failed through its wince.h wrapper with the error 1234: it returns
// the failure value of the table and leaves the error as the table says; the two that
// cannot fail pass through.
TEST_F(BackendStack, EveryOperationFailsAsTheTableSays) {
    testing_support::FaultInjector faults(host::CurrentBackend());
    host::ScopedBackend use(faults);
    constexpr DWORD kError = 1234;
#define CE_ZERO_(dir, type, name) std::type_identity_t<type>{}
#define CE_CHECK_FAILURE_(R, name, failed, ...)                                              \
    {                                                                                        \
        SCOPED_TRACE(#name);                                                                 \
        faults.FailAlways(#name, kError);                                                    \
        SetLastError(ERROR_SUCCESS);                                                         \
        ExpectFailed<R>(name(CE_MAP_(CE_ZERO_, CE_COMMA_, __VA_ARGS__)), CE_FAILED(failed),  \
                        kError);                                                             \
        EXPECT_EQ(faults.Calls(#name), 1);                                                   \
    }
    CE_OPERATIONS(CE_CHECK_FAILURE_)
#undef CE_CHECK_FAILURE_
#undef CE_ZERO_
}

}  // namespace
