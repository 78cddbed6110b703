// Scratch images for the installer's suites.
#include "tests/support/installer_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "control/control.h"
#include "platform/wince.h"
#include "tests/support/call_rules.h"

namespace testing_support {

namespace fs = std::filesystem;

// ---- Scratch images ----

ScratchImage::ScratchImage() : image_(root_ / "image") {
    store::InitImage(image_);
    fs::create_directories(updateFolder());
}

ScratchImage::~ScratchImage() { Unbind(); }

void ScratchImage::WriteUpdateFile(const std::string& name, const Bytes& bytes) const {
    WriteFile(fs::path("upd") / name, bytes);
}

void ScratchImage::WriteFile(const fs::path& relative, const Bytes& bytes) const {
    const fs::path path = image_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void ScratchImage::Bind(std::u16string modulePath, host::Screen* screen) {
    host::DeviceOptions options;
    options.modulePath = std::move(modulePath);
    options.screen = screen;
    Bind(std::move(options));
}

void ScratchImage::Bind(host::DeviceOptions options) {
    Unbind();
    options.image = image_;
    host::Backend& device = host::BindDevice(options);
    recorder_ = std::make_unique<Recorder>(device);
    recorder_->NameFunction(reinterpret_cast<const void*>(&UpdateWorker), "UpdateWorker");
    inFront_.emplace(*recorder_);
    bound_ = true;
}

void ScratchImage::Unbind() {
    for (const std::string& fault : UnbindAndTakeFaults()) ADD_FAILURE() << fault;
}

std::vector<std::string> ScratchImage::UnbindAndTakeFaults() {
    if (!bound_) return {};
    inFront_.reset();
    // Unbinding waits for the device's threads, so the record is complete after it.
    std::vector<std::string> faults = LeftOpen(host::UnbindDevice());
    bound_ = false;
    for (std::string& fault : CallFaults(recorder_->Calls())) faults.push_back(std::move(fault));
    return faults;
}

const Recorder& ScratchImage::calls() const {
    if (!recorder_) throw std::logic_error("no run has been recorded");
    return *recorder_;
}

bool ScratchImage::KeyExists(std::u16string_view keyPath) const {
    store::RegistryStore registry(store::RegistryFile(image_), store::Mode::ReadOnly);
    return registry.FindPath(keyPath).has_value();
}

std::optional<store::RegistryValue> ScratchImage::Value(std::u16string_view keyPath,
                                                        std::u16string_view name) const {
    store::RegistryStore registry(store::RegistryFile(image_), store::Mode::ReadOnly);
    const auto key = registry.FindPath(keyPath);
    if (!key) return std::nullopt;
    return registry.GetValue(*key, name);
}

std::vector<store::RegistryValue> ScratchImage::Values(std::u16string_view keyPath) const {
    store::RegistryStore registry(store::RegistryFile(image_), store::Mode::ReadOnly);
    const auto key = registry.FindPath(keyPath);
    if (!key) return {};
    return registry.Values(*key);
}

std::vector<std::u16string> ScratchImage::SubkeyNames(std::u16string_view keyPath) const {
    store::RegistryStore registry(store::RegistryFile(image_), store::Mode::ReadOnly);
    std::vector<std::u16string> names;
    const auto key = registry.FindPath(keyPath);
    if (!key) return names;
    for (const auto& sub : registry.Subkeys(*key)) names.push_back(sub.name);
    return names;
}

void ScratchImage::SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type,
                            const Bytes& data) const {
    store::RegistryStore registry(store::RegistryFile(image_), store::Mode::ReadWrite);
    const auto key = registry.FindPath(keyPath);
    if (!key) throw std::runtime_error("no such key");
    registry.SetValue(*key, name, type, data);
}

void ScratchImage::DeleteKey(std::u16string_view keyPath) const {
    store::RegistryStore registry(store::RegistryFile(image_), store::Mode::ReadWrite);
    const auto key = registry.FindPath(keyPath);
    if (key) registry.DeleteKey(*key);
}

fs::path ScratchImage::LanguageVolume() const { return image_ / "storage" / "mxip_lang.vol"; }

std::vector<uint32_t> ScratchImage::AddRecords(
    std::u16string_view database, const std::vector<std::vector<store::Property>>& records) const {
    store::VolumeStore volume(LanguageVolume(), store::Mode::ReadWrite);
    const auto info = volume.FindDatabase(database);
    if (!info) throw std::runtime_error("no such database");
    std::vector<uint32_t> oids;
    volume.Begin();
    for (const auto& props : records) oids.push_back(volume.AddRecord(info->oid, props));
    volume.Commit();
    return oids;
}

std::vector<store::Record> ScratchImage::Records(std::u16string_view database) const {
    store::VolumeStore volume(LanguageVolume(), store::Mode::ReadOnly);
    const auto info = volume.FindDatabase(database);
    if (!info) return {};
    return volume.Records(info->oid);
}

void ScratchImage::UnmountLanguageVolume() const {
    store::MountTable mounts(store::MountsFile(image_), store::Mode::ReadWrite);
    mounts.Remove(store::kLanguageVolume);
}

}  // namespace testing_support
