// The installer's record scan against the device: for a patch entry it seeks to
// record 0, 1, 2, ... and reads one text property of each, comparing it ignoring
// case with the entry's key, and frees the buffer. Measured against the same compare
// loop over a plain std::vector of the keys, in the same run.
//
// A scratch image holds one database of kRecords records; each benchmark iteration is
// one full scan for a key that is not there, kScans iterations in all. The two are
// timed in turns, kRounds times, so that a slow spell of the machine falls on both
// alike; the ratio is the median of the rounds' ratios. Prints
//   ratio record-scan/vector VALUE target <= 1.5
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/wince.h"
#include "store/bytes.h"
#include "store/scratch_folder.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 10'000;
constexpr int kScans = 1'000;
constexpr int kRounds = 5;
constexpr CEPROPID kKeyProp = PROPID_FROM_ID_TYPE(1, CEVT_LPWSTR);
constexpr CEPROPID kValueProp = PROPID_FROM_ID_TYPE(2, CEVT_UI4);
const char16_t* const kMissingKey = u"\\Windows\\Start Menu\\Programs\\Item 99999.lnk";

// Record keys shaped like the file names a language database holds.
std::u16string KeyOf(int i) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05d", i);
    std::u16string key = u"\\Windows\\Start Menu\\Programs\\Item ";
    for (const char* d = digits; *d; ++d) key += static_cast<char16_t>(*d);
    return key + u".lnk";
}

std::vector<std::u16string>& Keys() {
    static std::vector<std::u16string> keys = [] {
        std::vector<std::u16string> k;
        for (int i = 0; i < kRecords; ++i) k.push_back(KeyOf(i));
        return k;
    }();
    return keys;
}

class ScratchDevice {
public:
    ScratchDevice() : root_(scratch_ / "image") {
        store::InitImage(root_);
        {
            store::VolumeStore vol(root_ / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
            const auto db = vol.FindDatabase(u"\\FileNameLang");
            vol.Begin();
            for (int i = 0; i < kRecords; ++i) {
                const store::Property props[] = {{kKeyProp, store::Utf16LeBytes(Keys()[i])},
                                                 {kValueProp, {uint8_t(i), 0, 0, 0}}};
                vol.AddRecord(db->oid, props);
            }
            vol.Commit();
        }
        host::DeviceOptions options;
        options.image = root_;
        host::BindDevice(options);
    }
    ~ScratchDevice() { host::UnbindDevice(); }

private:
    store::ScratchFolder scratch_;
    fs::path root_;
};

void BM_RecordScan(benchmark::State& state) {
    ScratchDevice device;
    CEGUID guid;
    CREATE_INVALIDGUID(&guid);
    CEOID oid = 0;
    HANDLE db = CeOpenDatabaseEx(&guid, &oid, const_cast<LPWSTR>(u"\\FileNameLang"), 0, 0, nullptr);
    if (db == INVALID_HANDLE_VALUE) {
        state.SkipWithError("the database does not open");
        return;
    }
    for (auto _ : state) {
        int found = -1;
        for (DWORD i = 0;; ++i) {
            DWORD index = 0;
            if (!CeSeekDatabase(db, CEDB_SEEK_BEGINNING, i, &index)) break;
            LPBYTE buffer = nullptr;
            DWORD size = 0;
            WORD count = 1;
            CEPROPID prop = kKeyProp;
            CeReadRecordProps(db, CEDB_ALLOWREALLOC, &count, &prop, &buffer, &size);
            if (buffer) {
                const auto* value = reinterpret_cast<const CEPROPVAL*>(buffer);
                const bool match = !(value->wFlags & CEDB_PROPNOTFOUND) &&
                                   _wcsicmp(value->val.lpwstr, kMissingKey) == 0;
                LocalFree(buffer);
                if (match) {
                    found = static_cast<int>(i);
                    break;
                }
            }
        }
        benchmark::DoNotOptimize(found);
    }
    CloseHandle(db);
}

void BM_VectorScan(benchmark::State& state) {
    const std::vector<std::u16string>& keys = Keys();
    for (auto _ : state) {
        int found = -1;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (_wcsicmp(keys[i].c_str(), kMissingKey) == 0) {
                found = static_cast<int>(i);
                break;
            }
        }
        benchmark::DoNotOptimize(found);
    }
}

// Keeps each benchmark's time per scan for the ratio line.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only for a terminal, so that the ratio line is plain text in a pipe.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (!run.error_occurred) seconds_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    double Of(const std::string& name) const {
        const auto it = seconds_.find(name);
        return it == seconds_.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int round = 1; round <= kRounds; ++round) {
        const std::string suffix = "/round:" + std::to_string(round);
        benchmark::RegisterBenchmark(("BM_RecordScan" + suffix).c_str(), BM_RecordScan)
            ->Iterations(kScans)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_VectorScan" + suffix).c_str(), BM_VectorScan)
            ->Iterations(kScans)
            ->Unit(benchmark::kMillisecond);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::vector<double> ratios;
    for (int round = 1; round <= kRounds; ++round) {
        const std::string suffix = "/round:" + std::to_string(round) + "/iterations:" + std::to_string(kScans);
        const double scan = reporter.Of("BM_RecordScan" + suffix);
        const double vector = reporter.Of("BM_VectorScan" + suffix);
        if (scan > 0 && vector > 0) ratios.push_back(scan / vector);
    }
    if (ratios.empty()) {
        std::fprintf(stderr, "record_scan_bench: a benchmark did not run\n");
        return 1;
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("ratio record-scan/vector %.2f target <= 1.5\n", ratios[ratios.size() / 2]);
    return 0;
}
