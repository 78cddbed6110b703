// The scratch image the fuzz targets share, and the small helpers around it.
#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <system_error>

#include "platform/host/host.h"
#include "store/store.h"

namespace fuzz {

namespace fs = std::filesystem;

ScratchImage::ScratchImage() : root_(true) { Renew(); }

void ScratchImage::Renew() {
    std::error_code ec;
    if (!image_.empty()) fs::remove_all(image_, ec);
    image_ = root_ / ("image" + std::to_string(generation_++));
    store::InitImage(image_);
    fs::create_directories(upd());
}

bool ScratchImage::Due(int renewEvery) {
    if (inputs_++ % renewEvery != 0) return false;
    if (inputs_ > 1) {
        Unbind();
        Renew();
    }
    return true;
}

ScratchImage& SharedImage() {
    static ScratchImage image;
    return image;
}

void WriteFile(const fs::path& file, const uint8_t* data, size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

unsigned ReadLimit(uint8_t selector) { return selector >= 0xF0 ? 1u + selector % 3u : 0u; }

void Bind(const ScratchImage& image) {
    host::DeviceOptions options;
    options.image = image.image();
    options.modulePath = u"\\upd\\Update.exe";
    host::BindDevice(options);
}

void Unbind() { host::UnbindDevice(); }

}  // namespace fuzz
