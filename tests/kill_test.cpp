// The installer killed (SIGKILL) at random moments of a large update, each time on a
// fresh copy of the image. Afterwards every store passes PRAGMA integrity_check,
// ceupdate still opens the image, and the registry and the databases are exactly the
// uninterrupted run's state after some prefix of its writes (the order of writes is
// recorded once, from the run's CEUPDATE_TRACE).
//
// The default is quick (10 kills of a small update). CEUPDATE_KILLS, CEUPDATE_KILL_VALUES
// (W1 values), CEUPDATE_KILL_RECORDS and CEUPDATE_KILL_ENTRIES (W2 per database) and
// CEUPDATE_KILL_SEED make it larger, e.g. 100 kills of W1 100000 / W2 10000 x 1000.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/workload.h"
#include "platform/wince.h"
#include "store/bytes.h"
#include "store/store.h"
#include "store/text.h"
#include "tests/support/cli.h"
#include "tests/support/hardening.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// ---- The state of an image: registry keys and values, database properties ----

// Key: "K\x1f" + path, "V\x1f" + path + "\x1f" + name, "D\x1f" volume db oid propid;
// value: what the entry holds ("" for a key). Names are compared ignoring ASCII case.
using State = std::map<std::string, std::string>;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return s;
}

std::string KeyEntry(const std::string& path) { return "K\x1f" + Lower(path); }
std::string ValueEntry(const std::string& path, const std::string& name) {
    return "V\x1f" + Lower(path) + "\x1f" + Lower(name);
}
std::string PropEntry(const std::string& volume, const std::string& db, uint32_t oid, uint32_t propid) {
    return "D\x1f" + Lower(volume) + "\x1f" + Lower(db) + "\x1f" + std::to_string(oid) + "\x1f" +
           std::to_string(propid);
}

void AddKeys(const store::RegistryStore& registry, store::RegistryStore::KeyId key, State& state) {
    const std::string path = text::ToUtf8(registry.KeyPath(key));
    state[KeyEntry(path)] = "";
    for (const store::RegistryValue& v : registry.Values(key))
        state[ValueEntry(path, text::ToUtf8(v.name))] = std::to_string(v.type) + ":" + store::HexOf(v.data);
    for (const auto& child : registry.Subkeys(key)) AddKeys(registry, child.id, state);
}

State ReadState(const fs::path& image) {
    State state;
    store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadOnly);
    for (auto root : store::RegistryStore::kRoots)
        AddKeys(registry, root, state);
    const std::string volumePath = "\\storage\\mxip_lang.vol";
    store::VolumeStore volume(image / "storage" / "mxip_lang.vol", store::Mode::ReadOnly);
    for (const store::DatabaseInfo& db : volume.Databases()) {
        const std::string name = text::ToUtf8(db.name);
        state["B\x1f" + Lower(name)] = std::to_string(db.oid);
        for (const store::Record& r : volume.Records(db.oid)) {
            for (const store::Property& p : r.props)
                state[PropEntry(volumePath, name, r.oid, p.propid)] = store::HexOf(p.bytes);
        }
    }
    return state;
}

// ---- The trace ----

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        switch (s[++i]) {
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            default: out += s[i];
        }
    }
    return out;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t')) fields.push_back(Unescape(field));
    return fields;
}

// One write: the entry it sets and what to.
struct Write {
    std::string entry;
    std::string value;
};

std::vector<Write> ReadTrace(const fs::path& file) {
    std::vector<Write> writes;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = Fields(line);
        if (f.size() == 3 && f[0] == "reg" && f[1] == "key") {
            writes.push_back({KeyEntry(f[2]), ""});
        } else if (f.size() == 6 && f[0] == "reg" && f[1] == "value") {
            writes.push_back({ValueEntry(f[2], f[3]), f[4] + ":" + f[5]});
        } else if (f.size() == 6 && f[0] == "db") {
            writes.push_back({PropEntry(f[1], f[2], static_cast<uint32_t>(std::stoul(f[3])),
                                        static_cast<uint32_t>(std::stoul(f[4]))),
                              f[5]});
        } else {
            ADD_FAILURE() << "unexpected trace line: " << line;
        }
    }
    return writes;
}

// ---- Order-free hash of a state, updated write by write ----

uint64_t Mix(const std::string& entry, const std::string& value) {
    uint64_t h = 1469598103934665603ULL;
    auto eat = [&](const std::string& s) {
        for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
        h = (h ^ 0xFF) * 1099511628211ULL;
    };
    eat(entry);
    eat(value);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

uint64_t HashOf(const State& state) {
    uint64_t sum = 0;
    for (const auto& [entry, value] : state) sum += Mix(entry, value);
    return sum;
}

// The hash after each prefix of the writes: [0] is the initial state.
std::vector<uint64_t> PrefixHashes(State state, const std::vector<Write>& writes) {
    std::vector<uint64_t> hashes;
    uint64_t h = HashOf(state);
    hashes.push_back(h);
    for (const Write& w : writes) {
        auto it = state.find(w.entry);
        if (it != state.end()) {
            h -= Mix(it->first, it->second);
            it->second = w.value;
        } else {
            it = state.emplace(w.entry, w.value).first;
        }
        h += Mix(it->first, it->second);
        hashes.push_back(h);
    }
    return hashes;
}

State StateAfter(State state, const std::vector<Write>& writes, size_t count) {
    for (size_t i = 0; i < count; ++i) state[writes[i].entry] = writes[i].value;
    return state;
}

// ---- The workload ----

store::Property Text(uint16_t id, const std::string& ascii) {
    store::Property p{uint32_t{id} << 16 | CEVT_LPWSTR, {}};
    for (char c : ascii) {
        p.bytes.push_back(static_cast<uint8_t>(c));
        p.bytes.push_back(0);
    }
    return p;
}

store::Property Number(uint16_t id, uint32_t n) {
    store::Property p{uint32_t{id} << 16 | CEVT_UI4, {}};
    store::AppendLittleEndian(p.bytes, n, 4);
    return p;
}

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An image whose three databases hold `records` records, and an update folder with a
// W1 script of `values` values and W2 patch files of `entries` entries.
void MakeWorkload(const fs::path& image, const fs::path& update, int values, int records, int entries) {
    store::InitImage(image);
    fs::create_directories(update);
    WriteBytes(update / "bench.reg",
               workload::Utf16LeWithBom(workload::W1ScriptText(workload::W1Values(values))));
    store::VolumeStore volume(image / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
    for (int d = 0; d < 3; ++d) {
        const std::string name = workload::kW2Databases[d];
        const auto info = volume.FindDatabase(std::u16string(name.begin(), name.end()));
        ASSERT_TRUE(info);
        const auto list = workload::W2Records(records, d);
        volume.Begin();
        for (const workload::W2Record& r : list) {
            std::vector<store::Property> props;
            if (r.textKey) props.push_back(Text(workload::kTextKeyId, r.text));
            else props.push_back(Number(workload::kNumberKeyId, r.number));
            props.push_back(Number(workload::kCountId, r.count));
            props.push_back(Text(workload::kLabelId, r.label));
            volume.AddRecord(info->oid, props);
        }
        volume.Commit();
        WriteBytes(update / workload::kW2PatchFiles[d],
                   workload::W2PatchFile(workload::W2Entries(list, entries, d)));
    }
}

TEST(KillTest, EveryKillLeavesIntactStoresHoldingAPrefixOfTheWrites) {
    const int kills = EnvInt("CEUPDATE_KILLS", 10);
    const int values = EnvInt("CEUPDATE_KILL_VALUES", 3000);
    const int records = EnvInt("CEUPDATE_KILL_RECORDS", 1000);
    const int entries = EnvInt("CEUPDATE_KILL_ENTRIES", 200);
    const unsigned seed = static_cast<unsigned>(EnvInt("CEUPDATE_KILL_SEED", 7));

    TempFolder tmp;
    const fs::path base = tmp / "base";
    const fs::path update = tmp / "update";
    MakeWorkload(base, update, values, records, entries);
    const State initial = ReadState(base);

    // The uninterrupted run, with its trace.
    const fs::path reference = tmp / "reference";
    testing_support::CopyFolder(base, reference);
    const fs::path traceFile = tmp / "trace.txt";
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(testing_support::RunCliWithin({"run", "--yes", "--device", reference.string(), update.string()},
                                            600, {{"CEUPDATE_TRACE", traceFile.string()}}),
              0);
    const double runSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::vector<Write> writes = ReadTrace(traceFile);
    ASSERT_GT(writes.size(), static_cast<size_t>(values));
    const std::vector<uint64_t> prefixes = PrefixHashes(initial, writes);
    // The trace accounts for every change the run made.
    ASSERT_EQ(ReadState(reference), StateAfter(initial, writes, writes.size()));

    std::mt19937 random(seed);
    std::uniform_real_distribution<double> moment(0.0, runSeconds);
    std::vector<size_t> reached;
    for (int k = 0; k < kills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k));
        const fs::path image = tmp / ("killed" + std::to_string(k));
        testing_support::CopyFolder(base, image);
        const double delay = moment(random);
        const pid_t pid =
            testing_support::StartCli({"run", "--yes", "--device", image.string(), update.string()});
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);

        for (const fs::path& file : testing_support::StoreFiles(image))
            EXPECT_EQ(testing_support::IntegrityCheck(file), "ok") << file;
        auto exported = testing_support::RunOnImage(image, {"reg", "export"});
        EXPECT_EQ(exported.exitCode, 0) << exported.err;
        for (const char* db : workload::kW2Databases) {
            auto dumped = testing_support::RunOnImage(image, {"db", "dump", "\\storage\\mxip_lang.vol", db});
            EXPECT_EQ(dumped.exitCode, 0) << dumped.err;
        }

        const State state = ReadState(image);
        const uint64_t hash = HashOf(state);
        size_t prefix = prefixes.size();
        for (size_t i = 0; i < prefixes.size(); ++i) {
            if (prefixes[i] == hash) {
                prefix = i;
                break;
            }
        }
        ASSERT_LT(prefix, prefixes.size()) << "the killed image is no prefix of the writes";
        EXPECT_EQ(state, StateAfter(initial, writes, prefix));
        reached.push_back(prefix);
        fs::remove_all(image);
    }
    std::ostringstream summary;
    summary << kills << " kills over a run of " << runSeconds << " s and " << writes.size()
            << " writes; writes in place at each kill:";
    for (size_t r : reached) summary << ' ' << r;
    std::cout << summary.str() << '\n';
}

}  // namespace
