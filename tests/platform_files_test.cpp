// Files on the device: the module path, search order and matching, the image
// boundary, and reading.
#include <sys/stat.h>

#include "platform_image.h"
#include "testing/fault_injector.h"

namespace {

namespace fs = std::filesystem;

class DeviceFiles : public platform_test::ScratchImage {
protected:
    // The names a search returns, in order; empty when it finds nothing.
    std::vector<std::u16string> Search(const std::u16string& pattern, DWORD* error = nullptr) {
        std::vector<std::u16string> names;
        WIN32_FIND_DATAW data;
        HANDLE h = FindFirstFileW(pattern.c_str(), &data);
        if (h == INVALID_HANDLE_VALUE) {
            if (error) *error = GetLastError();
            return names;
        }
        do names.push_back(data.cFileName);
        while (FindNextFileW(h, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        return names;
    }
    // The whole file read in chunks of the given size.
    std::string ReadAll(const std::u16string& name, DWORD chunk) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        std::string out;
        std::vector<char> buf(chunk);
        DWORD got = 0;
        while (ReadFile(h, buf.data(), chunk, &got, nullptr) && got > 0) {
            out.append(buf.data(), got);
            if (got < chunk) {
                // A short read only just before the end: the next one reads nothing.
                EXPECT_TRUE(ReadFile(h, buf.data(), chunk, &got, nullptr));
                EXPECT_EQ(got, 0u);
                break;
            }
        }
        EXPECT_TRUE(CloseHandle(h));
        return out;
    }
};

TEST_F(DeviceFiles, ModulePathIsCopiedAndCutToTheBuffer) {
    WCHAR buf[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(nullptr, buf, MAX_PATH), 24u);
    EXPECT_EQ(std::u16string(buf), u"\\Storage Card\\Update.exe");
    WCHAR small[6];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 5u);
    EXPECT_EQ(std::u16string(small), u"\\Stor");
    EXPECT_EQ(GetModuleFileNameW(nullptr, buf, 0), 0u);
}

TEST_F(DeviceFiles, SearchMatchesIgnoringCaseInNameOrderWithFolders) {
    for (const char* name : {"b.reg", "a.REG", "C.Reg", "a.regx", "areg", "x.reg.txt", "Ж.reg",
                             "ж2.reg"})
        WriteFile(root_ / "card" / name, "x");
    fs::create_directories(root_ / "card" / "folder.reg");
    EXPECT_EQ(Search(u"\\Storage Card\\*.reg"),
              (std::vector<std::u16string>{u"a.REG", u"b.reg", u"C.Reg", u"folder.reg", u"Ж.reg",
                                           u"ж2.reg"}));
    EXPECT_EQ(Search(u"\\STORAGE CARD\\?.REG"),
              (std::vector<std::u16string>{u"a.REG", u"b.reg", u"C.Reg", u"Ж.reg"}));
    EXPECT_EQ(Search(u"\\Storage Card\\a*").size(), 3u);
    EXPECT_EQ(Search(u"\\Storage Card\\*.*").size(), 9u);  // "areg" too, as on the platform
    EXPECT_EQ(Search(u"\\Storage Card\\*reg*x").size(), 1u);
}

TEST_F(DeviceFiles, SearchFailuresAndHiddenEntries) {
    DWORD error = 0;
    EXPECT_TRUE(Search(u"\\Storage Card\\*.reg", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(Search(u"\\missing\\*.reg", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(Search(u"\\storage\\..\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // The root lists the image's own folders, never its state folder, never "." or
    // "..", and no link that leads out of the image.
    fs::create_symlink("/etc/passwd", image_ / "passwd.lnk");
    mkfifo((image_ / "pipe").c_str(), 0600);
    EXPECT_EQ(Search(u"\\*"), std::vector<std::u16string>{u"storage"});

    WIN32_FIND_DATAW data;
    EXPECT_FALSE(FindNextFileW(reinterpret_cast<HANDLE>(0x4321), &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    HANDLE h = FindFirstFileW(u"\\storage\\*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"mxip_lang.vol");
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_GT(data.nFileSizeLow, 0u);
    EXPECT_FALSE(CloseHandle(h));  // a search ends with FindClose only
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));
}

TEST_F(DeviceFiles, OpenRefusesEverythingButRegularFilesInsideTheImage) {
    WriteFile(image_ / "Dir" / "File.txt", "hello");
    WriteFile(root_ / "outside.txt", "secret");
    fs::create_symlink(root_ / "outside.txt", image_ / "out.lnk");
    fs::create_symlink("/dev/zero", image_ / "zero.lnk");
    fs::create_symlink(image_ / "Dir" / "File.txt", image_ / "in.lnk");
    ASSERT_EQ(mkfifo((image_ / "pipe.reg").c_str(), 0600), 0);

    struct Case {
        std::u16string path;
        DWORD error;  // ERROR_SUCCESS: opens
    };
    const Case cases[] = {
        {u"\\dir\\file.txt", ERROR_SUCCESS},
        {u"\\DIR\\FILE.TXT", ERROR_SUCCESS},
        {u"\\in.lnk", ERROR_SUCCESS},
        {u"\\Storage Card\\..\\outside.txt", ERROR_ACCESS_DENIED},
        {u"\\..\\outside.txt", ERROR_ACCESS_DENIED},
        {u"\\dir/file.txt", ERROR_ACCESS_DENIED},
        {u"\\out.lnk", ERROR_ACCESS_DENIED},
        {u"\\zero.lnk", ERROR_ACCESS_DENIED},
        {u"\\pipe.reg", ERROR_ACCESS_DENIED},
        {u"\\dir", ERROR_ACCESS_DENIED},
        {u"\\.ceimage\\registry.db", ERROR_ACCESS_DENIED},
        {u"\\dir\\missing.txt", ERROR_FILE_NOT_FOUND},
        {u"\\missing\\file.txt", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        HANDLE h = CreateFileW(c.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const std::string label(c.path.begin(), c.path.end());
        if (c.error == ERROR_SUCCESS) {
            EXPECT_NE(h, INVALID_HANDLE_VALUE) << label;
            EXPECT_TRUE(CloseHandle(h)) << label;
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE) << label;
            EXPECT_EQ(GetLastError(), c.error) << label;
        }
    }
    // Nothing is opened for writing or created.
    EXPECT_EQ(CreateFileW(u"\\dir\\file.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(u"\\dir\\new.txt", GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(fs::exists(image_ / "Dir" / "new.txt"));
}

TEST_F(DeviceFiles, ReadsAreShortOnlyAtTheEnd) {
    std::string content;
    for (int i = 0; i < 200'000; ++i) content += static_cast<char>('a' + i % 26);
    WriteFile(root_ / "card" / "big.bin", content);
    WriteFile(root_ / "card" / "empty.bin", "");
    for (DWORD chunk : {2u, 3u, 4096u, 65536u, 100'000u, 300'000u})
        EXPECT_EQ(ReadAll(u"\\Storage Card\\big.bin", chunk), content) << chunk;
    EXPECT_EQ(ReadAll(u"\\Storage Card\\empty.bin", 2), "");
}

TEST_F(DeviceFiles, BadOrClosedHandlesFailWithoutHarm) {
    WriteFile(root_ / "card" / "a.txt", "abc");
    HANDLE h = CreateFileW(u"\\Storage Card\\a.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8];
    DWORD got = 99;
    EXPECT_FALSE(ReadFile(h, nullptr, 4, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(CloseHandle(h));
    for (HANDLE bad : {h, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr),
                       reinterpret_cast<HANDLE>(0x1234567)}) {
        got = 99;
        EXPECT_FALSE(ReadFile(bad, buf, 4, &got, nullptr));
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(CloseHandle(bad));
    }
}

TEST_F(DeviceFiles, FaultsReachTheCallerAndReadsCanBeCut) {
    WriteFile(root_ / "card" / "a.reg", "abcdefgh");
    testing_support::FaultInjector faults(host::CurrentBackend());
    faults.LimitReads(3);
    faults.FailOn("CreateFileW", 2, ERROR_ACCESS_DENIED);
    host::ScopedBackend use(faults);

    HANDLE h = CreateFileW(u"\\Storage Card\\a.reg", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(h, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 3u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(CreateFileW(u"\\Storage Card\\a.reg", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(faults.Calls("CreateFileW"), 2);
}

TEST_F(DeviceFiles, WithoutADeviceEveryFileCallFails) {
    host::UnbindDevice();
    WIN32_FIND_DATAW data;
    EXPECT_EQ(FindFirstFileW(u"\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(u"\\storage\\mxip_lang.vol", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    host::DeviceOptions notAnImage;
    notAnImage.image = root_ / "card";
    EXPECT_THROW(host::BindDevice(notAnImage), store::Error);
    Bind();
}

}  // namespace
