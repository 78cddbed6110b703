// The patch job: the input (after its first byte, which may make every ReadFile
// deliver only 1 to 3 bytes) is the patch file "\upd\FileNameLang.dat", applied with
// PatchLanguageDatabase to "\FileNameLang" of a scratch image holding a dozen records
// (text keys in mixed case and Cyrillic, number keys, records without the key, two
// records with the same key). The image is renewed every few thousand inputs.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "langdb/langdb.h"
#include "platform/host/host.h"
#include "store/store.h"
#include "testing/fault_injector.h"
#include "testing/inputs.h"

namespace {

constexpr int kRenewEvery = 4000;

using testing_support::NumberProperty;
using testing_support::TextProperty;

void Seed(const fuzz::ScratchImage& image) {
    store::VolumeStore volume(image.image() / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
    const auto db = volume.FindDatabase(u"\\FileNameLang");
    const std::vector<std::vector<store::Property>> records = {
        {TextProperty(1, u"Alpha"), NumberProperty(2, 1)},
        {TextProperty(1, u"beta"), NumberProperty(2, 2), TextProperty(3, u"label")},
        {NumberProperty(2, 3)},
        {TextProperty(1, u"ПРИВЕТ"), NumberProperty(2, 0xFFFFFFFF)},
        {TextProperty(1, u"alpha"), NumberProperty(2, 5)},
        {TextProperty(1, u"A"), NumberProperty(2, 0)},
        {TextProperty(4, u"other"), NumberProperty(5, 7)},
        {TextProperty(1, u"x"), NumberProperty(2, 0x41)},
    };
    for (const auto& r : records) volume.AddRecord(db->oid, r);
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CEGUID volume;
    if (size == 0) return -1;
    fuzz::ScratchImage& image = fuzz::SharedImage();
    if (image.Due(kRenewEvery)) {
        Seed(image);
        fuzz::Bind(image);
        if (!FindLanguageVolume(&volume)) __builtin_trap();
    }
    fuzz::WriteFile(image.upd() / "FileNameLang.dat", data + 1, size - 1);
    testing_support::FaultInjector faults(host::CurrentBackend());
    if (unsigned limit = fuzz::ReadLimit(data[0])) faults.LimitReads(limit);
    BOOL opened;
    {
        host::ScopedBackend use(faults);
        opened = PatchLanguageDatabase(&volume, u"\\FileNameLang", u"\\upd\\FileNameLang.dat");
    }
    // The patch file and the database exist, so the job always opens them.
    if (!opened) __builtin_trap();
    return 0;
}
