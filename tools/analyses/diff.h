// Every difference between two device images: registry keys and values, volumes
// (present, mounted), databases, and records matched by object id, property by
// property. Both images are only read.
//
// The stores are walked side by side, so that no image is ever held whole: the
// registries key by key from the roots down (a key, its values, then the keys under
// it, siblings in case-insensitive name order, as "reg export" lists them), the
// records of each database in record order. The report gathers the differences as
// they are found, in an OutputSpool.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"
#include "tools/image_volumes.h"

namespace tools {

class DiffReport {
public:
    // The text form: one line per difference, then "N differences" or "the images are
    // equal".
    DiffReport();
    // The JSON form: {"equal": bool, "registry": {"keys": {"added", "removed"}, "values":
    // {"added", "removed", "changed"}}, "volumes": {"added", "removed", "mounted",
    // "unmounted"}, "databases": {"added", "removed"}, "records": {"added", "removed",
    // "changed"}}, laid out as a value `depth` levels down in a document that
    // FormatJson(..., expandDepth) lays out.
    DiffReport(int depth, int expandDepth);
    ~DiffReport();
    DiffReport(const DiffReport&) = delete;
    DiffReport& operator=(const DiffReport&) = delete;

    size_t differences() const { return differences_; }
    bool Equal() const { return differences_ == 0; }

    // The report: the text (each line ending in a newline), or the JSON object.
    void WriteTo(std::ostream& out) const;

    // ---- What the walks report, in the order the text lists it ----
    void KeyAdded(std::u16string_view key);
    void KeyRemoved(std::u16string_view key);
    void ValueAdded(std::u16string_view key, const store::RegistryValue& value);
    void ValueRemoved(std::u16string_view key, const store::RegistryValue& value);
    void ValueChanged(std::u16string_view key, const store::RegistryValue& before,
                      const store::RegistryValue& after);
    void VolumeAdded(std::u16string_view volume);
    void VolumeRemoved(std::u16string_view volume);
    void VolumeMounted(std::u16string_view volume, bool mounted);
    void DatabaseAdded(std::u16string_view volume, const store::DatabaseInfo& database);
    void DatabaseRemoved(std::u16string_view volume, const store::DatabaseInfo& database);
    // A database's records: BeginRecords names the database the calls up to EndRecords
    // are about; the text lists the added records after the others of the database.
    void BeginRecords(std::u16string_view volume, std::u16string_view database);
    void RecordAdded(size_t index, const store::Record& record);
    void RecordRemoved(size_t index, const store::Record& record);
    void PropertyChanged(size_t index, uint32_t oid, uint32_t tag, const store::Property* before,
                         const store::Property* after);
    void EndRecords();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    size_t differences_ = 0;
};

// Both folders must be images.
void DiffImages(const std::filesystem::path& before, const std::filesystem::path& after,
                DiffReport& report);

// Parts of an image diff, for the stores "check" copies: two registry files, and the
// volumes of two images (each listing with the host file the volume has there).
void DiffRegistries(const std::filesystem::path& before, const std::filesystem::path& after,
                    DiffReport& report);
void DiffVolumes(const std::vector<VolumeListing>& before, const std::vector<VolumeListing>& after,
                 DiffReport& report);

}  // namespace tools
