// The image comparison and "ceupdate diff".
//
// Registry keys are matched by name under their matched parents and values by name,
// both by the case-folded names the store keeps, as the registry matches them; a
// change of case alone is no difference. Volumes are matched by platform path,
// databases by name, records by object id (the installer changes records in place,
// so a record keeps its id), properties by tag.
//
// Layout: the report (its text and JSON forms); the registry walk; the volume,
// database and record walk.
#include "tools/analyses/diff.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/wince.h"
#include "store/bytes.h"
#include "store/text.h"
#include "tools/errors.h"
#include "tools/formats/database_json.h"
#include "tools/formats/json.h"
#include "tools/formats/registry_json.h"
#include "tools/formats/shown_text.h"
#include "tools/output_spool.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

std::string Utf8(std::u16string_view text) { return text::ToUtf8(text); }

// A text value's characters as shown: all of them but one final terminator.
std::u16string ShownCharacters(std::span<const uint8_t> bytes) {
    std::u16string units = store::Utf16LeText(bytes);
    if (!units.empty() && units.back() == u'\0') units.pop_back();
    return units;
}

std::string ValueShort(const store::RegistryValue& v) {
    const std::string type = RegTypeText(v.type);
    switch (v.type) {
        case REG_SZ:
        case REG_EXPAND_SZ: return type + " " + ShownQuoted(ShownCharacters(v.data));
        case REG_DWORD:
            if (v.data.size() == 4) return type + " " + std::to_string(store::LittleEndianValue(v.data));
            break;
        case REG_MULTI_SZ:
            if (auto data = RegDataOf(v.type, v.data)) return type + " " + data->dump();
            break;
        default: break;
    }
    return type + " hex:" + HexOf(v.data);
}

std::string PropShort(const store::Property& p) {
    const auto type = static_cast<uint16_t>(p.propid & 0xFFFF);
    auto name = PropTypeName(type);
    std::string text = std::string(name ? *name : std::to_string(type)) + " ";
    if (type == CEVT_LPWSTR) {
        const std::u16string units = store::Utf16LeText(p.bytes);
        if (NeedsEscaping(units)) return text + ShownQuoted(units);
    }
    return text + PropertyDataText(p);
}

std::string PropsShort(const std::vector<store::Property>& props) {
    std::string out;
    for (const store::Property& p : props) {
        out += (out.empty() ? "" : ", ") + std::string("id ") + std::to_string(p.propid >> 16) + " " +
               PropShort(p);
    }
    return out.empty() ? "no properties" : out;
}

Json PropsJson(const std::vector<store::Property>& props) {
    Json out = Json::array();
    for (const store::Property& p : props) out.push_back(PropertyToJson(p));
    return out;
}

// A name in both forms, made once for the many lines that name it.
struct Named {
    std::u16string name;
    std::string json;   // UTF-8
    std::string shown;  // as the text shows it

    void Set(std::u16string_view text) {
        if (text == name && !shown.empty()) return;
        name = text;
        json = Utf8(text);
        shown = ShownText(text);
    }
};

}  // namespace

// ---- The report ---------------------------------------------------------------------------

// The JSON form's lists, in the order the object holds them.
enum List {
    kKeysAdded, kKeysRemoved, kValuesAdded, kValuesRemoved, kValuesChanged, kVolumesAdded,
    kVolumesRemoved, kVolumesMounted, kVolumesUnmounted, kDatabasesAdded, kDatabasesRemoved,
    kRecordsAdded, kRecordsRemoved, kRecordsChanged, kListCount
};

struct DiffReport::Impl {
    bool json = false;
    int depth = 0;
    int expandDepth = 0;
    OutputSpool text;
    OutputSpool addedRecords;  // the text's lines of a database's added records
    OutputSpool lists[kListCount];
    Named key;
    Named volume;
    Named database;
    std::string item;  // reused for each JSON item

    // The depth of a list's items in the document.
    int ItemDepth(List list) const { return depth + (list <= kValuesChanged ? 4 : 3); }

    void Add(List list, const Json& value) {
        const JsonLayout layout = JsonLayoutAt(ItemDepth(list) - 1, expandDepth);
        item = lists[list].empty() ? layout.first : layout.between;
        AppendJson(item, value, ItemDepth(list), expandDepth);
        lists[list].Append(item);
    }

    void Line(const std::string& line) {
        text.Append(line);
        text.Append("\n");
    }

    // A database added or removed, with its record count.
    void Database(std::u16string_view inVolume, const store::DatabaseInfo& info, List list, const char* label) {
        volume.Set(inVolume);
        database.Set(info.name);
        if (json) {
            return Add(list, Json{{"volume", volume.json}, {"database", database.json}, {"records", info.records}});
        }
        Line(label + volume.shown + " " + database.shown + " (" + std::to_string(info.records) + " records)");
    }

    // A difference that is only a name: the key's or volume's JSON string, or its line.
    void NameOnly(Named& named, std::u16string_view name, List list, const char* label) {
        named.Set(name);
        if (json) return Add(list, named.json);
        Line(label + named.shown);
    }

    std::string RecordLabel(size_t index, uint32_t oid) const {
        return volume.shown + " " + database.shown + " record " + std::to_string(index) + " (oid " +
               std::to_string(oid) + ")";
    }

    Json RecordWhere(size_t index, uint32_t oid) const {
        return Json{{"volume", volume.json}, {"database", database.json}, {"index", index}, {"oid", oid}};
    }

    void WriteList(std::ostream& out, List list) const {
        out << '[';
        lists[list].WriteTo(out);
        if (!lists[list].empty()) out << JsonLayoutAt(ItemDepth(list) - 1, expandDepth).last;
        out << ']';
    }

    // An object at `at` whose members are lists.
    void WriteObject(std::ostream& out, int at, std::initializer_list<std::pair<const char*, List>> members) const {
        const JsonLayout layout = JsonLayoutAt(at, expandDepth);
        out << '{';
        bool first = true;
        for (const auto& [name, list] : members) {
            out << (first ? layout.first : layout.between) << '"' << name << "\": ";
            first = false;
            WriteList(out, list);
        }
        out << layout.last << '}';
    }
};

DiffReport::DiffReport() : impl_(std::make_unique<Impl>()) {}

DiffReport::DiffReport(int depth, int expandDepth) : impl_(std::make_unique<Impl>()) {
    impl_->json = true;
    impl_->depth = depth;
    impl_->expandDepth = expandDepth;
}

DiffReport::~DiffReport() = default;

void DiffReport::WriteTo(std::ostream& out) const {
    const Impl& r = *impl_;
    if (!r.json) {
        r.text.WriteTo(out);
        if (Equal()) {
            out << "the images are equal\n";
        } else {
            out << differences_ << (differences_ == 1 ? " difference\n" : " differences\n");
        }
        return;
    }
    const JsonLayout top = JsonLayoutAt(r.depth, r.expandDepth);
    const JsonLayout registry = JsonLayoutAt(r.depth + 1, r.expandDepth);
    out << '{' << top.first << "\"equal\": " << (Equal() ? "true" : "false");
    out << top.between << "\"registry\": {" << registry.first << "\"keys\": ";
    r.WriteObject(out, r.depth + 2, {{"added", kKeysAdded}, {"removed", kKeysRemoved}});
    out << registry.between << "\"values\": ";
    r.WriteObject(out, r.depth + 2,
                  {{"added", kValuesAdded}, {"removed", kValuesRemoved}, {"changed", kValuesChanged}});
    out << registry.last << '}' << top.between << "\"volumes\": ";
    r.WriteObject(out, r.depth + 1,
                  {{"added", kVolumesAdded}, {"removed", kVolumesRemoved}, {"mounted", kVolumesMounted},
                   {"unmounted", kVolumesUnmounted}});
    out << top.between << "\"databases\": ";
    r.WriteObject(out, r.depth + 1, {{"added", kDatabasesAdded}, {"removed", kDatabasesRemoved}});
    out << top.between << "\"records\": ";
    r.WriteObject(out, r.depth + 1,
                  {{"added", kRecordsAdded}, {"removed", kRecordsRemoved}, {"changed", kRecordsChanged}});
    out << top.last << '}';
}

void DiffReport::KeyAdded(std::u16string_view key) {
    ++differences_;
    impl_->NameOnly(impl_->key, key, kKeysAdded, "key added: ");
}

void DiffReport::KeyRemoved(std::u16string_view key) {
    ++differences_;
    impl_->NameOnly(impl_->key, key, kKeysRemoved, "key removed: ");
}

namespace {

Json ValueJson(const std::string& key, const store::RegistryValue& v) {
    Json out{{"key", key}, {"name", Utf8(v.name)}};
    const Json value = RegValueToJson(v.type, v.data);
    for (auto it = value.begin(); it != value.end(); ++it) out[it.key()] = *it;
    return out;
}

}  // namespace

void DiffReport::ValueAdded(std::u16string_view key, const store::RegistryValue& value) {
    ++differences_;
    Impl& r = *impl_;
    r.key.Set(key);
    if (r.json) return r.Add(kValuesAdded, ValueJson(r.key.json, value));
    r.Line("value added: " + r.key.shown + " " + ShownValueName(value.name) + " = " + ValueShort(value));
}

void DiffReport::ValueRemoved(std::u16string_view key, const store::RegistryValue& value) {
    ++differences_;
    Impl& r = *impl_;
    r.key.Set(key);
    if (r.json) return r.Add(kValuesRemoved, ValueJson(r.key.json, value));
    r.Line("value removed: " + r.key.shown + " " + ShownValueName(value.name) + " (was " + ValueShort(value) + ")");
}

void DiffReport::ValueChanged(std::u16string_view key, const store::RegistryValue& before,
                              const store::RegistryValue& after) {
    ++differences_;
    Impl& r = *impl_;
    r.key.Set(key);
    if (r.json) {
        return r.Add(kValuesChanged, Json{{"key", r.key.json},
                                          {"name", Utf8(after.name)},
                                          {"old", RegValueToJson(before.type, before.data)},
                                          {"new", RegValueToJson(after.type, after.data)}});
    }
    r.Line("value changed: " + r.key.shown + " " + ShownValueName(after.name) + ": " + ValueShort(before) +
           " -> " + ValueShort(after));
}

void DiffReport::VolumeAdded(std::u16string_view volume) {
    ++differences_;
    impl_->NameOnly(impl_->volume, volume, kVolumesAdded, "volume added: ");
}

void DiffReport::VolumeRemoved(std::u16string_view volume) {
    ++differences_;
    impl_->NameOnly(impl_->volume, volume, kVolumesRemoved, "volume removed: ");
}

void DiffReport::VolumeMounted(std::u16string_view volume, bool mounted) {
    ++differences_;
    impl_->NameOnly(impl_->volume, volume, mounted ? kVolumesMounted : kVolumesUnmounted,
                    mounted ? "volume mounted: " : "volume unmounted: ");
}

void DiffReport::DatabaseAdded(std::u16string_view volume, const store::DatabaseInfo& database) {
    ++differences_;
    impl_->Database(volume, database, kDatabasesAdded, "database added: ");
}

void DiffReport::DatabaseRemoved(std::u16string_view volume, const store::DatabaseInfo& database) {
    ++differences_;
    impl_->Database(volume, database, kDatabasesRemoved, "database removed: ");
}

void DiffReport::BeginRecords(std::u16string_view volume, std::u16string_view database) {
    impl_->volume.Set(volume);
    impl_->database.Set(database);
}

void DiffReport::RecordAdded(size_t index, const store::Record& record) {
    ++differences_;
    Impl& r = *impl_;
    if (r.json) {
        Json where = r.RecordWhere(index, record.oid);
        where["props"] = PropsJson(record.props);
        return r.Add(kRecordsAdded, where);
    }
    r.addedRecords << "record added: " << r.RecordLabel(index, record.oid) << ": " << PropsShort(record.props)
                   << "\n";
}

void DiffReport::RecordRemoved(size_t index, const store::Record& record) {
    ++differences_;
    Impl& r = *impl_;
    if (r.json) {
        Json where = r.RecordWhere(index, record.oid);
        where["props"] = PropsJson(record.props);
        return r.Add(kRecordsRemoved, where);
    }
    r.Line("record removed: " + r.RecordLabel(index, record.oid) + ": " + PropsShort(record.props));
}

void DiffReport::PropertyChanged(size_t index, uint32_t oid, uint32_t tag, const store::Property* before,
                                 const store::Property* after) {
    ++differences_;
    Impl& r = *impl_;
    if (r.json) {
        Json change = r.RecordWhere(index, oid);
        change["property"] = tag >> 16;
        change["old"] = before ? PropertyToJson(*before) : Json(nullptr);
        change["new"] = after ? PropertyToJson(*after) : Json(nullptr);
        return r.Add(kRecordsChanged, change);
    }
    r.Line("record changed: " + r.RecordLabel(index, oid) + " property " + std::to_string(tag >> 16) + ": " +
           (before ? PropShort(*before) : "(none)") + " -> " + (after ? PropShort(*after) : "(none)"));
}

void DiffReport::EndRecords() { impl_->text.Take(impl_->addedRecords); }

// ---- The registries ----------------------------------------------------------------------

namespace {

using KeyId = store::RegistryStore::KeyId;

// Deeper than any registry holds: a store whose keys nest further is damaged (a loop).
constexpr size_t kMaxKeyDepth = 1000;

void DiffValues(DiffReport& report, std::u16string_view key,
                const std::vector<store::RegistryStore::FoldedValue>& before,
                const std::vector<store::RegistryStore::FoldedValue>& after) {
    size_t i = 0;
    size_t j = 0;
    while (i < before.size() || j < after.size()) {
        const int order = i == before.size()  ? 1
                          : j == after.size() ? -1
                                              : before[i].fold.compare(after[j].fold);
        if (order < 0) {
            report.ValueRemoved(key, before[i++].value);
        } else if (order > 0) {
            report.ValueAdded(key, after[j++].value);
        } else {
            const store::RegistryValue& a = before[i++].value;
            const store::RegistryValue& b = after[j++].value;
            if (a.type != b.type || a.data != b.data) report.ValueChanged(key, a, b);
        }
    }
}

struct KeyPair {
    std::u16string path;  // as the newer side spells it, else the older
    std::optional<KeyId> before;
    std::optional<KeyId> after;
    size_t depth = 0;
};

// The subkeys of both sides, matched by folded name, in name order.
std::vector<KeyPair> Children(const store::RegistryStore& a, const store::RegistryStore& b,
                              const KeyPair& parent) {
    using Keys = std::vector<store::RegistryStore::Key>;
    const Keys before = parent.before ? a.Subkeys(*parent.before) : Keys{};
    const Keys after = parent.after ? b.Subkeys(*parent.after) : Keys{};
    std::vector<KeyPair> children;
    size_t i = 0;
    size_t j = 0;
    while (i < before.size() || j < after.size()) {
        const int order = i == before.size()  ? 1
                          : j == after.size() ? -1
                                              : before[i].fold.compare(after[j].fold);
        KeyPair child;
        child.depth = parent.depth + 1;
        if (order <= 0) child.before = before[i].id;
        if (order >= 0) child.after = after[j].id;
        child.path = parent.path + u"\\" + (order >= 0 ? after[j].name : before[i].name);
        i += order <= 0 ? 1 : 0;
        j += order >= 0 ? 1 : 0;
        children.push_back(std::move(child));
    }
    return children;
}

using Values = std::vector<store::RegistryStore::FoldedValue>;

// One key of the walk, as read from both stores: what the report needs of it.
struct KeyRead {
    std::u16string path;
    bool added = false;
    bool removed = false;
    Values before;
    Values after;

    size_t Bytes() const {
        size_t bytes = sizeof(KeyRead) + path.size() * 2;
        for (const Values* side : {&before, &after}) {
            for (const auto& v : *side)
                bytes += sizeof(v) + (v.fold.size() + v.value.name.size()) * 2 + v.value.data.size();
        }
        return bytes;
    }
};

// The keys read and not yet reported, handed from the thread that reads the stores to
// the one that writes the report. Bounded, so that a report slower than the reading
// does not gather the whole registry in memory.
class KeyQueue {
public:
    // False once the report has stopped taking keys.
    bool Push(KeyRead key) {
        const size_t bytes = key.Bytes();
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || held_ == 0 || held_ + bytes <= kMaxHeldBytes; });
        if (stopped_) return false;
        held_ += bytes;
        keys_.push_back({std::move(key), bytes});
        changed_.notify_all();
        return true;
    }

    // The reading is over: `failed` holds its error, if it ended with one.
    void Close(std::exception_ptr failed) {
        std::lock_guard lock(mutex_);
        closed_ = true;
        failed_ = std::move(failed);
        changed_.notify_all();
    }

    // The report takes no more keys (it is done, or failed).
    void Stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

    // The next key, or none once the reading is over (its error thrown, if any).
    std::optional<KeyRead> Pop() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return closed_ || !keys_.empty(); });
        if (keys_.empty()) {
            if (failed_) std::rethrow_exception(failed_);
            return std::nullopt;
        }
        auto [key, bytes] = std::move(keys_.front());
        keys_.pop_front();
        held_ -= bytes;
        changed_.notify_all();
        return std::move(key);
    }

private:
    static constexpr size_t kMaxHeldBytes = 1 << 20;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<KeyRead, size_t>> keys_;
    size_t held_ = 0;  // bytes of the keys held
    bool closed_ = false;
    bool stopped_ = false;
    std::exception_ptr failed_;
};

// Reads both registries key by key, in the report's order, into the queue.
void ReadRegistries(const fs::path& before, const fs::path& after, KeyQueue& queue) {
    const store::RegistryStore a(before, store::Mode::ReadOnly);
    const store::RegistryStore b(after, store::Mode::ReadOnly);
    std::vector<KeyPair> pending;  // a stack: the next key on top
    for (auto root = std::rbegin(store::RegistryStore::kRoots); root != std::rend(store::RegistryStore::kRoots);
         ++root) {
        pending.push_back({store::RegistryStore::RootName(*root), *root, *root, 0});
    }
    while (!pending.empty()) {
        const KeyPair key = std::move(pending.back());
        pending.pop_back();
        KeyRead read{key.path, key.depth > 0 && !key.before, key.depth > 0 && !key.after,
                     key.before ? a.FoldedValues(*key.before) : Values{},
                     key.after ? b.FoldedValues(*key.after) : Values{}};
        if (!queue.Push(std::move(read))) return;
        if (key.depth == kMaxKeyDepth) {
            throw ToolError("the registry " + (key.after ? after : before).string() + " nests its keys more than " +
                            std::to_string(kMaxKeyDepth) + " levels deep: it is damaged");
        }
        std::vector<KeyPair> children = Children(a, b, key);
        for (auto child = children.rbegin(); child != children.rend(); ++child) pending.push_back(std::move(*child));
    }
}

}  // namespace

void DiffRegistries(const fs::path& before, const fs::path& after, DiffReport& report) {
    // The stores are read on a thread of their own while the report is written on this
    // one: for a registry of many values the two take about as long as each other.
    KeyQueue queue;
    std::jthread reader([&] {
        try {
            ReadRegistries(before, after, queue);
            queue.Close(nullptr);
        } catch (...) {
            queue.Close(std::current_exception());
        }
    });
    // However the report ends, the reader stops and is waited for before the queue goes.
    struct StopReader {
        KeyQueue& queue;
        std::jthread& reader;
        ~StopReader() {
            queue.Stop();
            reader.join();
        }
    } stop{queue, reader};
    while (std::optional<KeyRead> key = queue.Pop()) {
        if (key->added) report.KeyAdded(key->path);
        if (key->removed) report.KeyRemoved(key->path);
        DiffValues(report, key->path, key->before, key->after);
    }
}

// ---- Volumes, databases, records ----------------------------------------------------------------

namespace {

// Entries of both sides under one folded name, in case-insensitive order.
template <typename T>
struct Paired {
    std::u16string name;  // as the newer side spells it, else the older
    const T* before = nullptr;
    const T* after = nullptr;
};

template <typename T, typename NameOf>
std::vector<Paired<T>> Pair(const std::vector<T>& before, const std::vector<T>& after, NameOf nameOf) {
    std::map<std::u16string, Paired<T>> byName;
    for (const T& item : before) {
        Paired<T>& p = byName[text::FoldCase(nameOf(item))];
        p.name = nameOf(item);
        p.before = &item;
    }
    for (const T& item : after) {
        Paired<T>& p = byName[text::FoldCase(nameOf(item))];
        p.name = nameOf(item);
        p.after = &item;
    }
    std::vector<Paired<T>> out;
    for (auto& [folded, p] : byName) out.push_back(p);
    std::sort(out.begin(), out.end(), [](const Paired<T>& a, const Paired<T>& b) {
        return text::CompareNoCase(a.name, b.name) < 0;
    });
    return out;
}

void DiffProperties(DiffReport& report, size_t index, const store::Record& a, const store::Record& b) {
    if (a.props.size() == b.props.size() &&
        std::equal(a.props.begin(), a.props.end(), b.props.begin(), [](const auto& x, const auto& y) {
            return x.propid == y.propid && x.bytes == y.bytes;
        })) {
        return;
    }
    std::map<uint32_t, std::pair<const store::Property*, const store::Property*>> byTag;
    for (const store::Property& p : a.props) byTag[p.propid].first = &p;
    for (const store::Property& p : b.props) byTag[p.propid].second = &p;
    for (const auto& [tag, sides] : byTag) {
        const auto [old, now] = sides;
        if (old && now && old->bytes == now->bytes) continue;
        report.PropertyChanged(index, b.oid, tag, old, now);
    }
}

// Both databases walked in record order at once; object ids rise on both sides, so
// an id that one side passes without the other having it is added or removed.
void MergeRecords(DiffReport& report, store::VolumeStore::RecordReader& before,
                  store::VolumeStore::RecordReader& after) {
    store::Record a;
    store::Record b;
    bool hasA = before.Next(a);
    bool hasB = after.Next(b);
    size_t i = 0;
    size_t j = 0;
    while (hasA || hasB) {
        if (hasA && hasB && a.oid == b.oid) {
            DiffProperties(report, j, a, b);
            hasA = before.Next(a);
            hasB = after.Next(b);
            ++i;
            ++j;
        } else if (hasA && (!hasB || a.oid < b.oid)) {
            report.RecordRemoved(i++, a);
            hasA = before.Next(a);
        } else {
            report.RecordAdded(j++, b);
            hasB = after.Next(b);
        }
    }
}

// For databases whose ids do not follow record order (never made by this store):
// both held whole, matched through a map.
void MatchRecords(DiffReport& report, const std::vector<store::Record>& before,
                  const std::vector<store::Record>& after) {
    std::map<uint32_t, size_t> afterAt;
    for (size_t j = 0; j < after.size(); ++j) afterAt[after[j].oid] = j;
    std::map<uint32_t, size_t> beforeAt;
    for (size_t i = 0; i < before.size(); ++i) {
        beforeAt[before[i].oid] = i;
        const auto now = afterAt.find(before[i].oid);
        if (now == afterAt.end()) {
            report.RecordRemoved(i, before[i]);
        } else {
            DiffProperties(report, now->second, before[i], after[now->second]);
        }
    }
    for (size_t j = 0; j < after.size(); ++j) {
        if (!beforeAt.count(after[j].oid)) report.RecordAdded(j, after[j]);
    }
}

void DiffRecords(DiffReport& report, const store::VolumeStore* a, const store::DatabaseInfo* da,
                 const store::VolumeStore* b, const store::DatabaseInfo* db) {
    using Reader = store::VolumeStore::RecordReader;
    if (a && da && b && db && !(a->OidsRiseWithRecordOrder(da->oid) && b->OidsRiseWithRecordOrder(db->oid))) {
        MatchRecords(report, a->Records(da->oid), b->Records(db->oid));
        return;
    }
    std::optional<Reader> before;
    std::optional<Reader> after;
    if (a && da) before.emplace(*a, da->oid);
    if (b && db) after.emplace(*b, db->oid);
    if (before && after) return MergeRecords(report, *before, *after);
    store::Record record;
    size_t index = 0;
    if (before) {
        while (before->Next(record)) report.RecordRemoved(index++, record);
    } else if (after) {
        while (after->Next(record)) report.RecordAdded(index++, record);
    }
}

std::unique_ptr<store::VolumeStore> OpenVolume(const VolumeListing* listing) {
    if (!listing || listing->hostFile.empty()) return nullptr;
    return std::make_unique<store::VolumeStore>(listing->hostFile, store::Mode::ReadOnly);
}

void RequireImage(const fs::path& image) {
    std::error_code ec;
    if (!fs::is_directory(image, ec)) throw ToolError("the device image folder " + image.string() + " does not exist");
    if (!store::IsImage(image)) {
        throw ToolError(image.string() + " is not a device image (no " + store::kStateFolder + " folder in it)");
    }
}

}  // namespace

void DiffVolumes(const std::vector<VolumeListing>& before, const std::vector<VolumeListing>& after,
                 DiffReport& report) {
    auto path = [](const VolumeListing& v) { return v.platformPath; };
    for (const auto& p : Pair(before, after, path)) {
        const std::unique_ptr<store::VolumeStore> a = OpenVolume(p.before);
        const std::unique_ptr<store::VolumeStore> b = OpenVolume(p.after);
        if (!a && b) report.VolumeAdded(p.name);
        if (a && !b) report.VolumeRemoved(p.name);
        const bool wasMounted = p.before && p.before->mounted;
        const bool isMounted = p.after && p.after->mounted;
        if (wasMounted != isMounted) report.VolumeMounted(p.name, isMounted);
        auto name = [](const store::DatabaseInfo& d) { return d.name; };
        const auto none = std::vector<store::DatabaseInfo>{};
        for (const auto& d : Pair(a ? p.before->databases : none, b ? p.after->databases : none, name)) {
            if (!d.before) report.DatabaseAdded(p.name, *d.after);
            if (!d.after) report.DatabaseRemoved(p.name, *d.before);
            report.BeginRecords(p.name, d.name);
            DiffRecords(report, a.get(), d.before, b.get(), d.after);
            report.EndRecords();
        }
    }
}

void DiffImages(const fs::path& before, const fs::path& after, DiffReport& report) {
    RequireImage(before);
    RequireImage(after);
    DiffRegistries(store::RegistryFile(before), store::RegistryFile(after), report);
    DiffVolumes(ListVolumes(before), ListVolumes(after), report);
}

}  // namespace tools
