// The SQLite connection and statement wrappers of the stores.
#include "store/sqlite_db.h"

#include "store/bytes.h"

#include <sqlite3.h>

#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace store::sql {

namespace {

constexpr int kBusyTimeoutMs = 60'000;

std::string Quote(const fs::path& file) { return "\"" + file.string() + "\""; }

}  // namespace

std::string FileUri(const fs::path& file, const char* query) {
    std::string uri = "file:";
    for (unsigned char c : fs::absolute(file).string()) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
            static const char* hex = "0123456789ABCDEF";
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + query;
}

namespace {

bool NonEmptyFile(const fs::path& file) {
    std::error_code ec;
    return fs::is_regular_file(file, ec) && fs::file_size(file, ec) > 0;
}

// Prepared statements, kept per connection and statement text once used, so that a
// statement run again (one per value or record written) is not compiled again. A
// statement is handed out to one Stmt at a time; ~Db finalizes its connection's. The
// cache is never destroyed, so a Db that a static object closes at exit still finds it.
using StatementCache =
    std::unordered_map<sqlite3*, std::unordered_map<std::string, std::vector<sqlite3_stmt*>>>;
std::mutex& g_cacheMutex = *new std::mutex;
StatementCache& g_cache = *new StatementCache;

sqlite3_stmt* TakeCached(sqlite3* db, const char* text) {
    std::lock_guard lock(g_cacheMutex);
    const auto conn = g_cache.find(db);
    if (conn == g_cache.end()) return nullptr;
    const auto it = conn->second.find(text);
    if (it == conn->second.end() || it->second.empty()) return nullptr;
    sqlite3_stmt* stmt = it->second.back();
    it->second.pop_back();
    return stmt;
}

void GiveBack(sqlite3* db, sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    std::lock_guard lock(g_cacheMutex);
    g_cache[db][sqlite3_sql(stmt)].push_back(stmt);
}

void FinalizeCached(sqlite3* db) {
    std::lock_guard lock(g_cacheMutex);
    const auto conn = g_cache.find(db);
    if (conn == g_cache.end()) return;
    for (auto& [text, stmts] : conn->second) {
        for (sqlite3_stmt* stmt : stmts) sqlite3_finalize(stmt);
    }
    g_cache.erase(conn);
}

}  // namespace

// ---- Stmt ----

Stmt::Stmt(sqlite3* db, const char* text, const std::string& where) : db_(db), where_(where) {
    stmt_ = TakeCached(db_, text);
    if (stmt_) return;
    if (sqlite3_prepare_v3(db_, text, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK)
        Fail();
}

Stmt::~Stmt() {
    if (stmt_) GiveBack(db_, stmt_);
}

void Stmt::Fail() const {
    throw Error(where_ + ": " + sqlite3_errmsg(db_));
}

Stmt& Stmt::Bind(int index, int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) Fail();
    return *this;
}

Stmt& Stmt::BindBlob(int index, std::span<const uint8_t> bytes) {
    // A zero-length blob, not NULL, for empty data.
    static const uint8_t empty = 0;
    const void* data = bytes.empty() ? &empty : bytes.data();
    if (sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail();
    return *this;
}

Stmt& Stmt::BindText(int index, std::u16string_view text) {
    const std::vector<uint8_t> bytes = Utf16LeBytes(text);
    return BindBlob(index, bytes);
}

Stmt& Stmt::BindNull(int index) {
    if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) Fail();
    return *this;
}

bool Stmt::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string message = where_ + ": " + sqlite3_errmsg(db_);
    sqlite3_reset(stmt_);
    throw Error(message);
}

void Stmt::Run() {
    while (Step()) {
    }
    Reset();
}

void Stmt::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int64_t Stmt::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

bool Stmt::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

std::span<const uint8_t> Stmt::BlobView(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    if (!data || size <= 0) return {};
    return {static_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

std::vector<uint8_t> Stmt::Blob(int column) const {
    const auto view = BlobView(column);
    return {view.begin(), view.end()};
}

std::u16string Stmt::Text(int column) const { return Utf16LeText(BlobView(column)); }

// ---- Db ----

Db::Db(const fs::path& file, Mode mode, bool create, const char* kind)
    : where_(std::string(kind) + " " + Quote(file)), mode_(mode) {
    std::error_code ec;
    if (create) {
        if (fs::exists(file, ec)) throw Error(where_ + " exists already");
    } else if (!fs::is_regular_file(file, ec)) {
        throw Error(where_ + " does not exist or is not a file");
    }

    std::string uri;
    int flags = SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX;
    if (mode == Mode::ReadOnly) {
        // Without a -wal file everything is in the main file: read it as immutable, so
        // not even a -shm file is made. With one, another process is writing (or one
        // was killed): read through it without write access.
        fs::path wal = file;
        wal += "-wal";
        uri = FileUri(file, NonEmptyFile(wal) ? "?mode=ro" : "?immutable=1");
        flags |= SQLITE_OPEN_READONLY;
    } else {
        uri = FileUri(file, "");
        flags |= SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    }
    if (sqlite3_open_v2(uri.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string message = where_ + " cannot be opened: " +
                                    (db_ ? sqlite3_errmsg(db_) : "out of memory");
        sqlite3_close(db_);
        throw Error(message);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 1);
    try {
        if (mode == Mode::ReadWrite) {
            Exec("PRAGMA journal_mode=WAL");
            Exec("PRAGMA synchronous=NORMAL");
        }
        // Reading the schema proves this is an SQLite file at all.
        Exec("SELECT count(*) FROM sqlite_schema");
    } catch (const Error&) {
        sqlite3_close(db_);
        throw Error(where_ + " is not a readable store");
    }
}

Db::~Db() {
    FinalizeCached(db_);
    if (explicit_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
}

void Db::Exec(const char* text) {
    char* message = nullptr;
    if (sqlite3_exec(db_, text, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string reason = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw Error(where_ + ": " + reason);
    }
}

int64_t Db::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int Db::Changes() const { return sqlite3_changes(db_); }

void Db::RequireWritable() const {
    if (mode_ == Mode::ReadOnly) throw Error(where_ + " is open read-only");
}

void Db::Begin() {
    RequireWritable();
    if (explicit_) throw Error(where_ + ": a transaction is open already");
    Exec("BEGIN IMMEDIATE");
    explicit_ = true;
}

void Db::Commit() {
    if (!explicit_) return;
    Exec("COMMIT");
    explicit_ = false;
}

void Db::Rollback() {
    if (!explicit_) return;
    explicit_ = false;
    Exec("ROLLBACK");
}

Db::WriteScope::WriteScope(Db& db) : db_(db), nested_(db.explicit_) {
    db_.RequireWritable();
    db_.Exec(nested_ ? "SAVEPOINT write_scope" : "BEGIN IMMEDIATE");
}

Db::WriteScope::~WriteScope() {
    if (done_) return;
    const char* undo = nested_ ? "ROLLBACK TO write_scope; RELEASE write_scope" : "ROLLBACK";
    sqlite3_exec(db_.db_, undo, nullptr, nullptr, nullptr);
}

void Db::WriteScope::Done() {
    db_.Exec(nested_ ? "RELEASE write_scope" : "COMMIT");
    done_ = true;
}

}  // namespace store::sql
