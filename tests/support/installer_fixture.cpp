#include "tests/support/installer_fixture.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/wince.h"

namespace testing_support {

namespace fs = std::filesystem;

// ---- Scripts ----

Bytes Utf16Le(std::u16string_view text) {
    Bytes out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

Bytes Script(std::u16string_view text, const ScriptOptions& options) {
    std::u16string s;
    if (options.byteOrderMark) s.push_back(0xFEFF);
    std::u16string_view body = text;
    if (!options.finalNewline && !body.empty() && body.back() == u'\n') body.remove_suffix(1);
    for (char16_t c : body) {
        if (c == u'\n' && options.crlf) s.push_back(u'\r');
        s.push_back(c);
    }
    return Utf16Le(s);
}

// ---- Patch files ----

void PatchFile::Put16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
}

void PatchFile::Put32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

PatchFile& PatchFile::Text(uint16_t id, std::u16string_view text) {
    return TextWithLength(id, static_cast<uint16_t>(text.size()), text);
}

PatchFile& PatchFile::TextWithLength(uint16_t id, uint16_t declaredLength,
                                     std::u16string_view text) {
    Put32(PROPID_FROM_ID_TYPE(id, CEVT_LPWSTR));
    Put16(declaredLength);
    for (char16_t c : text) Put16(c);
    return *this;
}

PatchFile& PatchFile::Number(uint16_t id, uint32_t number) {
    Put32(PROPID_FROM_ID_TYPE(id, CEVT_UI4));
    Put32(number);
    return *this;
}

PatchFile& PatchFile::Tag(uint32_t tag) {
    Put32(tag);
    return *this;
}

PatchFile& PatchFile::Raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

// ---- Properties ----

store::Property TextProperty(uint16_t id, std::u16string_view text) {
    return store::Property{PROPID_FROM_ID_TYPE(id, CEVT_LPWSTR), Utf16Le(text)};
}

store::Property NumberProperty(uint16_t id, uint32_t number) {
    return store::Property{PROPID_FROM_ID_TYPE(id, CEVT_UI4), NumberValueBytes(number)};
}

std::u16string PropertyText(const store::Record& record, uint32_t tag) {
    for (const store::Property& p : record.props) {
        if (p.propid != tag) continue;
        std::u16string text;
        for (size_t i = 0; i + 1 < p.bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(p.bytes[i] | (p.bytes[i + 1] << 8)));
        return text;
    }
    return u"(none)";
}

std::optional<uint32_t> PropertyNumber(const store::Record& record, uint32_t tag) {
    for (const store::Property& p : record.props) {
        if (p.propid != tag || p.bytes.size() != 4) continue;
        return p.bytes[0] | (p.bytes[1] << 8) | (p.bytes[2] << 16) |
               (static_cast<uint32_t>(p.bytes[3]) << 24);
    }
    return std::nullopt;
}

Bytes TextValueBytes(std::u16string_view text) {
    Bytes b = Utf16Le(text);
    b.push_back(0);
    b.push_back(0);
    return b;
}

Bytes NumberValueBytes(uint32_t number) {
    Bytes b;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>((number >> (8 * i)) & 0xFF));
    return b;
}

// ---- Scratch images ----

ScratchImage::ScratchImage() {
    std::string pattern = (fs::temp_directory_path() / "ceinstaller-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    image_ = root_ / "image";
    store::InitImage(image_);
    fs::create_directories(updateFolder());
}

ScratchImage::~ScratchImage() {
    Unbind();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

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
    options.image = image_;
    options.modulePath = std::move(modulePath);
    options.screen = screen;
    host::BindDevice(options);
    bound_ = true;
}

void ScratchImage::Unbind() {
    if (!bound_) return;
    host::UnbindDevice();
    bound_ = false;
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
