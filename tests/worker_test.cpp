// The update worker, called directly: scripts and patch files in an update folder of a
// scratch image; the order of the work read from a tracing backend.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "store/text.h"
#include "testing/fault_injector.h"
#include "testing/recorder.h"
#include "tests/support/installer_fixture.h"

namespace {

using testing_support::PatchFile;
using testing_support::PropertyText;
using testing_support::Script;
using testing_support::ScratchImage;
using testing_support::TextProperty;
using testing_support::TextValueBytes;
using testing_support::Recorder;

const uint32_t kLabel = PROPID_FROM_ID_TYPE(3, CEVT_LPWSTR);
const char16_t* const kDatabases[] = {u"\\FileNameLang", u"\\MetaBaseOptions", u"\\MetaBaseLabels"};
const char* const kPatchFiles[] = {"FileNameLang.dat", "MetabaseOptions.dat", "MetabaseLabels.dat"};

// One record with key "k" in each database, and a patch file per job that relabels it.
void SeedJobs(const ScratchImage& img, const std::filesystem::path& folder = "upd") {
    for (int i = 0; i < 3; ++i) {
        img.AddRecords(kDatabases[i], {{TextProperty(1, u"k"), TextProperty(3, u"old")}});
        img.WriteFile(folder / kPatchFiles[i], PatchFile().Text(1, u"k").Text(3, u"new").bytes());
    }
}

std::u16string Label(const ScratchImage& img, int job) {
    return PropertyText(img.Records(kDatabases[job])[0], kLabel);
}

// The worker's end signal: WM_QUIT posted.
const char* const kQuit = "WM_QUIT";

std::vector<std::string> Quoted(const std::vector<std::string>& texts) {
    std::vector<std::string> out;
    for (const std::string& text : texts) out.push_back(Recorder::Quoted(text));
    return out;
}

TEST(UpdateWorker, ImportsScriptsThenPatchesThreeDatabasesThenQuits) {
    ScratchImage img;
    SeedJobs(img);
    img.WriteUpdateFile("a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"V\"=\"from a\"\n\"A\"=\"1\"\n"));
    img.WriteUpdateFile("B.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"V\"=\"from B\"\n"));
    img.WriteUpdateFile("c.regx", Script(u"[HKEY_CURRENT_USER\\W]\n\"X\"=\"never\"\n"));
    std::filesystem::create_directories(img.updateFolder() / "dir.reg");
    img.Bind();
    {
        Recorder trace(host::CurrentBackend());
        host::ScopedBackend use(trace);
        EXPECT_EQ(UpdateWorker(nullptr), 0u);
        EXPECT_EQ(trace.Arguments("CreateFileW", 0),
                  Quoted({"\\upd\\a.reg", "\\upd\\B.reg", "\\upd\\dir.reg", "\\upd\\FileNameLang.dat",
                          "\\upd\\MetabaseOptions.dat", "\\upd\\MetabaseLabels.dat"}));
        EXPECT_EQ(trace.Arguments("CeOpenDatabaseEx", 2),
                  Quoted({"\\FileNameLang", "\\MetaBaseOptions", "\\MetaBaseLabels"}));
        EXPECT_EQ(trace.Count("PostMessageW", kQuit), 1);
        const Recorder::Call last = trace.Calls().back();
        EXPECT_EQ(last.operation, "PostMessageW");
        EXPECT_EQ(last.arguments[0], "NULL");  // to no window
        EXPECT_EQ(last.arguments[1], kQuit);
    }
    img.Unbind();
    EXPECT_EQ(img.Value(u"HKEY_CURRENT_USER\\W", u"V")->data, TextValueBytes(u"from B"));
    EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
    EXPECT_FALSE(img.Value(u"HKEY_CURRENT_USER\\W", u"X").has_value());
    for (int job = 0; job < 3; ++job) EXPECT_EQ(Label(img, job), u"new") << job;
}

TEST(UpdateWorker, JobsRunWithoutScriptsAndPastAMissingPatchFile) {
    ScratchImage img;
    SeedJobs(img);
    std::filesystem::remove(img.updateFolder() / "MetabaseOptions.dat");
    img.Bind();
    UpdateWorker(nullptr);
    img.Unbind();
    EXPECT_EQ(Label(img, 0), u"new");
    EXPECT_EQ(Label(img, 1), u"old");
    EXPECT_EQ(Label(img, 2), u"new");
}

TEST(UpdateWorker, QuitIsPostedOnceAfterTheLastJobWhenEveryJobFails) {
    ScratchImage img;  // no patch files at all
    img.Bind();
    Recorder trace(host::CurrentBackend());
    host::ScopedBackend use(trace);
    UpdateWorker(nullptr);
    EXPECT_EQ(trace.Count("CreateFileW"), 3);
    EXPECT_EQ(trace.Count("CeOpenDatabaseEx"), 0);
    EXPECT_EQ(trace.Count("PostMessageW", kQuit), 1);
    EXPECT_EQ(trace.IndexOf("PostMessageW", kQuit), static_cast<int>(trace.Calls().size()) - 1);
}

TEST(UpdateWorker, UnmountedVolumeSkipsTheJobsAndStillQuits) {
    ScratchImage img;
    SeedJobs(img);
    img.WriteUpdateFile("a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
    img.UnmountLanguageVolume();
    img.Bind();
    {
        Recorder trace(host::CurrentBackend());
        host::ScopedBackend use(trace);
        UpdateWorker(nullptr);
        EXPECT_EQ(trace.Count("CeOpenDatabaseEx"), 0);
        EXPECT_EQ(trace.Count("CreateFileW", "\\upd\\FileNameLang.dat"), 0);
        EXPECT_EQ(trace.Count("PostMessageW", kQuit), 1);
    }
    img.Unbind();
    EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
    EXPECT_EQ(Label(img, 0), u"old");
}

TEST(UpdateWorker, InstallerDirectory) {
    struct {
        std::u16string module;
        std::u16string dir;
    } const cases[] = {
        {u"\\upd\\Update.exe", u"\\upd"},
        {u"\\Storage Card\\Update.exe", u"\\Storage Card"},
        {u"\\a\\b\\c.exe", u"\\a\\b"},
        {u"\\Update.exe", u""},  // mended: the root, not the executable's own path
        {u"x\\Update.exe", u"x"},
        {u"\\\\Update.exe", u"\\"},
        {u"Update.exe", u"Update.exe"},  // no backslash: used whole
    };
    for (const auto& c : cases) {
        ScratchImage img;
        img.Bind(c.module);
        WCHAR dir[kInstallerPathChars];
        EXPECT_TRUE(GetInstallerDirectory(dir));
        EXPECT_EQ(std::u16string(dir), c.dir) << text::ToUtf8(c.module);
        img.Unbind();
    }
}

// Mended: the executable's own path was taken as the directory, so nothing was found
// beneath it.
TEST(UpdateWorker, ExecutableAtTheRootWorksOnTheRootFolder) {
    ScratchImage img;
    img.WriteFile("a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
    SeedJobs(img, ".");
    img.Bind(u"\\Update.exe");
    {
        Recorder trace(host::CurrentBackend());
        host::ScopedBackend use(trace);
        UpdateWorker(nullptr);
        EXPECT_EQ(trace.Arguments("FindFirstFileW", 0), std::vector<std::string>{"\"\\\\*.reg\""});
        EXPECT_EQ(trace.Arguments("CreateFileW", 0),
                  (std::vector<std::string>{"\"\\\\a.reg\"", "\"\\\\FileNameLang.dat\"",
                                            "\"\\\\MetabaseOptions.dat\"",
                                            "\"\\\\MetabaseLabels.dat\""}));
        EXPECT_EQ(trace.Count("CeOpenDatabaseEx"), 3);
    }
    img.Unbind();
    EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
    for (int job = 0; job < 3; ++job) EXPECT_EQ(Label(img, job), u"new") << job;
}

// Without the executable's path there is no installer directory: nothing is searched
// or opened (an empty directory would mean the device's root), nothing is registered,
// and the quit is still posted.
TEST(UpdateWorker, NoExecutablePathDoesNothingButQuit) {
    ScratchImage img;
    img.WriteFile("a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
    SeedJobs(img, ".");
    img.Bind();
    {
        testing_support::FaultInjector faults(host::CurrentBackend());
        faults.FailAlways("GetModuleFileNameW");
        host::ScopedBackend use(faults);
        WCHAR dir[kInstallerPathChars];
        EXPECT_FALSE(GetInstallerDirectory(dir));
        EXPECT_EQ(dir[0], 0);
        UpdateWorker(nullptr);
        RegisterBootLaunch();
        EXPECT_EQ(faults.Calls("FindFirstFileW"), 0);
        EXPECT_EQ(faults.Calls("CreateFileW"), 0);
        EXPECT_EQ(faults.Calls("RegSetValueExW"), 0);
        EXPECT_EQ(faults.Calls("PostMessageW"), 1);
    }
    img.Unbind();
    EXPECT_FALSE(img.KeyExists(u"HKEY_CURRENT_USER\\W"));
    EXPECT_EQ(Label(img, 0), u"old");
}

// A folder of `length` platform characters ("\" and a name) inside the image.
std::u16string LongFolder(const ScratchImage& img, size_t length) {
    const std::string name(length - 1, 'd');
    std::filesystem::create_directories(img.image() / name);
    return u"\\" + std::u16string(name.begin(), name.end());
}

TEST(UpdateWorker, PathsThatDoNotFitAreSkippedNeverCut) {
    ScratchImage img;
    // 253 + "\" + "a.reg" is 259 characters: it fits. Cut to 259, the longer name
    // would become the same path.
    const std::u16string dir = LongFolder(img, 253);
    const std::string folder(dir.begin() + 1, dir.end());
    img.WriteFile(std::filesystem::path(folder) / "a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
    img.WriteFile(std::filesystem::path(folder) / "a.regzzzz.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"Z\"=\"1\"\n"));
    img.Bind(dir + u"\\U");
    {
        Recorder trace(host::CurrentBackend());
        host::ScopedBackend use(trace);
        UpdateWorker(nullptr);
        EXPECT_EQ(trace.Count("CreateFileW"), 1) << "only a.reg; every patch path is too long";
        EXPECT_EQ(trace.Count("PostMessageW", kQuit), 1);
    }
    img.Unbind();
    EXPECT_TRUE(img.Value(u"HKEY_CURRENT_USER\\W", u"A").has_value());
    EXPECT_FALSE(img.Value(u"HKEY_CURRENT_USER\\W", u"Z").has_value());
}

TEST(UpdateWorker, PatchPathsThatDoNotFitAreSkipped) {
    ScratchImage img;
    // 241 + "\FileNameLang.dat" = 258 fits; the two Metabase files (261, 260) do not.
    const std::u16string dir = LongFolder(img, 241);
    SeedJobs(img, std::string(dir.begin() + 1, dir.end()));
    img.Bind(dir + u"\\U");
    {
        Recorder trace(host::CurrentBackend());
        host::ScopedBackend use(trace);
        UpdateWorker(nullptr);
        EXPECT_EQ(trace.Count("CeOpenDatabaseEx"), 1);
    }
    img.Unbind();
    EXPECT_EQ(Label(img, 0), u"new");
    EXPECT_EQ(Label(img, 1), u"old");
    EXPECT_EQ(Label(img, 2), u"old");
}

TEST(UpdateWorker, DirectoryTooLongForThePatternImportsNothing) {
    ScratchImage img;
    const std::u16string dir = LongFolder(img, 254);  // + "\*.reg" is 260
    const std::string folder(dir.begin() + 1, dir.end());
    img.WriteFile(std::filesystem::path(folder) / "a.reg", Script(u"[HKEY_CURRENT_USER\\W]\n\"A\"=\"1\"\n"));
    img.Bind(dir + u"\\U");
    {
        Recorder trace(host::CurrentBackend());
        host::ScopedBackend use(trace);
        UpdateWorker(nullptr);
        EXPECT_EQ(trace.Count("FindFirstFileW"), 0);
        EXPECT_EQ(trace.Count("PostMessageW", kQuit), 1);
    }
    img.Unbind();
    EXPECT_FALSE(img.KeyExists(u"HKEY_CURRENT_USER\\W"));
}

}  // namespace
