// A small RAII layer over SQLite for the stores: one connection (Db) and prepared
// statements (Stmt). Errors become store::Error naming the file and SQLite's reason.
//
// Every read-write connection runs in WAL mode with synchronous=NORMAL and a generous
// busy timeout, so two processes can work on one image at once and a killed process
// leaves a store that passes its integrity check. A read-only connection never writes
// anything: not the store, not its -wal or -shm files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

struct sqlite3_stmt;

namespace store::sql {

// A URI for sqlite3_open_v2 (with SQLITE_OPEN_URI) of the file, its special characters
// escaped, followed by the query ("?mode=ro", or "").
std::string FileUri(const fs::path& file, const char* query);

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

class Db {
public:
    // Opens an existing store (create: makes the file, which must not exist).
    Db(const fs::path& file, Mode mode, bool create, const char* kind);
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
    sqlite3* db_ = nullptr;
    std::string where_;
    Mode mode_;
    bool explicit_ = false;
};

}  // namespace store::sql
