// The mount table: which volumes of the image the platform's enumeration sees.
//
// Ids come from AUTOINCREMENT, so a volume unmounted and mounted again gets a new id
// and an id is never reused: a CEGUID built from it can never name another volume.
#include "store/sqlite_db.h"
#include "store/store.h"
#include "store/text.h"

namespace store {

namespace {

constexpr int kApplicationId = 0x43454D54;  // marks a mount table

const char* kSchema = R"(
CREATE TABLE mounts(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  path BLOB NOT NULL,
  fold BLOB NOT NULL UNIQUE);
)";

}  // namespace

struct MountTable::Impl {
    sql::Db db;
    Impl(const fs::path& file, Mode mode) : db(file, mode, false, "mount table") {
        sql::Stmt stmt(db.get(), "PRAGMA application_id", db.where());
        if (!stmt.Step() || stmt.Int(0) != kApplicationId)
            throw Error(db.where() + " is not a mount table");
    }
};

void MountTable::Create(const fs::path& file) {
    sql::Db db(file, Mode::ReadWrite, true, "mount table");
    sql::Db::WriteScope scope(db);
    db.Exec(kSchema);
    db.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
    scope.Done();
}

MountTable::MountTable(const fs::path& file, Mode mode)
    : impl_(std::make_unique<Impl>(file, mode)) {}

MountTable::~MountTable() = default;

std::vector<Mount> MountTable::List() const {
    sql::Stmt stmt(impl_->db.get(), "SELECT id, path FROM mounts ORDER BY id", impl_->db.where());
    std::vector<Mount> mounts;
    while (stmt.Step()) mounts.push_back({static_cast<uint32_t>(stmt.Int(0)), stmt.Text(1)});
    return mounts;
}

Mount MountTable::Add(std::u16string_view volumePath) {
    auto& db = impl_->db;
    db.RequireWritable();
    if (volumePath.empty() || volumePath.front() != u'\\')
        throw Error(db.where() + ": \"" + text::ToUtf8(volumePath) +
                    "\" is not an absolute platform path");
    sql::Db::WriteScope scope(db);
    sql::Stmt find(db.get(), "SELECT id, path FROM mounts WHERE fold = ?", db.where());
    find.BindText(1, text::FoldCase(volumePath));
    if (find.Step()) return {static_cast<uint32_t>(find.Int(0)), find.Text(1)};
    sql::Stmt add(db.get(), "INSERT INTO mounts(path, fold) VALUES(?, ?)", db.where());
    add.BindText(1, volumePath).BindText(2, text::FoldCase(volumePath)).Run();
    const auto id = db.LastInsertId();
    if (id <= 0 || id > 0xFFFFFFFF) throw Error(db.where() + " has no mount ids left");
    scope.Done();
    return {static_cast<uint32_t>(id), std::u16string(volumePath)};
}

bool MountTable::Remove(std::u16string_view volumePath) {
    auto& db = impl_->db;
    db.RequireWritable();
    sql::Stmt stmt(db.get(), "DELETE FROM mounts WHERE fold = ?", db.where());
    stmt.BindText(1, text::FoldCase(volumePath)).Run();
    return db.Changes() > 0;
}

}  // namespace store
