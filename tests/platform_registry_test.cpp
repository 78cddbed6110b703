// The registry calls over the image's registry store: creating and opening keys,
// values, case folding, the platform's limits, batching and the trace.
#include <sqlite3.h>

#include "platform_image.h"
#include "testing/fault_injector.h"

namespace {

namespace fs = std::filesystem;

class DeviceRegistry : public platform_test::ScratchImage {
protected:
    HKEY Create(HKEY parent, const char16_t* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, 0, 0, nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }
    void SetDword(HKEY key, const char16_t* name, DWORD value) {
        EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                  ERROR_SUCCESS);
    }
    // The store as another process sees it.
    std::optional<store::RegistryValue> Stored(const std::u16string& key, const std::u16string& name) {
        store::RegistryStore reg(store::RegistryFile(image_), store::Mode::ReadOnly);
        auto id = reg.FindPath(key);
        if (!id) return std::nullopt;
        return reg.GetValue(*id, name);
    }
};

TEST_F(DeviceRegistry, CreateMakesThePathAndFoldsCase) {
    DWORD disposition = 0;
    HKEY a = Create(HKEY_CURRENT_USER, u"Software\\Ключ\\Straße", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY b = Create(HKEY_CURRENT_USER, u"SOFTWARE\\КЛЮЧ\\STRASSE", &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    SetDword(a, u"Value", 1);
    SetDword(b, u"VALUE", 2);  // the same value, replaced
    DWORD type = 0, data = 0, size = sizeof data;
    EXPECT_EQ(RegQueryValueExW(a, u"value", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(data, 2u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    store::RegistryStore reg(store::RegistryFile(image_), store::Mode::ReadOnly);
    auto key = reg.FindPath(u"HKEY_CURRENT_USER\\software\\ключ\\strasse");
    ASSERT_TRUE(key);
    EXPECT_EQ(reg.KeyPath(*key), u"HKEY_CURRENT_USER\\Software\\Ключ\\Straße");
    EXPECT_EQ(reg.Values(*key).at(0).name, u"VALUE");
}

TEST_F(DeviceRegistry, PathFormsTable) {
    struct Case {
        const char16_t* path;  // nullptr: NULL
        bool create;
        LONG result;
    };
    Create(HKEY_LOCAL_MACHINE, u"Existing");
    const Case cases[] = {
        {nullptr, true, ERROR_SUCCESS},       // the key itself
        {nullptr, false, ERROR_SUCCESS},
        {u"", true, ERROR_INVALID_PARAMETER}, // as on the platform
        {u"", false, ERROR_SUCCESS},
        {u"\\Lead", true, ERROR_SUCCESS},
        {u"Trail\\", true, ERROR_SUCCESS},
        {u"\\\\\\\\", true, ERROR_INVALID_PARAMETER},
        {u"a\\\\b", true, ERROR_INVALID_PARAMETER},
        {u"\\", true, ERROR_INVALID_PARAMETER},
        {u"existing", false, ERROR_SUCCESS},
        {u"Exist", false, ERROR_FILE_NOT_FOUND},  // a prefix is not the key
        {u"Missing\\Deeper", false, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        HKEY key = nullptr;
        const LONG result =
            c.create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, nullptr, 0, 0, nullptr, &key, nullptr)
                     : RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, 0, &key);
        const std::u16string label = c.path ? c.path : u"(null)";
        EXPECT_EQ(result, c.result) << std::string(label.begin(), label.end()) << " " << c.create;
        if (result == ERROR_SUCCESS) {
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        }
    }
    store::RegistryStore reg(store::RegistryFile(image_), store::Mode::ReadOnly);
    EXPECT_TRUE(reg.FindPath(u"HKEY_LOCAL_MACHINE\\Lead"));
    EXPECT_TRUE(reg.FindPath(u"HKEY_LOCAL_MACHINE\\Trail"));
    EXPECT_FALSE(reg.FindPath(u"HKEY_LOCAL_MACHINE\\a"));
    EXPECT_FALSE(reg.FindPath(u"HKEY_LOCAL_MACHINE\\Missing"));
}

TEST_F(DeviceRegistry, LimitsRefuseAndCreateNothing) {
    const std::u16string name255(255, u'n'), name256(256, u'n');
    auto levels = [](int n) {
        std::u16string path;
        for (int i = 0; i < n; ++i) path += (i ? u"\\L" : u"L") + std::u16string(1, u'a' + i);
        return path;
    };
    struct Case {
        std::u16string path;
        LONG result;
    };
    const Case cases[] = {
        {name255, ERROR_SUCCESS},
        {u"Ok\\" + name256, ERROR_INVALID_PARAMETER},
        {levels(16), ERROR_SUCCESS},
        {u"Deep\\" + levels(16), ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, c.path.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                                  nullptr),
                  c.result)
            << c.path.size();
        if (key) RegCloseKey(key);
    }
    store::RegistryStore reg(store::RegistryFile(image_), store::Mode::ReadOnly);
    EXPECT_FALSE(reg.FindPath(u"HKEY_CURRENT_USER\\Ok"));
    EXPECT_FALSE(reg.FindPath(u"HKEY_CURRENT_USER\\Deep"));

    HKEY key = Create(HKEY_CURRENT_USER, u"Values");
    std::vector<BYTE> data4096(4096, 0xAB), data4097(4097, 0xAB);
    EXPECT_EQ(RegSetValueExW(key, name255.c_str(), 0, REG_BINARY, data4096.data(), 4096), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name256.c_str(), 0, REG_BINARY, data4096.data(), 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"big", 0, REG_BINARY, data4097.data(), 4097), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"null", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(Stored(u"HKEY_CURRENT_USER\\Values", name255)->data.size(), 4096u);
    EXPECT_FALSE(Stored(u"HKEY_CURRENT_USER\\Values", u"big"));
}

TEST_F(DeviceRegistry, ValuesKeepExactBytesAndNullNameIsTheDefault) {
    HKEY key = Create(HKEY_CURRENT_USER, u"Demo");
    const BYTE text[] = {'h', 0, 'i', 0};  // no terminator: stored as given
    EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, text, sizeof text), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    BYTE buf[2];
    DWORD size = sizeof buf, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"", nullptr, &type, buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegQueryValueExW(key, u"missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(Stored(u"HKEY_CURRENT_USER\\Demo", u"")->data, std::vector<uint8_t>(text, text + 4));
    EXPECT_TRUE(Stored(u"HKEY_CURRENT_USER\\Demo", u"empty")->data.empty());
}

TEST_F(DeviceRegistry, BadAndClosedKeysFail) {
    HKEY key = Create(HKEY_CURRENT_USER, u"K");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    for (HKEY bad : {key, static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(0x80000004u),
                     reinterpret_cast<HKEY>(0x5555)}) {
        HKEY out = nullptr;
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueExW(bad, u"v", 0, REG_DWORD, nullptr, 0), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExW(bad, nullptr, 0, 0, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCreateKeyExW(bad, u"x", 0, nullptr, 0, 0, nullptr, &out, nullptr),
                  ERROR_INVALID_HANDLE);
    }
    HANDLE asFile = reinterpret_cast<HANDLE>(Create(HKEY_CURRENT_USER, u"K"));
    EXPECT_FALSE(CloseHandle(asFile));  // a key is closed with RegCloseKey
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(asFile)), ERROR_SUCCESS);
}

TEST_F(DeviceRegistry, WritesCommitAtCloseInWriteOrder) {
    HKEY a = Create(HKEY_CURRENT_USER, u"A");
    SetDword(a, u"one", 1);
    SetDword(a, u"two", 2);
    // Still one open batch: another reader does not see it yet.
    EXPECT_FALSE(Stored(u"HKEY_CURRENT_USER\\A", u"one"));
    HKEY b = Create(HKEY_CURRENT_USER, u"B");  // a write through another handle commits A's
    EXPECT_TRUE(Stored(u"HKEY_CURRENT_USER\\A", u"two"));
    SetDword(b, u"three", 3);
    EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    EXPECT_TRUE(Stored(u"HKEY_CURRENT_USER\\B", u"three"));
    SetDword(HKEY_CURRENT_USER, u"root", 4);  // through a root: at once
    EXPECT_TRUE(Stored(u"HKEY_CURRENT_USER", u"root"));
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);

    const std::vector<std::string> expected = {
        "reg\tkey\tHKEY_CURRENT_USER\\\\A",
        "reg\tvalue\tHKEY_CURRENT_USER\\\\A\tone\t4\t01000000",
        "reg\tvalue\tHKEY_CURRENT_USER\\\\A\ttwo\t4\t02000000",
        "reg\tkey\tHKEY_CURRENT_USER\\\\B",
        "reg\tvalue\tHKEY_CURRENT_USER\\\\B\tthree\t4\t03000000",
        "reg\tvalue\tHKEY_CURRENT_USER\troot\t4\t04000000",
    };
    EXPECT_EQ(trace_, expected);
}

TEST_F(DeviceRegistry, UnbindCommitsOpenHandlesAndStoreStaysSound) {
    HKEY a = Create(HKEY_CURRENT_USER, u"Pending");
    SetDword(a, u"v", 7);
    host::UnbindDevice();
    EXPECT_EQ(Stored(u"HKEY_CURRENT_USER\\Pending", u"v")->data, (std::vector<uint8_t>{7, 0, 0, 0}));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store::RegistryFile(image_).c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    Bind();
}

TEST_F(DeviceRegistry, InjectedFailureWritesNothing) {
    testing_support::FaultInjector faults(host::CurrentBackend());
    faults.FailOn("RegSetValueExW", 2, ERROR_DISK_FULL);
    faults.FailAlways("RegCreateKeyExW", ERROR_ACCESS_DENIED);
    host::ScopedBackend use(faults);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"X", 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"init", 0, 0, &key), ERROR_SUCCESS);
    SetDword(key, u"first", 1);
    DWORD v = 2;
    EXPECT_EQ(RegSetValueExW(key, u"second", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_DISK_FULL);
    SetDword(key, u"third", 3);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(Stored(u"HKEY_LOCAL_MACHINE\\init", u"first"));
    EXPECT_FALSE(Stored(u"HKEY_LOCAL_MACHINE\\init", u"second"));
    EXPECT_TRUE(Stored(u"HKEY_LOCAL_MACHINE\\init", u"third"));
    EXPECT_FALSE(Stored(u"HKEY_CURRENT_USER\\X", u""));
    EXPECT_EQ(faults.Calls("RegSetValueExW"), 3);
}

}  // namespace
