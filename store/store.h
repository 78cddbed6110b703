// The device image's stores: the one layer through which both the host platform and
// the ceupdate tools reach an image, so that both see exactly the same thing.
//
// An image is a host folder. Its hidden folder ".ceimage" holds the host's own state:
// "registry.db" (the registry) and "mounts.db" (the mount table). Each database
// volume is one SQLite file at its platform path inside the image. Every store runs
// SQLite in WAL mode: a write is durable once its transaction commits, and a killed
// process never leaves a store corrupt.
//
// Names (keys, values, databases, path components) compare ignoring case by Unicode
// case folding and keep the case they were created with. Errors are store::Error
// with one clear sentence naming what was wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace store {

namespace fs = std::filesystem;

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Mode { ReadWrite, ReadOnly };

// ---- The image -------------------------------------------------------------------

inline constexpr const char* kStateFolder = ".ceimage";
inline constexpr const char16_t* kLanguageVolume = u"\\storage\\mxip_lang.vol";

fs::path RegistryFile(const fs::path& image);
fs::path MountsFile(const fs::path& image);

// True when the folder is the root of an image.
bool IsImage(const fs::path& folder);

// The nearest folder at or above start that is the root of an image.
std::optional<fs::path> FindImage(const fs::path& start);

// Creates an image in a new or empty folder: the registry with its roots and the key
// HKEY_LOCAL_MACHINE\init, the language volume with the empty databases
// "\FileNameLang", "\MetaBaseOptions" and "\MetaBaseLabels", mounted. Throws when the
// folder exists and is not empty.
void InitImage(const fs::path& folder);

// Throws Error unless the image's state may be written: the state folder a folder of
// the image (not a symbolic link), and the registry, the mount table and every
// mounted volume's file (with their -wal and -shm files) regular files under no
// other name (no symbolic link, no second hard link), so that nothing outside the
// image is written through them; a mounted path that holds a link or a folder is
// refused too, rather than passed over or half run (a FIFO or a device there is no
// volume to a run, and is passed over). Every
// command that writes to an image calls it before it opens anything for writing; a
// store opened for writing checks its own file the same way.
void CheckImageState(const fs::path& image);

// The host files of the mounted volumes that exist in the image, in mount order.
std::vector<fs::path> MountedVolumeFiles(const fs::path& image);

// Waits, as any writer does (a few seconds at most), until no other process holds
// the store file's write lock, then lets it go again; throws Error ("... is locked by
// another process") when it is still held.
void WaitForWriteLock(const fs::path& file);

// Called once per store file when a connection has to wait for another process's
// lock on it (the ceupdate command prints a line); unset, waits are silent.
void SetLockWaitNotice(std::function<void(const fs::path& file)> notice);

// ---- Platform paths ----------------------------------------------------------------

// A host folder that appears on the device under a platform path of its own.
struct PathAttachment {
    std::u16string platformPath;  // absolute, e.g. u"\\Storage Card"
    fs::path hostFolder;
};

enum class PathStatus {
    Ok,
    NotFound,      // the last component does not exist
    PathNotFound,  // a folder on the way does not exist
    Denied,        // "..", ".", an embedded '/', a NUL, a link leading out of the image
};

// Maps absolute platform paths ("\storage\mxip_lang.vol") to host paths inside an
// image. Components match case-insensitively; nothing outside the image (or an
// attachment) is ever reached.
class PathMap {
public:
    explicit PathMap(fs::path image, std::vector<PathAttachment> attachments = {});

    // The existing host entry of a platform path.
    PathStatus Resolve(std::u16string_view platformPath, fs::path* hostPath) const;

    // The host entry a platform path names as it stands in its folder: a symbolic
    // link there is handed back as the link, not followed.
    PathStatus Locate(std::u16string_view platformPath, fs::path* hostEntry) const;

    // The existing host folder of a platform path's parent, and the last component
    // (for a search pattern or a file to be created).
    PathStatus ResolveParent(std::u16string_view platformPath, fs::path* hostFolder,
                             std::u16string* lastComponent) const;

    // The platform path of a host path inside the image or an attachment.
    std::optional<std::u16string> PlatformPathOf(const fs::path& hostPath) const;

    const fs::path& image() const { return image_; }

private:
    fs::path image_;
    std::vector<PathAttachment> attachments_;
};

// ---- The registry --------------------------------------------------------------------

// Why the platform cannot hold a name, or none when it can. A key name has 1 to 255
// characters and no backslash (the separator of key paths); a value name at most 255
// characters (the empty name is the default value); neither holds a NUL, where the
// platform's names end. The store refuses such names, and so do the tools' readers.
std::optional<std::string> KeyNameProblem(std::u16string_view name);
std::optional<std::string> ValueNameProblem(std::u16string_view name);
// Why the platform cannot hold a key `levels` names below its root (it holds 16), or
// none. The tools' readers refuse such a path; the store does not, so that an image
// holding one still opens and can be mended.
std::optional<std::string> KeyDepthProblem(size_t levels);

struct RegistryValue {
    std::u16string name;  // "" is the default value
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class RegistryStore {
public:
    using KeyId = int64_t;
    static constexpr KeyId kClassesRoot = 1;
    static constexpr KeyId kCurrentUser = 2;
    static constexpr KeyId kLocalMachine = 3;
    static constexpr KeyId kUsers = 4;
    // The four roots, in the order every listing of the whole registry takes them.
    static constexpr KeyId kRoots[] = {kClassesRoot, kCurrentUser, kLocalMachine, kUsers};

    // Creates an empty registry file holding the four roots.
    static void Create(const fs::path& file);

    RegistryStore(const fs::path& file, Mode mode);
    ~RegistryStore();  // commits an open transaction
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // The root's id for its full name ("HKEY_LOCAL_MACHINE"), ignoring case.
    static std::optional<KeyId> RootByName(std::u16string_view name);
    static std::u16string RootName(KeyId root);

    std::optional<KeyId> FindSubkey(KeyId parent, std::u16string_view name) const;
    KeyId AddSubkey(KeyId parent, std::u16string_view name);  // must not exist yet
    // The key at the end of a path of names below parent, if every one exists; and the
    // same key made, with the keys missing on the way.
    std::optional<KeyId> FindKeys(KeyId parent, std::span<const std::u16string> names) const;
    KeyId CreateKeys(KeyId parent, std::span<const std::u16string> names);
    struct Key {
        KeyId id;
        std::u16string name;
        std::u16string fold;  // the name case-folded: what it is matched by
    };
    std::vector<Key> Subkeys(KeyId parent) const;  // case-insensitive name order
    std::optional<KeyId> Parent(KeyId key) const;  // none for a root
    std::u16string KeyPath(KeyId key) const;       // "HKEY_LOCAL_MACHINE\init"
    // The key of a full path ("HKEY_LOCAL_MACHINE\init"), ignoring case.
    std::optional<KeyId> FindPath(std::u16string_view fullPath) const;
    int Depth(KeyId key) const;  // 0 for a root

    std::optional<RegistryValue> GetValue(KeyId key, std::u16string_view name) const;
    std::vector<RegistryValue> Values(KeyId key) const;  // case-insensitive name order
    // The same values, each with its name case-folded (what it is matched by): for
    // walking two registries side by side.
    struct FoldedValue {
        std::u16string fold;
        RegistryValue value;
    };
    std::vector<FoldedValue> FoldedValues(KeyId key) const;
    void SetValue(KeyId key, std::u16string_view name, uint32_t type,
                  std::span<const uint8_t> data);
    bool DeleteValue(KeyId key, std::u16string_view name);
    void DeleteKey(KeyId key);  // with everything under it; never a root

    // Writes between Begin and Commit form one transaction; without Begin each write
    // commits on its own.
    void Begin();
    void Commit();
    void Rollback();
    bool InTransaction() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- Database volumes -------------------------------------------------------------------

// One property: the tag (identifier << 16 | type) and its value in canonical bytes:
// CEVT_I2/CEVT_UI2 2 bytes, CEVT_I4/CEVT_UI4/CEVT_BOOL 4 bytes, CEVT_R8 and
// CEVT_FILETIME 8 bytes, all little-endian; CEVT_LPWSTR the UTF-16 LE code units
// without terminator; CEVT_BLOB the bytes.
struct Property {
    uint32_t propid = 0;
    std::vector<uint8_t> bytes;
};

// True for the nine property types a volume stores.
bool IsPropertyType(uint16_t type);

struct Record {
    uint32_t oid = 0;
    std::vector<Property> props;  // in the order they were first set
};

struct DatabaseInfo {
    uint32_t oid = 0;
    std::u16string name;  // e.g. u"\\FileNameLang"
    uint32_t type = 0;
    size_t records = 0;
};

class VolumeStore {
public:
    // Creates an empty volume file; throws if it exists.
    static void Create(const fs::path& file);

    VolumeStore(const fs::path& file, Mode mode);
    ~VolumeStore();
    VolumeStore(const VolumeStore&) = delete;
    VolumeStore& operator=(const VolumeStore&) = delete;

    std::vector<DatabaseInfo> Databases() const;  // in creation order
    std::optional<DatabaseInfo> FindDatabase(std::u16string_view name) const;
    DatabaseInfo CreateDatabase(std::u16string_view name, uint32_t type = 0);
    void DropDatabase(uint32_t dbOid);

    std::vector<Record> Records(uint32_t dbOid) const;  // record order

    // The records of a database one at a time, in record order, so that a large
    // database is never held whole. The volume must outlive the reader.
    class RecordReader {
    public:
        RecordReader(const VolumeStore& volume, uint32_t dbOid);
        ~RecordReader();
        RecordReader(const RecordReader&) = delete;
        RecordReader& operator=(const RecordReader&) = delete;
        // The next record into `record`; false after the last one.
        bool Next(Record& record);

    private:
        struct Impl;
        std::unique_ptr<Impl> impl_;
    };

    // True when the object ids of a database rise with record order, as they always do
    // in a volume this store made (every record gets the next id and goes last).
    bool OidsRiseWithRecordOrder(uint32_t dbOid) const;
    uint32_t AddRecord(uint32_t dbOid, std::span<const Property> props);
    // Replaces the properties of the same tag, adds the others.
    void SetProperties(uint32_t recordOid, std::span<const Property> props);

    void Begin();
    void Commit();
    void Rollback();
    bool InTransaction() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- The mount table ---------------------------------------------------------------------

struct Mount {
    uint32_t id = 0;             // stable, non-zero: the volume's CEGUID is built from it
    std::u16string volumePath;  // the platform path as mounted
};

class MountTable {
public:
    static void Create(const fs::path& file);
    MountTable(const fs::path& file, Mode mode);
    ~MountTable();

    std::vector<Mount> List() const;  // in mount order
    // Mounts a volume (no-op when mounted already, ignoring case); returns its entry.
    Mount Add(std::u16string_view volumePath);
    bool Remove(std::u16string_view volumePath);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- Transactions -----------------------------------------------------------------------

// One transaction of a store (RegistryStore, VolumeStore) for the length of a scope:
// begun when made, kept by Commit, rolled back when the scope is left without it
// (also by an exception), so a failed write leaves the store as it was.
template <typename Store>
class Transaction {
public:
    explicit Transaction(Store& store) : store_(store) { store_.Begin(); }
    ~Transaction() {
        if (committed_) return;
        try {
            store_.Rollback();
        } catch (const Error&) {
            // The store failed already; SQLite has undone the transaction itself.
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit() {
        store_.Commit();
        committed_ = true;
    }

private:
    Store& store_;
    bool committed_ = false;
};

}  // namespace store
