// Scratch device images and byte-exact inputs for the installer's suites.
//
//   ScratchImage img;                       // a fresh image with an update folder "upd"
//   img.WriteUpdateFile("a.reg", Script(u"[HKEY_CURRENT_USER\\Software\\T]\n\"A\"=\"x\"\n"));
//   img.Bind();                             // GetModuleFileNameW gives \upd\Update.exe
//   ImportRegistryScript(u"\\upd\\a.reg");
//   img.Unbind();                           // fails the test on a handle left open
//   EXPECT_EQ(img.Value(u"HKEY_CURRENT_USER\\Software\\T", u"A")->type, REG_SZ);
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host.h"
#include "store/scratch_folder.h"
#include "store/store.h"
#include "testing/inputs.h"
#include "testing/recorder.h"

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
    // returns) and records every platform call of the run (calls()). Unbind commits and
    // closes; a run that left a handle or a read buffer open, or that broke one of the
    // installer's call rules (call_rules.h), fails the test there. Backends a test puts
    // in front after Bind must be gone before Unbind. The destructor unbinds.
    void Bind(std::u16string modulePath = u"\\upd\\Update.exe", host::Screen* screen = nullptr);
    // Binds with these options; their image is this one.
    void Bind(host::DeviceOptions options);
    void Unbind();
    // Unbinds, and returns what Unbind would fail the test with.
    std::vector<std::string> UnbindAndTakeFaults();
    // The calls of the run bound now, or of the last one (none before the first).
    const Recorder& calls() const;

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
    std::unique_ptr<Recorder> recorder_;
    std::optional<host::ScopedBackend> inFront_;  // the recorder, while bound
};

}  // namespace testing_support
