// The registry store: keys and values in one SQLite file of the image.
//
// Table keys holds every key with its parent (NULL for the four roots), its name as
// created and its case-folded name, which is unique among siblings. Table vals holds
// the values of each key, unique by folded name; data is stored byte for byte. Text
// columns hold UTF-16 LE code units as BLOBs so every name comes back exactly.
//
// One thread at a time uses a registry store: the device calls it under its lock, and
// each command opens its own on the thread that uses it. Its connection therefore
// goes without SQLite's lock per call.
#include <algorithm>
#include <array>
#include <optional>
#include <unordered_set>

#include <sqlite3.h>

#include "platform/limits.h"
#include "store/sqlite_db.h"
#include "store/store.h"
#include "store/text.h"

namespace store {

namespace {

constexpr int kApplicationId = 0x43455247;  // marks a registry store
constexpr int kMaxDepth = 64;               // guards the parent walk against a damaged file

constexpr std::array<std::pair<RegistryStore::KeyId, const char16_t*>, 4> kRootNames = {{
    {RegistryStore::kClassesRoot, u"HKEY_CLASSES_ROOT"},
    {RegistryStore::kCurrentUser, u"HKEY_CURRENT_USER"},
    {RegistryStore::kLocalMachine, u"HKEY_LOCAL_MACHINE"},
    {RegistryStore::kUsers, u"HKEY_USERS"},
}};

const char* kSchema = R"(
CREATE TABLE keys(
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys(id),
  name BLOB NOT NULL,
  fold BLOB NOT NULL);
CREATE UNIQUE INDEX keys_by_name ON keys(parent, fold);
CREATE TABLE vals(
  key INTEGER NOT NULL REFERENCES keys(id),
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY(key, fold)) WITHOUT ROWID;
)";

// The order of text::CompareNoCase, from the folded names the store keeps, so that
// a listing folds nothing again.
bool InFoldedOrder(const std::u16string& foldA, const std::u16string& nameA,
                   const std::u16string& foldB, const std::u16string& nameB) {
    if (const int c = foldA.compare(foldB); c != 0) return c < 0;
    return nameA < nameB;
}

void CheckKind(sql::Db& db) {
    sql::Stmt stmt(db.get(), "PRAGMA application_id", db.where());
    if (!stmt.Step() || stmt.Int(0) != kApplicationId)
        throw Error(db.where() + " is not a registry store");
}

}  // namespace

std::optional<std::string> KeyNameProblem(std::u16string_view name) {
    if (name.empty()) return "a key name cannot be empty";
    if (name.find(u'\\') != std::u16string_view::npos) return "a key name cannot hold a backslash";
    if (name.find(u'\0') != std::u16string_view::npos) return "a key name cannot hold a NUL";
    if (name.size() > kRegistryMaxNameLength)
        return "a key name of " + std::to_string(name.size()) + " characters is longer than the " +
               std::to_string(kRegistryMaxNameLength) + " the phone holds";
    return std::nullopt;
}

std::optional<std::string> ValueNameProblem(std::u16string_view name) {
    if (name.find(u'\0') != std::u16string_view::npos) return "a value name cannot hold a NUL";
    if (name.size() > kRegistryMaxNameLength)
        return "a value name of " + std::to_string(name.size()) + " characters is longer than the " +
               std::to_string(kRegistryMaxNameLength) + " the phone holds";
    return std::nullopt;
}

std::optional<std::string> KeyDepthProblem(size_t levels) {
    if (levels <= kRegistryMaxDepth) return std::nullopt;
    return "a key path of " + std::to_string(levels) + " levels is deeper than the " +
           std::to_string(kRegistryMaxDepth) + " the phone holds";
}

namespace {

// The statements a run makes once per value or key, prepared once for the
// connection's life. Each use binds its texts in place, from the caller's memory, and
// resets its statement when done (Using), so no binding outlives its text and no
// statement stays active (an active statement would hold its read snapshot open).
class HeldStatement {
public:
    explicit HeldStatement(const char* text) : text_(text) {}
    sql::Stmt& Use(const sql::Db& db) {
        if (!stmt_) stmt_.emplace(db.get(), text_, db.where());
        return *stmt_;
    }

private:
    const char* text_;
    std::optional<sql::Stmt> stmt_;
};

// Resets a held statement at the end of the scope, also when a step throws.
class Using {
public:
    explicit Using(sql::Stmt& stmt) : stmt_(stmt) {}
    ~Using() { stmt_.Reset(); }
    Using(const Using&) = delete;
    Using& operator=(const Using&) = delete;
    sql::Stmt* operator->() { return &stmt_; }

private:
    sql::Stmt& stmt_;
};

}  // namespace

struct RegistryStore::Impl {
    sql::Db db;  // first, so it closes after the held statements are given back
    HeldStatement findSubkey{"SELECT id FROM keys WHERE parent = ? AND fold = ?"};
    HeldStatement keyExists{"SELECT 1 FROM keys WHERE id = ?"};
    HeldStatement getValue{"SELECT name, type, data FROM vals WHERE key = ? AND fold = ?"};
    // A value set again under another case keeps its new spelling.
    HeldStatement setValue{
        "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?) "
        "ON CONFLICT(key, fold) DO UPDATE SET name = excluded.name, "
        "type = excluded.type, data = excluded.data"};
    // Keys seen to exist in the explicit transaction open now. Nobody else writes
    // while it is open, so a key seen stays there until this connection deletes it or
    // the transaction ends (also when SQLite ended it on a failure).
    std::unordered_set<KeyId> knownKeys;

    Impl(const fs::path& file, Mode mode) : db(file, mode, false, "registry", sql::Threads::OneAtATime) {
        CheckKind(db);
    }

    bool InOpenTransaction() const { return db.InTransaction() && !sqlite3_get_autocommit(db.get()); }

    void RequireKey(KeyId key) {
        const bool remember = InOpenTransaction();
        if (remember && knownKeys.count(key)) return;
        Using stmt(keyExists.Use(db));
        stmt->Bind(1, key);
        if (!stmt->Step()) throw Error(db.where() + ": no key with id " + std::to_string(key));
        if (remember) knownKeys.insert(key);
    }
};

void RegistryStore::Create(const fs::path& file) {
    sql::Db db(file, Mode::ReadWrite, true, "registry");
    sql::Db::WriteScope scope(db);
    db.Exec(kSchema);
    db.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
    for (const auto& [id, name] : kRootNames) {
        sql::Stmt stmt(db.get(), "INSERT INTO keys(id, parent, name, fold) VALUES(?, NULL, ?, ?)",
                       db.where());
        stmt.Bind(1, id).BindText(2, name).BindText(3, text::FoldCase(name)).Run();
    }
    scope.Done();
}

RegistryStore::RegistryStore(const fs::path& file, Mode mode)
    : impl_(std::make_unique<Impl>(file, mode)) {}

RegistryStore::~RegistryStore() = default;  // Db commits an open transaction

std::optional<RegistryStore::KeyId> RegistryStore::RootByName(std::u16string_view name) {
    for (const auto& [id, root] : kRootNames)
        if (text::EqualNoCase(name, root)) return id;
    return std::nullopt;
}

std::u16string RegistryStore::RootName(KeyId root) {
    for (const auto& [id, name] : kRootNames)
        if (id == root) return name;
    return {};
}

std::optional<RegistryStore::KeyId> RegistryStore::FindSubkey(KeyId parent,
                                                              std::u16string_view name) const {
    const std::u16string fold = text::FoldCase(name);
    Using stmt(impl_->findSubkey.Use(impl_->db));
    stmt->Bind(1, parent).BindTextInPlace(2, fold);
    if (!stmt->Step()) return std::nullopt;
    return stmt->Int(0);
}

RegistryStore::KeyId RegistryStore::AddSubkey(KeyId parent, std::u16string_view name) {
    impl_->db.RequireWritable();
    if (const auto problem = KeyNameProblem(name)) throw Error(impl_->db.where() + ": " + *problem);
    impl_->RequireKey(parent);
    if (FindSubkey(parent, name))
        throw Error(impl_->db.where() + ": the key \"" + text::ToUtf8(name) + "\" exists already");
    sql::Stmt stmt(impl_->db.get(), "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)",
                   impl_->db.where());
    stmt.Bind(1, parent).BindText(2, name).BindText(3, text::FoldCase(name)).Run();
    const KeyId added = impl_->db.LastInsertId();
    if (impl_->InOpenTransaction()) impl_->knownKeys.insert(added);
    return added;
}

std::optional<RegistryStore::KeyId> RegistryStore::FindKeys(
    KeyId parent, std::span<const std::u16string> names) const {
    std::optional<KeyId> key = parent;
    for (auto name = names.begin(); key && name != names.end(); ++name) key = FindSubkey(*key, *name);
    return key;
}

RegistryStore::KeyId RegistryStore::CreateKeys(KeyId parent, std::span<const std::u16string> names) {
    KeyId key = parent;
    for (const std::u16string& name : names) {
        const auto child = FindSubkey(key, name);
        key = child ? *child : AddSubkey(key, name);
    }
    return key;
}

std::vector<RegistryStore::Key> RegistryStore::Subkeys(KeyId parent) const {
    sql::Stmt stmt(impl_->db.get(), "SELECT id, name, fold FROM keys WHERE parent = ?",
                   impl_->db.where());
    stmt.Bind(1, parent);
    std::vector<Key> keys;
    while (stmt.Step()) keys.push_back({stmt.Int(0), stmt.Text(1), stmt.Text(2)});
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        return InFoldedOrder(a.fold, a.name, b.fold, b.name);
    });
    return keys;
}

std::optional<RegistryStore::KeyId> RegistryStore::Parent(KeyId key) const {
    sql::Stmt stmt(impl_->db.get(), "SELECT parent FROM keys WHERE id = ?", impl_->db.where());
    stmt.Bind(1, key);
    if (!stmt.Step() || stmt.IsNull(0)) return std::nullopt;
    return stmt.Int(0);
}

std::u16string RegistryStore::KeyPath(KeyId key) const {
    std::vector<std::u16string> names;
    sql::Stmt stmt(impl_->db.get(), "SELECT parent, name FROM keys WHERE id = ?",
                   impl_->db.where());
    KeyId at = key;
    for (bool more = true; more && names.size() < kMaxDepth;) {
        stmt.Bind(1, at);
        if (!stmt.Step()) break;
        names.push_back(stmt.Text(1));
        more = !stmt.IsNull(0);
        at = stmt.Int(0);
        stmt.Reset();
    }
    std::u16string path;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty()) path += u'\\';
        path += *it;
    }
    return path;
}

std::optional<RegistryStore::KeyId> RegistryStore::FindPath(std::u16string_view fullPath) const {
    std::optional<KeyId> key;
    size_t start = 0;
    bool first = true;
    while (start <= fullPath.size()) {
        size_t end = fullPath.find(u'\\', start);
        if (end == std::u16string_view::npos) end = fullPath.size();
        const std::u16string_view name = fullPath.substr(start, end - start);
        if (first) {
            key = RootByName(name);
            first = false;
        } else if (!name.empty()) {
            key = FindSubkey(*key, name);
        }
        if (!key) return std::nullopt;
        start = end + 1;
    }
    return key;
}

int RegistryStore::Depth(KeyId key) const {
    int depth = 0;
    for (auto at = Parent(key); at && depth < kMaxDepth; at = Parent(*at)) ++depth;
    return depth;
}

std::optional<RegistryValue> RegistryStore::GetValue(KeyId key, std::u16string_view name) const {
    const std::u16string fold = text::FoldCase(name);
    Using stmt(impl_->getValue.Use(impl_->db));
    stmt->Bind(1, key).BindTextInPlace(2, fold);
    if (!stmt->Step()) return std::nullopt;
    return RegistryValue{stmt->Text(0), static_cast<uint32_t>(stmt->Int(1)), stmt->Blob(2)};
}

std::vector<RegistryValue> RegistryStore::Values(KeyId key) const {
    std::vector<RegistryValue> values;
    for (FoldedValue& v : FoldedValues(key)) values.push_back(std::move(v.value));
    return values;
}

std::vector<RegistryStore::FoldedValue> RegistryStore::FoldedValues(KeyId key) const {
    sql::Stmt stmt(impl_->db.get(), "SELECT fold, name, type, data FROM vals WHERE key = ?",
                   impl_->db.where());
    stmt.Bind(1, key);
    std::vector<FoldedValue> values;
    while (stmt.Step()) {
        values.push_back(
            {stmt.Text(0), {stmt.Text(1), static_cast<uint32_t>(stmt.Int(2)), stmt.Blob(3)}});
    }
    std::sort(values.begin(), values.end(), [](const FoldedValue& a, const FoldedValue& b) {
        return InFoldedOrder(a.fold, a.value.name, b.fold, b.value.name);
    });
    return values;
}

void RegistryStore::SetValue(KeyId key, std::u16string_view name, uint32_t type,
                             std::span<const uint8_t> data) {
    impl_->db.RequireWritable();
    if (const auto problem = ValueNameProblem(name)) throw Error(impl_->db.where() + ": " + *problem);
    impl_->RequireKey(key);
    const std::u16string fold = text::FoldCase(name);
    Using stmt(impl_->setValue.Use(impl_->db));
    stmt->Bind(1, key).BindTextInPlace(2, name).BindTextInPlace(3, fold).Bind(4, type);
    stmt->BindBlobInPlace(5, data).Run();
}

bool RegistryStore::DeleteValue(KeyId key, std::u16string_view name) {
    impl_->db.RequireWritable();
    sql::Stmt stmt(impl_->db.get(), "DELETE FROM vals WHERE key = ? AND fold = ?",
                   impl_->db.where());
    stmt.Bind(1, key).BindText(2, text::FoldCase(name)).Run();
    return impl_->db.Changes() > 0;
}

void RegistryStore::DeleteKey(KeyId key) {
    impl_->db.RequireWritable();
    if (!Parent(key)) throw Error(impl_->db.where() + ": a root key cannot be deleted");
    impl_->knownKeys.clear();
    sql::Db::WriteScope scope(impl_->db);
    sql::Stmt stmt(impl_->db.get(),
                   "WITH RECURSIVE tree(id) AS (SELECT ? UNION ALL "
                   "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) "
                   "SELECT id FROM tree",
                   impl_->db.where());
    stmt.Bind(1, key);
    std::vector<KeyId> doomed;
    while (stmt.Step()) doomed.push_back(stmt.Int(0));
    sql::Stmt values(impl_->db.get(), "DELETE FROM vals WHERE key = ?", impl_->db.where());
    sql::Stmt keys(impl_->db.get(), "DELETE FROM keys WHERE id = ?", impl_->db.where());
    // Children first, so no key is ever left without its parent.
    for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
        values.Bind(1, *it).Run();
        keys.Bind(1, *it).Run();
    }
    scope.Done();
}

void RegistryStore::Begin() {
    impl_->knownKeys.clear();
    impl_->db.Begin();
}

void RegistryStore::Commit() {
    impl_->knownKeys.clear();
    impl_->db.Commit();
}

void RegistryStore::Rollback() {
    impl_->knownKeys.clear();
    impl_->db.Rollback();
}

bool RegistryStore::InTransaction() const { return impl_->db.InTransaction(); }

}  // namespace store
