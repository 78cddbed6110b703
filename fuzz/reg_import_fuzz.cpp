// "ceupdate reg import": the input is a registry export in the full syntax, read with
// ParseRegFile and, whatever errors it reports (as with --force), applied with
// ApplyRegImport to the registry of a scratch image renewed every few thousand
// inputs. The first input byte picks the encoding the rest is wrapped in: as given,
// UTF-16 LE with a byte-order mark, or UTF-8 with one.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/store.h"
#include "tools/formats/reg_import.h"

namespace {

constexpr int kRenewEvery = 2000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    fuzz::ScratchImage& image = fuzz::SharedImage();
    image.Due(kRenewEvery);
    std::vector<uint8_t> bytes;
    switch (data[0] % 3) {
        case 1: bytes = {0xFF, 0xFE}; break;
        case 2: bytes = {0xEF, 0xBB, 0xBF}; break;
        default: break;
    }
    bytes.insert(bytes.end(), data + 1, data + size);
    const tools::RegImportFile file = tools::ParseRegFile(bytes);
    for (const tools::RegImportError& e : file.errors) {
        if (e.why.empty()) __builtin_trap();  // every error says why
    }
    store::RegistryStore registry(store::RegistryFile(image.image()), store::Mode::ReadWrite);
    try {
        tools::ApplyRegImport(registry, file.steps);
    } catch (const store::Error&) {
        // A refused step (a name the store does not take) refuses the whole file.
    }
    if (!registry.FindPath(u"HKEY_LOCAL_MACHINE")) __builtin_trap();
    return 0;
}
