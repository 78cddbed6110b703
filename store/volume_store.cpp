// A database volume: one SQLite file holding databases, their records and the
// records' properties.
//
// Object ids come from one counter of the volume, so databases and records share one
// space and no id is ever handed out twice. Records keep the order they were added
// in (records.pos), properties the order they were first set in (props.pos).
#include <algorithm>
#include <cstring>

#include "platform/wince.h"
#include "store/sqlite_db.h"
#include "store/store.h"
#include "store/text.h"

namespace store {

namespace {

constexpr int kApplicationId = 0x43455644;  // marks a volume store
constexpr int64_t kFirstOid = 0x1001;
constexpr int64_t kLastOid = 0xFFFFFFFF;
constexpr size_t kMaxNameLength = CEDB_MAXDBASENAMELEN - 1;  // characters, terminator aside

const char* kSchema = R"(
CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE dbs(
  pos INTEGER PRIMARY KEY,
  oid INTEGER NOT NULL UNIQUE,
  name BLOB NOT NULL,
  fold BLOB NOT NULL UNIQUE,
  type INTEGER NOT NULL);
CREATE TABLE records(
  pos INTEGER PRIMARY KEY,
  oid INTEGER NOT NULL UNIQUE,
  db INTEGER NOT NULL);
CREATE INDEX records_by_db ON records(db, pos);
CREATE TABLE props(
  pos INTEGER PRIMARY KEY,
  record INTEGER NOT NULL,
  propid INTEGER NOT NULL,
  bytes BLOB NOT NULL,
  UNIQUE(record, propid));
)";

// The size the canonical bytes of a fixed-size type must have; 0 for the others.
size_t FixedSize(uint16_t type) {
    switch (type) {
        case CEVT_I2:
        case CEVT_UI2: return 2;
        case CEVT_I4:
        case CEVT_UI4:
        case CEVT_BOOL: return 4;
        case CEVT_R8:
        case CEVT_FILETIME: return 8;
        default: return 0;
    }
}

void CheckProperty(const std::string& where, const Property& prop) {
    const uint16_t type = static_cast<uint16_t>(prop.propid & 0xFFFF);
    const std::string what = where + ": property " + std::to_string(prop.propid >> 16) + " ";
    if (!IsPropertyType(type)) throw Error(what + "has the unknown type " + std::to_string(type));
    if (const size_t size = FixedSize(type); size && prop.bytes.size() != size)
        throw Error(what + "must be " + std::to_string(size) + " bytes, not " +
                    std::to_string(prop.bytes.size()));
    if (prop.bytes.size() > CEDB_MAXPROPDATASIZE)
        throw Error(what + "is larger than " + std::to_string(CEDB_MAXPROPDATASIZE) + " bytes");
    if (type == CEVT_LPWSTR) {
        if (prop.bytes.size() % 2) throw Error(what + "has text of an odd number of bytes");
        for (size_t i = 0; i < prop.bytes.size(); i += 2)
            if (prop.bytes[i] == 0 && prop.bytes[i + 1] == 0)
                throw Error(what + "has text with a NUL character in it");
    }
}

void CheckKind(sql::Db& db) {
    sql::Stmt stmt(db.get(), "PRAGMA application_id", db.where());
    if (!stmt.Step() || stmt.Int(0) != kApplicationId)
        throw Error(db.where() + " is not a database volume");
}

}  // namespace

bool IsPropertyType(uint16_t type) {
    switch (type) {
        case CEVT_I2:
        case CEVT_UI2:
        case CEVT_I4:
        case CEVT_UI4:
        case CEVT_FILETIME:
        case CEVT_LPWSTR:
        case CEVT_BLOB:
        case CEVT_BOOL:
        case CEVT_R8: return true;
        default: return false;
    }
}

struct VolumeStore::Impl {
    sql::Db db;
    // One thread at a time uses a volume store (the device and the Windows build call
    // it under their lock; each command opens its own), so its connection goes without
    // SQLite's lock per call.
    Impl(const fs::path& file, Mode mode) : db(file, mode, false, "volume", sql::Threads::OneAtATime) {
        CheckKind(db);
    }

    uint32_t NextOid() {
        sql::Stmt read(db.get(), "SELECT value FROM counters WHERE name = 'next_oid'", db.where());
        const int64_t oid = read.Step() ? read.Int(0) : kFirstOid;
        if (oid < kFirstOid || oid > kLastOid) throw Error(db.where() + " has no object ids left");
        sql::Stmt write(db.get(),
                        "INSERT INTO counters(name, value) VALUES('next_oid', ?) "
                        "ON CONFLICT(name) DO UPDATE SET value = excluded.value",
                        db.where());
        write.Bind(1, oid + 1).Run();
        return static_cast<uint32_t>(oid);
    }

    void PutProperties(uint32_t recordOid, std::span<const Property> props) {
        for (const Property& prop : props) CheckProperty(db.where(), prop);
        sql::Stmt stmt(db.get(),
                       "INSERT INTO props(record, propid, bytes) VALUES(?, ?, ?) "
                       "ON CONFLICT(record, propid) DO UPDATE SET bytes = excluded.bytes",
                       db.where());
        for (const Property& prop : props) {
            stmt.Bind(1, recordOid).Bind(2, prop.propid).BindBlob(3, prop.bytes).Run();
        }
    }

    bool HasDatabase(uint32_t dbOid) {
        sql::Stmt stmt(db.get(), "SELECT 1 FROM dbs WHERE oid = ?", db.where());
        stmt.Bind(1, dbOid);
        return stmt.Step();
    }
};

void VolumeStore::Create(const fs::path& file) {
    sql::Db db(file, Mode::ReadWrite, true, "volume");
    sql::Db::WriteScope scope(db);
    db.Exec(kSchema);
    db.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
    scope.Done();
}

VolumeStore::VolumeStore(const fs::path& file, Mode mode)
    : impl_(std::make_unique<Impl>(file, mode)) {}

VolumeStore::~VolumeStore() = default;

std::vector<DatabaseInfo> VolumeStore::Databases() const {
    sql::Stmt stmt(impl_->db.get(),
                   "SELECT oid, name, type, (SELECT count(*) FROM records WHERE db = dbs.oid) "
                   "FROM dbs ORDER BY pos",
                   impl_->db.where());
    std::vector<DatabaseInfo> infos;
    while (stmt.Step())
        infos.push_back({static_cast<uint32_t>(stmt.Int(0)), stmt.Text(1),
                         static_cast<uint32_t>(stmt.Int(2)), static_cast<size_t>(stmt.Int(3))});
    return infos;
}

std::optional<DatabaseInfo> VolumeStore::FindDatabase(std::u16string_view name) const {
    sql::Stmt stmt(impl_->db.get(),
                   "SELECT oid, name, type, (SELECT count(*) FROM records WHERE db = dbs.oid) "
                   "FROM dbs WHERE fold = ?",
                   impl_->db.where());
    stmt.BindText(1, text::FoldCase(name));
    if (!stmt.Step()) return std::nullopt;
    return DatabaseInfo{static_cast<uint32_t>(stmt.Int(0)), stmt.Text(1),
                        static_cast<uint32_t>(stmt.Int(2)), static_cast<size_t>(stmt.Int(3))};
}

DatabaseInfo VolumeStore::CreateDatabase(std::u16string_view name, uint32_t type) {
    impl_->db.RequireWritable();
    const std::string quoted = "\"" + text::ToUtf8(name) + "\"";
    if (name.empty() || name.size() > kMaxNameLength)
        throw Error(impl_->db.where() + ": the database name " + quoted + " must have 1 to " +
                    std::to_string(kMaxNameLength) + " characters");
    if (name.find(u'\0') != std::u16string_view::npos)
        throw Error(impl_->db.where() + ": the database name " + quoted + " holds a NUL");
    sql::Db::WriteScope scope(impl_->db);
    if (FindDatabase(name))
        throw Error(impl_->db.where() + ": a database named " + quoted + " exists already");
    const uint32_t oid = impl_->NextOid();
    sql::Stmt stmt(impl_->db.get(), "INSERT INTO dbs(oid, name, fold, type) VALUES(?, ?, ?, ?)",
                   impl_->db.where());
    stmt.Bind(1, oid).BindText(2, name).BindText(3, text::FoldCase(name)).Bind(4, type).Run();
    scope.Done();
    return {oid, std::u16string(name), type, 0};
}

void VolumeStore::DropDatabase(uint32_t dbOid) {
    impl_->db.RequireWritable();
    sql::Db::WriteScope scope(impl_->db);
    if (!impl_->HasDatabase(dbOid))
        throw Error(impl_->db.where() + ": no database with object id " + std::to_string(dbOid));
    for (const char* text : {"DELETE FROM props WHERE record IN (SELECT oid FROM records WHERE db = ?)",
                             "DELETE FROM records WHERE db = ?", "DELETE FROM dbs WHERE oid = ?"}) {
        sql::Stmt stmt(impl_->db.get(), text, impl_->db.where());
        stmt.Bind(1, dbOid).Run();
    }
    scope.Done();
}

std::vector<Record> VolumeStore::Records(uint32_t dbOid) const {
    std::vector<Record> records;
    RecordReader reader(*this, dbOid);
    for (Record record; reader.Next(record);) records.push_back(std::move(record));
    return records;
}

struct VolumeStore::RecordReader::Impl {
    // One row per property, a record's rows together in record order. The properties
    // of a record come in the index's order and are put in theirs here: asking SQLite
    // for that order too would make it sort every record's rows apart.
    sql::Stmt rows;
    bool pending = false;  // rows stands on the first row of the next record
    std::vector<int64_t> positions;  // of the record's properties, as read

    Impl(const VolumeStore& volume, uint32_t dbOid)
        : rows(volume.impl_->db.get(),
               "SELECT r.oid, p.pos, p.propid, p.bytes FROM records r "
               "LEFT JOIN props p ON p.record = r.oid WHERE r.db = ? ORDER BY r.pos",
               volume.impl_->db.where()) {
        rows.Bind(1, dbOid);
        pending = rows.Step();
    }
};

VolumeStore::RecordReader::RecordReader(const VolumeStore& volume, uint32_t dbOid)
    : impl_(std::make_unique<Impl>(volume, dbOid)) {}

VolumeStore::RecordReader::~RecordReader() = default;

bool VolumeStore::RecordReader::Next(Record& record) {
    sql::Stmt& rows = impl_->rows;
    if (!impl_->pending) return false;
    record.oid = static_cast<uint32_t>(rows.Int(0));
    // The record's Property objects are reused, so a reader that passes the same
    // record again and again allocates only when a property grows.
    size_t count = 0;
    std::vector<int64_t>& positions = impl_->positions;
    positions.clear();
    bool ordered = true;
    do {
        if (!rows.IsNull(1)) {
            if (count == record.props.size()) record.props.emplace_back();
            Property& p = record.props[count++];
            p.propid = static_cast<uint32_t>(rows.Int(2));
            const auto bytes = rows.BlobView(3);
            p.bytes.assign(bytes.begin(), bytes.end());
            const int64_t pos = rows.Int(1);
            if (!positions.empty() && pos < positions.back()) ordered = false;
            positions.push_back(pos);
        }
        impl_->pending = rows.Step();
    } while (impl_->pending && static_cast<uint32_t>(rows.Int(0)) == record.oid);
    record.props.resize(count);
    if (!ordered) {
        // A record's properties are few: an insertion sort by position.
        for (size_t i = 1; i < count; ++i) {
            for (size_t j = i; j > 0 && positions[j] < positions[j - 1]; --j) {
                std::swap(positions[j], positions[j - 1]);
                std::swap(record.props[j], record.props[j - 1]);
            }
        }
    }
    return true;
}

bool VolumeStore::OidsRiseWithRecordOrder(uint32_t dbOid) const {
    sql::Stmt stmt(impl_->db.get(), "SELECT oid FROM records WHERE db = ? ORDER BY pos",
                   impl_->db.where());
    stmt.Bind(1, dbOid);
    int64_t last = -1;
    while (stmt.Step()) {
        if (stmt.Int(0) <= last) return false;
        last = stmt.Int(0);
    }
    return true;
}

uint32_t VolumeStore::AddRecord(uint32_t dbOid, std::span<const Property> props) {
    impl_->db.RequireWritable();
    sql::Db::WriteScope scope(impl_->db);
    if (!impl_->HasDatabase(dbOid))
        throw Error(impl_->db.where() + ": no database with object id " + std::to_string(dbOid));
    const uint32_t oid = impl_->NextOid();
    sql::Stmt stmt(impl_->db.get(), "INSERT INTO records(oid, db) VALUES(?, ?)",
                   impl_->db.where());
    stmt.Bind(1, oid).Bind(2, dbOid).Run();
    impl_->PutProperties(oid, props);
    scope.Done();
    return oid;
}

void VolumeStore::SetProperties(uint32_t recordOid, std::span<const Property> props) {
    impl_->db.RequireWritable();
    sql::Db::WriteScope scope(impl_->db);
    sql::Stmt stmt(impl_->db.get(), "SELECT 1 FROM records WHERE oid = ?", impl_->db.where());
    stmt.Bind(1, recordOid);
    if (!stmt.Step())
        throw Error(impl_->db.where() + ": no record with object id " + std::to_string(recordOid));
    impl_->PutProperties(recordOid, props);
    scope.Done();
}

void VolumeStore::Begin() { impl_->db.Begin(); }
void VolumeStore::Commit() { impl_->db.Commit(); }
void VolumeStore::Rollback() { impl_->db.Rollback(); }
bool VolumeStore::InTransaction() const { return impl_->db.InTransaction(); }

}  // namespace store
