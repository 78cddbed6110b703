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


// The size of a property's text (with terminator) or bytes, as a read hands it back.
size_t DataBytes(uint32_t propid, size_t bytes) {
    switch (TypeFromPropID(propid)) {
        case CEVT_LPWSTR: return bytes + sizeof(WCHAR);
        case CEVT_BLOB: return bytes;
        default: return 0;
    }
}

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

// One property of a block being made: an entry of the record's block kept as it is,
// or a property in canonical bytes.
struct Piece {
    uint32_t propid;
    const Entry* kept;
    std::span<const uint8_t> bytes;
    size_t Size() const { return kept ? kept->size : EntrySize(propid, bytes.size()); }
};

}  // namespace

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

Database::Database() : records(std::make_unique<RecordTable>()) {}
Database::~Database() = default;

size_t Database::Count() const { return records->Count(); }

namespace {
bool OidBefore(const std::pair<CEOID, size_t>& entry, CEOID oid) { return entry.first < oid; }
}  // namespace

size_t Database::IndexOf(CEOID oid) const {
    const auto it = std::lower_bound(byOid.begin(), byOid.end(), oid, OidBefore);
    return it != byOid.end() && it->first == oid ? it->second : SIZE_MAX;
}

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
    store::VolumeStore::RecordReader reader(volume, info.oid);
    for (store::Record r; reader.Next(r);) {
        pieces.clear();
        for (const store::Property& p : r.props) pieces.push_back({p.propid, nullptr, p.bytes});
        db->byOid.emplace_back(r.oid, table.Append(r.oid, MakeBlock(table.blocks, pieces)));
    }
    std::sort(db->byOid.begin(), db->byOid.end());
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

// Every read but the installer's: several properties or all of them, the caller's
// buffer, no buffer allowed to grow.
CEOID ReadMany(Cursor& cursor, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
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
            index = db.IndexOf(oidRecord);
            if (index == SIZE_MAX) return fail(ERROR_INVALID_PARAMETER);
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
        db.byOid.insert(std::lower_bound(db.byOid.begin(), db.byOid.end(), oid, OidBefore),
                        {oid, index});
    } else {
        records.Replace(index, block);
    }
    if (written)
        for (const store::Property& p : props) written(db, oid, p);
    cursor.current.store(index, std::memory_order_relaxed);
    return oid;
}

}  // namespace cedb
