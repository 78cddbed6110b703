// Durability: a process killed in the middle of registry and database writes leaves
// every store sound, with every write it had reported as committed (the trace) in
// place.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "platform_image.h"

namespace {

namespace fs = std::filesystem;

constexpr CEPROPID kProp = PROPID_FROM_ID_TYPE(5, CEVT_UI4);

std::string IntegrityOf(const fs::path& file) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
    return fields;
}

// Writes until killed: keys with three values each, closed every round, and one
// database record per round. Never returns.
[[noreturn]] void WriteForever(const host::DeviceOptions& base, int traceFd) {
    host::DeviceOptions options = base;
    options.screen = nullptr;
    options.trace = [traceFd](const std::string& line) {
        const std::string out = line + "\n";
        (void)!::write(traceFd, out.data(), out.size());
    };
    host::BindDevice(options);
    CEGUID guid;
    CREATE_INVALIDGUID(&guid);
    CEOID oid = 0;
    HANDLE db = CeOpenDatabaseEx(&guid, &oid, const_cast<LPWSTR>(u"\\FileNameLang"), 0, 0, nullptr);
    for (DWORD round = 0;; ++round) {
        HKEY key = nullptr;
        const std::u16string path = u"Kill\\K" + std::u16string(1, u'a' + round % 20);
        RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr);
        for (DWORD v = 0; v < 3; ++v) {
            const DWORD data = round * 3 + v;
            std::u16string name = u"v";
            for (DWORD n = data; n; n /= 10) name.insert(1, 1, static_cast<char16_t>(u'0' + n % 10));
            RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4);
        }
        RegCloseKey(key);
        CEPROPVAL value{};
        value.propid = kProp;
        value.val.ulVal = round;
        CeWriteRecordProps(db, 0, 1, &value);
    }
}

class DeviceDurability : public platform_test::ScratchImage {};

TEST_F(DeviceDurability, KilledWriterLeavesSoundStoresWithEveryCommittedWrite) {
    host::UnbindDevice();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        WriteForever(options_, pipeFds[1]);
    }
    close(pipeFds[1]);

    // Let the child get well into its work, then kill it mid-stream.
    std::string received;
    char chunk[4096];
    size_t lines = 0;
    while (lines < 400) {
        const ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
        if (got <= 0) break;
        received.append(chunk, static_cast<size_t>(got));
        lines = static_cast<size_t>(std::count(received.begin(), received.end(), '\n'));
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    for (ssize_t got; (got = read(pipeFds[0], chunk, sizeof chunk)) > 0;)
        received.append(chunk, static_cast<size_t>(got));
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_GE(lines, 400u);

    const fs::path volumeFile = image_ / "storage" / "mxip_lang.vol";
    for (const fs::path& file : {store::RegistryFile(image_), store::MountsFile(image_), volumeFile})
        EXPECT_EQ(IntegrityOf(file), "ok") << file;

    // Every traced write is there (the trace holds committed writes only).
    store::RegistryStore reg(store::RegistryFile(image_), store::Mode::ReadWrite);
    store::VolumeStore vol(volumeFile, store::Mode::ReadWrite);
    const auto records = vol.Records(vol.FindDatabase(u"\\FileNameLang")->oid);
    std::map<uint32_t, std::string> stored;
    for (const auto& r : records)
        for (const auto& p : r.props)
            if (p.propid == kProp) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", p.bytes[0], p.bytes[1],
                              p.bytes[2], p.bytes[3]);
                stored[r.oid] = hex;
            }
    std::stringstream in(received);
    size_t checked = 0;
    for (std::string line; std::getline(in, line);) {
        const auto f = Fields(line);
        ASSERT_GE(f.size(), 3u) << line;
        if (f[0] == "reg" && f[1] == "key") {
            std::string path;
            for (size_t i = 0; i < f[2].size(); ++i) path += f[2][i] == '\\' ? f[2][++i] : f[2][i];
            EXPECT_TRUE(reg.FindPath(text::FromUtf8(path))) << line;
        } else if (f[0] == "reg" && f[1] == "value") {
            std::string path;
            for (size_t i = 0; i < f[2].size(); ++i) path += f[2][i] == '\\' ? f[2][++i] : f[2][i];
            const auto key = reg.FindPath(text::FromUtf8(path));
            ASSERT_TRUE(key) << line;
            const auto value = reg.GetValue(*key, text::FromUtf8(f[3]));
            ASSERT_TRUE(value) << line;
            std::string hex;
            for (uint8_t b : value->data) {
                char two[3];
                std::snprintf(two, sizeof two, "%02x", b);
                hex += two;
            }
            EXPECT_EQ(hex, f[5]) << line;
            ++checked;
        } else if (f[0] == "db") {
            ASSERT_EQ(f.size(), 6u) << line;
            EXPECT_EQ(stored[static_cast<uint32_t>(std::stoul(f[3]))], f[5]) << line;
            ++checked;
        }
    }
    EXPECT_GE(checked, 300u);
    Bind();
}

}  // namespace
