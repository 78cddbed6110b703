// The property database calls' core: volumes from the mount table, databases held in
// memory, and properties between CEPROPVAL and the store's canonical bytes.
#include "platform/cedb.h"

#include <bit>
#include <cstring>

#include "store/bytes.h"

namespace cedb {

namespace {

constexpr DWORD kGuidMark = 0x43455648;  // Data2 of every volume identifier

// Bytes the property's variable data takes in the block, before alignment.
size_t VariableSize(const store::Property& p) {
    switch (TypeFromPropID(p.propid)) {
        case CEVT_LPWSTR: return p.bytes.size() + sizeof(WCHAR);
        case CEVT_BLOB: return p.bytes.size();
        default: return 0;
    }
}

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// Fills one CEPROPVAL; variable data goes to *tail, which moves on past it.
void FillValue(CEPROPVAL& out, const store::Property& p, uint8_t** tail) {
    out.propid = p.propid;
    out.wFlags = 0;
    out.wLenData = 0;
    const WORD type = TypeFromPropID(p.propid);
    const uint64_t n = type == CEVT_LPWSTR || type == CEVT_BLOB ? 0 : store::LittleEndianValue(p.bytes);
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
            auto* text = reinterpret_cast<WCHAR*>(*tail);
            const size_t units = p.bytes.size() / 2;
            if constexpr (std::endian::native == std::endian::little) {
                if (units) std::memcpy(text, p.bytes.data(), p.bytes.size());
            } else {
                for (size_t i = 0; i < units; ++i)
                    text[i] = static_cast<WCHAR>(p.bytes[2 * i] | (p.bytes[2 * i + 1] << 8));
            }
            text[units] = 0;
            out.val.lpwstr = text;
            *tail += Align8(VariableSize(p));
            break;
        }
        case CEVT_BLOB:
            if (!p.bytes.empty()) std::memcpy(*tail, p.bytes.data(), p.bytes.size());
            out.val.blob = {static_cast<DWORD>(p.bytes.size()), *tail};
            *tail += Align8(p.bytes.size());
            break;
    }
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

std::shared_ptr<Database> Database::Load(store::VolumeStore& volume, const std::u16string& volumePath,
                                         const store::DatabaseInfo& info) {
    auto db = std::make_shared<Database>();
    db->volume = &volume;
    db->volumePath = volumePath;
    db->name = info.name;
    db->oid = info.oid;
    for (store::Record& r : volume.Records(info.oid)) {
        db->byOid.emplace(r.oid, db->records.size());
        db->records.push_back({r.oid, std::move(r.props), 0});
    }
    return db;
}

const store::Property* Database::Get(Record& record, CEPROPID propid) {
    if (record.hint < record.props.size() && record.props[record.hint].propid == propid)
        return &record.props[record.hint];
    for (size_t i = 0; i < record.props.size(); ++i) {
        if (record.props[i].propid == propid) {
            record.hint = i;
            return &record.props[i];
        }
    }
    return nullptr;
}

void Database::Put(Record& record, const store::Property& prop) {
    for (store::Property& p : record.props) {
        if (p.propid == prop.propid) {
            p.bytes = prop.bytes;
            return;
        }
    }
    record.props.push_back(prop);
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
    const auto& records = cursor.db->records;
    const size_t count = records.size();
    size_t target = SIZE_MAX;
    switch (dwSeekType) {
        case CEDB_SEEK_BEGINNING:
            if (dwValue < count) target = dwValue;
            break;
        case CEDB_SEEK_END:
            if (dwValue < count) target = count - 1 - dwValue;
            break;
        case CEDB_SEEK_CURRENT: {
            if (cursor.current == SIZE_MAX) break;
            const int64_t at = static_cast<int64_t>(cursor.current) + static_cast<int32_t>(dwValue);
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
    // A failed seek leaves the current record where it was.
    if (target == SIZE_MAX) {
        SetLastError(ERROR_SEEK);
        return 0;
    }
    cursor.current = target;
    if (lpdwIndex) *lpdwIndex = static_cast<DWORD>(target);
    return records[target].oid;
}

CEOID Read(Cursor& cursor, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
           LPBYTE* lplpBuffer, LPDWORD lpcbBuffer, const Allocator& allocator) {
    if (!lpcPropID || !lplpBuffer || !lpcbBuffer || (rgPropID && *lpcPropID == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Database& db = *cursor.db;
    if (cursor.current >= db.records.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return 0;
    }
    Database::Record& record = db.records[cursor.current];
    const size_t count = rgPropID ? *lpcPropID : record.props.size();

    // Found properties, in the order asked for (nullptr: not in the record).
    const store::Property* one = nullptr;
    std::vector<const store::Property*> many;
    auto at = [&](size_t i) { return count == 1 ? one : many[i]; };
    size_t needed = Align8(count * sizeof(CEPROPVAL));
    size_t present = 0;
    for (size_t i = 0; i < count; ++i) {
        const store::Property* p = rgPropID ? db.Get(record, rgPropID[i]) : &record.props[i];
        if (count == 1) one = p; else many.push_back(p);
        if (p) {
            ++present;
            needed += Align8(VariableSize(*p));
        }
    }
    if (count == 0) needed = 0;

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
        if (const store::Property* p = at(i)) {
            FillValue(values[i], *p, &tail);
        } else {
            values[i] = CEPROPVAL{};
            values[i].propid = rgPropID[i];
            values[i].wFlags = CEDB_PROPNOTFOUND;
        }
    }
    const CEOID oid = record.oid;
    if (cursor.autoIncrement) ++cursor.current;
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
    size_t index;
    try {
        if (oidRecord == 0) {
            const CEOID oid = db.volume->AddRecord(db.oid, props);
            index = db.records.size();
            db.records.push_back({oid, {}, 0});
            db.byOid.emplace(oid, index);
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
    Database::Record& record = db.records[index];
    for (const store::Property& p : props) {
        db.Put(record, p);
        if (written) written(db, record.oid, p);
    }
    cursor.current = index;
    return record.oid;
}

}  // namespace cedb
