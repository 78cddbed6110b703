// The installer's work at size, on scratch images:
//   - a generated script of 100,000 values in 1,000 sections (60% text, 25% dword,
//     15% hex with continuation lines), imported with ImportRegistryScript, against the
//     same values written with plain registry calls;
//   - three databases of 10,000 records, each patched from a 1,000-entry patch file,
//     against plain seek-and-read visits of the same records;
//   - the whole UpdateWorker over both.
// Everything is generated from fixed seeds. After the timings, one line per ratio:
//   ratio NAME VALUE target OP LIMIT
//
//   build/bench/installer_bench [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "control/control.h"
#include "langdb/langdb.h"
#include "platform/host/host.h"
#include "regscript/regscript.h"
#include "store/bytes.h"
#include "store/scratch_folder.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kValues = 100000;
constexpr int kSections = 1000;
constexpr int kRecords = 10000;
constexpr int kEntries = 1000;
const char16_t* const kDatabases[] = {u"\\FileNameLang", u"\\MetaBaseOptions", u"\\MetaBaseLabels"};
const char* const kPatchFiles[] = {"FileNameLang.dat", "MetabaseOptions.dat", "MetabaseLabels.dat"};

// ---- Generated inputs ----

struct PlainValue {
    std::u16string name;
    DWORD type;
    Bytes data;
};
struct PlainSection {
    std::u16string keyPath;  // under HKEY_CURRENT_USER
    std::vector<PlainValue> values;
};

void Put16(Bytes& b, uint16_t v) { store::AppendLittleEndian(b, v, 2); }
void Put32(Bytes& b, uint32_t v) { store::AppendLittleEndian(b, v, 4); }
std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }
std::string Hex2(unsigned v) {
    char buf[3];
    snprintf(buf, sizeof buf, "%02x", v & 0xFF);
    return buf;
}

// The script's text and the values it means.
struct GeneratedScript {
    std::u16string text;
    std::vector<PlainSection> sections;
};

GeneratedScript MakeScript() {
    std::mt19937 rng(20240601);
    GeneratedScript g;
    g.text = u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n";
    const int perSection = kValues / kSections;
    for (int s = 0; s < kSections; ++s) {
        PlainSection section{Ascii("Software\\Bench\\S" + std::to_string(s)), {}};
        g.text += u"[HKEY_CURRENT_USER\\" + section.keyPath + u"]\r\n";
        for (int v = 0; v < perSection; ++v) {
            const int kind = static_cast<int>(rng() % 100);
            const std::u16string name = Ascii("V" + std::to_string(v));
            if (kind < 60) {
                std::u16string text = Ascii("text value " + std::to_string(rng() % 1000000)) + u" Значение";
                Bytes data;
                store::AppendUtf16Le(data, text + u'\0');
                section.values.push_back({name, REG_SZ, data});
                g.text += u"\"" + name + u"\"=\"" + text + u"\"\r\n";
            } else if (kind < 85) {
                const uint32_t n = rng();
                char digits[9];
                snprintf(digits, sizeof digits, "%08x", n);
                Bytes data;
                Put32(data, n);
                section.values.push_back({name, REG_DWORD, data});
                g.text += u"\"" + name + u"\"=dword:" + Ascii(digits) + u"\r\n";
            } else {
                const int count = 16 + static_cast<int>(rng() % 48);
                Bytes data;
                std::string line = "hex:";
                for (int i = 0; i < count; ++i) {
                    const unsigned byte = rng() & 0xFF;
                    data.push_back(byte);
                    line += Hex2(byte);
                    if (i + 1 < count) line += ",";
                    if (i % 20 == 19 && i + 1 < count) line += "\\\r\n  ";
                }
                section.values.push_back({name, REG_BINARY, data});
                g.text += u"\"" + name + u"\"=" + Ascii(line) + u"\r\n";
            }
        }
        g.text += u"\r\n";
        g.sections.push_back(std::move(section));
    }
    return g;
}

// Patch entries and the record index each one matches (kRecords: none).
struct GeneratedPatch {
    Bytes bytes;
    long long visits = 0;  // records the job looks at
};

std::u16string RecordKey(int job, int i) {
    return job == 2 ? Ascii("метка-") + Ascii(std::to_string(i)) : Ascii("name-" + std::to_string(i));
}

GeneratedPatch MakePatch(int job) {
    std::mt19937 rng(7 + job);
    GeneratedPatch p;
    for (int e = 0; e < kEntries; ++e) {
        const bool miss = rng() % 20 == 0;
        const int target = static_cast<int>(rng() % kRecords);
        if (job == 1) {  // number keys
            Put32(p.bytes, PROPID_FROM_ID_TYPE(2, CEVT_UI4));
            Put32(p.bytes, miss ? 0xFFFFFFF0u : static_cast<uint32_t>(target));
        } else {  // text keys, looked up in another letter case
            std::u16string key = miss ? u"no such key" : RecordKey(job, target);
            for (char16_t& c : key) c = c >= u'a' && c <= u'z' ? c - 32 : (c >= u'а' && c <= u'я' ? c - 32 : c);
            Put32(p.bytes, PROPID_FROM_ID_TYPE(1, CEVT_LPWSTR));
            Put16(p.bytes, static_cast<uint16_t>(key.size()));
            store::AppendUtf16Le(p.bytes, key);
        }
        Put32(p.bytes, PROPID_FROM_ID_TYPE(3, CEVT_UI4));
        Put32(p.bytes, static_cast<uint32_t>(e));
        p.visits += miss ? kRecords : target + 1;
    }
    return p;
}

store::Property TextProp(uint16_t id, const std::u16string& text) {
    store::Property p{PROPID_FROM_ID_TYPE(id, CEVT_LPWSTR), {}};
    store::AppendUtf16Le(p.bytes, text);
    return p;
}
store::Property NumberProp(uint16_t id, uint32_t n) {
    store::Property p{PROPID_FROM_ID_TYPE(id, CEVT_UI4), {}};
    Put32(p.bytes, n);
    return p;
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// ---- The shared scratch area ----

struct Workload {
    store::ScratchFolder root;
    fs::path templateImage;  // seeded databases, update folder with script and patches
    GeneratedScript script;
    long long patchVisits = 0;
};

Workload* g_work = nullptr;
std::map<std::string, double> g_seconds;  // benchmark name -> seconds per iteration
int g_imageCount = 0;

void PrepareWorkload() {
    g_work = new Workload;
    g_work->templateImage = g_work->root / "template";
    store::InitImage(g_work->templateImage);
    const fs::path upd = g_work->templateImage / "upd";
    fs::create_directories(upd);

    g_work->script = MakeScript();
    Bytes scriptBytes;
    store::AppendUtf16Le(scriptBytes, g_work->script.text);
    WriteBytes(upd / "bench.reg", scriptBytes);

    store::VolumeStore volume(g_work->templateImage / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
    for (int job = 0; job < 3; ++job) {
        const auto info = volume.FindDatabase(kDatabases[job]);
        volume.Begin();
        for (int i = 0; i < kRecords; ++i) {
            const std::vector<store::Property> props = {TextProp(1, RecordKey(job, i)),
                                                        NumberProp(2, static_cast<uint32_t>(i)),
                                                        NumberProp(3, 0)};
            volume.AddRecord(info->oid, props);
        }
        volume.Commit();
        const GeneratedPatch patch = MakePatch(job);
        WriteBytes(upd / kPatchFiles[job], patch.bytes);
        g_work->patchVisits += patch.visits;
    }
}

// A fresh copy of the template image, bound with the installer in \upd.
fs::path FreshImage() {
    const fs::path image = g_work->root / ("run" + std::to_string(g_imageCount++));
    fs::copy(g_work->templateImage, image, fs::copy_options::recursive);
    host::DeviceOptions options;
    options.image = image;
    options.modulePath = u"\\upd\\Update.exe";
    host::BindDevice(options);
    return image;
}

void DropImage(const fs::path& image) {
    host::UnbindDevice();
    fs::remove_all(image);
}

template <typename Work>
void Timed(benchmark::State& state, const std::string& name, Work work) {
    for (auto _ : state) {
        const fs::path image = FreshImage();
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpuStart = std::clock();
        work();
        const std::clock_t cpuEnd = std::clock();
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        // Ratios use processor time: the machine is shared, and the work is one thread.
        g_seconds[name] = static_cast<double>(cpuEnd - cpuStart) / CLOCKS_PER_SEC;
        DropImage(image);
    }
}

// ---- Benchmarks ----

void BM_ImportScript(benchmark::State& state) {
    Timed(state, "ImportScript", [] { ImportRegistryScript(u"\\upd\\bench.reg"); });
    state.counters["values"] = kValues;
}

// Only the line reader over the same script: its share of the import.
void BM_ReadScriptLines(benchmark::State& state) {
    Timed(state, "ReadScriptLines", [] {
        HANDLE file = CreateFileW(u"\\upd\\bench.reg", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        WCHAR line[kScriptLineChars];
        long long lines = 0;
        while (ReadScriptLine(file, line) != kScriptEnd) ++lines;
        benchmark::DoNotOptimize(lines);
        CloseHandle(file);
    });
}

// The same keys and values through plain registry calls: what the import costs beyond
// the registry itself.
void BM_PlainRegistryWrites(benchmark::State& state) {
    Timed(state, "PlainRegistryWrites", [] {
        for (const PlainSection& s : g_work->script.sections) {
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExW(HKEY_CURRENT_USER, s.keyPath.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                                &disposition) != ERROR_SUCCESS)
                continue;
            for (const PlainValue& v : s.values)
                RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
            RegCloseKey(key);
        }
    });
}

void BM_PatchDatabases(benchmark::State& state) {
    Timed(state, "PatchDatabases", [] {
        CEGUID volume;
        if (!FindLanguageVolume(&volume)) std::abort();
        const char16_t* const paths[] = {u"\\upd\\FileNameLang.dat", u"\\upd\\MetabaseOptions.dat",
                                         u"\\upd\\MetabaseLabels.dat"};
        for (int job = 0; job < 3; ++job) PatchLanguageDatabase(&volume, kDatabases[job], paths[job]);
    });
    state.counters["record_visits"] = static_cast<double>(g_work->patchVisits);
}

// Plain seek-and-read visits of every record of the three databases, kPlainPasses
// times over one open handle each (as a job keeps its handle open).
constexpr int kPlainPasses = 100;

void BM_PlainRecordVisits(benchmark::State& state) {
    Timed(state, "PlainRecordVisits", [] {
        CEGUID volume;
        if (!FindLanguageVolume(&volume)) std::abort();
        for (int job = 0; job < 3; ++job) {
            CEOID oid = 0;
            HANDLE db = CeOpenDatabaseEx(&volume, &oid, const_cast<LPWSTR>(kDatabases[job]), 0, 0, nullptr);
            for (int pass = 0; pass < kPlainPasses; ++pass)
            for (DWORD i = 0;; ++i) {
                DWORD index = 0;
                if (CeSeekDatabase(db, CEDB_SEEK_BEGINNING, i, &index) == 0) break;
                WORD count = 1;
                CEPROPID tag = PROPID_FROM_ID_TYPE(1, CEVT_LPWSTR);
                LPBYTE buffer = nullptr;
                DWORD size = 0;
                CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, &tag, &buffer, &size);
                if (buffer) LocalFree(buffer);
            }
            CloseHandle(db);
        }
    });
    state.counters["record_visits"] = 3.0 * kRecords * kPlainPasses;
}

void BM_UpdateWorker(benchmark::State& state) {
    Timed(state, "UpdateWorker", [] { UpdateWorker(nullptr); });
}

BENCHMARK(BM_ImportScript)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReadScriptLines)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PlainRegistryWrites)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PatchDatabases)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PlainRecordVisits)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_UpdateWorker)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void PrintRatios() {
    auto seconds = [](const std::string& name) {
        const auto found = g_seconds.find(name);
        return found == g_seconds.end() ? 0.0 : found->second;
    };
    const double import = seconds("ImportScript");
    const double plain = seconds("PlainRegistryWrites");
    const double patch = seconds("PatchDatabases");
    const double pass = seconds("PlainRecordVisits");
    printf("processor seconds:");
    for (const auto& [name, s] : g_seconds) printf(" %s %.3f", name.c_str(), s);
    printf("\n");
    if (import > 0 && plain > 0)
        printf("ratio import/plain-registry-writes %.3f target <= 1.50\n", import / plain);
    // A patch visit adds the key comparison (text ignoring case) to the platform's
    // seek and read.
    if (patch > 0 && pass > 0) {
        const double perVisit = pass / (3.0 * kRecords * kPlainPasses);
        printf("ratio patch/plain-record-visits %.3f target <= 2.00\n",
               patch / (perVisit * static_cast<double>(g_work->patchVisits)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    PrepareWorkload();
    benchmark::RunSpecifiedBenchmarks();
    PrintRatios();
    benchmark::Shutdown();
    delete g_work;
    return 0;
}
