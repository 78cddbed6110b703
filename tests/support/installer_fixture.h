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
#include "store/store.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// ---- Registry scripts ----

struct ScriptOptions {
    bool byteOrderMark = true;
    bool crlf = true;          // "\n" in the text becomes CR LF
    bool finalNewline = true;  // FALSE: a trailing "\n" of the text is dropped
};

// UTF-16 LE of the code units, nothing added.
Bytes Utf16Le(std::u16string_view text);

// A script file from text whose lines end in "\n".
Bytes Script(std::u16string_view text, const ScriptOptions& options = {});

// ---- Patch files ----

// Builds a patch file property by property; an entry is a key then a value.
class PatchFile {
public:
    PatchFile& Text(uint16_t id, std::u16string_view text);  // CEVT_LPWSTR
    PatchFile& Number(uint16_t id, uint32_t number);          // CEVT_UI4
    // A CEVT_LPWSTR whose length field says declaredLength, followed by text as given.
    PatchFile& TextWithLength(uint16_t id, uint16_t declaredLength, std::u16string_view text);
    PatchFile& Tag(uint32_t tag);  // a raw tag (for unknown types)
    PatchFile& Raw(const Bytes& bytes);
    const Bytes& bytes() const { return bytes_; }

private:
    void Put16(uint16_t v);
    void Put32(uint32_t v);
    Bytes bytes_;
};

// ---- Database properties ----

store::Property TextProperty(uint16_t id, std::u16string_view text);
store::Property NumberProperty(uint16_t id, uint32_t number);
// The text of a CEVT_LPWSTR property, or the number of a CEVT_UI4 one.
std::u16string PropertyText(const store::Record& record, uint32_t tag);
std::optional<uint32_t> PropertyNumber(const store::Record& record, uint32_t tag);

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
    std::filesystem::path root_;
    std::filesystem::path image_;
    bool bound_ = false;
};

// Value bytes for comparisons.
Bytes TextValueBytes(std::u16string_view text);  // UTF-16 LE with terminator
Bytes NumberValueBytes(uint32_t number);          // 4 bytes little-endian

}  // namespace testing_support
