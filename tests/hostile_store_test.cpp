// The image's stores under hostile or careless use, through ceupdate as a user runs
// it: links and hard links in the image's state, names the phone cannot tell apart,
// stores locked by another process or on a full disk, readers during a load, outputs
// written through links, loader inputs that never end or nest without end, names
// that must survive export and import, and a newcomer's first commands. Every case
// ends with one line on stderr and exit 2 (nothing written), or does what it should
// exactly; each table row once went wrong.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "platform/host/host.h"
#include "platform/wince.h"
#include "store/bytes.h"
#include "store/store.h"
#include "store/text.h"
#include "testing/inputs.h"
#include "tests/support/cli.h"
#include "tests/support/hardening.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using testing_support::CliOptions;
using testing_support::CliResult;
using testing_support::FolderFingerprint;
using testing_support::RunCli;
using testing_support::RunOnImage;
using testing_support::TempFolder;
using testing_support::WriteTextFile;

constexpr double kWatchdogSeconds = 60;

CliOptions Watched() {
    CliOptions options;
    options.timeoutSeconds = kWatchdogSeconds;
    return options;
}

// A refusal: exit 2 and the one "ceupdate: ..." line, after any "waiting for" lines.
void ExpectRefused(const CliResult& r, const std::string& what) {
    EXPECT_EQ(r.exitCode, 2) << what << "\n" << r.out << r.err;
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < r.err.size(); start = end + 1) {
        end = r.err.find('\n', start);
        if (end == std::string::npos) end = r.err.size();
        lines.push_back(r.err.substr(start, end - start));
    }
    ASSERT_FALSE(lines.empty()) << what;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string start = i + 1 < lines.size() ? "ceupdate: waiting for " : "ceupdate: ";
        EXPECT_EQ(lines[i].rfind(start, 0), 0u) << what << ": " << r.err;
    }
}

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every key and value of a registry, exactly: paths and names as code units, data as bytes.
std::string RegistryContent(const fs::path& image) {
    store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadOnly);
    std::string out;
    std::vector<store::RegistryStore::KeyId> pending(std::begin(store::RegistryStore::kRoots),
                                                    std::end(store::RegistryStore::kRoots));
    auto units = [](std::u16string_view text) { return store::HexOf(store::Utf16LeBytes(text)); };
    while (!pending.empty()) {
        const auto key = pending.back();
        pending.pop_back();
        out += "key " + units(registry.KeyPath(key)) + "\n";
        for (const store::RegistryValue& v : registry.Values(key))
            out += "  " + units(v.name) + " " + std::to_string(v.type) + " " + store::HexOf(v.data) + "\n";
        for (const auto& child : registry.Subkeys(key)) pending.push_back(child.id);
    }
    return out;
}

// An image with one record (number 42, label "seed") and an update folder outside it
// whose script and patch file change the registry and that record.
struct Scene {
    TempFolder tmp;
    fs::path image = tmp / "image";
    fs::path update = tmp / "update";
    fs::path outside = tmp / "outside";
    fs::path inputs = tmp / "inputs";

    Scene() {
        testing_support::MakeSeededImageAndUpdate(image, update);
        for (const fs::path& folder : {outside, inputs}) fs::create_directories(folder);
        WriteTextFile(inputs / "values.json", R"({"HKEY_CURRENT_USER\\Loaded": {"v": {"type": "REG_DWORD", "data": 1}}})");
        WriteBytes(inputs / "values.reg",
                   testing_support::Script(u"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Imported]\n\"v\"=dword:00000001\n"));
        WriteTextFile(inputs / "records.json", R"({"records": [{"props": [{"id": 1, "type": "CEVT_UI4", "data": 7}]}]})");
    }
    fs::path Volume() const { return image / "storage" / "mxip_lang.vol"; }
};

// Every command that writes to an image, as arguments after "--device IMAGE".
std::vector<std::vector<std::string>> WritingCommands(const Scene& s) {
    return {
        {"run", "--yes", s.update.string()},
        {"reg", "load", (s.inputs / "values.json").string()},
        {"reg", "import", (s.inputs / "values.reg").string()},
        {"reg", "delete", "HKEY_LOCAL_MACHINE\\init"},
        {"db", "load", "\\storage\\mxip_lang.vol", "\\FileNameLang", (s.inputs / "records.json").string()},
        {"db", "drop", "\\storage\\mxip_lang.vol", "\\MetaBaseLabels"},
        {"unmount", "\\storage\\mxip_lang.vol"},
        {"mount", "\\storage\\mxip_lang.vol"},
    };
}

std::string Joined(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) out += (out.empty() ? "" : " ") + a;
    return out;
}

// ---- Links in the image's state ----------------------------------------------------------

TEST(HostileStoreTest, StateReachedThroughLinksIsRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char* name;
        std::function<void(const Scene&)> prepare;
    };
    const std::vector<Case> cases = {
        {"the state folder is a link to a folder outside",
         [](const Scene& s) {
             fs::rename(s.image / ".ceimage", s.outside / "state");
             fs::create_directory_symlink(s.outside / "state", s.image / ".ceimage");
         }},
        {"the registry is a link to a file outside",
         [](const Scene& s) {
             fs::rename(store::RegistryFile(s.image), s.outside / "registry.db");
             fs::create_symlink(s.outside / "registry.db", store::RegistryFile(s.image));
         }},
        {"the registry has a second hard link outside",
         [](const Scene& s) { fs::create_hard_link(store::RegistryFile(s.image), s.outside / "registry.db"); }},
        {"the mounted volume has a second hard link outside",
         [](const Scene& s) { fs::create_hard_link(s.Volume(), s.outside / "volume.db"); }},
        {"the mounted volume is a link to a file outside",
         [](const Scene& s) {
             fs::rename(s.Volume(), s.outside / "volume.db");
             fs::create_symlink(s.outside / "volume.db", s.Volume());
         }},
        {"the mounted volume is a relative link to a file inside the image",
         [](const Scene& s) {
             fs::rename(s.Volume(), s.image / "storage" / "real.vol");
             fs::create_symlink("real.vol", s.Volume());
         }},
        {"the registry's -wal file is a link to a file outside",
         [](const Scene& s) {
             WriteTextFile(s.outside / "wal", "");
             fs::path wal = store::RegistryFile(s.image);
             wal += "-wal";
             fs::create_symlink(s.outside / "wal", wal);
         }},
    };
    for (const Case& c : cases) {
        Scene s;
        c.prepare(s);
        for (const auto& command : WritingCommands(s)) {
            SCOPED_TRACE(std::string(c.name) + ": " + Joined(command));
            const auto outsideBefore = FolderFingerprint(s.outside);
            const auto imageBefore = FolderFingerprint(s.image);
            ExpectRefused(RunOnImage(s.image, command, Watched()), Joined(command));
            EXPECT_EQ(FolderFingerprint(s.outside), outsideBefore);
            EXPECT_EQ(FolderFingerprint(s.image), imageBefore);
        }
    }
}

// ---- Stores that are no stores -----------------------------------------------------------

TEST(HostileStoreTest, StoresThatAreNoStoresAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char* name;
        std::function<void(const Scene&)> prepare;
        std::function<fs::path(const Scene&)> store;  // named in the refusal
        const char* cause;
        // The commands refused, by their first word, with a reader of the store;
        // none: every writing command.
        std::vector<std::string> commands;
        std::vector<std::string> reader;
    };
    auto emptied = [](const fs::path& file) { fs::resize_file(file, 0); };
    auto folderFor = [](const fs::path& file) {
        fs::remove(file);
        fs::create_directory(file);
    };
    auto registry = [](const Scene& s) { return store::RegistryFile(s.image); };
    auto volume = [](const Scene& s) { return s.Volume(); };
    const std::vector<Case> cases = {
        {"the registry is an empty file", [&](const Scene& s) { emptied(registry(s)); }, registry,
         "is an empty file, not a store", {"run", "reg"}, {"reg", "export"}},
        {"the mounted volume is an empty file", [&](const Scene& s) { emptied(s.Volume()); }, volume,
         "is an empty file, not a store", {"run"}, {}},
        {"the registry is a folder", [&](const Scene& s) { folderFor(registry(s)); }, registry,
         "is a folder, not a store file", {}, {"reg", "export"}},
        {"the mounted volume is a folder", [&](const Scene& s) { folderFor(s.Volume()); }, volume,
         "is a folder, not a store file", {}, {}},
    };
    for (const Case& c : cases) {
        Scene s;
        c.prepare(s);
        std::vector<std::vector<std::string>> commands = WritingCommands(s);
        if (!c.commands.empty()) {
            std::erase_if(commands, [&](const std::vector<std::string>& command) {
                return std::find(c.commands.begin(), c.commands.end(), command[0]) == c.commands.end();
            });
        }
        if (!c.reader.empty()) commands.push_back(c.reader);
        for (const auto& command : commands) {
            SCOPED_TRACE(std::string(c.name) + ": " + Joined(command));
            const auto imageBefore = FolderFingerprint(s.image);
            const CliResult r = RunOnImage(s.image, command, Watched());
            ExpectRefused(r, Joined(command));
            EXPECT_NE(r.err.find(c.store(s).string()), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(c.cause), std::string::npos) << r.err;
            EXPECT_EQ(FolderFingerprint(s.image), imageBefore);
        }
    }
}

// ---- Names the phone cannot tell apart ----------------------------------------------------

TEST(HostileStoreTest, PlatformNamesMatchingSeveralHostEntriesAreNotFound) {
    struct Case {
        std::vector<std::string> entries;  // files made in the folder
        std::u16string platformPath;
        store::PathStatus expected;
    };
    const std::vector<Case> cases = {
        {{"Notes.txt", "notes.TXT"}, u"\\NOTES.txt", store::PathStatus::NotFound},
        {{"Notes.txt", "notes.TXT"}, u"\\Notes.txt", store::PathStatus::NotFound},
        {{"u\xfe", "u\xff"}, u"\\u\uFFFD", store::PathStatus::NotFound},
        {{"u\xfe", "u\xef\xbf\xbd"}, u"\\u\uFFFD", store::PathStatus::NotFound},
        {{"Notes.txt", "other.txt"}, u"\\NOTES.TXT", store::PathStatus::Ok},
        {{"u\xfe"}, u"\\u\uFFFD", store::PathStatus::Ok},
    };
    for (const Case& c : cases) {
        TempFolder folder;
        for (const std::string& name : c.entries) WriteTextFile(folder / name, name);
        fs::path host;
        EXPECT_EQ(store::PathMap(folder.path()).Resolve(c.platformPath, &host), c.expected)
            << c.entries.front() << " " << c.entries.size();
    }
}

TEST(HostileStoreTest, RunRefusesAnUpdateFolderWhoseNameIsNotUtf8) {
    Scene s;
    // Two folders the phone would both call "\u<U+FFFD>": each with its own script.
    for (const char* name : {"u\xfe", "u\xff"}) {
        fs::create_directories(s.image / name);
        WriteBytes(s.image / name / "a.reg",
                   testing_support::Script(u"REGEDIT4\n\n[HKEY_CURRENT_USER\\Sibling]\n\"" +
                                           std::u16string(name[1] == '\xfe' ? u"fe" : u"ff") + u"\"=\"read\"\n\n"));
    }
    fs::create_directories(s.tmp / "v\xfe");
    for (const fs::path& folder : {s.image / "u\xfe", s.tmp / "v\xfe"}) {
        SCOPED_TRACE(folder.string());
        const std::string before = RegistryContent(s.image);
        ExpectRefused(RunOnImage(s.image, {"run", "--yes", folder.string()}, Watched()), "run");
        EXPECT_EQ(RegistryContent(s.image), before);
    }
}

// ---- Locked stores ------------------------------------------------------------------------

// Another process's write transaction on a store file, for the length of a scope.
class HeldWriteLock {
public:
    explicit HeldWriteLock(const fs::path& file) {
        EXPECT_EQ(sqlite3_open(file.c_str(), &db_), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~HeldWriteLock() {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
    }

private:
    sqlite3* db_ = nullptr;
};

TEST(HostileStoreTest, WritersWaitForALockedStoreAFewSecondsThenRefuse) {
    Scene s;
    struct Case {
        fs::path locked;
        std::vector<std::string> command;
    };
    const auto volume = "\\storage\\mxip_lang.vol";
    const std::vector<Case> cases = {
        {store::RegistryFile(s.image), {"run", "--yes", s.update.string()}},
        {store::RegistryFile(s.image), {"reg", "load", (s.inputs / "values.json").string()}},
        {store::RegistryFile(s.image), {"reg", "import", (s.inputs / "values.reg").string()}},
        {store::RegistryFile(s.image), {"reg", "delete", "HKEY_LOCAL_MACHINE\\init"}},
        {s.Volume(), {"run", "--yes", s.update.string()}},
        {s.Volume(), {"db", "load", volume, "\\FileNameLang", (s.inputs / "records.json").string()}},
        {s.Volume(), {"db", "drop", volume, "\\MetaBaseLabels"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.command));
        const auto before = FolderFingerprint(s.image);
        CliResult r;
        {
            HeldWriteLock lock(c.locked);
            r = RunOnImage(s.image, c.command, Watched());
        }
        ExpectRefused(r, Joined(c.command));
        EXPECT_NE(r.err.find("ceupdate: waiting for " + c.locked.string() + ", locked by another process\n"),
                  std::string::npos) << r.err;
        const std::string refusal = " is locked by another process\n";
        EXPECT_TRUE(r.err.size() > refusal.size() && r.err.ends_with(refusal)) << r.err;
        EXPECT_EQ(FolderFingerprint(s.image), before);
    }
}

TEST(HostileStoreTest, AStoreThatFailsDuringARunIsReportedWithTheWritesCommitted) {
    Scene s;
    host::StoreReport report;
    {
        host::DeviceOptions options;
        options.image = s.image;
        options.modulePath = u"\\Update.exe";
        options.storeReport = &report;
        host::DeviceBinding binding(options);
        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Before", 0, nullptr, 0, 0, nullptr, &key, &disposition),
                  ERROR_SUCCESS);
        const DWORD one = 1;
        ASSERT_EQ(RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
        ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

        HeldWriteLock lock(store::RegistryFile(s.image));
        // The installer goes on past each failure, as on the phone: both fail.
        EXPECT_NE(RegSetValueExW(HKEY_CURRENT_USER, u"w", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
                  ERROR_SUCCESS);
        EXPECT_NE(RegSetValueExW(HKEY_CURRENT_USER, u"x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(report.committedWrites, 2u);
    EXPECT_NE(report.firstFailure.find(store::RegistryFile(s.image).string()), std::string::npos)
        << report.firstFailure;
    EXPECT_NE(report.firstFailure.find("locked by another process"), std::string::npos) << report.firstFailure;
}

// ---- A full disk -------------------------------------------------------------------------

// A small tmpfs mounted for the length of a scope; skips the test where that is not
// allowed (only root may mount).
class SmallDisk {
public:
    SmallDisk(const fs::path& at, size_t bytes) : at_(at) {
        fs::create_directories(at);
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = geteuid() == 0 && mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    void MakeReadOnly() { ASSERT_EQ(mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0); }

    // Fills the disk up to `spare` bytes.
    void Fill(size_t spare) {
        std::ofstream filler(at_ / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
        }
        filler.close();
        fs::resize_file(at_ / "filler", fs::file_size(at_ / "filler") > spare ? fs::file_size(at_ / "filler") - spare : 0);
    }

private:
    fs::path at_;
    bool mounted_ = false;
};

// A registry script of `count` values of 1000 bytes each (v0000, v0001, ...), the
// bytes on continuation lines short enough for the installer.
std::vector<uint8_t> BigScript(int count) {
    std::u16string text = u"REGEDIT4\n\n[HKEY_CURRENT_USER\\Big]\n";
    std::u16string bytes;
    for (int i = 0; i < 1000; ++i) bytes += i == 0 ? u"ab" : i % 60 ? u",ab" : u",\\\n  ab";
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "v%04d", i);
        text += u"\"" + std::u16string(name, name + 5) + u"\"=hex:" + bytes + u"\n";
    }
    return testing_support::Script(text + u"\n");
}

TEST(HostileStoreTest, AFullDiskIsReportedAndLeavesTheImageAsItWasOrAPrefix) {
    TempFolder tmp;
    SmallDisk disk(tmp / "disk", 3u << 20);
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const fs::path image = tmp / "disk" / "image";
    store::InitImage(image);
    const fs::path inputs = tmp / "inputs";
    fs::create_directories(inputs / "update");
    Json values = Json::object();
    std::string hex(2000, 'a');
    for (int i = 0; i < 1500; ++i) values["v" + std::to_string(i)] = {{"type", "REG_BINARY"}, {"bytes", hex}};
    WriteTextFile(inputs / "values.json", Json{{"HKEY_CURRENT_USER\\Big", values}}.dump());
    Json records = Json::array();
    for (int i = 0; i < 1500; ++i) records.push_back({{"props", {{{"id", 1}, {"type", "CEVT_BLOB"}, {"data", hex}}}}});
    WriteTextFile(inputs / "records.json", Json{{"records", records}}.dump());
    WriteBytes(inputs / "values.reg", BigScript(1500));
    WriteBytes(inputs / "update" / "big.reg", BigScript(1500));
    disk.Fill(256u << 10);

    const std::vector<std::vector<std::string>> loaders = {
        {"reg", "load", (inputs / "values.json").string()},
        {"reg", "import", (inputs / "values.reg").string()},
        {"db", "load", "\\storage\\mxip_lang.vol", "\\FileNameLang", (inputs / "records.json").string()},
    };
    // Each loader is refused saying why, the image as it was, files included.
    auto expectLoadersRefused = [&](const std::string& when, const std::string& why) {
        for (const auto& command : loaders) {
            SCOPED_TRACE(when + ": " + Joined(command));
            const auto before = FolderFingerprint(image);
            const CliResult r = RunOnImage(image, command, Watched());
            ExpectRefused(r, Joined(command));
            EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
            EXPECT_EQ(FolderFingerprint(image), before) << "files left or changed";
        }
    };
    expectLoadersRefused("little space left", "the disk is full");

    const CliResult run = RunOnImage(image, {"run", "--yes", (inputs / "update").string()}, Watched());
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_EQ(testing_support::LineCount(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("the disk is full"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("writes were committed"), std::string::npos) << run.err;
    for (const fs::path& file : testing_support::StoreFiles(image))
        EXPECT_EQ(testing_support::IntegrityCheck(file), "ok") << file;
    // What was committed is a prefix of the script's values.
    std::vector<store::RegistryValue> written;
    {
        store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadOnly);
        if (const auto big = registry.FindPath(u"HKEY_CURRENT_USER\\Big")) written = registry.Values(*big);
    }
    EXPECT_LT(written.size(), 1500u);
    for (size_t i = 0; i < written.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "v%04zu", i);
        EXPECT_EQ(written[i].name, std::u16string(name, name + 5));
    }

    expectLoadersRefused("no space left", "the disk is full");
    disk.MakeReadOnly();
    expectLoadersRefused("read-only", "read-only");
}

// ---- Readers during a load ----------------------------------------------------------------

TEST(HostileStoreTest, ExportsDuringLoadsSeeOneWholeLoadOrTheOther) {
    Scene s;
    constexpr int kValues = 1500;
    for (int generation : {1, 2}) {
        Json values = Json::object();
        for (int i = 0; i < kValues; ++i) values["v" + std::to_string(i)] = {{"type", "REG_DWORD"}, {"data", generation}};
        WriteTextFile(s.inputs / ("load" + std::to_string(generation) + ".json"),
                      Json{{"HKEY_CURRENT_USER\\Gen", values}}.dump());
    }
    ASSERT_EQ(RunOnImage(s.image, {"reg", "load", (s.inputs / "load1.json").string()}).exitCode, 0);

    std::atomic<bool> loading = true;
    std::thread loader([&] {
        for (int round = 0; round < 16; ++round) {
            const auto file = s.inputs / ("load" + std::to_string(1 + round % 2) + ".json");
            EXPECT_EQ(RunOnImage(s.image, {"reg", "load", file.string()}, Watched()).exitCode, 0);
        }
        loading = false;
    });
    int exports = 0;
    while (loading || exports == 0) {
        const CliResult r = RunOnImage(s.image, {"reg", "export", "--json", "HKEY_CURRENT_USER\\Gen"}, Watched());
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Json values = Json::parse(r.out)["HKEY_CURRENT_USER\\Gen"];
        ASSERT_EQ(values.size(), size_t{kValues});
        const Json first = values.begin().value()["data"];
        for (const auto& [name, value] : values.items()) ASSERT_EQ(value["data"], first) << name;
        ++exports;
    }
    loader.join();
}

// ---- Outputs written through links ------------------------------------------------------

TEST(HostileStoreTest, OutputsAreNeverWrittenThroughLinksOrOverOtherFiles) {
    TempFolder tmp;
    const fs::path json = tmp / "patch.json";
    WriteTextFile(json, R"({"entries": [{"key": {"id": 2, "type": "CEVT_UI4", "data": 42},
                                         "value": {"id": 3, "type": "CEVT_LPWSTR", "data": "x"}}]})");
    const fs::path victim = tmp / "victim";
    struct Case {
        const char* name;
        std::function<fs::path(const fs::path& folder)> prepare;  // returns OUT
        bool refused;
    };
    const std::vector<Case> cases = {
        {"OUT is a link", [&](const fs::path& f) { fs::create_symlink(victim, f / "out.dat"); return f / "out.dat"; }, true},
        {"OUT is a FIFO", [](const fs::path& f) { mkfifo((f / "out.dat").c_str(), 0600); return f / "out.dat"; }, true},
        {"OUT is a folder", [](const fs::path& f) { fs::create_directory(f / "out.dat"); return f / "out.dat"; }, true},
        {"OUT.partial is a link", [&](const fs::path& f) {
             fs::create_symlink(victim, f / "out.dat.partial");
             return f / "out.dat";
         }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteTextFile(victim, "precious");
        const fs::path folder = tmp / c.name;
        fs::create_directories(folder);
        const fs::path out = c.prepare(folder);
        const auto type = fs::symlink_status(out).type();
        const CliResult r = RunCli({"patch", "build", json.string(), out.string()}, Watched());
        if (c.refused) {
            ExpectRefused(r, c.name);
            EXPECT_EQ(fs::symlink_status(out).type(), type);
        } else {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(out)));
        }
        EXPECT_EQ(ReadBytes(victim), std::vector<uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    }
    Scene s;
    fs::create_symlink(victim, s.tmp / "export.reg");
    ExpectRefused(RunOnImage(s.image, {"reg", "export", "--output", (s.tmp / "export.reg").string()}, Watched()),
                  "reg export --output onto a link");
    // Nor over a store, the image's own or any other, or a store's companion files.
    const fs::path registry = store::RegistryFile(s.image);
    const std::string device = s.image.string();
    const std::vector<std::vector<std::string>> overStores = {
        {"reg", "export", "--device", device, "--output", registry.string()},
        {"reg", "export", "--device", device, "--output", registry.string() + "-wal"},
        {"reg", "export", "--device", device, "--output", registry.string() + "-shm"},
        {"patch", "build", json.string(), s.Volume().string()},
        {"patch", "build", json.string(), s.Volume().string() + "-journal"},
    };
    const auto before = FolderFingerprint(s.image);
    for (const auto& command : overStores) {
        const CliResult r = RunCli(command, Watched());
        ExpectRefused(r, Joined(command));
        EXPECT_NE(r.err.find("an output never replaces a database"), std::string::npos) << r.err;
    }
    EXPECT_EQ(FolderFingerprint(s.image), before);
}

// ---- Loader inputs -------------------------------------------------------------------------

TEST(HostileStoreTest, LoaderInputsThatNeverEndOrNestWithoutEndGiveOneLine) {
    Scene s;
    const fs::path in = s.inputs;
    WriteTextFile(in / "deep.json", std::string(100000, '['));
    WriteTextFile(in / "deep-value.json",
                  R"({"HKEY_CURRENT_USER\\X": {"v": {"type": "REG_DWORD", "data": )" + std::string(100000, '[') + "}}}");
    WriteTextFile(in / "huge-number.json", R"({"HKEY_CURRENT_USER\\X": {"v": {"type": "REG_DWORD", "data": 1e400}}})");
    WriteTextFile(in / "long-type.json",
                  R"({"HKEY_CURRENT_USER\\X": {"v": {"type": ")" + std::string(1 << 20, 'T') + R"(", "data": 1}}})");
    mkfifo((in / "fifo").c_str(), 0600);
    {
        std::ofstream big(in / "big");
    }
    fs::resize_file(in / "big", (256u << 20) + 1);  // sparse: no disk used

    struct Case {
        const char* input;
        std::vector<std::vector<std::string>> commands;  // the input's path is appended
    };
    const std::vector<std::string> regLoad = {"reg", "load"}, dbLoad = {"db", "load", "\\storage\\mxip_lang.vol", "\\X"},
                                   patchBuild = {"patch", "build"}, regImport = {"reg", "import"},
                                   lint = {"lint"}, patchShow = {"patch", "show"};
    const std::vector<Case> cases = {
        {"deep.json", {regLoad, dbLoad, patchBuild}},
        {"deep-value.json", {regLoad}},
        {"huge-number.json", {regLoad}},
        {"long-type.json", {regLoad}},
        {"fifo", {regLoad, dbLoad, patchBuild, regImport, lint, patchShow}},
        {"/dev/zero", {regLoad, dbLoad, patchBuild, regImport, lint, patchShow}},
        {"big", {regLoad, dbLoad, patchBuild, regImport, lint, patchShow}},
    };
    for (const Case& c : cases) {
        const fs::path input = c.input[0] == '/' ? fs::path(c.input) : in / c.input;
        for (std::vector<std::string> command : c.commands) {
            const bool patch = command[0] == "patch";
            command.push_back(input.string());
            if (command[1] == "build") command.push_back((s.tmp / "out.dat").string());
            if (!patch && command[0] != "lint") command.insert(command.end(), {"--device", s.image.string()});
            SCOPED_TRACE(Joined(command));
            const CliResult r = RunCli(command, Watched());
            ExpectRefused(r, Joined(command));
            EXPECT_EQ(testing_support::LineCount(r.err), 1u);
            EXPECT_LT(r.err.size(), 400u) << "the message quotes too much";
            EXPECT_EQ(r.err.find("unexpected failure"), std::string::npos) << r.err;
        }
    }
}

// ---- Names through export and import -----------------------------------------------------

TEST(HostileStoreTest, EveryNameAndTextSurvivesExportAndImportExactly) {
    Scene s;
    const std::u16string lone = std::u16string(u"lone") + char16_t(0xDC00) + u"x";
    const std::u16string high = std::u16string(u"high") + char16_t(0xD800);
    {
        store::RegistryStore registry(store::RegistryFile(s.image), store::Mode::ReadWrite);
        const auto cu = store::RegistryStore::kCurrentUser;
        const auto lineKey = registry.CreateKeys(cu, std::vector<std::u16string>{u"Odd", u"line\nbreak"});
        const auto loneKey = registry.CreateKeys(cu, std::vector<std::u16string>{u"Odd", lone});
        const auto plain = registry.CreateKeys(cu, std::vector<std::u16string>{u"Odd", u"quote\"]tab\t"});
        const std::vector<uint8_t> dword = {1, 0, 0, 0};
        for (const auto key : {lineKey, loneKey, plain}) {
            for (const std::u16string& name : {std::u16string(u"a\nb"), std::u16string(u"cr\r"), lone, high,
                                               std::u16string(u"q\"b\\s\tt"), std::u16string(u""),
                                               std::u16string(u"ctl\x01\x1f"),
                                               std::u16string(u"escapes as text \\u0041\\ud800\\n")})
                registry.SetValue(key, name, REG_DWORD, dword);
            std::vector<uint8_t> text = store::Utf16LeBytes(lone + u'\0');
            registry.SetValue(key, u"text", REG_SZ, text);
            registry.SetValue(key, u"multi", REG_MULTI_SZ, store::Utf16LeBytes(high + u'\0' + u"x" + u'\0' + u'\0'));
        }
    }
    const std::string expected = RegistryContent(s.image);

    const CliResult text = RunOnImage(s.image, {"reg", "export"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    WriteTextFile(s.inputs / "stdout.reg", text.out);
    const CliResult json = RunOnImage(s.image, {"reg", "export", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    WriteTextFile(s.inputs / "export.json", json.out);
    const fs::path regedit = s.inputs / "regedit.reg";
    ASSERT_EQ(RunOnImage(s.image, {"reg", "export", "--output", regedit.string()}).exitCode, 0);

    // The registry editor's form: UTF-16 LE with its byte-order mark, CR LF, the same text.
    const std::vector<uint8_t> file = ReadBytes(regedit);
    ASSERT_GE(file.size(), 2u);
    EXPECT_EQ(file[0], 0xFF);
    EXPECT_EQ(file[1], 0xFE);
    std::u16string crlf;
    for (char16_t c : store::Utf16LeText(std::span(file).subspan(2))) crlf += c;
    std::u16string expectedText;
    for (char c : text.out) {  // the stdout text is ASCII here but for escapes
        if (c == '\n') expectedText += u'\r';
        expectedText += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    EXPECT_EQ(crlf, expectedText);

    struct Case {
        const char* name;
        std::vector<std::string> command;
    };
    const std::vector<Case> cases = {
        {"text from stdout through reg import", {"reg", "import", (s.inputs / "stdout.reg").string()}},
        {"the registry editor's file through reg import", {"reg", "import", regedit.string()}},
        {"JSON through reg load", {"reg", "load", (s.inputs / "export.json").string()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder fresh;
        store::InitImage(fresh / "image");
        const CliResult r = RunOnImage(fresh / "image", c.command);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(RegistryContent(fresh / "image"), expected);
    }

    // Each name is printed on one line, and a key is reached by the form the export shows.
    for (const std::string& line : {std::string("[\"HKEY_CURRENT_USER\\\\Odd\\\\line\\nbreak\"]"),
                                    std::string("[\"HKEY_CURRENT_USER\\\\Odd\\\\lone\\udc00x\"]"),
                                    std::string("[HKEY_CURRENT_USER\\Odd\\quote\"]tab\t]"),
                                    std::string("\"a\\nb\"=dword:00000001"), std::string("\"high\\ud800\"=dword:00000001"),
                                    std::string("\"ctl\\u0001\\u001f\"=dword:00000001")})
        EXPECT_NE(text.out.find("\n" + line + "\n"), std::string::npos) << line << "\n" << text.out;
    EXPECT_NE(json.out.find(R"("HKEY_CURRENT_USER\\Odd\\lone\udc00x")"), std::string::npos) << json.out;
    const std::string quotedKey = "\"HKEY_CURRENT_USER\\\\Odd\\\\lone\\udc00x\"";
    const CliResult one = RunOnImage(s.image, {"reg", "export", quotedKey});
    EXPECT_EQ(one.exitCode, 0) << one.err;
    EXPECT_NE(one.out.find("[" + quotedKey + "]"), std::string::npos) << one.out;
    EXPECT_EQ(RunOnImage(s.image, {"reg", "delete", quotedKey}).exitCode, 0);
    EXPECT_EQ(RunOnImage(s.image, {"reg", "export", quotedKey}).exitCode, 2);

    // Database texts: what db dump --json writes, db load stores again unit for unit.
    const auto volume = "\\storage\\mxip_lang.vol";
    std::vector<store::Property> texts;
    for (const std::u16string& t : {lone, high, std::u16string(u"a\nb\"\\\t\x01"),
                                    std::u16string(u"escapes as text \\u0041\\ud800\\u0000")})
        texts.push_back({static_cast<uint32_t>((texts.size() + 1) << 16 | CEVT_LPWSTR), store::Utf16LeBytes(t)});
    {
        store::VolumeStore store(s.Volume(), store::Mode::ReadWrite);
        store.AddRecord(store.CreateDatabase(u"\\Texts").oid, texts);
    }
    const CliResult dump = RunOnImage(s.image, {"db", "dump", "--json", volume, "\\Texts"});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
    EXPECT_NE(dump.out.find(R"("lone\udc00x")"), std::string::npos) << dump.out;
    WriteTextFile(s.inputs / "records.json", dump.out);
    const CliResult load = RunOnImage(s.image, {"db", "load", volume, "\\Again", (s.inputs / "records.json").string()});
    ASSERT_EQ(load.exitCode, 0) << load.err;
    store::VolumeStore store(s.Volume(), store::Mode::ReadOnly);
    const std::vector<store::Record> again = store.Records(store.FindDatabase(u"\\Again")->oid);
    ASSERT_EQ(again.size(), 1u);
    ASSERT_EQ(again[0].props.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(again[0].props[i].propid, texts[i].propid);
        EXPECT_EQ(again[0].props[i].bytes, texts[i].bytes) << "property " << i + 1;
    }
}

TEST(HostileStoreTest, NamesThePhoneCannotHoldAreRefusedOnInput) {
    Scene s;
    const std::u16string nul(1, u'\0');
    const std::string longName(256, 'n');
    // HKEY_CURRENT_USER and `levels` keys below it, joined by `separator`.
    auto deep = [](int levels, const std::string& separator) {
        std::string path = "HKEY_CURRENT_USER";
        for (int i = 1; i <= levels; ++i) path += separator + "d" + std::to_string(i);
        return path;
    };
    const std::u16string deepSection = text::FromUtf8("[" + deep(17, "\\") + "]\n");
    struct Case {
        const char* name;
        std::function<void(const fs::path& file)> write;
        std::vector<std::string> command;  // the file is appended
        const char* why;
    };
    const std::vector<Case> cases = {
        {"a NUL in a value name of a UTF-16 export",
         [&](const fs::path& f) {
             WriteBytes(f, testing_support::Script(u"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\N]\n\"a" +
                                                   nul + u"b\"=dword:00000001\n"));
         },
         {"reg", "import"}, "a value name cannot hold a NUL"},
        {"a NUL in a key name of a UTF-16 export",
         [&](const fs::path& f) {
             WriteBytes(f, testing_support::Script(u"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\a" + nul +
                                                   u"b]\n"));
         },
         {"reg", "import"}, "a key name cannot hold a NUL"},
        {"a value name of 256 characters in JSON",
         [&](const fs::path& f) {
             WriteTextFile(f, R"({"HKEY_CURRENT_USER\\N": {")" + longName + R"(": {"type": "REG_DWORD", "data": 1}}})");
         },
         {"reg", "load"}, "a value name of 256 characters is longer than the 255 the phone holds"},
        {"a NUL in a key name in JSON",
         [](const fs::path& f) { WriteTextFile(f, R"({"HKEY_CURRENT_USER\\a\u0000b": {}})"); }, {"reg", "load"},
         "a key name cannot hold a NUL"},
        {"a key 17 levels deep in JSON",
         [&](const fs::path& f) { WriteTextFile(f, "{\"" + deep(17, "\\\\") + "\": {}}"); }, {"reg", "load"},
         "a key path of 17 levels is deeper than the 16 the phone holds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = s.inputs / "names";
        c.write(file);
        std::vector<std::string> command = c.command;
        command.push_back(file.string());
        const std::string before = RegistryContent(s.image);
        const CliResult r = RunOnImage(s.image, command, Watched());
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
        EXPECT_EQ(RegistryContent(s.image), before);
    }

    // 16 levels the phone holds. An export is taken as it is, deeper keys too: it records
    // what another system wrote (the Windows comparison writes desktop Windows' run
    // into an image through it).
    WriteTextFile(s.inputs / "16.json", "{\"" + deep(16, "\\\\") + "\": {}}");
    const CliResult load = RunOnImage(s.image, {"reg", "load", (s.inputs / "16.json").string()});
    EXPECT_EQ(load.exitCode, 0) << load.err;
    WriteBytes(s.inputs / "deep.reg",
               testing_support::Script(u"Windows Registry Editor Version 5.00\n\n" + deepSection + u"\"v\"=dword:00000001\n"));
    const CliResult imported = RunOnImage(s.image, {"reg", "import", (s.inputs / "deep.reg").string()});
    EXPECT_EQ(imported.exitCode, 0) << imported.err;
}

// ---- A newcomer's first commands, a corrupt volume, a patch listing that builds -----------

TEST(HostileStoreTest, TheFirstCommandsSayWhatThereIs) {
    const CliResult none = RunCli({});
    EXPECT_EQ(none.exitCode, 2);
    for (const char* command : {"init", "run", "check", "reg", "db", "patch"})
        EXPECT_NE(none.out.find(command), std::string::npos) << command << "\n" << none.out;
    EXPECT_EQ(testing_support::LineCount(none.err), 1u) << none.err;
    const CliResult version = RunCli({"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out.rfind("ceupdate 0.", 0), 0u) << version.out;
}

TEST(HostileStoreTest, ACorruptMountedVolumeIsCalledCorruptAndNamed) {
    Scene s;
    std::vector<uint8_t> bytes = ReadBytes(s.Volume());
    for (size_t i = 100; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    WriteBytes(s.Volume(), bytes);
    const CliResult r = RunOnImage(s.image, {"db", "list"});
    EXPECT_NE(r.out.find("corrupt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(s.Volume().string()), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("missing"), std::string::npos) << r.out;
}

// A patch file's text property: tag, character count, UTF-16 LE units.
void AppendPatchText(std::vector<uint8_t>& out, uint16_t id, std::u16string_view text) {
    store::AppendLittleEndian(out, static_cast<uint32_t>(id) << 16 | CEVT_LPWSTR, 4);
    store::AppendLittleEndian(out, text.size(), 2);
    store::AppendUtf16Le(out, text);
}

TEST(HostileStoreTest, APatchListingBuildsTheSameFileAgain) {
    TempFolder tmp;
    WriteTextFile(tmp / "in.json", R"({"entries": [
        {"key": {"id": 2, "type": "CEVT_UI4", "data": 42}, "value": {"id": 3, "type": "CEVT_LPWSTR", "data": "Заметки"}},
        {"key": {"id": 1, "type": "CEVT_LPWSTR", "data": "key"}, "value": {"id": 7, "type": "CEVT_UI4", "data": 4294967295}}]})");
    ASSERT_EQ(RunCli({"patch", "build", (tmp / "in.json").string(), (tmp / "built.dat").string()}).exitCode, 0);

    // Texts that only an exact form keeps: lone surrogates, a NUL inside a text, and
    // text that looks like the escapes.
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        size_t entries;
    };
    std::vector<Case> cases = {{"built from JSON", ReadBytes(tmp / "built.dat"), 2}};
    for (const std::u16string& text : {std::u16string(u"a") + char16_t(0xD800), std::u16string(1, char16_t(0xDC00)),
                                       std::u16string(u"a\0b", 3), std::u16string(u"\0", 1),
                                       std::u16string(u"\0" u"0041", 5), std::u16string(u"\\u0000\\ud800")}) {
        std::vector<uint8_t> file;
        AppendPatchText(file, 31, text);
        AppendPatchText(file, 2, text);
        cases.push_back({"a text of hostile units", file, 1});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + store::HexOf(c.file));
        WriteBytes(tmp / "first.dat", c.file);
        const CliResult shown = RunCli({"patch", "show", "--json", (tmp / "first.dat").string()});
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        WriteTextFile(tmp / "shown.json", shown.out);
        const CliResult rebuilt = RunCli({"patch", "build", (tmp / "shown.json").string(), (tmp / "second.dat").string()});
        ASSERT_EQ(rebuilt.exitCode, 0) << rebuilt.err;
        EXPECT_EQ(ReadBytes(tmp / "second.dat"), c.file) << shown.out;
        const CliResult text = RunCli({"patch", "show", (tmp / "first.dat").string()});
        EXPECT_EQ(text.exitCode, 0) << text.err;
        EXPECT_EQ(testing_support::LineCount(text.out), c.entries + 1) << text.out;  // one line each, and the end
        EXPECT_EQ(text.out.find('\0'), std::string::npos);
    }
}

}  // namespace
