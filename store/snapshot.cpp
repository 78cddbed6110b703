// Consistent copies of a store with SQLite's backup API.
#include "store/snapshot.h"

#include <sqlite3.h>

#include <string>
#include <system_error>

#include "store/sqlite_db.h"
#include "store/store.h"

namespace store {

namespace {

// Copies what the source connection's read transaction sees into the new file `to`.
void CopyInto(const sql::Db& source, const fs::path& to) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec))) throw Error("the copy \"" + to.string() + "\" exists already");
    sql::Db copy(to, Mode::ReadWrite, true, "the copy");
    // A scratch file: nothing to keep safe from a crash while it is made.
    copy.Exec("PRAGMA synchronous=OFF");
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", source.get(), "main");
    if (!backup) throw Error("the copy \"" + to.string() + "\" cannot be made: " + sqlite3_errmsg(copy.get()));
    const int stepped = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    switch (stepped & 0xFF) {
        case SQLITE_DONE: return;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: throw Error(source.where() + " is corrupt: " + sqlite3_errstr(stepped));
        default: throw Error(source.where() + " cannot be copied to " + to.string() + ": " +
                             sqlite3_errstr(stepped));
    }
}

}  // namespace

void CopyStore(const fs::path& from, std::span<const fs::path> to, const char* kind) {
    // A reader's connection holds one read transaction for its whole life: every copy
    // is of the state its first read saw.
    const sql::Db source(from, Mode::ReadOnly, false, kind);
    for (const fs::path& copy : to) CopyInto(source, copy);
}

}  // namespace store
