// Consistent copies of a store with SQLite's backup API.
#include "store/snapshot.h"

#include <sqlite3.h>
#include <unistd.h>

#include <string>
#include <system_error>

#include "store/sqlite_db.h"
#include "store/store.h"

namespace store {

namespace {

constexpr int kBusyTimeoutMs = 60'000;

class Connection {
public:
    Connection(const std::string& uri, int flags, const std::string& where) : where_(where) {
        if (sqlite3_open_v2(uri.c_str(), &db_, flags | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) Fail();
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);
    }
    ~Connection() { sqlite3_close_v2(db_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Exec(const char* text) {
        if (sqlite3_exec(db_, text, nullptr, nullptr, nullptr) != SQLITE_OK) Fail();
    }

    // One clear sentence: a file SQLite does not take as a sound store is corrupt.
    [[noreturn]] void Fail() const {
        const int code = db_ ? sqlite3_extended_errcode(db_) & 0xFF : SQLITE_NOMEM;
        const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
        if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) throw Error(where_ + " is corrupt: " + reason);
        throw Error(where_ + " cannot be read: " + reason);
    }

    sqlite3* get() const { return db_; }
    const std::string& where() const { return where_; }

private:
    sqlite3* db_ = nullptr;
    std::string where_;
};

bool Exists(const fs::path& file, const char* suffix) {
    fs::path sibling = file;
    sibling += suffix;
    std::error_code ec;
    return fs::exists(fs::symlink_status(sibling, ec));
}

// How the store is opened for the copy: see snapshot.h.
std::string SourceUri(const fs::path& file, int* flags) {
    if (Exists(file, "-wal") || Exists(file, "-journal")) {
        *flags = SQLITE_OPEN_READONLY;
        return sql::FileUri(file, "?mode=ro");
    }
    if (access(file.parent_path().c_str(), W_OK) == 0) {
        *flags = SQLITE_OPEN_READWRITE;
        return sql::FileUri(file, "");
    }
    *flags = SQLITE_OPEN_READONLY;
    return sql::FileUri(file, "?immutable=1");
}

void CopyInto(Connection& source, const fs::path& to) {
    const std::string where = "the copy \"" + to.string() + "\"";
    std::error_code ec;
    if (fs::exists(to, ec)) throw Error(where + " exists already");
    Connection copy(sql::FileUri(to, ""), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, where);
    // A scratch file: nothing to keep safe from a crash while it is made.
    copy.Exec("PRAGMA synchronous=OFF");
    copy.Exec("PRAGMA journal_mode=OFF");
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", source.get(), "main");
    if (!backup) copy.Fail();
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
    const std::string where = std::string(kind) + " \"" + from.string() + "\"";
    std::error_code ec;
    if (!fs::is_regular_file(from, ec)) throw Error(where + " does not exist or is not a file");
    int flags = 0;
    const std::string uri = SourceUri(from, &flags);
    Connection source(uri, flags, where);
    if (flags & SQLITE_OPEN_READWRITE) source.Exec("PRAGMA query_only=1");
    // The read transaction: every copy is of the state its first read saw.
    source.Exec("BEGIN");
    source.Exec("SELECT count(*) FROM sqlite_schema");
    for (const fs::path& copy : to) CopyInto(source, copy);
    source.Exec("COMMIT");
}

}  // namespace store
