// The image comparison and "ceupdate diff".
//
// Registry keys are matched by full path and values by name, both ignoring case as
// the registry does; a change of case alone is no difference. Volumes are matched by
// platform path, databases by name, records by object id (the installer changes
// records in place, so a record keeps its id), properties by tag.
#include "tools/analyses/diff.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "platform/wince.h"
#include "store/bytes.h"
#include "store/store.h"
#include "store/text.h"
#include "tools/errors.h"
#include "tools/formats/database_json.h"
#include "tools/formats/reg_text.h"
#include "tools/formats/shown_text.h"
#include "tools/formats/registry_json.h"
#include "tools/image_volumes.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

using KeyId = store::RegistryStore::KeyId;

std::string Utf8(std::u16string_view text) { return text::ToUtf8(text); }

// Entries of both sides under one folded name, in case-insensitive order.
template <typename T>
struct Paired {
    std::u16string name;  // as the newer side spells it, else the older
    std::optional<T> before;
    std::optional<T> after;
};

template <typename T, typename NameOf>
std::vector<Paired<T>> Pair(const std::vector<T>& before, const std::vector<T>& after, NameOf nameOf) {
    std::map<std::u16string, Paired<T>> byName;
    for (const T& item : before) {
        Paired<T>& p = byName[text::FoldCase(nameOf(item))];
        p.name = nameOf(item);
        p.before = item;
    }
    for (const T& item : after) {
        Paired<T>& p = byName[text::FoldCase(nameOf(item))];
        p.name = nameOf(item);
        p.after = item;
    }
    std::vector<Paired<T>> out;
    for (auto& [folded, p] : byName) out.push_back(std::move(p));
    std::sort(out.begin(), out.end(), [](const Paired<T>& a, const Paired<T>& b) {
        return text::CompareNoCase(a.name, b.name) < 0;
    });
    return out;
}

// ---- Registry -------------------------------------------------------------------------------

struct KeyEntry {
    std::u16string path;
    KeyId id = 0;
};

std::vector<KeyEntry> AllKeys(const store::RegistryStore& registry) {
    std::vector<KeyEntry> keys;
    for (KeyId root : store::RegistryStore::kRoots) {
        for (KeyId key : KeysInOrder(registry, root)) keys.push_back({registry.KeyPath(key), key});
    }
    return keys;
}

// A text value's characters as shown: all of them but one final terminator.
std::u16string ShownCharacters(std::span<const uint8_t> bytes) {
    std::u16string units = store::Utf16LeText(bytes);
    if (!units.empty() && units.back() == u'\0') units.pop_back();
    return units;
}

std::string ValueShort(const store::RegistryValue& v) {
    std::string text = RegTypeText(v.type);
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) return text + " " + QuotedText(ShownCharacters(v.data));
    auto data = RegDataOf(v.type, v.data);
    if (!data) return text + " hex:" + HexOf(v.data);
    if (data->is_string() && v.type != REG_SZ && v.type != REG_EXPAND_SZ) {
        return text + " hex:" + data->get<std::string>();
    }
    if (data->is_string()) return text + " \"" + data->get<std::string>() + "\"";
    return text + " " + data->dump();
}

Json ValueJson(const std::u16string& key, const store::RegistryValue& v) {
    Json out{{"key", Utf8(key)}, {"name", Utf8(v.name)}};
    const Json value = RegValueToJson(v.type, v.data);
    for (auto it = value.begin(); it != value.end(); ++it) out[it.key()] = *it;
    return out;
}

struct Collector {
    Json json;
    std::vector<std::string> lines;
};

void DiffValues(Collector& c, const std::u16string& key, const std::vector<store::RegistryValue>& before,
                const std::vector<store::RegistryValue>& after) {
    Json& values = c.json["registry"]["values"];
    auto name = [](const store::RegistryValue& v) { return v.name; };
    for (const auto& p : Pair(before, after, name)) {
        const std::string where = ShownText(key) + " " + ShownValueName(p.name);
        if (!p.before) {
            values["added"].push_back(ValueJson(key, *p.after));
            c.lines.push_back("value added: " + where + " = " + ValueShort(*p.after));
        } else if (!p.after) {
            values["removed"].push_back(ValueJson(key, *p.before));
            c.lines.push_back("value removed: " + where + " (was " + ValueShort(*p.before) + ")");
        } else if (p.before->type != p.after->type || p.before->data != p.after->data) {
            values["changed"].push_back(Json{{"key", Utf8(key)},
                                             {"name", Utf8(p.name)},
                                             {"old", RegValueToJson(p.before->type, p.before->data)},
                                             {"new", RegValueToJson(p.after->type, p.after->data)}});
            c.lines.push_back("value changed: " + where + ": " + ValueShort(*p.before) + " -> " +
                              ValueShort(*p.after));
        }
    }
}

void DiffRegistry(Collector& c, const fs::path& before, const fs::path& after) {
    store::RegistryStore a(store::RegistryFile(before), store::Mode::ReadOnly);
    store::RegistryStore b(store::RegistryFile(after), store::Mode::ReadOnly);
    auto path = [](const KeyEntry& k) { return k.path; };
    for (const auto& p : Pair(AllKeys(a), AllKeys(b), path)) {
        if (!p.before) {
            c.json["registry"]["keys"]["added"].push_back(Utf8(p.name));
            c.lines.push_back("key added: " + ShownText(p.name));
        } else if (!p.after) {
            c.json["registry"]["keys"]["removed"].push_back(Utf8(p.name));
            c.lines.push_back("key removed: " + ShownText(p.name));
        }
        DiffValues(c, p.name, p.before ? a.Values(p.before->id) : std::vector<store::RegistryValue>{},
                   p.after ? b.Values(p.after->id) : std::vector<store::RegistryValue>{});
    }
}

// ---- Volumes, databases, records ----------------------------------------------------------------

std::string PropShort(const store::Property& p) {
    const auto type = static_cast<uint16_t>(p.propid & 0xFFFF);
    auto name = PropTypeName(type);
    std::string text = std::string(name ? *name : std::to_string(type)) + " ";
    if (type == CEVT_LPWSTR) {
        const std::u16string units = store::Utf16LeText(p.bytes);
        if (NeedsEscaping(units)) return text + QuotedText(units);
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

struct RecordAt {
    size_t index = 0;
    const store::Record* record = nullptr;
};

std::map<uint32_t, RecordAt> ByOid(const std::vector<store::Record>& records) {
    std::map<uint32_t, RecordAt> out;
    for (size_t i = 0; i < records.size(); ++i) out[records[i].oid] = {i, &records[i]};
    return out;
}

void DiffProperties(Collector& c, const Json& where, const std::string& label, const store::Record& a,
                    const store::Record& b) {
    std::map<uint32_t, const store::Property*> before;
    for (const store::Property& p : a.props) before[p.propid] = &p;
    std::map<uint32_t, const store::Property*> after;
    for (const store::Property& p : b.props) after[p.propid] = &p;
    std::map<uint32_t, bool> tags;
    for (auto& [tag, p] : before) tags[tag] = true;
    for (auto& [tag, p] : after) tags[tag] = true;
    for (auto& [tag, unused] : tags) {
        const store::Property* old = before.count(tag) ? before[tag] : nullptr;
        const store::Property* now = after.count(tag) ? after[tag] : nullptr;
        if (old && now && old->bytes == now->bytes) continue;
        Json change = where;
        change["property"] = tag >> 16;
        change["old"] = old ? PropertyToJson(*old) : Json(nullptr);
        change["new"] = now ? PropertyToJson(*now) : Json(nullptr);
        c.json["records"]["changed"].push_back(change);
        c.lines.push_back("record changed: " + label + " property " + std::to_string(tag >> 16) + ": " +
                          (old ? PropShort(*old) : "(none)") + " -> " + (now ? PropShort(*now) : "(none)"));
    }
}

void DiffRecords(Collector& c, const std::string& volume, const std::string& database,
                 const std::vector<store::Record>& before, const std::vector<store::Record>& after) {
    const auto a = ByOid(before);
    const auto b = ByOid(after);
    auto describe = [&](const RecordAt& at, bool changed) {
        Json where{{"volume", volume}, {"database", database}, {"index", at.index}, {"oid", at.record->oid}};
        if (!changed) where["props"] = PropsJson(at.record->props);
        return where;
    };
    auto label = [&](const RecordAt& at) {
        return volume + " " + database + " record " + std::to_string(at.index) + " (oid " +
               std::to_string(at.record->oid) + ")";
    };
    for (const store::Record& r : before) {
        const RecordAt& old = a.at(r.oid);
        auto now = b.find(r.oid);
        if (now == b.end()) {
            c.json["records"]["removed"].push_back(describe(old, false));
            c.lines.push_back("record removed: " + label(old) + ": " + PropsShort(r.props));
        } else {
            DiffProperties(c, describe(now->second, true), label(now->second), r, *now->second.record);
        }
    }
    for (const store::Record& r : after) {
        if (a.count(r.oid)) continue;
        const RecordAt& now = b.at(r.oid);
        c.json["records"]["added"].push_back(describe(now, false));
        c.lines.push_back("record added: " + label(now) + ": " + PropsShort(r.props));
    }
}

std::vector<store::Record> RecordsOf(const fs::path& file, const std::optional<store::DatabaseInfo>& db) {
    if (!db || file.empty()) return {};
    store::VolumeStore volume(file, store::Mode::ReadOnly);
    return volume.Records(db->oid);
}

void DiffVolumes(Collector& c, const fs::path& before, const fs::path& after) {
    auto path = [](const VolumeListing& v) { return v.platformPath; };
    for (const auto& p : Pair(ListVolumes(before), ListVolumes(after), path)) {
        const std::string volume = Utf8(p.name);
        const bool hadFile = p.before && !p.before->hostFile.empty();
        const bool hasFile = p.after && !p.after->hostFile.empty();
        if (!hadFile && hasFile) {
            c.json["volumes"]["added"].push_back(volume);
            c.lines.push_back("volume added: " + volume);
        } else if (hadFile && !hasFile) {
            c.json["volumes"]["removed"].push_back(volume);
            c.lines.push_back("volume removed: " + volume);
        }
        const bool wasMounted = p.before && p.before->mounted;
        const bool isMounted = p.after && p.after->mounted;
        if (wasMounted != isMounted) {
            c.json["volumes"][isMounted ? "mounted" : "unmounted"].push_back(volume);
            c.lines.push_back(std::string(isMounted ? "volume mounted: " : "volume unmounted: ") + volume);
        }
        auto name = [](const store::DatabaseInfo& d) { return d.name; };
        const auto none = std::vector<store::DatabaseInfo>{};
        for (const auto& d : Pair(hadFile ? p.before->databases : none, hasFile ? p.after->databases : none, name)) {
            const std::string database = Utf8(d.name);
            if (!d.before) {
                c.json["databases"]["added"].push_back(
                    Json{{"volume", volume}, {"database", database}, {"records", d.after->records}});
                c.lines.push_back("database added: " + volume + " " + database + " (" +
                                  std::to_string(d.after->records) + " records)");
            } else if (!d.after) {
                c.json["databases"]["removed"].push_back(
                    Json{{"volume", volume}, {"database", database}, {"records", d.before->records}});
                c.lines.push_back("database removed: " + volume + " " + database + " (" +
                                  std::to_string(d.before->records) + " records)");
            }
            DiffRecords(c, volume, database, RecordsOf(hadFile ? p.before->hostFile : fs::path(), d.before),
                        RecordsOf(hasFile ? p.after->hostFile : fs::path(), d.after));
        }
    }
}

Json EmptyDiffJson() {
    const Json none = Json::array();
    return Json{{"equal", true},
                {"registry", {{"keys", {{"added", none}, {"removed", none}}},
                              {"values", {{"added", none}, {"removed", none}, {"changed", none}}}}},
                {"volumes", {{"added", none}, {"removed", none}, {"mounted", none}, {"unmounted", none}}},
                {"databases", {{"added", none}, {"removed", none}}},
                {"records", {{"added", none}, {"removed", none}, {"changed", none}}}};
}

void RequireImage(const fs::path& image) {
    std::error_code ec;
    if (!fs::is_directory(image, ec)) throw ToolError("the device image folder " + image.string() + " does not exist");
    if (!store::IsImage(image)) {
        throw ToolError(image.string() + " is not a device image (no " + store::kStateFolder + " folder in it)");
    }
}

}  // namespace

ImageDiff DiffImages(const fs::path& before, const fs::path& after) {
    RequireImage(before);
    RequireImage(after);
    Collector c{EmptyDiffJson(), {}};
    DiffRegistry(c, before, after);
    DiffVolumes(c, before, after);
    c.json["equal"] = c.lines.empty();
    return {std::move(c.json), std::move(c.lines)};
}

std::string DiffText(const ImageDiff& diff) {
    std::string out;
    for (const std::string& line : diff.lines) out += line + "\n";
    if (diff.Equal()) return out + "the images are equal\n";
    return out + std::to_string(diff.lines.size()) +
           (diff.lines.size() == 1 ? " difference\n" : " differences\n");
}

}  // namespace tools
