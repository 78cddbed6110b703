// Scratch device images and byte-exact inputs for the installer's suites.
//
//   ScratchImage img;                       // a fresh image with an update folder "upd"
//   img.WriteUpdateFile("a.reg", Script(u"[HKEY_CURRENT_USER\\Software\\T]\n\"A\"=\"x\"\n"));
//   img.Bind();                             // GetModuleFileNameW gives \upd\Update.exe
//   ImportRegistryScript(u"\\upd\\a.reg");
//   img.Unbind();
//   EXPECT_EQ(img.Value(u"HKEY_CURRENT_USER\\Software\\T", u"A")->type, REG_SZ);
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host.h"
#include "store/scratch_folder.h"
#include "store/store.h"
#include "testing/inputs.h"

namespace testing_support {

// ---- Scratch images ----

// A fresh image in a temporary folder, removed again at the end. The update folder
// IMAGE/upd is the platform folder "\upd".
class ScratchImage {
public:
    ScratchImage();
    ~ScratchImage();
    ScratchImage(const ScratchImage&) = delete;
    ScratchImage& operator=(const ScratchImage&) = delete;

    const std::filesystem::path& image() const { return image_; }
    std::filesystem::path updateFolder() const { return image_ / "upd"; }

    void WriteUpdateFile(const std::string& name, const Bytes& bytes) const;
    void WriteFile(const std::filesystem::path& relative, const Bytes& bytes) const;

    // Binds the host platform to the image (modulePath is what GetModuleFileNameW
    // returns); Unbind commits and closes. The destructor unbinds.
    void Bind(std::u16string modulePath = u"\\upd\\Update.exe", host::Screen* screen = nullptr);
    void Unbind();

    // Registry read-back (through its own store connection).
    bool KeyExists(std::u16string_view keyPath) const;
    std::optional<store::RegistryValue> Value(std::u16string_view keyPath,
                                              std::u16string_view name) const;
    std::vector<store::RegistryValue> Values(std::u16string_view keyPath) const;
    std::vector<std::u16string> SubkeyNames(std::u16string_view keyPath) const;
    void SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type,
                  const Bytes& data) const;
    void DeleteKey(std::u16string_view keyPath) const;

    // Language volume read-back and seeding.
    std::filesystem::path LanguageVolume() const;
    std::vector<uint32_t> AddRecords(std::u16string_view database,
                                     const std::vector<std::vector<store::Property>>& records) const;
    std::vector<store::Record> Records(std::u16string_view database) const;
    void UnmountLanguageVolume() const;

private:
    store::ScratchFolder root_;
    std::filesystem::path image_;
    bool bound_ = false;
};

}  // namespace testing_support
