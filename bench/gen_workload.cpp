// Writes the benchmark workloads (bench/workload.h) and runs the in-memory floor.
//
//   gen_workload w1 VALUES DIR            DIR/update/bench.reg, DIR/w1.sql
//   gen_workload w2 ENTRIES RECORDS DIR   DIR/image (an image whose three databases hold
//                                         RECORDS records each), DIR/update/*.dat,
//                                         DIR/w2-setup-N.sql, DIR/w2-update-N.sql
//   gen_workload floor ENTRIES RECORDS DIR
//       scans the same records in memory for the entries of DIR/update/*.dat (read
//       from disk, as the installer does) and prints the seconds the three scans took
//
// The SQL files are the sqlite3 peers' input: w1.sql inserts every W1 value into one
// table in one transaction; w2-setup-N.sql fills database N's table (not timed) and
// w2-update-N.sql applies its patch entries as one UPDATE of the first matching row
// each, in one transaction.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include "bench/workload.h"
#include "store/bytes.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;
using namespace workload;

void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    WriteBytes(file, std::string(bytes.begin(), bytes.end()));
}

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

void GenerateW1(int values, const fs::path& dir) {
    fs::create_directories(dir / "update");
    const std::vector<W1Value> list = W1Values(values);
    WriteBytes(dir / "update" / "bench.reg", Utf16LeWithBom(W1ScriptText(list)));

    std::string sql =
        "CREATE TABLE value(key TEXT NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL,"
        " data BLOB, PRIMARY KEY(key, name));\nBEGIN;\n";
    for (const W1Value& v : list) {
        std::vector<uint8_t> data;
        int type = 1;
        switch (v.kind) {
            case W1Value::Text: data = store::Utf16LeBytes(Wide(v.text) + u'\0'); break;
            case W1Value::Dword:
                type = 4;
                store::AppendLittleEndian(data, v.number, 4);
                break;
            case W1Value::Hex:
                type = 3;
                data = v.bytes;
                break;
        }
        sql += "INSERT INTO value VALUES('" + v.key + "','" + v.name + "'," + std::to_string(type) +
               ",X'" + store::HexOf(data) + "');\n";
    }
    sql += "COMMIT;\n";
    WriteBytes(dir / "w1.sql", sql);
}

store::Property TextProperty(uint16_t id, const std::string& ascii) {
    return {uint32_t{id} << 16 | 0x1F, store::Utf16LeBytes(Wide(ascii))};
}

store::Property NumberProperty(uint16_t id, uint32_t n) {
    store::Property p{uint32_t{id} << 16 | 0x13, {}};
    store::AppendLittleEndian(p.bytes, n, 4);
    return p;
}

void GenerateW2(int entries, int records, const fs::path& dir) {
    fs::create_directories(dir / "update");
    const fs::path image = dir / "image";
    std::error_code ec;
    fs::remove_all(image, ec);
    store::InitImage(image);
    store::VolumeStore volume(image / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
    for (int d = 0; d < 3; ++d) {
        const std::vector<W2Record> list = W2Records(records, d);
        const auto info = volume.FindDatabase(std::u16string(kW2Databases[d], kW2Databases[d] + std::strlen(kW2Databases[d])));
        if (!info) throw std::runtime_error("the new image lacks a language database");
        std::string setup =
            "CREATE TABLE r(idx INTEGER PRIMARY KEY, tkey TEXT, nkey INTEGER, cnt INTEGER,"
            " label TEXT);\nBEGIN;\n";
        volume.Begin();
        for (size_t i = 0; i < list.size(); ++i) {
            const W2Record& r = list[i];
            std::vector<store::Property> props;
            if (r.textKey) props.push_back(TextProperty(kTextKeyId, r.text));
            else props.push_back(NumberProperty(kNumberKeyId, r.number));
            props.push_back(NumberProperty(kCountId, r.count));
            props.push_back(TextProperty(kLabelId, r.label));
            volume.AddRecord(info->oid, props);
            setup += "INSERT INTO r VALUES(" + std::to_string(i) + "," +
                     (r.textKey ? "'" + r.text + "',NULL" : "NULL," + std::to_string(r.number)) + "," +
                     std::to_string(r.count) + ",'" + r.label + "');\n";
        }
        volume.Commit();
        setup += "COMMIT;\n";
        WriteBytes(dir / ("w2-setup-" + std::to_string(d) + ".sql"), setup);

        const std::vector<W2Entry> patch = W2Entries(list, entries, d);
        WriteBytes(dir / "update" / kW2PatchFiles[d], W2PatchFile(patch));
        std::string update = "BEGIN;\n";
        for (const W2Entry& e : patch) {
            if (e.textKey) {
                update += "UPDATE r SET cnt=" + std::to_string(e.newCount) +
                          " WHERE idx=(SELECT idx FROM r WHERE tkey='" + e.text +
                          "' COLLATE NOCASE ORDER BY idx LIMIT 1);\n";
            } else {
                update += "UPDATE r SET label='" + e.newLabel +
                          "' WHERE idx=(SELECT idx FROM r WHERE nkey=" + std::to_string(e.number) +
                          " ORDER BY idx LIMIT 1);\n";
            }
        }
        update += "COMMIT;\n";
        WriteBytes(dir / ("w2-update-" + std::to_string(d) + ".sql"), update);
    }
}

// ---- The floor: the same scan over plain memory ----

struct MemRecord {
    std::u16string text;  // empty: the record has no text key
    bool hasNumber = false;
    uint32_t number = 0;
    uint32_t count = 0;
    std::u16string label;
};

std::vector<uint8_t> ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Applies one patch file to the records; false when it is not in the expected form.
bool ScanInMemory(const std::vector<uint8_t>& patch, std::vector<MemRecord>& records) {
    size_t at = 0;
    auto u32 = [&](uint32_t* v) {
        if (at + 4 > patch.size()) return false;
        *v = patch[at] | patch[at + 1] << 8 | patch[at + 2] << 16 | uint32_t{patch[at + 3]} << 24;
        at += 4;
        return true;
    };
    auto text = [&](std::u16string* s) {
        if (at + 2 > patch.size()) return false;
        const size_t n = patch[at] | patch[at + 1] << 8;
        at += 2;
        if (at + 2 * n > patch.size()) return false;
        s->resize(n);
        for (size_t i = 0; i < n; ++i) (*s)[i] = static_cast<char16_t>(patch[at + 2 * i] | patch[at + 2 * i + 1] << 8);
        at += 2 * n;
        return true;
    };
    std::u16string keyText, valueText;
    while (at < patch.size()) {
        uint32_t keyTag, valueTag, keyNumber = 0, valueNumber = 0;
        if (!u32(&keyTag)) return false;
        if ((keyTag & 0xFFFF) == 0x1F ? !text(&keyText) : !u32(&keyNumber)) return false;
        if (!u32(&valueTag)) return false;
        if ((valueTag & 0xFFFF) == 0x1F ? !text(&valueText) : !u32(&valueNumber)) return false;
        const bool byText = (keyTag & 0xFFFF) == 0x1F;
        for (MemRecord& r : records) {
            UErrorCode status = U_ZERO_ERROR;
            const bool match = byText ? !r.text.empty() &&
                                            u_strCaseCompare(r.text.data(), static_cast<int32_t>(r.text.size()),
                                                             keyText.data(), static_cast<int32_t>(keyText.size()),
                                                             U_FOLD_CASE_DEFAULT, &status) == 0
                                      : r.hasNumber && r.number == keyNumber;
            if (!match) continue;
            if ((valueTag & 0xFFFF) == 0x1F) r.label = valueText;
            else r.count = valueNumber;
            break;
        }
    }
    return true;
}

int Floor(int entries, int records, const fs::path& dir) {
    (void)entries;
    double seconds = 0;
    for (int d = 0; d < 3; ++d) {
        std::vector<MemRecord> mem;
        for (const W2Record& r : W2Records(records, d)) {
            MemRecord m;
            if (r.textKey) m.text = Wide(r.text);
            else {
                m.hasNumber = true;
                m.number = r.number;
            }
            m.count = r.count;
            m.label = Wide(r.label);
            mem.push_back(std::move(m));
        }
        const auto start = std::chrono::steady_clock::now();
        if (!ScanInMemory(ReadAll(dir / "update" / kW2PatchFiles[d]), mem)) {
            std::cerr << "gen_workload: a patch file is not in the expected form\n";
            return 2;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::printf("%.4f\n", seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string what = argc > 1 ? argv[1] : "";
        if (what == "w1" && argc == 4) {
            GenerateW1(std::stoi(argv[2]), argv[3]);
            return 0;
        }
        if (what == "w2" && argc == 5) {
            GenerateW2(std::stoi(argv[2]), std::stoi(argv[3]), argv[4]);
            return 0;
        }
        if (what == "floor" && argc == 5) return Floor(std::stoi(argv[2]), std::stoi(argv[3]), argv[4]);
    } catch (const std::exception& e) {
        std::cerr << "gen_workload: " << e.what() << '\n';
        return 2;
    }
    std::cerr << "usage: gen_workload w1 VALUES DIR | w2 ENTRIES RECORDS DIR | floor ENTRIES RECORDS DIR\n";
    return 2;
}
