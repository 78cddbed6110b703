// A small RAII layer over SQLite for the stores: one connection (Db) and prepared
// statements (Stmt). Errors become store::Error naming the file and SQLite's reason.
//
// Every read-write connection runs in WAL mode with synchronous=NORMAL, so two
// processes can work on one image at once and a killed process leaves a store that
// passes its integrity check. A connection that finds another process's lock waits a
// few seconds for it (telling SetLockWaitNotice's function once per file), then
// fails with "is locked by another process". A read-only connection reads inside one
// transaction for its whole life (a WAL reader: it sees whole transactions only) and
// never writes the store; the -wal and -shm files it makes it removes again when it
// closes, except where another process holds them too.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

struct sqlite3_stmt;

namespace store::sql {

// Throws Error unless the store file (and its -wal, -shm and -journal files, where
// they exist) is a regular file under no other name: not a symbolic link, a single
// hard link. `what` names the store in the message.
void RequireOwnFile(const fs::path& file, const std::string& what);

// The state of a connection's waits for other processes' locks.
struct LockWait {
    fs::path file;
    bool gaveUp = false;  // it waited the whole time once: it waits no more
};

class Stmt {
public:
    Stmt(sqlite3* db, const char* text, const std::string& where);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int index, int64_t value);
    Stmt& BindBlob(int index, std::span<const uint8_t> bytes);
    Stmt& BindText(int index, std::u16string_view text);  // UTF-16 LE code units, exact
    Stmt& BindNull(int index);
    // The same without a copy: the caller keeps the bytes unchanged until Reset.
    Stmt& BindBlobInPlace(int index, std::span<const uint8_t> bytes);
    Stmt& BindTextInPlace(int index, std::u16string_view text);

    bool Step();  // true while a row is there
    void Run();   // steps to the end
    void Reset();

    int64_t Int(int column) const;
    bool IsNull(int column) const;
    std::u16string Text(int column) const;  // from BindText's form
    std::vector<uint8_t> Blob(int column) const;
    std::span<const uint8_t> BlobView(int column) const;  // valid until the next step

private:
    [[noreturn]] void Fail() const;
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    std::string where_;
};

// Which threads use a connection: any, at any moment (SQLite serialises their calls
// with a lock of its own), or one at a time (its owner sees to that, by a lock of its
// own or by using it on one thread; SQLite then takes no lock per call).
enum class Threads { Any, OneAtATime };

class Db {
public:
    // Opens an existing store (create: makes the file, which must not exist).
    Db(const fs::path& file, Mode mode, bool create, const char* kind, Threads threads = Threads::Any);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    void Exec(const char* text);
    sqlite3* get() const { return db_; }
    const std::string& where() const { return where_; }
    Mode mode() const { return mode_; }
    int64_t LastInsertId() const;
    int Changes() const;  // rows the last statement changed

    // Throws unless the connection may write.
    void RequireWritable() const;

    // Transactions: an explicit one (Begin/Commit/Rollback), and a nested scope for
    // one multi-statement write that joins an explicit transaction when one is open.
    void Begin();
    void Commit();
    void Rollback();
    bool InTransaction() const { return explicit_; }

    class WriteScope {
    public:
        explicit WriteScope(Db& db);
        ~WriteScope();  // rolls back unless Done was called
        void Done();

    private:
        Db& db_;
        bool nested_;
        bool done_ = false;
    };

private:
    // Opens the connection and reads the schema; the SQLite result (0 when open), the
    // sentence for the failure in *why.
    int Open(const std::string& uri, int flags, std::string* why);

    sqlite3* db_ = nullptr;
    std::string where_;
    Mode mode_;
    Threads threads_;
    bool explicit_ = false;
    bool reading_ = false;  // a reader's transaction is open
    LockWait lockWait_;
};

}  // namespace store::sql
