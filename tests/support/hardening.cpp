// Children that can be killed or timed out, and store checks, for the hardening suites.
#include "tests/support/hardening.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <sqlite3.h>

#include "store/store.h"
#include "testing/inputs.h"

namespace testing_support {

namespace fs = std::filesystem;

pid_t StartCli(const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::string> copies = args;
    std::string program = CEUPDATE_BIN;
    std::vector<char*> argv = {program.data()};
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int WaitCli(pid_t pid, double seconds) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (true) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (r < 0 && errno != EINTR) return -1;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double elapsed = double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
        if (elapsed > seconds) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(2000);
    }
}

int RunCliWithin(const std::vector<std::string>& args, double seconds,
                 const std::vector<std::pair<std::string, std::string>>& env) {
    return WaitCli(StartCli(args, env), seconds);
}

std::vector<fs::path> StoreFiles(const fs::path& image) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(image, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        std::ifstream in(it->path(), std::ios::binary);
        char header[16] = {};
        in.read(header, sizeof header);
        if (in.gcount() == 16 && std::string(header, 16) == std::string("SQLite format 3\0", 16))
            files.push_back(it->path());
    }
    return files;
}

std::string IntegrityCheck(const fs::path& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        std::string why = db ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close(db);
        return why;
    }
    sqlite3_busy_timeout(db, 10000);
    std::string result;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) != SQLITE_OK) {
        result = sqlite3_errmsg(db);
    } else {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            if (!result.empty()) result += "; ";
            result += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        if (result.empty()) result = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return result;
}

void CopyFolder(const fs::path& from, const fs::path& to) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

void MakeSeededImageAndUpdate(const fs::path& image, const fs::path& update) {
    store::InitImage(image);
    {
        store::VolumeStore volume(image / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
        const auto db = volume.FindDatabase(u"\\FileNameLang");
        volume.AddRecord(db->oid, std::vector<store::Property>{NumberProperty(2, 42), TextProperty(3, u"seed")});
    }
    fs::create_directories(update);
    auto write = [](const fs::path& file, const std::vector<uint8_t>& bytes) {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + file.string());
    };
    write(update / "a.reg", Script(u"REGEDIT4\n\n[HKEY_CURRENT_USER\\Marker]\n\"Run\"=\"yes\"\n\n"));
    write(update / "FileNameLang.dat", PatchFile().Number(2, 42).Text(3, u"patched").bytes());
}

}  // namespace testing_support
