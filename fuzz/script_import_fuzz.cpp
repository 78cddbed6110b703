// Registry script import: the input (after its first byte, which may make every
// ReadFile deliver only 1 to 3 bytes) is a script file in the update folder, imported
// with ImportRegistryScript into a scratch image that is renewed every few thousand
// inputs. The sanitizers and the registry's own limits are the oracle; afterwards the
// store must still answer.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "platform/host/host.h"
#include "regscript/regscript.h"
#include "testing/fault_injector.h"

namespace {

constexpr int kRenewEvery = 4000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    fuzz::ScratchImage& image = fuzz::SharedImage();
    if (image.Due(kRenewEvery)) fuzz::Bind(image);
    fuzz::WriteFile(image.upd() / "f.reg", data + 1, size - 1);
    testing_support::FaultInjector faults(host::CurrentBackend());
    if (unsigned limit = fuzz::ReadLimit(data[0])) faults.LimitReads(limit);
    {
        host::ScopedBackend use(faults);
        ImportRegistryScript(u"\\upd\\f.reg");
    }
    // The registry still answers after whatever the script did.
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"init", 0, 0, &key) != ERROR_SUCCESS) __builtin_trap();
    RegCloseKey(key);
    return 0;
}
