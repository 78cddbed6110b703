// Two installer runs at once on one image: both end, both exit 0, every store passes
// integrity_check, and as every write sets a value, the image ends as after one run.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench/workload.h"
#include "platform/wince.h"
#include "store/bytes.h"
#include "store/store.h"
#include "tests/support/cli.h"
#include "tests/support/hardening.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempFolder;

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

store::Property Property(uint16_t id, uint16_t type, std::vector<uint8_t> bytes) {
    return {uint32_t{id} << 16 | type, std::move(bytes)};
}

std::vector<uint8_t> Wide(const std::string& ascii) {
    std::vector<uint8_t> b;
    for (char c : ascii) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(0);
    }
    return b;
}

// An image with W2-like databases and an update folder with a W1-like script.
void MakeUpdate(const fs::path& image, const fs::path& update) {
    store::InitImage(image);
    fs::create_directories(update);
    WriteBytes(update / "bench.reg", workload::Utf16LeWithBom(workload::W1ScriptText(workload::W1Values(4000))));
    store::VolumeStore volume(image / "storage" / "mxip_lang.vol", store::Mode::ReadWrite);
    for (int d = 0; d < 3; ++d) {
        const std::string name = workload::kW2Databases[d];
        const auto info = volume.FindDatabase(std::u16string(name.begin(), name.end()));
        const auto records = workload::W2Records(1000, d);
        volume.Begin();
        for (const auto& r : records) {
            std::vector<uint8_t> number;
            store::AppendLittleEndian(number, r.textKey ? r.count : r.number, 4);
            const std::vector<store::Property> props = {
                r.textKey ? Property(workload::kTextKeyId, CEVT_LPWSTR, Wide(r.text))
                          : Property(workload::kNumberKeyId, CEVT_UI4, number)};
            volume.AddRecord(info->oid, props);
        }
        volume.Commit();
        WriteBytes(update / workload::kW2PatchFiles[d],
                   workload::W2PatchFile(workload::W2Entries(records, 300, d)));
    }
}

std::string Snapshot(const fs::path& image) {
    auto reg = testing_support::RunOnImage(image, {"reg", "export", "--json"});
    EXPECT_EQ(reg.exitCode, 0) << reg.err;
    std::string all = reg.out;
    for (const char* db : workload::kW2Databases) {
        auto dump = testing_support::RunOnImage(image, {"db", "dump", "--json", "\\storage\\mxip_lang.vol", db});
        EXPECT_EQ(dump.exitCode, 0) << dump.err;
        all += dump.out;
    }
    return all;
}

TEST(ConcurrencyTest, TwoRunsAtOnceBothEndAndLeaveIntactStores) {
    TempFolder tmp;
    const fs::path base = tmp / "base";
    const fs::path update = tmp / "update";
    MakeUpdate(base, update);
    const fs::path single = tmp / "single";
    testing_support::CopyFolder(base, single);
    ASSERT_EQ(testing_support::RunCliWithin({"run", "--yes", "--device", single.string(), update.string()}, 300), 0);
    const std::string afterOneRun = Snapshot(single);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const fs::path image = tmp / ("twice" + std::to_string(round));
        testing_support::CopyFolder(base, image);
        const std::vector<std::string> args = {"run", "--yes", "--device", image.string(), update.string()};
        const pid_t first = testing_support::StartCli(args);
        const pid_t second = testing_support::StartCli(args);
        EXPECT_EQ(testing_support::WaitCli(first, 300), 0);
        EXPECT_EQ(testing_support::WaitCli(second, 300), 0);
        for (const fs::path& file : testing_support::StoreFiles(image))
            EXPECT_EQ(testing_support::IntegrityCheck(file), "ok") << file;
        EXPECT_EQ(Snapshot(image), afterOneRun);
    }
}

}  // namespace
