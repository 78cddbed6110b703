// Update folders that try to hurt the host, run with "ceupdate run" under a watchdog:
// FIFOs, links to /dev/zero, to files outside the image and to folders, names with
// "..", an update folder that is itself a link, a patch text that claims 65535
// characters and ends, a huge script without a line end, scripts of random bytes.
// Every run must end, exit as the installer does (0) or as a refused run (2), read
// nothing from outside its image and update folder, leave the update folder as it
// was, and leave every store passing integrity_check.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "store/store.h"
#include "testing/inputs.h"
#include "tests/support/cli.h"
#include "tests/support/hardening.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Fingerprint;
using testing_support::FolderFingerprint;
using testing_support::TempFolder;

constexpr double kWatchdogSeconds = 120;

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kHugeScriptBytes = 10u << 20;  // the sanitizers make every read slow
#else
constexpr size_t kHugeScriptBytes = 100u << 20;
#endif

using Bytes = std::vector<uint8_t>;

Bytes Utf16(const std::u16string& text) { return testing_support::Script(text); }

void Write(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A script that marks the registry when the installer reads it.
Bytes MarkerScript(const std::u16string& marker) {
    return Utf16(u"[HKEY_CURRENT_USER\\Hostile]\n\"" + marker + u"\"=\"read\"\n\n");
}

// A patch file that renames the seeded record's label when the installer reads it.
Bytes MarkerPatch() {
    Bytes b;
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(2u << 16 | 0x13, 4);  // key: number 42
    put(42, 4);
    put(3u << 16 | 0x1F, 4);  // value: text "read"
    put(4, 2);
    for (char c : std::string("read")) put(static_cast<uint8_t>(c), 2);
    return b;
}

struct Layout {
    fs::path image;    // IMG (an image with one record: number 42, label "seed")
    fs::path update;   // the update folder handed to run
    fs::path outside;  // a folder outside the image, for link targets
};

struct HostileCase {
    const char* name;
    bool updateInsideImage;
    std::function<void(const Layout&)> prepare;  // fills the update folder
    int exitCode = 0;
    // Registry values under HKEY_CURRENT_USER\Hostile that must exist ("ok") or not.
    std::vector<std::u16string> mustRead = {};
    std::vector<std::u16string> mustNotRead = {};
    bool patchMustNotApply = false;
};

bool HasMarker(const fs::path& image, const std::u16string& name) {
    store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadOnly);
    const auto key = registry.FindPath(u"HKEY_CURRENT_USER\\Hostile");
    return key && registry.GetValue(*key, name).has_value();
}

std::string LabelOfSeed(const fs::path& image) {
    store::VolumeStore volume(image / "storage" / "mxip_lang.vol", store::Mode::ReadOnly);
    const auto db = volume.FindDatabase(u"\\FileNameLang");
    for (const store::Record& r : volume.Records(db->oid)) {
        for (const store::Property& p : r.props) {
            if (p.propid == (3u << 16 | 0x1F)) return std::string(p.bytes.begin(), p.bytes.end());
        }
    }
    return "";
}

void RunCase(const HostileCase& c) {
    SCOPED_TRACE(c.name);
    TempFolder tmp;
    Layout s{tmp / "image", {}, tmp / "outside"};
    store::InitImage(s.image);
    {
        store::VolumeStore volume(s.image / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
        const auto db = volume.FindDatabase(u"\\FileNameLang");
        const Bytes label = {'s', 0, 'e', 0, 'e', 0, 'd', 0};
        volume.AddRecord(db->oid, std::vector<store::Property>{{2u << 16 | 0x13, {42, 0, 0, 0}},
                                                              {3u << 16 | 0x1F, label}});
    }
    s.update = c.updateInsideImage ? s.image / "upd" : tmp / "upd";
    fs::create_directories(s.update);
    fs::create_directories(s.outside);
    c.prepare(s);
    const Fingerprint outsideBefore = FolderFingerprint(s.outside);
    const Fingerprint updateBefore = FolderFingerprint(s.update);

    const int exitCode = testing_support::RunCliWithin(
        {"run", "--yes", "--device", s.image.string(), s.update.string()}, kWatchdogSeconds);
    ASSERT_NE(exitCode, -1) << "the run did not end within " << kWatchdogSeconds << " s";
    EXPECT_EQ(exitCode, c.exitCode);

    EXPECT_EQ(FolderFingerprint(s.outside), outsideBefore);
    EXPECT_EQ(FolderFingerprint(s.update), updateBefore);
    for (const fs::path& file : testing_support::StoreFiles(s.image))
        EXPECT_EQ(testing_support::IntegrityCheck(file), "ok") << file;
    for (const auto& m : c.mustRead) EXPECT_TRUE(HasMarker(s.image, m)) << "value not written";
    for (const auto& m : c.mustNotRead) EXPECT_FALSE(HasMarker(s.image, m)) << "read a file it must not";
    if (c.patchMustNotApply) {
        const std::string label = LabelOfSeed(s.image);
        EXPECT_EQ(label, std::string("s\0e\0e\0d\0", 8)) << "a patch file it must not read was applied";
    }
    auto exported = testing_support::RunOnImage(s.image, {"reg", "export"});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
}

void Link(const fs::path& target, const fs::path& link) { fs::create_symlink(target, link); }

TEST(HostileTest, SpecialFilesAndLinksAreNotRead) {
    const std::vector<HostileCase> cases = {
        {"a .reg that is a FIFO, beside a normal script", false,
         [](const Layout& s) {
             ASSERT_EQ(mkfifo((s.update / "a.reg").c_str(), 0600), 0);
             Write(s.update / "b.reg", MarkerScript(u"B"));
         },
         0, {u"B"}},
        {"a .dat that is a FIFO", false,
         [](const Layout& s) { ASSERT_EQ(mkfifo((s.update / "FileNameLang.dat").c_str(), 0600), 0); }},
        {"a .reg and a .dat that link to /dev/zero", false,
         [](const Layout& s) {
             Link("/dev/zero", s.update / "zero.reg");
             Link("/dev/zero", s.update / "FileNameLang.dat");
         }},
        {"a .reg and a .dat that link to files outside the image (update folder inside)", true,
         [](const Layout& s) {
             Write(s.outside / "evil.reg", MarkerScript(u"Evil"));
             Write(s.outside / "evil.dat", MarkerPatch());
             Link(s.outside / "evil.reg", s.update / "evil.reg");
             Link(s.outside / "evil.dat", s.update / "FileNameLang.dat");
         },
         0, {}, {u"Evil"}, true},
        {"a .reg and a .dat that link out of the attached update folder", false,
         [](const Layout& s) {
             Write(s.outside / "evil.reg", MarkerScript(u"Evil"));
             Write(s.outside / "evil.dat", MarkerPatch());
             Link(s.outside / "evil.reg", s.update / "evil.reg");
             Link(s.outside / "evil.dat", s.update / "FileNameLang.dat");
         },
         0, {}, {u"Evil"}, true},
        {"a .reg that links into the image's state folder", true,
         [](const Layout& s) { Link(s.image / ".ceimage" / "mounts.db", s.update / "state.reg"); }},
        {"a .reg and a .dat that link to folders", false,
         [](const Layout& s) {
             Link(s.outside, s.update / "folder.reg");
             Link("/", s.update / "FileNameLang.dat");
             fs::create_directory(s.update / "real-folder.reg");
         }},
        {"names with .. and backslashes", false,
         [](const Layout& s) {
             // One host name each: the phone would read them as paths that climb out.
             Write(s.outside / "climb.reg", MarkerScript(u"Climb"));
             Write(s.update / "..\\outside\\climb.reg", MarkerScript(u"Backslash"));
             Write(s.update / "..reg", MarkerScript(u"Dots"));
             Write(s.update / "...reg", MarkerScript(u"ThreeDots"));
         },
         0, {u"Dots", u"ThreeDots"}, {u"Climb", u"Backslash"}},
        {"an update folder that is a link to a folder outside the image", false,
         [](const Layout& s) {
             fs::path real = s.outside.parent_path() / "real-update";
             fs::create_directories(real);
             Write(real / "a.reg", MarkerScript(u"ViaLink"));
             fs::remove(s.update);
             Link(real, s.update);
         },
         0, {u"ViaLink"}},
        {"an update folder that is a link into the image's state folder", false,
         [](const Layout& s) {
             fs::remove(s.update);
             Link(s.image / ".ceimage", s.update);
         },
         2},
        {"a patch text of 65535 characters with nothing after it", false,
         [](const Layout& s) { Write(s.update / "FileNameLang.dat", {0x1F, 0, 2, 0, 0xFF, 0xFF}); },
         0, {}, {}, true},
        {"a patch text of 65535 characters after a good entry, cut short", false,
         [](const Layout& s) {
             Bytes b = MarkerPatch();
             const Bytes tail = {0x1F, 0, 2, 0, 0xFF, 0xFF, 'a', 0, 'b', 0};
             b.insert(b.end(), tail.begin(), tail.end());
             Write(s.update / "FileNameLang.dat", b);
         }},
    };
    for (const HostileCase& c : cases) RunCase(c);
}

TEST(HostileTest, HugeScriptWithoutLineEndEnds) {
    RunCase({"a huge script with no LF", false, [](const Layout& s) {
                 std::ofstream out(s.update / "huge.reg", std::ios::binary);
                 std::string chunk("[\0H\0K\0E\0Y\0_\0C\0U\0", 16);
                 while (chunk.size() < (1u << 20)) chunk += std::string("x\0", 2);
                 for (size_t written = 0; written < kHugeScriptBytes; written += chunk.size())
                     out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                 Write(s.update / "later.reg", MarkerScript(u"Later"));
             }, 0, {u"Later"}});
}

TEST(HostileTest, ScriptsOfRandomBytes) {
    RunCase({"scripts of random bytes", false, [](const Layout& s) {
                 std::mt19937 random(12345);
                 for (int f = 0; f < 16; ++f) {
                     Bytes b(4096 + random() % 65536);
                     for (uint8_t& byte : b) byte = static_cast<uint8_t>(random());
                     // Some with a BOM and line ends, so the reader gets past line one.
                     if (f % 2) {
                         b[0] = 0xFF;
                         b[1] = 0xFE;
                         for (size_t i = 2; i + 1 < b.size(); i += 2 + 2 * (random() % 200)) {
                             b[i] = '\n';
                             b[i + 1] = 0;
                         }
                     }
                     Write(s.update / ("random" + std::to_string(f) + ".reg"), b);
                 }
                 Write(s.update / "zzz.reg", MarkerScript(u"AfterRandom"));
             }, 0, {u"AfterRandom"}});
}

}  // namespace
