// The SQLite connection and statement wrappers of the stores.
#include "store/sqlite_db.h"

#include "store/bytes.h"

#include <sqlite3.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace store::sql {

namespace {

// How long a connection waits for another process's lock before it gives up; a
// connection that has given up once does not wait again (a run whose store stays
// locked fails each later write at once instead of waiting for each).
constexpr int kLockWaitMs = 5'000;
constexpr int kLockPollMs = 20;
constexpr int kLockNoticeMs = 200;  // a wait this long is told; shorter ones are routine

// A path as UTF-8, the encoding SQLite takes file names in on every system.
std::string Utf8(const std::u8string& path) { return std::string(path.begin(), path.end()); }

// ---- Waiting for locks ----

std::mutex& g_noticeMutex = *new std::mutex;
std::function<void(const fs::path&)>& g_lockWaitNotice = *new std::function<void(const fs::path&)>;
std::set<fs::path>& g_noticed = *new std::set<fs::path>;

void NoticeWait(const fs::path& file) {
    std::lock_guard lock(g_noticeMutex);
    if (g_lockWaitNotice && g_noticed.insert(file).second) g_lockWaitNotice(file);
}

int WaitWhileBusy(void* state, int attempts) {
    auto* wait = static_cast<LockWait*>(state);
    if (wait->gaveUp) return 0;
    if (attempts * kLockPollMs == kLockNoticeMs) NoticeWait(wait->file);
    if (attempts * kLockPollMs >= kLockWaitMs) {
        wait->gaveUp = true;
        return 0;
    }
    sqlite3_sleep(kLockPollMs);
    return 1;
}

// What went wrong, in words a user acts on: a full or read-only disk (also where
// SQLite passes on the file system's own error), a lock, a damaged file; else
// SQLite's reason.
std::string Reason(sqlite3* db, int rc) {
    constexpr const char* kFull = "cannot be written: the disk is full";
    constexpr const char* kReadOnly = "cannot be written: the file system or the file is read-only";
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return "is locked by another process";
        case SQLITE_FULL: return kFull;
        case SQLITE_READONLY: return kReadOnly;
        case SQLITE_CORRUPT: return "is corrupt";
        case SQLITE_NOTADB: return "is not a readable store (corrupt, or no store at all)";
        case SQLITE_NOMEM: return "cannot be used: out of memory";
        default: break;
    }
    std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
    if ((rc & 0xFF) == SQLITE_IOERR || (rc & 0xFF) == SQLITE_CANTOPEN) {
        const int error = db ? sqlite3_system_errno(db) : 0;
        if (error == ENOSPC) return kFull;
#ifdef EDQUOT
        if (error == EDQUOT) return kFull;
#endif
        if (error == EROFS) return kReadOnly;
        if (error != 0) reason += std::string(": ") + std::strerror(error);
    }
    return "failed: " + reason;
}

// Where a store file's readers look: "ro" (through the -wal of a writer), "rw" (a
// connection that only reads but, being able to write, removes the -wal and -shm it
// made when it closes), or "immutable" (a folder nobody can write: no -wal can exist).
enum class ReadAccess { ReadOnly, ReadWrite, Immutable };

bool Writable(const fs::path& path) {
#ifdef _WIN32
    return _waccess(path.c_str(), 2) == 0;
#else
    return access(path.c_str(), W_OK) == 0;
#endif
}

ReadAccess ReaderAccess(const fs::path& file) {
    std::error_code ec;
    fs::path wal = file;
    wal += "-wal";
    const fs::path folder = fs::absolute(file, ec).parent_path();
    const bool folderWritable = Writable(folder);
    const bool walExists = fs::exists(fs::symlink_status(wal, ec));
    if (!folderWritable && !walExists) return ReadAccess::Immutable;
    if (walExists || !folderWritable || !Writable(file)) return ReadAccess::ReadOnly;
    return ReadAccess::ReadWrite;
}

std::string Quote(const fs::path& file) { return "\"" + Utf8(file.u8string()) + "\""; }

// A URI for sqlite3_open_v2 with the path's special characters escaped; its path
// begins with "/" also where an absolute path begins with a drive letter.
std::string FileUri(const fs::path& file, const char* query) {
    std::string path = Utf8(fs::absolute(file).generic_u8string());
    if (path.empty() || path.front() != '/') path.insert(0, "/");
    std::string uri = "file:";
    for (unsigned char c : path) {
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
    throw Error(where_ + " " + Reason(db_, sqlite3_extended_errcode(db_)));
}

Stmt& Stmt::Bind(int index, int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) Fail();
    return *this;
}

namespace {

// Binds bytes as a blob: a zero-length blob, not NULL, for empty data; `keep` is
// SQLITE_TRANSIENT (SQLite copies them) or SQLITE_STATIC.
int BindBytes(sqlite3_stmt* stmt, int index, std::span<const uint8_t> bytes, sqlite3_destructor_type keep) {
    static const uint8_t empty = 0;
    const void* data = bytes.empty() ? &empty : bytes.data();
    return sqlite3_bind_blob64(stmt, index, data, bytes.size(), keep);
}

// UTF-16 text as the stored bytes: its code units little-endian, which on a
// little-endian host they are in memory already. `converted` holds them otherwise.
std::span<const uint8_t> StoredBytes(std::u16string_view text, std::vector<uint8_t>& converted) {
    if constexpr (std::endian::native == std::endian::little) {
        return {reinterpret_cast<const uint8_t*>(text.data()), text.size() * sizeof(char16_t)};
    } else {
        converted = Utf16LeBytes(text);
        return converted;
    }
}

}  // namespace

Stmt& Stmt::BindBlob(int index, std::span<const uint8_t> bytes) {
    if (BindBytes(stmt_, index, bytes, SQLITE_TRANSIENT) != SQLITE_OK) Fail();
    return *this;
}

Stmt& Stmt::BindText(int index, std::u16string_view text) {
    std::vector<uint8_t> converted;
    return BindBlob(index, StoredBytes(text, converted));
}

Stmt& Stmt::BindBlobInPlace(int index, std::span<const uint8_t> bytes) {
    if (BindBytes(stmt_, index, bytes, SQLITE_STATIC) != SQLITE_OK) Fail();
    return *this;
}

Stmt& Stmt::BindTextInPlace(int index, std::u16string_view text) {
    if constexpr (std::endian::native == std::endian::little) {
        std::vector<uint8_t> unused;
        return BindBlobInPlace(index, StoredBytes(text, unused));
    } else {
        return BindText(index, text);  // the converted bytes are a copy: SQLite keeps its own
    }
}

Stmt& Stmt::BindNull(int index) {
    if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) Fail();
    return *this;
}

bool Stmt::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string message = where_ + " " + Reason(db_, rc);
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

namespace {

// Which of a store file's -wal and -shm files exist.
struct SideFiles {
    bool wal = false;
    bool shm = false;
};

fs::path SideFile(const fs::path& file, const char* suffix) {
    fs::path side = file;
    side += suffix;
    return side;
}

SideFiles SideFilesOf(const fs::path& file) {
    std::error_code ec;
    return {fs::exists(fs::symlink_status(SideFile(file, "-wal"), ec)),
            fs::exists(fs::symlink_status(SideFile(file, "-shm"), ec))};
}

// After an open that failed: removes the -wal and -shm files it began and could not
// finish (an empty -wal, an -shm short of its first 32 KiB region, as a full disk
// leaves them), where there were none before. A connection that works has an -shm
// of 32 KiB at least, so none in use is removed.
void RemoveUnfinishedSideFiles(const fs::path& file, SideFiles before) {
    std::error_code ec;
    const fs::path wal = SideFile(file, "-wal"), shm = SideFile(file, "-shm");
    if (!before.shm && fs::is_regular_file(fs::symlink_status(shm, ec)) && fs::file_size(shm, ec) < 32768)
        fs::remove(shm, ec);
    if (!before.wal && fs::is_regular_file(fs::symlink_status(wal, ec)) && fs::file_size(wal, ec) == 0)
        fs::remove(wal, ec);
}

// A store file of no bytes whose -wal holds nothing either: no store at all. (A
// store whose pages all still lie in its -wal is one, and is left to SQLite.)
bool IsEmptyFile(const fs::path& file) {
    std::error_code ec;
    if (fs::file_size(file, ec) != 0 || ec) return false;
    const fs::path wal = SideFile(file, "-wal");
    return !fs::is_regular_file(wal, ec) || fs::file_size(wal, ec) == 0;
}

}  // namespace

Db::Db(const fs::path& file, Mode mode, bool create, const char* kind, Threads threads)
    : where_(std::string(kind) + " " + Quote(file)), mode_(mode), threads_(threads) {
    std::error_code ec;
    if (create) {
        if (fs::exists(fs::symlink_status(file, ec))) throw Error(where_ + " exists already");
    } else if (!fs::is_regular_file(file, ec)) {
        throw Error(where_ + " does not exist or is not a file");
    } else if (IsEmptyFile(file)) {
        // SQLite takes an empty file for a new database and would write one into it
        // (WAL mode's header) before any check could find that it holds no store.
        throw Error(where_ + " is an empty file, not a store");
    }
    if (mode == Mode::ReadWrite && !create) RequireOwnFile(file, where_);
    lockWait_.file = file;

    // Readers read inside one transaction for the connection's whole life, so what
    // they read is the store as one moment saw it: before or after any other
    // process's transaction, never half of one.
    const int readOnly = SQLITE_OPEN_READONLY;
    std::string uri = FileUri(file, "");
    int flags = SQLITE_OPEN_READWRITE;
    ReadAccess access = ReadAccess::ReadWrite;
    if (mode == Mode::ReadOnly) {
        access = ReaderAccess(file);
        if (access == ReadAccess::ReadOnly) std::tie(uri, flags) = std::pair(FileUri(file, "?mode=ro"), readOnly);
        if (access == ReadAccess::Immutable) std::tie(uri, flags) = std::pair(FileUri(file, "?immutable=1"), readOnly);
    } else {
        // Never through a link: a store file is written only under its own name.
        flags |= SQLITE_OPEN_NOFOLLOW | (create ? SQLITE_OPEN_CREATE : 0);
    }
    const SideFiles before = SideFilesOf(file);
    std::string why;
    int rc = Open(uri, flags, &why);
    if (rc == SQLITE_OK) return;
    RemoveUnfinishedSideFiles(file, before);
    // A reader on a disk too full for the -wal and -shm files: as no writer can get
    // anywhere there either, the file is read as it stands.
    if (mode == Mode::ReadOnly && access == ReadAccess::ReadWrite &&
        (rc == SQLITE_FULL || rc == SQLITE_IOERR || rc == SQLITE_CANTOPEN)) {
        rc = Open(FileUri(file, "?immutable=1"), readOnly, &why);
        if (rc == SQLITE_OK) return;
    }
    throw Error(why);
}

int Db::Open(const std::string& uri, int flags, std::string* why) {
    // Nothing here asks SQLite how much memory it uses, so it need not count: counting
    // takes a process-wide lock on every allocation. Set before SQLite starts up (the
    // first open of the process); later it is refused, harmlessly.
    static const bool configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    static_cast<void>(configured);
    const int locking = threads_ == Threads::Any ? SQLITE_OPEN_FULLMUTEX : SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(uri.c_str(), &db_, flags | SQLITE_OPEN_URI | locking, nullptr);
    if (rc != SQLITE_OK) {
        *why = where_ + " cannot be opened: " + Reason(db_, rc);
        sqlite3_close(db_);
        db_ = nullptr;
        return rc & 0xFF;
    }
    if (mode_ == Mode::ReadWrite && sqlite3_db_readonly(db_, "main") == 1) {
        // SQLite opens a file it may not write for reading only, without a word.
        *why = where_ + " " + Reason(db_, SQLITE_READONLY);
        sqlite3_close(db_);
        db_ = nullptr;
        return SQLITE_READONLY;
    }
    sqlite3_busy_handler(db_, WaitWhileBusy, &lockWait_);
    sqlite3_extended_result_codes(db_, 1);
    try {
        if (mode_ == Mode::ReadWrite) {
            Exec("PRAGMA journal_mode=WAL");
            Exec("PRAGMA synchronous=NORMAL");
        } else {
            Exec("PRAGMA query_only=1");
            Exec("BEGIN");
        }
        // Reading the schema proves this is an SQLite file at all (and starts a
        // reader's transaction).
        Exec("SELECT count(*) FROM sqlite_schema");
    } catch (const Error& e) {
        const int failed = sqlite3_errcode(db_) & 0xFF;
        *why = e.what();
        sqlite3_close(db_);
        db_ = nullptr;
        return failed == SQLITE_OK ? SQLITE_ERROR : failed;
    }
    reading_ = mode_ == Mode::ReadOnly;
    return SQLITE_OK;
}

Db::~Db() {
    FinalizeCached(db_);
    if (explicit_ || reading_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
}

void Db::Exec(const char* text) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, text, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK) throw Error(where_ + " " + Reason(db_, sqlite3_extended_errcode(db_)));
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
    try {
        Exec("COMMIT");
    } catch (const Error&) {
        // A failed commit keeps nothing: what SQLite has not undone already is undone here.
        Rollback();
        throw;
    }
    explicit_ = false;
}

void Db::Rollback() {
    if (!explicit_) return;
    explicit_ = false;
    // SQLite undoes a transaction itself on some failures (a full disk, an I/O error);
    // only one still open is rolled back here, and a rollback that fails leaves
    // nothing more to undo.
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Db::WriteScope::WriteScope(Db& db) : db_(db), nested_(db.explicit_) {
    db_.RequireWritable();
    db_.Exec(nested_ ? "SAVEPOINT write_scope" : "BEGIN IMMEDIATE");
}

Db::WriteScope::~WriteScope() {
    if (done_ || sqlite3_get_autocommit(db_.db_)) return;
    const char* undo = nested_ ? "ROLLBACK TO write_scope; RELEASE write_scope" : "ROLLBACK";
    sqlite3_exec(db_.db_, undo, nullptr, nullptr, nullptr);
}

void Db::WriteScope::Done() {
    db_.Exec(nested_ ? "RELEASE write_scope" : "COMMIT");
    done_ = true;
}

// ---- Store files ----

void RequireOwnFile(const fs::path& file, const std::string& what) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        fs::path path = file;
        path += suffix;
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(path, ec);
        if (st.type() == fs::file_type::not_found) {
            if (*suffix) continue;
            ec = std::make_error_code(std::errc::no_such_file_or_directory);
        }
        if (ec) throw Error(what + " cannot be examined: " + ec.message());
        const std::string name = *suffix ? what + " (its " + (suffix + 1) + " file)" : what;
        if (fs::is_symlink(st))
            throw Error(name + " is a symbolic link; a store is written only as a file of "
                        "its own, inside the image");
        if (fs::is_directory(st)) throw Error(name + " is a folder, not a store file");
        if (!fs::is_regular_file(st)) throw Error(name + " is not a regular file");
        const std::uintmax_t links = fs::hard_link_count(path, ec);
        if (!ec && links > 1)
            throw Error(name + " has " + std::to_string(links) +
                        " hard links; writing it would change the other names too");
    }
}

}  // namespace store::sql

namespace store {

void SetLockWaitNotice(std::function<void(const fs::path& file)> notice) {
    std::lock_guard lock(sql::g_noticeMutex);
    sql::g_lockWaitNotice = std::move(notice);
}

}  // namespace store
