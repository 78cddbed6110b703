// Property databases: the mounted volumes, and databases opened from them.
//
// An open database keeps all its records in memory (OpenDatabase, shared by every
// handle on the same database and dropped with the last one) and writes through to
// the volume store, which commits each call. The installer's scan -- seek to record
// i, read one property, free the buffer, for every patch entry -- then never touches
// SQLite. Each record remembers where the property asked for last sits, so reading
// the same tag again costs one comparison.
#include <bit>
#include <cstdlib>
#include <cstring>

#include "platform/host/device.h"
#include "platform/host/errors.h"
#include "store/bytes.h"
#include "store/text.h"

namespace host::device {

struct OpenDatabase {
    struct Record {
        CEOID oid;
        std::vector<store::Property> props;
        size_t hint = 0;  // index of the property read last
    };
    store::VolumeStore* volume = nullptr;
    std::u16string volumePath;
    std::u16string name;
    uint32_t oid = 0;
    std::vector<Record> records;
    std::unordered_map<CEOID, size_t> byOid;

    const store::Property* Get(Record& record, CEPROPID propid) {
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

    void Put(Record& record, const store::Property& prop) {
        for (store::Property& p : record.props) {
            if (p.propid == prop.propid) {
                p.bytes = prop.bytes;
                return;
            }
        }
        record.props.push_back(prop);
    }
};

namespace {

constexpr DWORD kGuidMark = 0x43455648;  // Data2 of every volume identifier

struct DatabaseObject final : Object {
    explicit DatabaseObject(std::shared_ptr<OpenDatabase> d, bool autoIncrement)
        : Object(Kind::Database), db(std::move(d)), autoIncrement(autoIncrement) {}
    std::shared_ptr<OpenDatabase> db;
    bool autoIncrement;
    size_t current = SIZE_MAX;  // the current record, SIZE_MAX for none
};

bool IsInvalidGuid(const CEGUID& g) {
    return (g.Data1 & g.Data2 & g.Data3 & g.Data4) == 0xFFFFFFFFu;
}

CEGUID GuidOf(uint32_t mountId) { return {mountId, kGuidMark, 0, 0}; }

std::optional<uint32_t> MountIdOf(const CEGUID& g) {
    if (g.Data1 == 0 || g.Data2 != kGuidMark || g.Data3 != 0 || g.Data4 != 0) return std::nullopt;
    return g.Data1;
}

size_t VariableSize(const store::Property& p) {
    switch (TypeFromPropID(p.propid)) {
        case CEVT_LPWSTR: return p.bytes.size() + sizeof(WCHAR);
        case CEVT_BLOB: return p.bytes.size();
        default: return 0;
    }
}

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// Fills one CEPROPVAL; variable data goes to *tail, which moves on.
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

// The canonical bytes of a property handed in by the caller; false when it is bad.
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
            store::AppendUtf16Le(out->bytes, std::u16string_view(in.val.lpwstr, units));
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

}  // namespace

store::VolumeStore* Device::Volume(const std::u16string& volumePath) {
    std::filesystem::path host;
    if (files_.paths.Resolve(volumePath, &host) != store::PathStatus::Ok) return nullptr;
    auto& slot = databases_.volumes[host];
    if (!slot) slot = std::make_unique<store::VolumeStore>(host, store::Mode::ReadWrite);
    return slot.get();
}

BOOL Device::CeEnumDBVolumes(PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize) {
    if (pguid == nullptr || lpBuf == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint32_t after = 0;
    if (!IsInvalidGuid(*pguid)) {
        const auto id = MountIdOf(*pguid);
        if (!id) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        after = *id;
    }
    std::lock_guard lock(mutex_);
    std::vector<store::Mount> mounts;
    try {
        mounts = databases_.mounts->List();
    } catch (const store::Error& e) {
        StoreFailed(e, false);
        SetLastError(kStoreReadFailed);
        return FALSE;
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

HANDLE Device::CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID,
                                DWORD dwFlags, CENOTIFYREQUEST*) {
    auto fail = [](DWORD error) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    };
    const CEOID wantedOid = poid ? *poid : 0;
    if (pguid == nullptr || (wantedOid == 0 && lpszName == nullptr))
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard lock(mutex_);
    try {
        std::vector<store::Mount> candidates;
        for (const store::Mount& m : databases_.mounts->List()) {
            if (IsInvalidGuid(*pguid) || MountIdOf(*pguid) == m.id) candidates.push_back(m);
        }
        if (candidates.empty()) return fail(ERROR_INVALID_PARAMETER);
        for (const store::Mount& m : candidates) {
            store::VolumeStore* volume = Volume(m.volumePath);
            if (!volume) continue;
            std::optional<store::DatabaseInfo> info;
            if (wantedOid) {
                for (const auto& d : volume->Databases())
                    if (d.oid == wantedOid) info = d;
            } else {
                info = volume->FindDatabase(lpszName);
            }
            if (!info) continue;

            std::filesystem::path host;
            files_.paths.Resolve(m.volumePath, &host);
            auto& cached = databases_.open[{host, info->oid}];
            std::shared_ptr<OpenDatabase> db = cached.lock();
            if (!db) {
                db = std::make_shared<OpenDatabase>();
                db->volume = volume;
                db->volumePath = m.volumePath;
                db->name = info->name;
                db->oid = info->oid;
                for (store::Record& r : volume->Records(info->oid)) {
                    db->byOid.emplace(r.oid, db->records.size());
                    db->records.push_back({r.oid, std::move(r.props), 0});
                }
                cached = db;
            }
            if (poid) *poid = info->oid;
            return reinterpret_cast<HANDLE>(handles_.Add(std::make_unique<DatabaseObject>(
                std::move(db), (dwFlags & CEDB_AUTOINCREMENT) != 0)));
        }
        return fail(ERROR_FILE_NOT_FOUND);
    } catch (const store::Error& e) {
        StoreFailed(e, false);
        return fail(kStoreReadFailed);
    }
}

CEOID Device::CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue,
                             LPDWORD lpdwIndex) {
    std::lock_guard lock(mutex_);
    auto* h = handles_.Find<DatabaseObject>(reinterpret_cast<uintptr_t>(hDatabase), Object::Kind::Database);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const auto& records = h->db->records;
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
            if (h->current == SIZE_MAX) break;
            const int64_t at = static_cast<int64_t>(h->current) + static_cast<int32_t>(dwValue);
            if (at >= 0 && static_cast<size_t>(at) < count) target = static_cast<size_t>(at);
            break;
        }
        case CEDB_SEEK_CEOID:
            if (auto it = h->db->byOid.find(dwValue); it != h->db->byOid.end()) target = it->second;
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
    h->current = target;
    if (lpdwIndex) *lpdwIndex = static_cast<DWORD>(target);
    return records[target].oid;
}

CEOID Device::CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID,
                                CEPROPID* rgPropID, LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) {
    std::lock_guard lock(mutex_);
    auto* h = handles_.Find<DatabaseObject>(reinterpret_cast<uintptr_t>(hDbase), Object::Kind::Database);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!lpcPropID || !lplpBuffer || !lpcbBuffer || (rgPropID && *lpcPropID == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (h->current >= h->db->records.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return 0;
    }
    OpenDatabase::Record& record = h->db->records[h->current];
    const size_t count = rgPropID ? *lpcPropID : record.props.size();

    // Found properties, in the order asked for (nullptr: not in the record).
    const store::Property* one = nullptr;
    std::vector<const store::Property*> many;
    auto at = [&](size_t i) { return count == 1 ? one : many[i]; };
    size_t needed = Align8(count * sizeof(CEPROPVAL));
    size_t present = 0;
    for (size_t i = 0; i < count; ++i) {
        const store::Property* p =
            rgPropID ? h->db->Get(record, rgPropID[i]) : &record.props[i];
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
        buffer = static_cast<uint8_t*>(std::malloc(needed ? needed : 1));
        if (!buffer) {
            SetLastError(kOutOfResources);
            return 0;
        }
        if (*lplpBuffer) --databases_.readBuffers;
        std::free(*lplpBuffer);
        *lplpBuffer = buffer;
        ++databases_.readBuffers;
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
    if (h->autoIncrement) ++h->current;
    if (present == 0 && count > 0) {
        SetLastError(ERROR_NO_DATA);
        return 0;
    }
    return oid;
}

CEOID Device::CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID,
                                 CEPROPVAL* rgPropVal) {
    auto fail = [](DWORD error) {
        SetLastError(error);
        return CEOID{0};
    };
    std::lock_guard lock(mutex_);
    auto* h = handles_.Find<DatabaseObject>(reinterpret_cast<uintptr_t>(hDbase), Object::Kind::Database);
    if (!h) return fail(ERROR_INVALID_HANDLE);
    if (cPropID == 0 || rgPropVal == nullptr) return fail(ERROR_INVALID_PARAMETER);
    std::vector<store::Property> props(cPropID);
    for (WORD i = 0; i < cPropID; ++i) {
        // Deleting properties is not offered: the host never needs it.
        if (rgPropVal[i].wFlags & CEDB_PROPDELETE) return fail(ERROR_INVALID_PARAMETER);
        if (!ToProperty(rgPropVal[i], &props[i])) return fail(ERROR_INVALID_PARAMETER);
    }
    if (writesStopped_) return fail(kStoreWriteFailed);
    OpenDatabase& db = *h->db;
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
        StoreFailed(e, true);
        return fail(kStoreWriteFailed);
    }
    Committed(1);
    OpenDatabase::Record& record = db.records[index];
    for (const store::Property& p : props) {
        db.Put(record, p);
        if (options_.trace)
            Trace("db\t" + TraceText(db.volumePath) + "\t" + TraceText(db.name) + "\t" +
                  std::to_string(record.oid) + "\t" + std::to_string(p.propid) + "\t" + store::HexOf(p.bytes));
    }
    h->current = index;
    return record.oid;
}

HLOCAL Device::LocalFree(HLOCAL hMem) {
    if (hMem) {
        std::lock_guard lock(mutex_);
        --databases_.readBuffers;
    }
    std::free(hMem);
    return nullptr;
}

}  // namespace host::device
