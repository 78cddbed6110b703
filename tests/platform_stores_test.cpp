// The store layer: images, platform paths, the registry, volumes and the mount table,
// on real SQLite files in scratch folders.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <random>

#include "platform/wince.h"
#include "store/bytes.h"
#include "store/scratch_folder.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;
using store::PathStatus;

using store::ScratchFolder;

void WriteFile(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> list) { return list; }

std::vector<uint8_t> TextProperty(std::u16string_view text) { return store::Utf16LeBytes(text); }

// ---- The image ----

TEST(ImageStore, InitCreatesRegistryVolumeAndMount) {
    ScratchFolder scratch;
    const fs::path image = scratch.path() / "img";
    store::InitImage(image);
    EXPECT_TRUE(store::IsImage(image));

    store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadOnly);
    EXPECT_TRUE(registry.FindPath(u"HKEY_LOCAL_MACHINE\\init"));
    EXPECT_TRUE(registry.FindPath(u"hkey_local_machine\\INIT"));

    store::MountTable mounts(store::MountsFile(image), store::Mode::ReadOnly);
    ASSERT_EQ(mounts.List().size(), 1u);
    EXPECT_EQ(mounts.List()[0].volumePath, store::kLanguageVolume);
    EXPECT_NE(mounts.List()[0].id, 0u);

    store::VolumeStore volume(image / "storage" / "mxip_lang.vol", store::Mode::ReadOnly);
    std::vector<std::u16string> names;
    for (const auto& db : volume.Databases()) {
        names.push_back(db.name);
        EXPECT_EQ(db.records, 0u);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"\\FileNameLang", u"\\MetaBaseOptions",
                                                  u"\\MetaBaseLabels"}));
}

TEST(ImageStore, InitRefusesNonEmptyFolderAndFindsImageUpwards) {
    ScratchFolder scratch;
    WriteFile(scratch.path() / "busy" / "x", "x");
    EXPECT_THROW(store::InitImage(scratch.path() / "busy"), store::Error);
    EXPECT_FALSE(store::IsImage(scratch.path() / "busy"));

    store::InitImage(scratch.path() / "img");
    fs::create_directories(scratch.path() / "img" / "a" / "b");
    const auto found = store::FindImage(scratch.path() / "img" / "a" / "b");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, fs::canonical(scratch.path() / "img"));
    EXPECT_FALSE(store::FindImage(scratch.path() / "busy"));
}

// ---- Platform paths ----

class PathMapping : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = scratch_.path() / "img";
        store::InitImage(image_);
        WriteFile(image_ / "Windows" / "Notes.TXT", "n");
        WriteFile(scratch_.path() / "outside.txt", "secret");
        WriteFile(scratch_.path() / "card" / "Update.exe", "u");
        fs::create_symlink(scratch_.path() / "outside.txt", image_ / "out.lnk");
        fs::create_symlink("/dev/zero", image_ / "zero.lnk");
        fs::create_symlink(image_ / "Windows" / "Notes.TXT", image_ / "in.lnk");
        fs::create_symlink(image_ / ".ceimage", image_ / "state.lnk");
    }
    store::PathMap Map() const {
        return store::PathMap(image_, {{u"\\Storage Card", scratch_.path() / "card"}});
    }
    ScratchFolder scratch_;
    fs::path image_;
};

TEST_F(PathMapping, ResolveStatusTable) {
    struct Case {
        std::u16string path;
        PathStatus status;
    };
    const Case cases[] = {
        {u"\\windows\\notes.txt", PathStatus::Ok},
        {u"\\WINDOWS\\NOTES.TXT", PathStatus::Ok},
        {u"\\Windows\\\\Notes.txt", PathStatus::Ok},
        {u"\\storage\\MXIP_LANG.VOL", PathStatus::Ok},
        {u"\\windows\\missing.txt", PathStatus::NotFound},
        {u"\\nowhere\\notes.txt", PathStatus::PathNotFound},
        {u"\\windows\\notes.txt\\deeper", PathStatus::PathNotFound},
        {u"windows\\notes.txt", PathStatus::PathNotFound},
        {u"\\windows\\..\\windows\\notes.txt", PathStatus::Denied},
        {u"\\..\\outside.txt", PathStatus::Denied},
        {u"\\.\\windows", PathStatus::Denied},
        {u"\\windows/notes.txt", PathStatus::Denied},
        {std::u16string(u"\\windows\\notes.txt\0x", 20), PathStatus::Denied},
        {u"\\out.lnk", PathStatus::Denied},
        {u"\\zero.lnk", PathStatus::Denied},
        {u"\\.ceimage\\registry.db", PathStatus::Denied},
        {u"\\state.lnk\\registry.db", PathStatus::Denied},
        {u"\\in.lnk", PathStatus::Ok},
        {u"\\storage card\\update.exe", PathStatus::Ok},
        {u"\\Storage Card\\missing", PathStatus::NotFound},
    };
    const auto map = Map();
    for (const Case& c : cases) {
        fs::path host;
        EXPECT_EQ(map.Resolve(c.path, &host), c.status)
            << "path " << std::string(c.path.begin(), c.path.end());
    }
    fs::path host;
    ASSERT_EQ(map.Resolve(u"\\in.lnk", &host), PathStatus::Ok);
    EXPECT_EQ(host, fs::canonical(image_ / "Windows" / "Notes.TXT"));
}

TEST_F(PathMapping, ResolveParentAndPlatformPathOf) {
    const auto map = Map();
    fs::path folder;
    std::u16string last;
    ASSERT_EQ(map.ResolveParent(u"\\WINDOWS\\*.txt", &folder, &last), PathStatus::Ok);
    EXPECT_EQ(folder, fs::canonical(image_ / "Windows"));
    EXPECT_EQ(last, u"*.txt");
    EXPECT_EQ(map.ResolveParent(u"\\nowhere\\*.txt", &folder, &last), PathStatus::PathNotFound);
    EXPECT_EQ(map.ResolveParent(u"\\windows\\..", &folder, &last), PathStatus::Denied);

    EXPECT_EQ(map.PlatformPathOf(image_ / "Windows" / "Notes.TXT"), u"\\Windows\\Notes.TXT");
    EXPECT_EQ(map.PlatformPathOf(image_), u"\\");
    EXPECT_EQ(map.PlatformPathOf(scratch_.path() / "card" / "Update.exe"),
              u"\\Storage Card\\Update.exe");
    EXPECT_EQ(map.PlatformPathOf(scratch_.path() / "outside.txt"), std::nullopt);
}

// ---- The registry ----

class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override { store::RegistryStore::Create(file_); }
    ScratchFolder scratch_;
    fs::path file_ = scratch_.path() / "registry.db";
};

TEST_F(RegistryStoreTest, KeysFoldCaseAndKeepTheirSpelling) {
    store::RegistryStore reg(file_, store::Mode::ReadWrite);
    const auto key = reg.AddSubkey(store::RegistryStore::kCurrentUser, u"Ключ");
    EXPECT_EQ(reg.FindSubkey(store::RegistryStore::kCurrentUser, u"КЛЮЧ"), key);
    EXPECT_EQ(reg.FindSubkey(store::RegistryStore::kCurrentUser, u"ключ"), key);
    EXPECT_THROW(reg.AddSubkey(store::RegistryStore::kCurrentUser, u"кЛюЧ"), store::Error);
    const auto child = reg.AddSubkey(key, u"Straße");
    EXPECT_EQ(reg.FindPath(u"hkey_current_user\\КЛЮЧ\\STRASSE"), child);
    EXPECT_EQ(reg.KeyPath(child), u"HKEY_CURRENT_USER\\Ключ\\Straße");
    EXPECT_EQ(reg.Depth(child), 2);
    EXPECT_EQ(reg.Parent(child), key);
    EXPECT_EQ(reg.Parent(store::RegistryStore::kCurrentUser), std::nullopt);
}

TEST_F(RegistryStoreTest, ValuesReplaceByFoldedNameAndKeepBytes) {
    store::RegistryStore reg(file_, store::Mode::ReadWrite);
    const auto key = reg.AddSubkey(store::RegistryStore::kLocalMachine, u"init");
    reg.SetValue(key, u"lowercase", REG_SZ, Bytes({'a', 0, 0, 0}));
    reg.SetValue(key, u"LOWERCASE", REG_DWORD, Bytes({1, 2, 3, 4}));
    reg.SetValue(key, u"", REG_BINARY, {});
    const auto values = reg.Values(key);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, u"");
    EXPECT_TRUE(values[0].data.empty());
    EXPECT_EQ(values[1].name, u"LOWERCASE");
    EXPECT_EQ(values[1].type, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(values[1].data, Bytes({1, 2, 3, 4}));
    EXPECT_TRUE(reg.DeleteValue(key, u"LowerCase"));
    EXPECT_FALSE(reg.GetValue(key, u"lowercase"));
}

TEST_F(RegistryStoreTest, DeleteKeyTakesTheSubtreeAndSparesRoots) {
    store::RegistryStore reg(file_, store::Mode::ReadWrite);
    const auto a = reg.AddSubkey(store::RegistryStore::kCurrentUser, u"A");
    const auto b = reg.AddSubkey(a, u"B");
    reg.SetValue(b, u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
    reg.DeleteKey(a);
    EXPECT_FALSE(reg.FindPath(u"HKEY_CURRENT_USER\\A"));
    EXPECT_TRUE(reg.Subkeys(store::RegistryStore::kCurrentUser).empty());
    EXPECT_THROW(reg.DeleteKey(store::RegistryStore::kCurrentUser), store::Error);
}

TEST_F(RegistryStoreTest, TransactionsCommitOrRollBackAsAWhole) {
    {
        store::RegistryStore reg(file_, store::Mode::ReadWrite);
        reg.Begin();
        reg.AddSubkey(store::RegistryStore::kCurrentUser, u"Gone");
        reg.Rollback();
        reg.Begin();
        reg.AddSubkey(store::RegistryStore::kCurrentUser, u"Kept");
        // Left open: the store commits it when it closes.
    }
    store::RegistryStore reg(file_, store::Mode::ReadOnly);
    EXPECT_FALSE(reg.FindPath(u"HKEY_CURRENT_USER\\Gone"));
    EXPECT_TRUE(reg.FindPath(u"HKEY_CURRENT_USER\\Kept"));
}

TEST_F(RegistryStoreTest, AScopedTransactionKeepsAllOrNothing) {
    const std::vector<std::u16string> path = {u"A", u"Б", u"C"};
    store::RegistryStore reg(file_, store::Mode::ReadWrite);
    try {
        store::Transaction transaction(reg);
        reg.CreateKeys(store::RegistryStore::kCurrentUser, path);
        reg.AddSubkey(store::RegistryStore::kCurrentUser, u"A");  // exists: throws
        transaction.Commit();
    } catch (const store::Error&) {
    }
    EXPECT_FALSE(reg.FindKeys(store::RegistryStore::kCurrentUser, path));
    EXPECT_FALSE(reg.InTransaction());
    {
        store::Transaction transaction(reg);
        reg.CreateKeys(store::RegistryStore::kCurrentUser, path);
        transaction.Commit();
    }
    const std::vector<std::u16string> otherCase = {u"a", u"б", u"c"};
    const auto key = reg.FindKeys(store::RegistryStore::kCurrentUser, otherCase);
    ASSERT_TRUE(key);
    EXPECT_EQ(reg.KeyPath(*key), u"HKEY_CURRENT_USER\\A\\Б\\C");
    EXPECT_EQ(reg.CreateKeys(store::RegistryStore::kCurrentUser, path), *key);
}

// Within a transaction the store remembers the keys it has seen; a value must still
// never land on a key that is gone, whichever way it went.
TEST_F(RegistryStoreTest, AValueNeverLandsOnAKeyThatIsGone) {
    using Reg = store::RegistryStore;
    struct Case {
        const char* what;
        // Makes key "K" and leaves it gone; `other` is a second connection.
        std::function<Reg::KeyId(Reg& reg, Reg& other)> loseKey;
    };
    const Case cases[] = {
        {"made and rolled back",
         [](Reg& reg, Reg&) {
             reg.Begin();
             const auto key = reg.AddSubkey(Reg::kCurrentUser, u"K");
             reg.SetValue(key, u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
             reg.Rollback();
             reg.Begin();
             return key;
         }},
        {"deleted in the same transaction",
         [](Reg& reg, Reg&) {
             const auto key = reg.AddSubkey(Reg::kCurrentUser, u"K");
             reg.Begin();
             reg.SetValue(key, u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
             reg.DeleteKey(key);
             return key;
         }},
        {"deleted by another connection between transactions",
         [](Reg& reg, Reg& other) {
             const auto key = reg.AddSubkey(Reg::kCurrentUser, u"K");
             reg.Begin();
             reg.SetValue(key, u"v", REG_DWORD, Bytes({1, 0, 0, 0}));
             reg.Commit();
             other.DeleteKey(key);
             reg.Begin();
             return key;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(file_);
        Reg::Create(file_);
        Reg reg(file_, store::Mode::ReadWrite);
        Reg other(file_, store::Mode::ReadWrite);
        const auto key = c.loseKey(reg, other);
        EXPECT_THROW(reg.SetValue(key, u"w", REG_DWORD, Bytes({2, 0, 0, 0})), store::Error);
        EXPECT_FALSE(reg.GetValue(key, u"w"));
        reg.Rollback();
    }
}

TEST_F(RegistryStoreTest, ReadOnlyNeverWrites) {
    {
        store::RegistryStore reg(file_, store::Mode::ReadWrite);
        reg.AddSubkey(store::RegistryStore::kCurrentUser, u"K");
    }
    const auto before = fs::last_write_time(file_);
    // Without write permission on the folder or the file, reading still works.
    fs::permissions(file_, fs::perms::owner_read, fs::perm_options::replace);
    fs::permissions(scratch_.path(), fs::perms::owner_read | fs::perms::owner_exec,
                    fs::perm_options::replace);
    {
        store::RegistryStore reg(file_, store::Mode::ReadOnly);
        EXPECT_TRUE(reg.FindPath(u"HKEY_CURRENT_USER\\K"));
        EXPECT_THROW(reg.AddSubkey(store::RegistryStore::kCurrentUser, u"L"), store::Error);
        EXPECT_THROW(reg.Begin(), store::Error);
    }
    fs::permissions(scratch_.path(), fs::perms::owner_all, fs::perm_options::replace);
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(scratch_.path()))
        files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"registry.db"});
    EXPECT_EQ(fs::last_write_time(file_), before);
}

TEST(StoreFiles, WrongKindOrGarbageIsAClearError) {
    ScratchFolder scratch;
    const fs::path garbage = scratch.path() / "garbage.db";
    WriteFile(garbage, std::string(4096, 'x'));
    EXPECT_THROW(store::RegistryStore(garbage, store::Mode::ReadWrite), store::Error);
    EXPECT_THROW(store::VolumeStore(garbage, store::Mode::ReadOnly), store::Error);
    EXPECT_THROW(store::MountTable(scratch.path() / "missing.db", store::Mode::ReadOnly),
                 store::Error);
    const fs::path volume = scratch.path() / "v.vol";
    store::VolumeStore::Create(volume);
    EXPECT_THROW(store::VolumeStore::Create(volume), store::Error);
    EXPECT_THROW(store::RegistryStore(volume, store::Mode::ReadWrite), store::Error);
}

// ---- Volumes ----

class VolumeStoreTest : public ::testing::Test {
protected:
    void SetUp() override { store::VolumeStore::Create(file_); }
    ScratchFolder scratch_;
    fs::path file_ = scratch_.path() / "test.vol";
};

TEST_F(VolumeStoreTest, RecordsKeepOrderAndOidsAreUniqueAcrossDatabases) {
    store::VolumeStore vol(file_, store::Mode::ReadWrite);
    const auto a = vol.CreateDatabase(u"\\A");
    const auto b = vol.CreateDatabase(u"\\B", 7);
    EXPECT_THROW(vol.CreateDatabase(u"\\a"), store::Error);
    std::vector<uint32_t> oids = {a.oid, b.oid};
    std::vector<uint32_t> inA;
    for (int i = 0; i < 5; ++i) {
        const store::Property p{PROPID_FROM_ID_TYPE(1, CEVT_UI4), Bytes({uint8_t(i), 0, 0, 0})};
        const uint32_t oid = vol.AddRecord(i % 2 ? b.oid : a.oid, std::span(&p, 1));
        if (i % 2 == 0) inA.push_back(oid);
        oids.push_back(oid);
    }
    std::sort(oids.begin(), oids.end());
    EXPECT_EQ(std::adjacent_find(oids.begin(), oids.end()), oids.end());
    EXPECT_EQ(std::count(oids.begin(), oids.end(), 0u), 0);

    const auto records = vol.Records(a.oid);
    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].oid, inA[i]);
    EXPECT_EQ(vol.FindDatabase(u"\\b")->type, 7u);
    EXPECT_EQ(vol.FindDatabase(u"\\B")->records, 2u);
}

TEST_F(VolumeStoreTest, SetPropertiesReplacesSameTagAndAddsOthers) {
    store::VolumeStore vol(file_, store::Mode::ReadWrite);
    const auto db = vol.CreateDatabase(u"\\FileNameLang");
    const uint32_t key = PROPID_FROM_ID_TYPE(1, CEVT_LPWSTR);
    const uint32_t num = PROPID_FROM_ID_TYPE(2, CEVT_UI4);
    const uint32_t numAsI4 = PROPID_FROM_ID_TYPE(2, CEVT_I4);
    const store::Property first[] = {{key, TextProperty(u"Notes")}, {num, Bytes({1, 0, 0, 0})}};
    const uint32_t oid = vol.AddRecord(db.oid, first);
    const store::Property change[] = {{num, Bytes({9, 0, 0, 0})}, {numAsI4, Bytes({5, 0, 0, 0})}};
    vol.SetProperties(oid, change);
    const auto records = vol.Records(db.oid);
    ASSERT_EQ(records.size(), 1u);
    const auto& props = records[0].props;
    ASSERT_EQ(props.size(), 3u);
    EXPECT_EQ(props[0].bytes, TextProperty(u"Notes"));
    EXPECT_EQ(props[1].propid, num);
    EXPECT_EQ(props[1].bytes, Bytes({9, 0, 0, 0}));
    EXPECT_EQ(props[2].propid, numAsI4);
    EXPECT_THROW(vol.SetProperties(oid + 1000, change), store::Error);
}

TEST_F(VolumeStoreTest, AReaderReusingOneRecordGetsEachRecordWhole) {
    store::VolumeStore vol(file_, store::Mode::ReadWrite);
    const auto db = vol.CreateDatabase(u"\\D");
    const uint32_t a = PROPID_FROM_ID_TYPE(1, CEVT_UI4), b = PROPID_FROM_ID_TYPE(2, CEVT_UI4),
                   c = PROPID_FROM_ID_TYPE(3, CEVT_LPWSTR);
    const store::Property three[] = {{c, TextProperty(u"long text")}, {b, Bytes({2, 0, 0, 0})},
                                     {a, Bytes({1, 0, 0, 0})}};
    const store::Property one[] = {{b, Bytes({7, 0, 0, 0})}};
    const uint32_t first = vol.AddRecord(db.oid, three);
    const uint32_t second = vol.AddRecord(db.oid, one);
    const uint32_t third = vol.AddRecord(db.oid, {});
    store::VolumeStore::RecordReader reader(vol, db.oid);
    store::Record record;
    ASSERT_TRUE(reader.Next(record));
    EXPECT_EQ(record.oid, first);
    ASSERT_EQ(record.props.size(), 3u);
    EXPECT_EQ(record.props[0].propid, c);  // the order they were set in, not by tag
    EXPECT_EQ(record.props[2].propid, a);
    ASSERT_TRUE(reader.Next(record));
    EXPECT_EQ(record.oid, second);
    ASSERT_EQ(record.props.size(), 1u);
    EXPECT_EQ(record.props[0].propid, b);
    EXPECT_EQ(record.props[0].bytes, Bytes({7, 0, 0, 0}));
    ASSERT_TRUE(reader.Next(record));
    EXPECT_EQ(record.oid, third);
    EXPECT_TRUE(record.props.empty());
    EXPECT_FALSE(reader.Next(record));
}

TEST_F(VolumeStoreTest, NonCanonicalPropertiesAreRefused) {
    store::VolumeStore vol(file_, store::Mode::ReadWrite);
    const auto db = vol.CreateDatabase(u"\\D");
    const store::Property bad[] = {
        {PROPID_FROM_ID_TYPE(1, CEVT_UI4), Bytes({1, 2, 3})},
        {PROPID_FROM_ID_TYPE(1, CEVT_I2), Bytes({1, 2, 3, 4})},
        {PROPID_FROM_ID_TYPE(1, CEVT_LPWSTR), Bytes({'a'})},
        {PROPID_FROM_ID_TYPE(1, CEVT_LPWSTR), Bytes({'a', 0, 0, 0})},
        {PROPID_FROM_ID_TYPE(1, 99), Bytes({})},
        {PROPID_FROM_ID_TYPE(1, CEVT_BLOB), std::vector<uint8_t>(CEDB_MAXPROPDATASIZE + 1)},
    };
    for (const auto& p : bad)
        EXPECT_THROW(vol.AddRecord(db.oid, std::span(&p, 1)), store::Error) << p.propid;
    EXPECT_EQ(vol.Records(db.oid).size(), 0u);  // nothing half-added
    EXPECT_THROW(vol.CreateDatabase(u""), store::Error);
    EXPECT_THROW(vol.CreateDatabase(std::u16string(CEDB_MAXDBASENAMELEN, u'x')), store::Error);
}

TEST_F(VolumeStoreTest, DropAndDurabilityAcrossReopen) {
    uint32_t kept = 0;
    {
        store::VolumeStore vol(file_, store::Mode::ReadWrite);
        const auto gone = vol.CreateDatabase(u"\\Gone");
        const auto stay = vol.CreateDatabase(u"\\Stay");
        const store::Property p{PROPID_FROM_ID_TYPE(3, CEVT_BLOB), Bytes({0, 0xFF})};
        vol.AddRecord(gone.oid, std::span(&p, 1));
        kept = vol.AddRecord(stay.oid, std::span(&p, 1));
        vol.DropDatabase(gone.oid);
        EXPECT_THROW(vol.DropDatabase(gone.oid), store::Error);
    }
    store::VolumeStore vol(file_, store::Mode::ReadOnly);
    ASSERT_EQ(vol.Databases().size(), 1u);
    const auto records = vol.Records(vol.Databases()[0].oid);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].oid, kept);
    EXPECT_EQ(records[0].props[0].bytes, Bytes({0, 0xFF}));
    EXPECT_THROW(vol.CreateDatabase(u"\\New"), store::Error);
}

// ---- The mount table ----

TEST(MountTableTest, AddIsIdempotentIgnoringCaseAndIdsAreNeverReused) {
    ScratchFolder scratch;
    const fs::path file = scratch.path() / "mounts.db";
    store::MountTable::Create(file);
    store::MountTable mounts(file, store::Mode::ReadWrite);
    const auto a = mounts.Add(u"\\storage\\a.vol");
    EXPECT_EQ(mounts.Add(u"\\STORAGE\\A.VOL").id, a.id);
    const auto b = mounts.Add(u"\\b.vol");
    EXPECT_TRUE(mounts.Remove(u"\\Storage\\A.vol"));
    EXPECT_FALSE(mounts.Remove(u"\\storage\\a.vol"));
    const auto again = mounts.Add(u"\\storage\\a.vol");
    EXPECT_NE(again.id, a.id);
    EXPECT_NE(again.id, b.id);
    const auto list = mounts.List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].volumePath, u"\\b.vol");
    EXPECT_EQ(list[1].volumePath, u"\\storage\\a.vol");
    EXPECT_THROW(mounts.Add(u"relative.vol"), store::Error);
}

// A scratch folder asked to be in memory is, unless TMPDIR names another place; and
// what it holds may stay there only while it is small.
TEST(ScratchFolderTest, InMemoryUnlessTmpdirSaysOtherwise) {
    std::error_code ec;
    if (!fs::is_directory("/dev/shm", ec)) GTEST_SKIP() << "no /dev/shm here";
    const char* previous = std::getenv("TMPDIR");
    const std::string kept = previous ? previous : "";
    ScratchFolder elsewhere;
    struct Case {
        const char* tmpdir;  // nullptr: unset
        bool inMemory;
        bool expectMemory;
    };
    const std::string there = elsewhere.path().string();
    for (const Case c : {Case{nullptr, true, true}, Case{"", true, true}, Case{there.c_str(), true, false},
                         Case{nullptr, false, false}}) {
        SCOPED_TRACE(std::string("TMPDIR=") + (c.tmpdir ? c.tmpdir : "(unset)") + (c.inMemory ? ", in memory" : ""));
        if (c.tmpdir) setenv("TMPDIR", c.tmpdir, 1);
        else unsetenv("TMPDIR");
        ScratchFolder scratch(c.inMemory);
        EXPECT_EQ(scratch.inMemory(), c.expectMemory);
        EXPECT_EQ(scratch.path().string().rfind("/dev/shm/", 0) == 0, c.expectMemory);
        if (c.tmpdir && *c.tmpdir) {
            EXPECT_EQ(scratch.path().parent_path(), fs::path(c.tmpdir));
        }
        std::ofstream(scratch.path() / "small") << "a few bytes";
        EXPECT_EQ(scratch.RoomInMemory(), c.expectMemory);
        if (c.expectMemory) {
            // Sparse: counted at its length, costing no memory.
            std::ofstream(scratch.path() / "large").close();
            fs::resize_file(scratch.path() / "large", std::uintmax_t{300} << 20);
            EXPECT_FALSE(scratch.RoomInMemory());
        }
    }
    if (previous) setenv("TMPDIR", kept.c_str(), 1);
    else unsetenv("TMPDIR");
}

}  // namespace
