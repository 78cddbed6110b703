// The image as a whole: where its state files live, how one is recognised, found and
// created.

#include "store/sqlite_db.h"
#include "store/store.h"
#include "store/text.h"

namespace store {

namespace {

const char16_t* const kLanguageDatabases[] = {u"\\FileNameLang", u"\\MetaBaseOptions",
                                              u"\\MetaBaseLabels"};

// The host path of a platform path in an image being built: each component as given.
fs::path NewHostPath(const fs::path& image, std::u16string_view platformPath) {
    fs::path path = image;
    size_t start = 0;
    while (start < platformPath.size()) {
        size_t end = platformPath.find(u'\\', start);
        if (end == std::u16string_view::npos) end = platformPath.size();
        if (end > start) path /= text::ToUtf8(platformPath.substr(start, end - start));
        start = end + 1;
    }
    return path;
}

void CreateImageIn(const fs::path& folder) {
    std::error_code ec;
    const std::string quoted = "\"" + folder.string() + "\"";
    if (!fs::create_directories(folder / kStateFolder, ec) && ec)
        throw Error(quoted + " cannot be created: " + ec.message());

    RegistryStore::Create(RegistryFile(folder));
    {
        RegistryStore registry(RegistryFile(folder), Mode::ReadWrite);
        registry.AddSubkey(RegistryStore::kLocalMachine, u"init");
    }

    const fs::path volume = NewHostPath(folder, kLanguageVolume);
    if (!fs::create_directories(volume.parent_path(), ec) && ec)
        throw Error("\"" + volume.parent_path().string() + "\" cannot be created: " + ec.message());
    VolumeStore::Create(volume);
    {
        VolumeStore store(volume, Mode::ReadWrite);
        store.Begin();
        for (const char16_t* name : kLanguageDatabases) store.CreateDatabase(name);
        store.Commit();
    }

    MountTable::Create(MountsFile(folder));
    MountTable(MountsFile(folder), Mode::ReadWrite).Add(kLanguageVolume);
}

}  // namespace

fs::path RegistryFile(const fs::path& image) { return image / kStateFolder / "registry.db"; }
fs::path MountsFile(const fs::path& image) { return image / kStateFolder / "mounts.db"; }

bool IsImage(const fs::path& folder) {
    std::error_code ec;
    return fs::is_directory(folder, ec) && fs::is_regular_file(RegistryFile(folder), ec) &&
           fs::is_regular_file(MountsFile(folder), ec);
}

std::optional<fs::path> FindImage(const fs::path& start) {
    std::error_code ec;
    fs::path at = fs::weakly_canonical(fs::absolute(start, ec), ec);
    if (ec) return std::nullopt;
    while (true) {
        if (IsImage(at)) return at;
        if (at == at.root_path() || !at.has_parent_path() || at.parent_path() == at)
            return std::nullopt;
        at = at.parent_path();
    }
}

void InitImage(const fs::path& folder) {
    // An empty name would make the image in the current folder, whatever it holds.
    if (folder.empty()) throw Error("the image's folder has an empty name");
    std::error_code ec;
    const std::string quoted = "\"" + folder.string() + "\"";
    if (fs::exists(folder, ec)) {
        if (!fs::is_directory(folder, ec)) throw Error(quoted + " exists and is not a folder");
        if (!fs::is_empty(folder, ec)) throw Error(quoted + " is not empty");
    }
    const bool existed = fs::exists(folder, ec);
    try {
        CreateImageIn(folder);
    } catch (...) {
        // The folder was new or empty: leave it as it was.
        std::error_code ignored;
        if (existed) {
            for (const auto& entry : fs::directory_iterator(folder, ignored))
                fs::remove_all(entry.path(), ignored);
        } else {
            fs::remove_all(folder, ignored);
        }
        throw;
    }
}

void WaitForWriteLock(const fs::path& file) {
    // Named as every other command names the store, so that a refusal reads the same.
    const bool state = file.parent_path().filename() == kStateFolder;
    const char* kind = !state ? "volume" : file.filename() == MountsFile({}).filename() ? "mount table" : "registry";
    sql::Db db(file, Mode::ReadWrite, false, kind);
    db.Begin();
    db.Rollback();
}

}  // namespace store
