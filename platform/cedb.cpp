// The property database calls' core: volumes from the mount table, databases held in
// memory, and properties between CEPROPVAL and the store's canonical bytes.
#include "platform/cedb.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>

#include "store/bytes.h"

namespace cedb {

namespace {

constexpr DWORD kGuidMark = 0x43455648;  // Data2 of every volume identifier

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// The size of a property's text (with terminator) or bytes, as a read hands it back.
size_t DataBytes(uint32_t propid, size_t bytes) {
    switch (TypeFromPropID(propid)) {
        case CEVT_LPWSTR: return bytes + sizeof(WCHAR);
        case CEVT_BLOB: return bytes;
        default: return 0;
    }
}

// One property in a record's block: the entry's size, the size of its text or bytes,
// its CEPROPVAL as a read returns it (the text's or bytes' pointer is set by the read),
// then the text with its terminator or the bytes, padded to 8.
struct Entry {
    uint32_t size;
    uint32_t dataBytes;
    CEPROPVAL value;

    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    const Entry* Next() const {
        return reinterpret_cast<const Entry*>(reinterpret_cast<const uint8_t*>(this) + size);
    }
};
static_assert(sizeof(Entry) % 8 == 0 && alignof(Entry) <= 8);
static_assert(sizeof(CEPROPVAL) % 8 == 0, "a lone CEPROPVAL is followed by its data");

size_t EntrySize(uint32_t propid, size_t bytes) { return Align8(sizeof(Entry) + DataBytes(propid, bytes)); }

// Writes the entry of a property in the store's canonical bytes at `at`.
void WriteEntry(uint8_t* at, uint32_t propid, std::span<const uint8_t> bytes) {
    auto* e = reinterpret_cast<Entry*>(at);
    e->size = static_cast<uint32_t>(EntrySize(propid, bytes.size()));
    e->dataBytes = static_cast<uint32_t>(DataBytes(propid, bytes.size()));
    CEPROPVAL& out = e->value;
    out = CEPROPVAL{};
    out.propid = propid;
    uint8_t* data = at + sizeof(Entry);
    const WORD type = TypeFromPropID(propid);
    const uint64_t n = type == CEVT_LPWSTR || type == CEVT_BLOB ? 0 : store::LittleEndianValue(bytes);
    switch (type) {
        case CEVT_I2: out.val.iVal = static_cast<SHORT>(n); break;
        case CEVT_UI2: out.val.uiVal = static_cast<USHORT>(n); break;
        case CEVT_I4: out.val.lVal = static_cast<LONG>(n); break;
        case CEVT_UI4: out.val.ulVal = static_cast<ULONG>(n); break;
        case CEVT_BOOL: out.val.boolVal = static_cast<BOOL>(n); break;
        case CEVT_R8: out.val.dblVal = std::bit_cast<double>(n); break;
        case CEVT_FILETIME:
            out.val.filetime = {static_cast<DWORD>(n), static_cast<DWORD>(n >> 32)};
            break;
        case CEVT_LPWSTR: {
            const size_t units = bytes.size() / 2;
            for (size_t i = 0; i < units; ++i) {
                const WCHAR c = static_cast<WCHAR>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
                std::memcpy(data + 2 * i, &c, sizeof c);
            }
            const WCHAR terminator = 0;
            std::memcpy(data + 2 * units, &terminator, sizeof terminator);
            break;
        }
        case CEVT_BLOB:
            if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
            out.val.blob.dwCount = static_cast<DWORD>(bytes.size());
            break;
    }
}

// Points a CEPROPVAL copied out of an entry at its text or bytes, copied to `data`.
void PointAtData(CEPROPVAL& value, uint8_t* data) {
    switch (TypeFromPropID(value.propid)) {
        case CEVT_LPWSTR: value.val.lpwstr = reinterpret_cast<WCHAR*>(data); break;
        case CEVT_BLOB: value.val.blob.lpb = data; break;
        default: break;
    }
}

// A record's properties: their number and the block's size, then the entries in the
// order the properties were first set.
struct Block {
    uint32_t count;
    uint32_t size;

    const Entry* First() const { return reinterpret_cast<const Entry*>(this + 1); }
    const Entry* Find(CEPROPID propid) const {
        const Entry* e = First();
        for (uint32_t i = 0; i < count; ++i, e = e->Next())
            if (e->value.propid == propid) return e;
        return nullptr;
    }
};
static_assert(sizeof(Block) % 8 == 0);

// One property of a block being made: an entry of the record's block kept as it is,
// or a property in canonical bytes.
struct Piece {
    uint32_t propid;
    const Entry* kept;
    std::span<const uint8_t> bytes;
    size_t Size() const { return kept ? kept->size : EntrySize(propid, bytes.size()); }
};

}  // namespace

// Memory for blocks, handed out in order and given back all at once.
class Arena {
public:
    uint8_t* Allocate(size_t bytes) {
        bytes = Align8(bytes);
        if (bytes > room_) {
            const size_t words = std::max(kChunkBytes, bytes) / 8;
            chunks_.push_back(std::make_unique<uint64_t[]>(words));
            next_ = reinterpret_cast<uint8_t*>(chunks_.back().get());
            room_ = words * 8;
        }
        uint8_t* at = next_;
        next_ += bytes;
        room_ -= bytes;
        return at;
    }

private:
    static constexpr size_t kChunkBytes = 256 * 1024;
    std::vector<std::unique_ptr<uint64_t[]>> chunks_;
    uint8_t* next_ = nullptr;
    size_t room_ = 0;
};

namespace {

const Block* MakeBlock(Arena& arena, std::span<const Piece> pieces) {
    size_t size = sizeof(Block);
    for (const Piece& p : pieces) size += p.Size();
    uint8_t* at = arena.Allocate(size);
    auto* block = reinterpret_cast<Block*>(at);
    block->count = static_cast<uint32_t>(pieces.size());
    block->size = static_cast<uint32_t>(size);
    at += sizeof(Block);
    for (const Piece& p : pieces) {
        if (p.kept) std::memcpy(at, p.kept, p.kept->size);
        else WriteEntry(at, p.propid, p.bytes);
        at += p.Size();
    }
    return block;
}

// A record's place: its object id, set before the slot is counted and never changed,
// and its current block.
struct Slot {
    CEOID oid = 0;
    std::atomic<const Block*> block{nullptr};
};

// The records in order: `count` slots of `capacity` are in use.
struct RecordArray {
    explicit RecordArray(size_t n) : capacity(n), slots(std::make_unique<Slot[]>(n)) {}
    const size_t capacity;
    std::atomic<size_t> count{0};
    std::unique_ptr<Slot[]> slots;
};

// The canonical bytes of a property handed in by a caller; false when it is not one
// a volume can hold (an unknown type, a NULL text, data over the size limit).
bool ToProperty(const CEPROPVAL& in, store::Property* out) {
    out->propid = in.propid;
    out->bytes.clear();
    auto le = [&](uint64_t v, size_t size) { store::AppendLittleEndian(out->bytes, v, size); };
    switch (TypeFromPropID(in.propid)) {
        case CEVT_I2: le(static_cast<uint16_t>(in.val.iVal), 2); return true;
        case CEVT_UI2: le(in.val.uiVal, 2); return true;
        case CEVT_I4: le(static_cast<uint32_t>(in.val.lVal), 4); return true;
        case CEVT_UI4: le(in.val.ulVal, 4); return true;
        case CEVT_BOOL: le(static_cast<uint32_t>(in.val.boolVal), 4); return true;
        case CEVT_R8: le(std::bit_cast<uint64_t>(in.val.dblVal), 8); return true;
        case CEVT_FILETIME:
            le(in.val.filetime.dwLowDateTime | (uint64_t{in.val.filetime.dwHighDateTime} << 32), 8);
            return true;
        case CEVT_LPWSTR: {
            if (!in.val.lpwstr) return false;
            // Looks no further than the longest text a property may hold.
            constexpr size_t kMaxUnits = CEDB_MAXPROPDATASIZE / 2;
            size_t units = 0;
            while (units <= kMaxUnits && in.val.lpwstr[units]) ++units;
            if (units > kMaxUnits) return false;
            for (size_t i = 0; i < units; ++i) le(static_cast<uint16_t>(in.val.lpwstr[i]), 2);
            return true;
        }
        case CEVT_BLOB:
            if (in.val.blob.dwCount > CEDB_MAXPROPDATASIZE) return false;
            if (in.val.blob.dwCount && !in.val.blob.lpb) return false;
            out->bytes.assign(in.val.blob.lpb, in.val.blob.lpb + in.val.blob.dwCount);
            return true;
        default: return false;
    }
}

// The platform's text as the store's.
std::u16string StoreText(LPCWSTR text) {
    std::u16string out;
    for (; *text; ++text) out.push_back(static_cast<char16_t>(*text));
    return out;
}

// The database of a volume by object id when wantedOid is not 0, else by name.
std::optional<store::DatabaseInfo> FindDatabase(const store::VolumeStore& volume, CEOID wantedOid,
                                                LPCWSTR name) {
    if (!wantedOid) return volume.FindDatabase(StoreText(name));
    for (const auto& d : volume.Databases())
        if (d.oid == wantedOid) return d;
    return std::nullopt;
}

}  // namespace

// ---- Volumes ----

CEGUID GuidOf(uint32_t mountId) { return {mountId, kGuidMark, 0, 0}; }

std::optional<uint32_t> MountIdOf(const CEGUID& g) {
    if (g.Data1 == 0 || g.Data2 != kGuidMark || g.Data3 != 0 || g.Data4 != 0) return std::nullopt;
    return g.Data1;
}

BOOL NextVolume(const std::vector<store::Mount>& mounts, PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize) {
    uint32_t after = 0;
    if (!IsInvalidGuid(*pguid)) {
        const auto id = MountIdOf(*pguid);
        if (!id) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        after = *id;
    }
    // Mount ids only grow, so "the next one after" holds even if the previous
    // volume was unmounted in between.
    for (const store::Mount& m : mounts) {
        if (m.id <= after) continue;
        if (m.volumePath.size() + 1 > dwSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::copy(m.volumePath.begin(), m.volumePath.end(), lpBuf);
        lpBuf[m.volumePath.size()] = 0;
        *pguid = GuidOf(m.id);
        return TRUE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

// ---- Open databases ----

// Every block a database's records ever had, and the array of its records. Blocks and
// arrays are never changed once published and stay until the database is dropped, so
// a read that runs alongside a write (on another thread, under that one's lock) copies
// either the old block or the new one whole.
struct RecordTable {
    std::atomic<const RecordArray*> current{nullptr};
    // Changed under the implementation's lock only:
    std::vector<std::unique_ptr<RecordArray>> arrays;  // the current one last
    Arena blocks;

    // The current block of a record, or nullptr when there is no such record.
    const Block* BlockAt(size_t index, CEOID* recordOid) const {
        const RecordArray* array = current.load(std::memory_order_acquire);
        if (index >= array->count.load(std::memory_order_acquire)) return nullptr;
        *recordOid = array->slots[index].oid;
        return array->slots[index].block.load(std::memory_order_acquire);
    }

    size_t Count() const { return current.load(std::memory_order_acquire)->count.load(std::memory_order_acquire); }

    // Adds a record at the end and returns its index; a full array gives way to one
    // twice its size.
    size_t Append(CEOID recordOid, const Block* block) {
        RecordArray* array = arrays.back().get();
        const size_t n = array->count.load(std::memory_order_relaxed);
        if (n == array->capacity) {
            auto larger = std::make_unique<RecordArray>(array->capacity * 2);
            for (size_t i = 0; i < n; ++i) {
                larger->slots[i].oid = array->slots[i].oid;
                larger->slots[i].block.store(array->slots[i].block.load(std::memory_order_relaxed),
                                             std::memory_order_relaxed);
            }
            larger->count.store(n, std::memory_order_relaxed);
            arrays.push_back(std::move(larger));
            array = arrays.back().get();
            current.store(array, std::memory_order_release);
        }
        array->slots[n].oid = recordOid;
        array->slots[n].block.store(block, std::memory_order_relaxed);
        array->count.store(n + 1, std::memory_order_release);
        return n;
    }

    void Replace(size_t index, const Block* block) {
        arrays.back()->slots[index].block.store(block, std::memory_order_release);
    }
};

Database::Database() : records(std::make_unique<RecordTable>()) {}
Database::~Database() = default;

size_t Database::Count() const { return records->Count(); }

std::shared_ptr<Database> Database::Load(store::VolumeStore& volume, const std::u16string& volumePath,
                                         const store::DatabaseInfo& info) {
    auto db = std::make_shared<Database>();
    db->volume = &volume;
    db->volumePath = volumePath;
    db->name = info.name;
    db->oid = info.oid;
    RecordTable& table = *db->records;
    table.arrays.push_back(std::make_unique<RecordArray>(std::max<size_t>(info.records + info.records / 8, 16)));
    table.current.store(table.arrays.back().get(), std::memory_order_release);
    std::vector<Piece> pieces;
    for (const store::Record& r : volume.Records(info.oid)) {
        pieces.clear();
        for (const store::Property& p : r.props) pieces.push_back({p.propid, nullptr, p.bytes});
        db->byOid.emplace(r.oid, table.Append(r.oid, MakeBlock(table.blocks, pieces)));
    }
    return db;
}

std::shared_ptr<Database> Open(const std::vector<store::Mount>& mounts, PCEGUID pguid, PCEOID poid,
                               LPWSTR lpszName, const VolumeAccess& access) {
    const CEOID wantedOid = poid ? *poid : 0;
    if (pguid == nullptr || (wantedOid == 0 && lpszName == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool named = false;
    for (const store::Mount& m : mounts) {
        if (!IsInvalidGuid(*pguid) && MountIdOf(*pguid) != m.id) continue;
        named = true;
        store::VolumeStore* volume = access.volume(m);
        if (!volume) continue;
        const auto info = FindDatabase(*volume, wantedOid, lpszName);
        if (!info) continue;
        if (poid) *poid = info->oid;
        return access.share(m, *volume, *info);
    }
    SetLastError(named ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return nullptr;
}

CEOID Seek(Cursor& cursor, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex) {
    const RecordTable& records = *cursor.db->records;
    const size_t count = records.Count();
    size_t target = SIZE_MAX;
    switch (dwSeekType) {
        case CEDB_SEEK_BEGINNING:
            if (dwValue < count) target = dwValue;
            break;
        case CEDB_SEEK_END:
            if (dwValue < count) target = count - 1 - dwValue;
            break;
        case CEDB_SEEK_CURRENT: {
            const size_t current = cursor.current.load(std::memory_order_relaxed);
            if (current == SIZE_MAX) break;
            const int64_t at = static_cast<int64_t>(current) + static_cast<int32_t>(dwValue);
            if (at >= 0 && static_cast<size_t>(at) < count) target = static_cast<size_t>(at);
            break;
        }
        case CEDB_SEEK_CEOID:
            if (auto it = cursor.db->byOid.find(dwValue); it != cursor.db->byOid.end()) target = it->second;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
    }
    CEOID oid = 0;
    // A failed seek leaves the current record where it was.
    if (target == SIZE_MAX || !records.BlockAt(target, &oid)) {
        SetLastError(ERROR_SEEK);
        return 0;
    }
    cursor.current.store(target, std::memory_order_relaxed);
    if (lpdwIndex) *lpdwIndex = static_cast<DWORD>(target);
    return oid;
}

namespace {

// The block of the cursor's current record, its index and object id; nullptr with
// ERROR_NO_MORE_ITEMS when there is none.
const Block* CurrentBlock(const Cursor& cursor, size_t* index, CEOID* oid) {
    *index = cursor.current.load(std::memory_order_relaxed);
    const Block* block = *index == SIZE_MAX ? nullptr : cursor.db->records->BlockAt(*index, oid);
    if (!block) SetLastError(ERROR_NO_MORE_ITEMS);
    return block;
}

// The installer's read: one property into a new block, a copy of its entry.
CEOID ReadOne(Cursor& cursor, CEPROPID propid, LPBYTE* lplpBuffer, LPDWORD lpcbBuffer,
              const Allocator& allocator) {
    size_t index;
    CEOID oid = 0;
    const Block* block = CurrentBlock(cursor, &index, &oid);
    if (!block) return 0;
    const Entry* e = block->Find(propid);
    const size_t needed = sizeof(CEPROPVAL) + (e ? Align8(e->dataBytes) : 0);
    auto* buffer = static_cast<uint8_t*>(allocator.allocate(needed));
    if (!buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    *lplpBuffer = buffer;
    *lpcbBuffer = static_cast<DWORD>(needed);
    if (cursor.autoIncrement) cursor.current.store(index + 1, std::memory_order_relaxed);
    auto* value = reinterpret_cast<CEPROPVAL*>(buffer);
    if (!e) {
        *value = CEPROPVAL{};
        value->propid = propid;
        value->wFlags = CEDB_PROPNOTFOUND;
        SetLastError(ERROR_NO_DATA);
        return 0;
    }
    std::memcpy(buffer, &e->value, needed);
    PointAtData(*value, buffer + sizeof(CEPROPVAL));
    return oid;
}

// Every read but the installer's: several properties or all of them, the caller's
// buffer, no buffer allowed to grow.
[[gnu::noinline]] CEOID ReadMany(Cursor& cursor, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                                 LPBYTE* lplpBuffer, LPDWORD lpcbBuffer, const Allocator& allocator) {
    size_t index;
    CEOID oid = 0;
    const Block* block = CurrentBlock(cursor, &index, &oid);
    if (!block) return 0;
    // The entries in the order asked for (nullptr: not in the record), then the
    // CEPROPVALs in one array and their data after it.
    const size_t count = rgPropID ? *lpcPropID : block->count;
    std::vector<const Entry*> entries(count);
    const Entry* next = block->First();
    size_t needed = Align8(count * sizeof(CEPROPVAL));
    size_t present = 0;
    for (size_t i = 0; i < count; ++i) {
        entries[i] = rgPropID ? block->Find(rgPropID[i]) : next;
        if (!rgPropID) next = next->Next();
        if (entries[i]) {
            ++present;
            needed += Align8(entries[i]->dataBytes);
        }
    }

    uint8_t* buffer = *lplpBuffer;
    if (!buffer || *lpcbBuffer < needed) {
        if (!(dwFlags & CEDB_ALLOWREALLOC)) {
            *lpcbBuffer = static_cast<DWORD>(needed);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        buffer = static_cast<uint8_t*>(allocator.allocate(needed ? needed : 1));
        if (!buffer) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        if (*lplpBuffer) allocator.release(*lplpBuffer);
        *lplpBuffer = buffer;
    }
    *lpcbBuffer = static_cast<DWORD>(needed);
    if (!rgPropID) *lpcPropID = static_cast<WORD>(count);

    auto* values = reinterpret_cast<CEPROPVAL*>(buffer);
    uint8_t* tail = buffer + Align8(count * sizeof(CEPROPVAL));
    for (size_t i = 0; i < count; ++i) {
        if (const Entry* e = entries[i]) {
            values[i] = e->value;
            std::memcpy(tail, e->Data(), e->dataBytes);
            PointAtData(values[i], tail);
            tail += Align8(e->dataBytes);
        } else {
            values[i] = CEPROPVAL{};
            values[i].propid = rgPropID[i];
            values[i].wFlags = CEDB_PROPNOTFOUND;
        }
    }
    if (cursor.autoIncrement) cursor.current.store(index + 1, std::memory_order_relaxed);
    if (present == 0 && count > 0) {
        SetLastError(ERROR_NO_DATA);
        return 0;
    }
    return oid;
}

}  // namespace

CEOID Read(Cursor& cursor, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
           LPBYTE* lplpBuffer, LPDWORD lpcbBuffer, const Allocator& allocator) {
    if (lpcPropID && rgPropID && *lpcPropID == 1 && lplpBuffer && !*lplpBuffer && lpcbBuffer &&
        (dwFlags & CEDB_ALLOWREALLOC)) [[likely]]
        return ReadOne(cursor, rgPropID[0], lplpBuffer, lpcbBuffer, allocator);
    if (!lpcPropID || !lplpBuffer || !lpcbBuffer || (rgPropID && *lpcPropID == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return ReadMany(cursor, dwFlags, lpcPropID, rgPropID, lplpBuffer, lpcbBuffer, allocator);
}

CEOID Write(Cursor& cursor, CEOID oidRecord, WORD cPropID, CEPROPVAL* rgPropVal,
            const WriteObserver& written, const StoreFailure& failed) {
    auto fail = [](DWORD error) {
        SetLastError(error);
        return CEOID{0};
    };
    if (cPropID == 0 || rgPropVal == nullptr) return fail(ERROR_INVALID_PARAMETER);
    std::vector<store::Property> props(cPropID);
    for (WORD i = 0; i < cPropID; ++i) {
        // Deleting properties is not offered: the installer never needs it.
        if (rgPropVal[i].wFlags & CEDB_PROPDELETE) return fail(ERROR_INVALID_PARAMETER);
        if (!ToProperty(rgPropVal[i], &props[i])) return fail(ERROR_INVALID_PARAMETER);
    }
    Database& db = *cursor.db;
    RecordTable& records = *db.records;
    size_t index = SIZE_MAX;
    CEOID oid = oidRecord;
    try {
        if (oidRecord == 0) {
            oid = db.volume->AddRecord(db.oid, props);
        } else {
            const auto it = db.byOid.find(oidRecord);
            if (it == db.byOid.end()) return fail(ERROR_INVALID_PARAMETER);
            index = it->second;
            db.volume->SetProperties(oidRecord, props);
        }
    } catch (const store::Error& e) {
        if (failed) failed(e);
        return fail(ERROR_WRITE_FAULT);
    }
    // The record's new block: its properties kept or replaced in place, new ones after
    // them; of two of one tag in the call, the later one counts.
    std::vector<Piece> pieces;
    CEOID ignored = 0;
    if (const Block* old = index == SIZE_MAX ? nullptr : records.BlockAt(index, &ignored)) {
        const Entry* e = old->First();
        for (uint32_t i = 0; i < old->count; ++i, e = e->Next()) pieces.push_back({e->value.propid, e, {}});
    }
    for (const store::Property& p : props) {
        auto same = std::find_if(pieces.begin(), pieces.end(), [&](const Piece& q) { return q.propid == p.propid; });
        if (same == pieces.end()) pieces.push_back({p.propid, nullptr, p.bytes});
        else *same = {p.propid, nullptr, p.bytes};
    }
    const Block* block = MakeBlock(records.blocks, pieces);
    if (index == SIZE_MAX) {
        index = records.Append(oid, block);
        db.byOid.emplace(oid, index);
    } else {
        records.Replace(index, block);
    }
    if (written)
        for (const store::Property& p : props) written(db, oid, p);
    cursor.current.store(index, std::memory_order_relaxed);
    return oid;
}

}  // namespace cedb
