// Shared by the fuzz targets: one scratch image per process, on a RAM-backed folder
// when there is one, renewed every so often so that the stores stay small and every
// input meets the same kind of image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "store/scratch_folder.h"

namespace fuzz {

// A fresh image at a folder of its own (removed at exit) with an empty update
// folder "upd" (the platform folder "\upd"). Renew() throws the old one away.
class ScratchImage {
public:
    ScratchImage();
    void Renew();
    // Counts an input: true for the first and for every renewEvery-th, having unbound
    // the device and renewed the image for all but the first; the caller then seeds
    // and binds the image as its target needs.
    bool Due(int renewEvery);
    const std::filesystem::path& image() const { return image_; }
    std::filesystem::path upd() const { return image_ / "upd"; }
    const std::filesystem::path& root() const { return root_.path(); }

private:
    store::ScratchFolder root_;
    std::filesystem::path image_;
    int generation_ = 0;
    int inputs_ = 0;
};

// The image of the process, shared by every input.
ScratchImage& SharedImage();

void WriteFile(const std::filesystem::path& file, const uint8_t* data, size_t size);

// The read limit the first input byte selects: 0 (none) for most values, else 1 to 3
// bytes per ReadFile, so short reads are reached too.
unsigned ReadLimit(uint8_t selector);

// Binds the host platform to the image with the installer at "\upd\Update.exe".
void Bind(const ScratchImage& image);
void Unbind();

}  // namespace fuzz
