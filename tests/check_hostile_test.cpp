// check under hostile or careless use: images whose links, FIFOs or broken stores once
// made its scratch image differ from the original or its errors name the scratch
// copy, a run writing at the same time, and signals while it works. In every case
// check leaves the image byte for byte as it was and its temporary folder empty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "store/store.h"
#include "testing/inputs.h"
#include "tests/support/cli.h"
#include "tests/support/hardening.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CliResult;
using testing_support::FolderFingerprint;
using testing_support::TempFolder;

constexpr double kWatchdogSeconds = 60;

// An image with one record (number 42, label "seed"), an update folder outside it
// whose script adds HKEY_CURRENT_USER\Marker "Run" and whose patch file relabels the
// record, and a temporary folder of check's own.
struct Scene {
    TempFolder tmp;
    fs::path image = tmp / "image";
    fs::path update = tmp / "update";
    fs::path outside = tmp / "outside";
    fs::path temp = tmp / "temp";

    Scene() {
        testing_support::MakeSeededImageAndUpdate(image, update);
        for (const fs::path& folder : {outside, temp}) fs::create_directories(folder);
    }
    fs::path Volume() const { return image / "storage" / "mxip_lang.vol"; }
    std::vector<std::string> Check() const {
        return {"check", "--device", image.string(), update.string()};
    }
};

// check in the scene, its scratch folder in the scene's temporary folder.
CliResult RunCheck(const Scene& s) {
    const char* previous = std::getenv("TMPDIR");
    const std::string kept = previous ? previous : "";
    setenv("TMPDIR", s.temp.c_str(), 1);
    testing_support::CliOptions options;
    options.timeoutSeconds = kWatchdogSeconds;
    CliResult r = testing_support::RunCli(s.Check(), options);
    if (previous) setenv("TMPDIR", kept.c_str(), 1);
    else unsetenv("TMPDIR");
    return r;
}

// What check says the update changes: its first section.
std::string Changes(const std::string& out) { return out.substr(0, out.find("\n== registry scripts")); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void ExpectNothingLeft(const Scene& s) {
    EXPECT_TRUE(fs::is_empty(s.temp)) << "check left " << fs::directory_iterator(s.temp)->path();
}

// ---- Images check once saw otherwise than run --------------------------------------------

TEST(CheckHostileTest, TheImageIsReadAsRunReadsItAndNeverWritten) {
    // What check must make of the image: the update's changes, or a refusal naming the
    // file in the user's image (never the scratch copy).
    struct Case {
        const char* name;
        std::function<void(const Scene&)> prepare;
        int exitCode;
        std::vector<std::string> inOut;      // each in the report
        std::function<std::string(const Scene&)> inErr;  // the file named, when refused
    };
    auto corrupt = [](const fs::path& file) {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        for (int i = 0; i < 4000; ++i) f.put(static_cast<char>(i * 7));
    };
    const std::vector<std::string> changes = {"value added: HKEY_CURRENT_USER\\Marker \"Run\"",
                                              "record changed: \\storage\\mxip_lang.vol \\FileNameLang"};
    const std::vector<Case> cases = {
        {"nothing odd", [](const Scene&) {}, 0, changes, nullptr},
        {"an absolute link inside the image that stays inside",
         [](const Scene& s) {
             fs::rename(s.image / "storage", s.image / "storage2");
             fs::create_directory_symlink(fs::absolute(s.image / "storage2"), s.image / "storage");
         },
         0, changes, nullptr},
        {"a FIFO in the image",
         [](const Scene& s) {
             fs::create_directories(s.image / "Windows");
             ASSERT_EQ(mkfifo((s.image / "Windows" / "pipe").c_str(), 0600), 0);
         },
         0, changes, nullptr},
        {"a FIFO among the update's scripts (run lists only files)",
         [](const Scene& s) { ASSERT_EQ(mkfifo((s.update / "b.reg").c_str(), 0600), 0); }, 0, changes,
         nullptr},
        {"the mounted volume is a FIFO (run finds no volume there either)",
         [](const Scene& s) {
             fs::remove(s.Volume());
             ASSERT_EQ(mkfifo(s.Volume().c_str(), 0600), 0);
         },
         1, {"value added: HKEY_CURRENT_USER\\Marker \"Run\"", "FileNameLang.dat is not applied"}, nullptr},
        {"a corrupt registry", [&](const Scene& s) { corrupt(store::RegistryFile(s.image)); }, 2, {},
         [](const Scene& s) { return store::RegistryFile(s.image).string(); }},
        {"a corrupt mount table", [&](const Scene& s) { corrupt(store::MountsFile(s.image)); }, 2, {},
         [](const Scene& s) { return store::MountsFile(s.image).string(); }},
        {"a corrupt volume", [&](const Scene& s) { corrupt(s.Volume()); }, 2, {},
         [](const Scene& s) { return s.Volume().string(); }},
        {"the state folder is a link to a folder outside",
         [](const Scene& s) {
             fs::rename(s.image / ".ceimage", s.outside / "state");
             fs::create_directory_symlink(s.outside / "state", s.image / ".ceimage");
         },
         2, {}, [](const Scene& s) { return (s.image / ".ceimage").string(); }},
        {"the mounted volume is a link to a file outside",
         [](const Scene& s) {
             fs::rename(s.Volume(), s.outside / "volume.db");
             fs::create_symlink(s.outside / "volume.db", s.Volume());
         },
         2, {}, [](const Scene& s) { return s.Volume().string() + "\" is a symbolic link"; }},
        {"the mounted volume is a folder",
         [](const Scene& s) {
             fs::remove(s.Volume());
             fs::create_directory(s.Volume());
         },
         2, {}, [](const Scene& s) { return s.Volume().string() + "\" is a folder"; }},
        {"the mounted volume is an empty file", [](const Scene& s) { fs::resize_file(s.Volume(), 0); }, 2, {},
         [](const Scene& s) { return s.Volume().string() + "\" is an empty file"; }},
        {"the registry is an empty file",
         [](const Scene& s) { fs::resize_file(store::RegistryFile(s.image), 0); }, 2, {},
         [](const Scene& s) { return store::RegistryFile(s.image).string() + "\" is an empty file"; }},
        {"the registry has a second hard link outside",
         [](const Scene& s) { fs::create_hard_link(store::RegistryFile(s.image), s.outside / "registry.db"); },
         2, {}, [](const Scene& s) { return store::RegistryFile(s.image).string(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene s;
        c.prepare(s);
        const auto imageBefore = FolderFingerprint(s.image);
        const auto outsideBefore = FolderFingerprint(s.outside);
        const CliResult r = RunCheck(s);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        for (const std::string& part : c.inOut) EXPECT_TRUE(Contains(r.out, part)) << r.out;
        if (c.inErr) {
            EXPECT_EQ(r.err.rfind("ceupdate: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_TRUE(Contains(r.err, c.inErr(s))) << r.err;
            EXPECT_FALSE(Contains(r.err, s.temp.string())) << r.err;
        }
        EXPECT_EQ(FolderFingerprint(s.image), imageBefore);
        EXPECT_EQ(FolderFingerprint(s.outside), outsideBefore);
        ExpectNothingLeft(s);
    }
}

// ---- A run writing at the same time -------------------------------------------------------

TEST(CheckHostileTest, AWriterAtTheSameTimeShowsNothingButTheUpdate) {
    Scene s;
    constexpr int kValues = 1500;
    for (int generation : {1, 2}) {
        nlohmann::json values = nlohmann::json::object();
        for (int i = 0; i < kValues; ++i) values["v" + std::to_string(i)] = {{"type", "REG_DWORD"}, {"data", generation}};
        testing_support::WriteTextFile(s.outside / ("load" + std::to_string(generation) + ".json"),
                                       nlohmann::json{{"HKEY_CURRENT_USER\\Gen", values}}.dump());
    }
    std::atomic<bool> loading = true;
    std::thread loader([&] {
        for (int round = 0; round < 16; ++round) {
            const auto file = s.outside / ("load" + std::to_string(1 + round % 2) + ".json");
            EXPECT_EQ(testing_support::RunCliWithin(
                          {"reg", "load", "--device", s.image.string(), file.string()}, kWatchdogSeconds),
                      0);
        }
        loading = false;
    });
    int checks = 0;
    while (loading || checks == 0) {
        const CliResult r = RunCheck(s);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string changes = Changes(r.out);
        EXPECT_FALSE(Contains(changes, "Gen")) << changes;
        EXPECT_TRUE(Contains(changes, "6 differences")) << changes;
        ++checks;
    }
    loader.join();
    ExpectNothingLeft(s);
}

// ---- Signals ------------------------------------------------------------------------------

// Another process's exclusive hold on a store: a reader waits for it a few seconds.
// The hold is a lock on the bytes SQLite locks a database file by (its pending,
// reserved and shared bytes), not a connection: a connection of the test's own would
// leave its -wal for check's reader to find as it closes, and a reader never removes
// another's -wal.
class HeldExclusively {
public:
    explicit HeldExclusively(const fs::path& file) : fd_(open(file.c_str(), O_RDWR)) {
        EXPECT_GE(fd_, 0);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = kPendingByte;
        lock.l_len = 2 + kSharedSize;
        EXPECT_EQ(fcntl(fd_, F_SETLK, &lock), 0);
    }
    ~HeldExclusively() {
        if (fd_ >= 0) close(fd_);
    }

private:
    static constexpr off_t kPendingByte = 0x40000000;
    static constexpr off_t kSharedSize = 510;
    int fd_;
};

TEST(CheckHostileTest, ASignalWhileCheckWorksLeavesNoScratchState) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        Scene s;
        const auto imageBefore = FolderFingerprint(s.image);
        pid_t pid = 0;
        {
            // check copies the registry and the mount table, then waits for the volume:
            // the signal comes while it holds the image's stores open, and is obeyed
            // once it has let them go.
            HeldExclusively held(s.Volume());
            pid = testing_support::StartCli(s.Check(), {{"TMPDIR", s.temp.string()}});
            bool copying = false;
            for (int i = 0; i < 4000 && !copying; ++i) {
                std::error_code ec;
                for (auto it = fs::recursive_directory_iterator(s.temp, ec);
                     !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                    if (it->path().filename() == "mounts.db") copying = true;
                }
                if (!copying) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_TRUE(copying);
            kill(pid, signal);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        ExpectNothingLeft(s);
        EXPECT_EQ(FolderFingerprint(s.image), imageBefore);
    }
}

}  // namespace
