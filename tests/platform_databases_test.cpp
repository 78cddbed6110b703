// Property databases on the device: volume enumeration over the mount table,
// opening, seeking, reading (a missing property included) and writing records.
#include <cstring>
#include <thread>

#include "platform_image.h"
#include "store/bytes.h"
#include "testing/fault_injector.h"

namespace {

namespace fs = std::filesystem;

constexpr CEPROPID kKey = PROPID_FROM_ID_TYPE(1, CEVT_LPWSTR);
constexpr CEPROPID kCount = PROPID_FROM_ID_TYPE(2, CEVT_UI4);

std::vector<uint8_t> Utf16(std::u16string_view text) { return store::Utf16LeBytes(text); }

class DeviceDatabases : public platform_test::ScratchImage {
protected:
    void SetUp() override {
        ScratchImage::SetUp();
        host::UnbindDevice();
        {
            store::VolumeStore vol(image_ / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
            const auto db = vol.FindDatabase(u"\\FileNameLang");
            for (const char16_t* key : {u"Notes", u"Календарь", u"Tasks"}) {
                const store::Property p[] = {{kKey, Utf16(key)}, {kCount, {1, 0, 0, 0}}};
                oids_.push_back(vol.AddRecord(db->oid, p));
            }
            const store::Property keyOnly{kKey, Utf16(u"NoCount")};
            oids_.push_back(vol.AddRecord(db->oid, std::span(&keyOnly, 1)));
        }
        Bind();
    }
    HANDLE Open(const char16_t* name) {
        CEGUID guid;
        CREATE_INVALIDGUID(&guid);
        CEOID oid = 0;
        return CeOpenDatabaseEx(&guid, &oid, const_cast<LPWSTR>(name), 0, 0, nullptr);
    }
    std::vector<store::Record> Stored() {
        store::VolumeStore vol(image_ / "storage" / "mxip_lang.vol", store::Mode::ReadOnly);
        return vol.Records(vol.FindDatabase(u"\\FileNameLang")->oid);
    }
    std::vector<CEOID> oids_;
};

TEST_F(DeviceDatabases, EnumerationWalksTheMountTable) {
    host::UnbindDevice();
    {
        store::VolumeStore::Create(image_ / "other.vol");
        store::VolumeStore::Create(image_ / "gone.vol");
        store::MountTable mounts(store::MountsFile(image_), store::Mode::ReadWrite);
        mounts.Add(u"\\other.vol");
        mounts.Add(u"\\gone.vol");
        mounts.Remove(u"\\gone.vol");
    }
    Bind();
    CEGUID guid;
    CREATE_INVALIDGUID(&guid);
    WCHAR name[MAX_PATH];
    std::vector<std::u16string> seen;
    std::vector<CEGUID> guids;
    while (CeEnumDBVolumes(&guid, name, MAX_PATH)) {
        seen.push_back(name);
        guids.push_back(guid);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"\\storage\\mxip_lang.vol", u"\\other.vol"}));
    CEGUID zero, ones;
    CREATE_SYSTEMGUID(&zero);
    CREATE_INVALIDGUID(&ones);
    for (const CEGUID& g : guids) {
        EXPECT_NE(std::memcmp(&g, &zero, sizeof g), 0);
        EXPECT_NE(std::memcmp(&g, &ones, sizeof g), 0);
    }
    EXPECT_NE(std::memcmp(&guids[0], &guids[1], sizeof(CEGUID)), 0);

    // A name that does not fit: FALSE, and the same identifier can be tried again.
    CREATE_INVALIDGUID(&guid);
    WCHAR small[5];
    EXPECT_FALSE(CeEnumDBVolumes(&guid, small, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(CeEnumDBVolumes(&guid, name, MAX_PATH));

    // A volume's databases open through its identifier.
    CEOID oid = 0;
    HANDLE h = CeOpenDatabaseEx(&guids[0], &oid, const_cast<LPWSTR>(u"\\metabaselabels"), 0, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(oid, 0u);
    EXPECT_TRUE(CloseHandle(h));
    oid = 0;
    EXPECT_EQ(CeOpenDatabaseEx(&guids[1], &oid, const_cast<LPWSTR>(u"\\MetaBaseLabels"), 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceDatabases, OpenByNameIgnoringCaseOrByOid) {
    HANDLE h = Open(u"\\FILENAMELANG");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Open(u"\\NoSuchDatabase"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    CEGUID guid;
    CREATE_INVALIDGUID(&guid);
    CEOID oid = 0;
    h = CeOpenDatabaseEx(&guid, &oid, const_cast<LPWSTR>(u"\\filenamelang"), 0, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    h = CeOpenDatabaseEx(&guid, &oid, nullptr, 0, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 0, nullptr), oids_[0]);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
}

TEST_F(DeviceDatabases, SeekCountsRecordsInOrderOfAddition) {
    HANDLE h = Open(u"\\FileNameLang");
    DWORD index = 99;
    for (DWORD i = 0; i < oids_.size(); ++i) {
        EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, i, &index), oids_[i]);
        EXPECT_EQ(index, i);
    }
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 4, &index), 0u);
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 0xFFFFFFFF, &index), 0u);
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_CEOID, oids_[2], &index), oids_[2]);
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_END, 0, &index), oids_[3]);
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_CURRENT, static_cast<DWORD>(-1), &index), oids_[2]);
    EXPECT_EQ(CeSeekDatabase(reinterpret_cast<HANDLE>(0x77), CEDB_SEEK_BEGINNING, 0, &index), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(h);
}

TEST_F(DeviceDatabases, ReadReturnsOneBlockAndFlagsAMissingProperty) {
    HANDLE h = Open(u"\\FileNameLang");
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    WORD count = 1;
    CEPROPID key = kKey;

    // No record is current yet.
    EXPECT_EQ(CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, &key, &buffer, &size), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    ASSERT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 1, nullptr), oids_[1]);
    EXPECT_EQ(CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, &key, &buffer, &size), oids_[1]);
    ASSERT_NE(buffer, nullptr);
    auto* value = reinterpret_cast<CEPROPVAL*>(buffer);
    EXPECT_EQ(value->propid, kKey);
    EXPECT_EQ(value->wFlags, 0);
    EXPECT_EQ(std::u16string(value->val.lpwstr), u"Календарь");
    EXPECT_GE(reinterpret_cast<LPBYTE>(value->val.lpwstr), buffer + sizeof(CEPROPVAL));
    EXPECT_LE(reinterpret_cast<LPBYTE>(value->val.lpwstr + 10), buffer + size);
    EXPECT_EQ(LocalFree(buffer), nullptr);

    // Record 3 has no count; the same identifier with another type is another tag.
    struct Case {
        DWORD record;
        CEPROPID propid;
    };
    for (const Case& c : {Case{3, kCount}, Case{0, PROPID_FROM_ID_TYPE(2, CEVT_I4)},
                          Case{0, PROPID_FROM_ID_TYPE(9, CEVT_UI4)}}) {
        ASSERT_NE(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, c.record, nullptr), 0u);
        buffer = nullptr;
        CEPROPID wanted = c.propid;
        SetLastError(0);
        EXPECT_EQ(CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, &wanted, &buffer, &size), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
        ASSERT_NE(buffer, nullptr);  // handed back all the same
        value = reinterpret_cast<CEPROPVAL*>(buffer);
        EXPECT_EQ(value->propid, c.propid);
        EXPECT_EQ(value->wFlags, CEDB_PROPNOTFOUND);
        LocalFree(buffer);
    }

    // Two asked for, one present: the record's id, only the missing one flagged.
    CEPROPID both[] = {kCount, kKey};
    ASSERT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 3, nullptr), oids_[3]);
    count = 2;
    buffer = nullptr;
    EXPECT_EQ(CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, both, &buffer, &size), oids_[3]);
    value = reinterpret_cast<CEPROPVAL*>(buffer);
    EXPECT_EQ(value[0].wFlags, CEDB_PROPNOTFOUND);
    EXPECT_EQ(std::u16string(value[1].val.lpwstr), u"NoCount");
    LocalFree(buffer);

    // Without CEDB_ALLOWREALLOC a small buffer is refused with the size needed.
    BYTE small[8];
    buffer = small;
    size = sizeof small;
    count = 1;
    EXPECT_EQ(CeReadRecordProps(h, 0, &count, &key, &buffer, &size), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(size, sizeof small);
    EXPECT_EQ(buffer, small);
    CloseHandle(h);
}

TEST_F(DeviceDatabases, WriteReplacesSameTagAddsOthersAndPersists) {
    HANDLE h = Open(u"\\FileNameLang");
    CEPROPVAL value{};
    value.propid = kCount;
    value.val.ulVal = 42;
    EXPECT_EQ(CeWriteRecordProps(h, oids_[0], 1, &value), oids_[0]);
    value.propid = PROPID_FROM_ID_TYPE(7, CEVT_LPWSTR);
    value.val.lpwstr = const_cast<LPWSTR>(u"Заметки");
    EXPECT_EQ(CeWriteRecordProps(h, oids_[0], 1, &value), oids_[0]);
    const CEOID added = CeWriteRecordProps(h, 0, 1, &value);
    EXPECT_NE(added, 0u);
    EXPECT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 4, nullptr), added);

    // Refused writes change nothing.
    EXPECT_EQ(CeWriteRecordProps(h, 0x7FFFFFFF, 1, &value), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CeWriteRecordProps(h, oids_[0], 0, &value), 0u);
    value.val.lpwstr = nullptr;
    EXPECT_EQ(CeWriteRecordProps(h, oids_[0], 1, &value), 0u);
    value.propid = PROPID_FROM_ID_TYPE(7, 99);
    EXPECT_EQ(CeWriteRecordProps(h, oids_[0], 1, &value), 0u);
    EXPECT_TRUE(CloseHandle(h));

    // What the write-through left in the volume, read as another process would.
    const auto records = Stored();
    ASSERT_EQ(records.size(), 5u);
    ASSERT_EQ(records[0].props.size(), 3u);
    EXPECT_EQ(records[0].props[1].propid, kCount);
    EXPECT_EQ(records[0].props[1].bytes, (std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(records[0].props[2].bytes, Utf16(u"Заметки"));
    EXPECT_EQ(records[4].oid, added);
    EXPECT_EQ(trace_.size(), 3u);
    EXPECT_EQ(trace_[0], "db\t\\\\storage\\\\mxip_lang.vol\t\\\\FileNameLang\t" +
                             std::to_string(oids_[0]) + "\t" + std::to_string(kCount) + "\t2a000000");
}

TEST_F(DeviceDatabases, EveryPropertyTypeRoundTrips) {
    HANDLE h = Open(u"\\MetaBaseOptions");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE blob[] = {0, 1, 0xFF};
    CEPROPVAL in[9] = {};
    in[0].propid = PROPID_FROM_ID_TYPE(1, CEVT_I2), in[0].val.iVal = -2;
    in[1].propid = PROPID_FROM_ID_TYPE(2, CEVT_UI2), in[1].val.uiVal = 65535;
    in[2].propid = PROPID_FROM_ID_TYPE(3, CEVT_I4), in[2].val.lVal = -3;
    in[3].propid = PROPID_FROM_ID_TYPE(4, CEVT_UI4), in[3].val.ulVal = 0xDEADBEEF;
    in[4].propid = PROPID_FROM_ID_TYPE(5, CEVT_BOOL), in[4].val.boolVal = TRUE;
    in[5].propid = PROPID_FROM_ID_TYPE(6, CEVT_R8), in[5].val.dblVal = 2.5;
    in[6].propid = PROPID_FROM_ID_TYPE(7, CEVT_FILETIME), in[6].val.filetime = {1, 2};
    in[7].propid = PROPID_FROM_ID_TYPE(8, CEVT_LPWSTR), in[7].val.lpwstr = const_cast<LPWSTR>(u"");
    in[8].propid = PROPID_FROM_ID_TYPE(9, CEVT_BLOB), in[8].val.blob = {3, blob};
    const CEOID oid = CeWriteRecordProps(h, 0, 9, in);
    ASSERT_NE(oid, 0u);
    Rebind();  // read back from the store, not from the open database
    h = Open(u"\\MetaBaseOptions");
    ASSERT_EQ(CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 0, nullptr), oid);
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    WORD count = 0;
    ASSERT_EQ(CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size), oid);
    ASSERT_EQ(count, 9);
    auto* out = reinterpret_cast<CEPROPVAL*>(buffer);
    EXPECT_EQ(out[0].val.iVal, -2);
    EXPECT_EQ(out[1].val.uiVal, 65535);
    EXPECT_EQ(out[2].val.lVal, -3);
    EXPECT_EQ(out[3].val.ulVal, 0xDEADBEEFu);
    EXPECT_EQ(out[4].val.boolVal, TRUE);
    EXPECT_EQ(out[5].val.dblVal, 2.5);
    EXPECT_EQ(out[6].val.filetime.dwHighDateTime, 2u);
    EXPECT_EQ(std::u16string(out[7].val.lpwstr), u"");
    ASSERT_EQ(out[8].val.blob.dwCount, 3u);
    EXPECT_EQ(std::memcmp(out[8].val.blob.lpb, blob, 3), 0);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i].propid, in[i].propid);
    LocalFree(buffer);
    CloseHandle(h);
}

TEST_F(DeviceDatabases, OrderStaysFixedForHandlesOpenTogether) {
    HANDLE a = Open(u"\\FileNameLang");
    HANDLE b = Open(u"\\FileNameLang");
    CEPROPVAL value{};
    value.propid = kKey;
    value.val.lpwstr = const_cast<LPWSTR>(u"Changed");
    EXPECT_EQ(CeWriteRecordProps(a, oids_[2], 1, &value), oids_[2]);
    EXPECT_EQ(CeSeekDatabase(b, CEDB_SEEK_BEGINNING, 2, nullptr), oids_[2]);
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    WORD count = 1;
    CEPROPID key = kKey;
    ASSERT_EQ(CeReadRecordProps(b, CEDB_ALLOWREALLOC, &count, &key, &buffer, &size), oids_[2]);
    EXPECT_EQ(std::u16string(reinterpret_cast<CEPROPVAL*>(buffer)->val.lpwstr), u"Changed");
    LocalFree(buffer);
    CloseHandle(a);
    CloseHandle(b);
}

// The text of the key property of record i through a handle, or "" when it fails.
std::u16string KeyAt(HANDLE db, DWORD i) {
    if (!CeSeekDatabase(db, CEDB_SEEK_BEGINNING, i, nullptr)) return u"";
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    WORD count = 1;
    CEPROPID key = kKey;
    const bool read = CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, &key, &buffer, &size) != 0;
    std::u16string text = read ? reinterpret_cast<CEPROPVAL*>(buffer)->val.lpwstr : u"";
    LocalFree(buffer);
    return text;
}

// A handle works on every thread: its owner's calls take a way of their own, so each
// case mixes the owner and another thread on one handle, one database or one buffer.
TEST_F(DeviceDatabases, HandlesAndBuffersCrossThreads) {
    HANDLE db = Open(u"\\FileNameLang");
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KeyAt(db, 1), u"Календарь");

    // Another thread seeks and reads on the owner's handle; the owner sees where it
    // left the handle.
    std::thread([&] { EXPECT_EQ(KeyAt(db, 2), u"Tasks"); }).join();
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    WORD count = 1;
    CEPROPID key = kKey;
    ASSERT_EQ(CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, &key, &buffer, &size), oids_[2]);

    // The buffer is freed on another thread; a write there, through a handle of its
    // own, shows in the owner's next read.
    std::thread([&] {
        LocalFree(buffer);
        HANDLE other = Open(u"\\FileNameLang");
        CEPROPVAL value{};
        value.propid = kKey;
        value.val.lpwstr = const_cast<LPWSTR>(u"Written elsewhere");
        EXPECT_EQ(CeWriteRecordProps(other, oids_[0], 1, &value), oids_[0]);
        CloseHandle(other);
    }).join();
    EXPECT_EQ(KeyAt(db, 0), u"Written elsewhere");

    // Closed on another thread: the owner's next calls fail as on any closed handle.
    std::thread([&] { EXPECT_TRUE(CloseHandle(db)); }).join();
    SetLastError(0);
    EXPECT_EQ(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    buffer = nullptr;
    EXPECT_EQ(CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, &key, &buffer, &size), 0u);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_FALSE(CloseHandle(db));
    EXPECT_EQ(host::UnbindDevice(), host::OpenCounts{});
}

// Records added while a handle scans are seen at the end, also past the room the
// database had when it was opened.
TEST_F(DeviceDatabases, RecordsAddedGrowTheTable) {
    HANDLE db = Open(u"\\FileNameLang");
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    std::vector<CEOID> added;
    for (int i = 0; i < 40; ++i) {
        const std::u16string key = u"Added " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
        CEPROPVAL value{};
        value.propid = kKey;
        value.val.lpwstr = const_cast<LPWSTR>(key.c_str());
        added.push_back(CeWriteRecordProps(db, 0, 1, &value));
        ASSERT_NE(added.back(), 0u);
    }
    EXPECT_EQ(KeyAt(db, 0), u"Notes");
    EXPECT_EQ(KeyAt(db, 4 + 39), u"Added N");
    EXPECT_EQ(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 4 + 40, nullptr), 0u);
    EXPECT_EQ(CeSeekDatabase(db, CEDB_SEEK_CEOID, added[30], nullptr), added[30]);
    CloseHandle(db);
}

// Counts the scan's calls that come by and passes them on.
class ScanCounter : public host::ForwardingBackend {
public:
    using host::ForwardingBackend::ForwardingBackend;
    CEOID CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex) override {
        ++calls;
        return target().CeSeekDatabase(hDatabase, dwSeekType, dwValue, lpdwIndex);
    }
    CEOID CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                            LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) override {
        ++calls;
        return target().CeReadRecordProps(hDbase, dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer);
    }
    HLOCAL LocalFree(HLOCAL hMem) override {
        ++calls;
        return target().LocalFree(hMem);
    }
    int calls = 0;
};

// The installer's read of one property of the current record into a new buffer.
CEOID ReadProperty(HANDLE db, CEPROPID prop, LPBYTE* buffer) {
    DWORD size = 0;
    WORD count = 1;
    *buffer = nullptr;
    return CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, &prop, buffer, &size);
}

// The owner's scan calls on a handle it used before take a short way of their own;
// whatever is put in front still sees each of them, a rebound device never gets the
// last one's handles, and read buffers are counted wherever they are given back.
TEST_F(DeviceDatabases, ScanCallsOnAHandleUsedBefore) {
    HANDLE db = Open(u"\\FileNameLang");
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KeyAt(db, 0), u"Notes");
    {
        ScanCounter counter(host::CurrentBackend());
        host::ScopedBackend use(counter);
        EXPECT_EQ(KeyAt(db, 1), u"Календарь");
        EXPECT_EQ(counter.calls, 3);
    }
    EXPECT_EQ(KeyAt(db, 2), u"Tasks");

    // A missing property through the short way: flagged, ERROR_NO_DATA, the buffer
    // still handed back.
    ASSERT_EQ(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 3, nullptr), oids_[3]);
    LPBYTE kept = nullptr;
    EXPECT_EQ(ReadProperty(db, kCount, &kept), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(reinterpret_cast<CEPROPVAL*>(kept)->wFlags & CEDB_PROPNOTFOUND);

    // Another buffer is given back on a thread that then ends: only `kept` is out.
    ASSERT_EQ(CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr), oids_[0]);
    LPBYTE other = nullptr;
    ASSERT_EQ(ReadProperty(db, kKey, &other), oids_[0]);
    std::thread([&] { LocalFree(other); }).join();
    host::OpenCounts open;
    open.databases = 1;
    open.readBuffers = 1;
    EXPECT_EQ(host::UnbindDevice(), open);
    LocalFree(kept);

    // The next device numbers its handles as the last one did: the old handle's short
    // way must not reach the new device's records.
    {
        store::VolumeStore vol(image_ / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
        const store::Property changed{kKey, Utf16(u"Rebound")};
        vol.SetProperties(oids_[0], std::span(&changed, 1));
    }
    Bind();
    HANDLE again = Open(u"\\FileNameLang");
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(KeyAt(again, 0), u"Rebound");
    if (again != db) {
        EXPECT_EQ(KeyAt(db, 0), u"");
    }
    CloseHandle(again);
    EXPECT_EQ(host::UnbindDevice(), host::OpenCounts{});
}

TEST_F(DeviceDatabases, InjectedFailuresReachTheCaller) {
    testing_support::FaultInjector faults(host::CurrentBackend());
    faults.FailOn("CeEnumDBVolumes", 1, ERROR_NO_MORE_ITEMS);
    faults.FailOn("CeWriteRecordProps", 1, ERROR_DISK_FULL);
    host::ScopedBackend use(faults);
    CEGUID guid;
    CREATE_INVALIDGUID(&guid);
    WCHAR name[MAX_PATH];
    EXPECT_FALSE(CeEnumDBVolumes(&guid, name, MAX_PATH));
    EXPECT_TRUE(CeEnumDBVolumes(&guid, name, MAX_PATH));
    HANDLE h = Open(u"\\FileNameLang");
    CEPROPVAL value{};
    value.propid = kCount;
    value.val.ulVal = 5;
    EXPECT_EQ(CeWriteRecordProps(h, oids_[0], 1, &value), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(CeWriteRecordProps(h, oids_[0], 1, &value), oids_[0]);
    CloseHandle(h);
}

}  // namespace
