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
#include "testing/fault_injector.h"
#include "platform/host/host.h"
#include "store/store.h"

namespace {

constexpr int kRenewEvery = 4000;

store::Property Text(uint16_t id, std::u16string_view text) {
    store::Property p{static_cast<uint32_t>(id) << 16 | CEVT_LPWSTR, {}};
    for (char16_t c : text) {
        p.bytes.push_back(static_cast<uint8_t>(c));
        p.bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return p;
}

store::Property Number(uint16_t id, uint32_t n) {
    return {static_cast<uint32_t>(id) << 16 | CEVT_UI4,
            {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}};
}

void Seed(const fuzz::ScratchImage& image) {
    store::VolumeStore volume(image.image() / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
    const auto db = volume.FindDatabase(u"\\FileNameLang");
    const std::vector<std::vector<store::Property>> records = {
        {Text(1, u"Alpha"), Number(2, 1)},
        {Text(1, u"beta"), Number(2, 2), Text(3, u"label")},
        {Number(2, 3)},
        {Text(1, u"ПРИВЕТ"), Number(2, 0xFFFFFFFF)},
        {Text(1, u"alpha"), Number(2, 5)},
        {Text(1, u"A"), Number(2, 0)},
        {Text(4, u"other"), Number(5, 7)},
        {Text(1, u"x"), Number(2, 0x41)},
    };
    for (const auto& r : records) volume.AddRecord(db->oid, r);
}

fuzz::ScratchImage& Image() {
    static fuzz::ScratchImage image;
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int runs = 0;
    static CEGUID volume;
    if (size == 0) return -1;
    fuzz::ScratchImage& image = Image();
    if (runs++ % kRenewEvery == 0) {
        fuzz::Unbind();
        if (runs > 1) image.Renew();
        Seed(image);
        fuzz::Bind(image);
        if (!FindLanguageVolume(&volume)) __builtin_trap();
    }
    fuzz::WriteFile(image.upd() / "FileNameLang.dat", data + 1, size - 1);
    host::FaultInjector faults(host::CurrentBackend());
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
