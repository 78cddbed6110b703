// Language database patching: records seeded into a scratch image's language volume,
// patch files built byte for byte, the records read back after the job.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "langdb/langdb.h"
#include "store/text.h"
#include "testing/fault_injector.h"
#include "tests/support/installer_fixture.h"

namespace {

using testing_support::NumberProperty;
using testing_support::PatchFile;
using testing_support::PropertyNumber;
using testing_support::PropertyText;
using testing_support::ScratchImage;
using testing_support::TextProperty;

constexpr uint32_t Text(uint16_t id) { return PROPID_FROM_ID_TYPE(id, CEVT_LPWSTR); }
constexpr uint32_t Num(uint16_t id) { return PROPID_FROM_ID_TYPE(id, CEVT_UI4); }

// A property of record `record` after the job: a text, a number, or absent.
struct Check {
    size_t record;
    uint32_t tag;
    std::variant<std::u16string, uint32_t, std::monostate> want;
};

struct PatchCase {
    const char* name;
    std::vector<std::vector<store::Property>> records;
    PatchFile patch;
    std::vector<Check> checks;
};

using Records = std::vector<std::vector<store::Property>>;

// Three records: a text key (id 1), a number (id 2) and a label (id 3).
Records Sample() {
    return {
        {TextProperty(1, u"alpha"), NumberProperty(2, 10), TextProperty(3, u"Alpha")},
        {TextProperty(1, u"beta"), NumberProperty(2, 20), TextProperty(3, u"Beta")},
        {TextProperty(1, u"gamma"), NumberProperty(2, 30), TextProperty(3, u"Gamma")},
    };
}

std::string Show(const std::u16string& s) { return text::ToUtf8(s); }

BOOL RunJob(ScratchImage& img, const PatchFile& patch, const char16_t* database = u"\\FileNameLang") {
    img.WriteUpdateFile("p.dat", patch.bytes());
    img.Bind();
    CEGUID volume;
    EXPECT_TRUE(FindLanguageVolume(&volume));
    const BOOL opened = PatchLanguageDatabase(&volume, database, u"\\upd\\p.dat");
    img.Unbind();
    return opened;
}

void ExpectChecks(const std::vector<store::Record>& records, const std::vector<Check>& checks) {
    for (const Check& c : checks) {
        ASSERT_LT(c.record, records.size());
        SCOPED_TRACE("record " + std::to_string(c.record) + " tag " + std::to_string(c.tag));
        if (const auto* text = std::get_if<std::u16string>(&c.want)) {
            EXPECT_EQ(Show(PropertyText(records[c.record], c.tag)), Show(*text));
        } else if (const auto* number = std::get_if<uint32_t>(&c.want)) {
            EXPECT_EQ(PropertyNumber(records[c.record], c.tag), std::optional<uint32_t>(*number));
        } else {
            EXPECT_EQ(Show(PropertyText(records[c.record], c.tag)), "(none)");
        }
    }
}

void RunCases(const std::vector<PatchCase>& cases) {
    for (const PatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchImage img;
        img.AddRecords(u"\\FileNameLang", c.records);
        EXPECT_TRUE(RunJob(img, c.patch));
        const auto records = img.Records(u"\\FileNameLang");
        EXPECT_EQ(records.size(), c.records.size());  // never added or deleted
        ExpectChecks(records, c.checks);
    }
}

const std::monostate kAbsent;

TEST(LangDbPatch, Matching) {
    RunCases({
        {"an empty patch file changes nothing", Sample(), PatchFile(),
         {{0, Text(3), u"Alpha"}, {1, Text(3), u"Beta"}, {2, Text(3), u"Gamma"}}},
        {"a text key sets a text of the matched record",
         Sample(), PatchFile().Text(1, u"beta").Text(3, u"Бета"),
         {{0, Text(3), u"Alpha"}, {1, Text(3), u"Бета"}, {2, Text(3), u"Gamma"}}},
        {"a key that matches nothing changes nothing; the next entry goes on",
         Sample(), PatchFile().Text(1, u"delta").Text(3, u"X").Text(1, u"gamma").Text(3, u"Y"),
         {{0, Text(3), u"Alpha"}, {1, Text(3), u"Beta"}, {2, Text(3), u"Y"}}},
        {"of two records with the same key only the lower index changes",
         {{TextProperty(1, u"dup"), TextProperty(3, u"first")},
          {TextProperty(1, u"dup"), TextProperty(3, u"second")}},
         PatchFile().Text(1, u"dup").Text(3, u"changed"),
         {{0, Text(3), u"changed"}, {1, Text(3), u"second"}}},
        {"text keys match ignoring case, Cyrillic included",
         {{TextProperty(1, u"привет"), NumberProperty(2, 1)}, {TextProperty(1, u"Word"), NumberProperty(2, 2)}},
         PatchFile().Text(1, u"ПРИВЕТ").Number(2, 100).Text(1, u"wORD").Number(2, 200),
         {{0, Num(2), 100u}, {1, Num(2), 200u}}},
        {"a text key does not match a prefix", Sample(), PatchFile().Text(1, u"alph").Text(3, u"X"),
         {{0, Text(3), u"Alpha"}}},
        {"a number key matches only the identical value",
         {{NumberProperty(2, 0x10007), TextProperty(3, u"a")}, {NumberProperty(2, 7), TextProperty(3, u"b")}},
         PatchFile().Number(2, 7).Text(3, u"seven"),
         {{0, Text(3), u"a"}, {1, Text(3), u"seven"}}},
        {"a key of one identifier sets another identifier of another type",
         Sample(), PatchFile().Text(1, u"alpha").Number(9, 0xdeadbeef),
         {{0, Num(9), 0xdeadbeefu}, {0, Text(3), u"Alpha"}, {1, Num(9), kAbsent}}},
        {"a number key sets a text",
         Sample(), PatchFile().Number(2, 30).Text(1, u"GAMMA-2"), {{2, Text(1), u"GAMMA-2"}}},
        {"records that lack the key property are passed over",
         {{TextProperty(3, u"no key")}, {NumberProperty(1, 5), TextProperty(3, u"number, not text")},
          {TextProperty(1, u"k"), TextProperty(3, u"old")}},
         PatchFile().Text(1, u"k").Text(3, u"new"),
         {{0, Text(3), u"no key"}, {1, Text(3), u"number, not text"}, {2, Text(3), u"new"}}},
        {"each entry scans from the first record again",
         Sample(), PatchFile().Text(1, u"gamma").Text(3, u"G").Text(1, u"alpha").Text(3, u"A"),
         {{0, Text(3), u"A"}, {2, Text(3), u"G"}}},
    });
}

TEST(LangDbPatch, WhatEndsAJob) {
    const std::u16string long500(500, u'L');
    const std::u16string long499(499, u'M');
    RunCases({
        {"a zero-length text stops the job; entries before it stay applied",
         Sample(), PatchFile().Text(1, u"alpha").Text(3, u"A").Text(1, u"").Text(3, u"X")
                       .Text(1, u"beta").Text(3, u"B"),
         {{0, Text(3), u"A"}, {1, Text(3), u"Beta"}}},
        {"a zero-length new value stops the job too",
         Sample(), PatchFile().Text(1, u"alpha").Text(3, u"").Text(1, u"beta").Text(3, u"B"),
         {{0, Text(3), u"Alpha"}, {1, Text(3), u"Beta"}}},
        {"an unknown type stops the job",
         Sample(), PatchFile().Text(1, u"alpha").Text(3, u"A").Tag(PROPID_FROM_ID_TYPE(1, CEVT_I4))
                       .Number(0, 0).Text(1, u"beta").Text(3, u"B"),
         {{0, Text(3), u"A"}, {1, Text(3), u"Beta"}}},
        {"a key without its value changes nothing", Sample(), PatchFile().Text(1, u"alpha"),
         {{0, Text(3), u"Alpha"}}},
        // Mended: a field cut short ends the job like the end of the data.
        {"a number cut short",
         Sample(), PatchFile().Text(1, u"alpha").Number(2, 11).Text(1, u"beta").Tag(Num(2)).Raw({0x16, 0}),
         {{0, Num(2), 11u}, {1, Num(2), 20u}}},
        {"a text cut short",
         Sample(), PatchFile().Text(1, u"alpha").TextWithLength(3, 5, u"Al"),
         {{0, Text(3), u"Alpha"}}},
        {"a tag cut short", Sample(), PatchFile().Text(1, u"alpha").Number(2, 11).Raw({0x1f, 0}),
         {{0, Num(2), 11u}}},
        // Mended: a text over 499 characters skips its entry; the job goes on.
        {"an over-long key text skips its entry",
         Sample(), PatchFile().Text(1, long500).Text(3, u"X").Text(1, u"beta").Text(3, u"B"),
         {{0, Text(3), u"Alpha"}, {1, Text(3), u"B"}}},
        {"an over-long new text skips its entry",
         Sample(), PatchFile().Text(1, u"alpha").Text(3, long500).Text(1, u"beta").Text(3, u"B"),
         {{0, Text(3), u"Alpha"}, {1, Text(3), u"B"}}},
        {"a text of 499 characters is written whole",
         Sample(), PatchFile().Text(1, u"alpha").Text(3, long499), {{0, Text(3), long499}}},
    });
}

TEST(LangDbPatch, ShortReadsEndTheJob) {
    ScratchImage img;
    img.AddRecords(u"\\FileNameLang", Sample());
    img.WriteUpdateFile("p.dat", PatchFile().Text(1, u"alpha").Number(2, 11).bytes());
    img.Bind();
    {
        testing_support::FaultInjector faults(host::CurrentBackend());
        faults.LimitReads(3);  // the 4-byte tag arrives short
        host::ScopedBackend use(faults);
        CEGUID volume;
        ASSERT_TRUE(FindLanguageVolume(&volume));
        EXPECT_TRUE(PatchLanguageDatabase(&volume, u"\\FileNameLang", u"\\upd\\p.dat"));
    }
    img.Unbind();
    EXPECT_EQ(PropertyNumber(img.Records(u"\\FileNameLang")[0], Num(2)), 10u);
}

TEST(LangDbPatch, Results) {
    ScratchImage img;
    img.WriteUpdateFile("p.dat", PatchFile().bytes());
    img.Bind();
    CEGUID volume;
    ASSERT_TRUE(FindLanguageVolume(&volume));
    EXPECT_TRUE(PatchLanguageDatabase(&volume, u"\\FileNameLang", u"\\upd\\p.dat"));
    EXPECT_TRUE(PatchLanguageDatabase(&volume, u"\\filenamelang", u"\\upd\\p.dat"));
    EXPECT_FALSE(PatchLanguageDatabase(&volume, u"\\NoSuchBase", u"\\upd\\p.dat"));
    EXPECT_FALSE(PatchLanguageDatabase(&volume, u"\\FileNameLang", u"\\upd\\missing.dat"));
    EXPECT_FALSE(PatchLanguageDatabase(nullptr, u"\\FileNameLang", u"\\upd\\p.dat"));
    EXPECT_FALSE(PatchLanguageDatabase(&volume, nullptr, u"\\upd\\p.dat"));
    EXPECT_FALSE(PatchLanguageDatabase(&volume, u"\\FileNameLang", nullptr));
    img.Unbind();
}

TEST(LangDbVolume, FindsTheLanguageVolume) {
    ScratchImage img;
    img.Bind();
    CEGUID volume;
    memset(&volume, 0, sizeof volume);
    EXPECT_TRUE(FindLanguageVolume(&volume));
    CEGUID invalid;
    CREATE_INVALIDGUID(&invalid);
    EXPECT_NE(memcmp(&volume, &invalid, sizeof volume), 0);
    EXPECT_FALSE(FindLanguageVolume(nullptr));
    img.Unbind();

    // Mounted under another letter case, after another volume: still found.
    img.UnmountLanguageVolume();
    store::VolumeStore::Create(img.image() / "other.vol");
    {
        store::MountTable mounts(store::MountsFile(img.image()), store::Mode::ReadWrite);
        mounts.Add(u"\\other.vol");
        mounts.Add(u"\\STORAGE\\MXIP_LANG.VOL");
    }
    img.Bind();
    EXPECT_TRUE(FindLanguageVolume(&volume));
    EXPECT_FALSE(PatchLanguageDatabase(&volume, u"\\MetaBaseLabels", u"\\upd"));  // a folder
    img.Unbind();
}

TEST(LangDbVolume, UnmountedVolumeIsNotFound) {
    ScratchImage img;
    img.UnmountLanguageVolume();
    img.Bind();
    CEGUID volume;
    EXPECT_FALSE(FindLanguageVolume(&volume));
    img.Unbind();
}

// The entry reader, as a patch-file viewer uses it.
TEST(LangDbReader, EntryResults) {
    struct Case {
        const char* name;
        PatchFile patch;
        std::vector<int> results;  // one per ReadPatchEntry call
        int lastPart;
    };
    const std::vector<Case> cases = {
        {"empty", PatchFile(), {kPatchEndOfData}, kPatchPartKey},
        {"one entry", PatchFile().Text(1, u"a").Number(2, 3), {kPatchRead, kPatchEndOfData}, kPatchPartKey},
        {"key only", PatchFile().Text(1, u"a"), {kPatchCut}, kPatchPartValue},
        {"cut in a length", PatchFile().Tag(Text(1)).Raw({1}), {kPatchCut}, kPatchPartKey},
        {"unknown value type", PatchFile().Number(1, 1).Tag(0x00010041), {kPatchUnknownType}, kPatchPartValue},
        {"empty text", PatchFile().Text(1, u""), {kPatchEmptyText}, kPatchPartKey},
        {"too long then a good entry",
         PatchFile().Text(1, std::u16string(1200, u'x')).Number(2, 1).Number(1, 1).Number(2, 2),
         {kPatchTextTooLong, kPatchRead, kPatchEndOfData}, kPatchPartKey},
        {"too long and cut", PatchFile().TextWithLength(1, 600, u"short"), {kPatchCut}, kPatchPartKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchImage img;
        img.WriteUpdateFile("p.dat", c.patch.bytes());
        img.Bind();
        HANDLE file = CreateFileW(u"\\upd\\p.dat", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        PatchEntry entry;
        for (int want : c.results) EXPECT_EQ(ReadPatchEntry(file, &entry), want);
        EXPECT_EQ(entry.part, c.lastPart);
        CloseHandle(file);
        img.Unbind();
    }
}

TEST(LangDbReader, PropertyFields) {
    ScratchImage img;
    img.WriteUpdateFile("p.dat", PatchFile().Text(7, u"Ёж").Number(8, 0x01020304).Text(9, std::u16string(700, u'z')).bytes());
    img.Bind();
    HANDLE file = CreateFileW(u"\\upd\\p.dat", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    CEPROPID tag = 0;
    DWORD number = 0;
    WCHAR text[kPatchTextChars];
    EXPECT_TRUE(ReadPatchProperty(file, &tag, &number, text));
    EXPECT_EQ(tag, Text(7));
    EXPECT_EQ(std::u16string(text), u"Ёж");
    EXPECT_TRUE(ReadPatchProperty(file, &tag, &number, text));
    EXPECT_EQ(tag, Num(8));
    EXPECT_EQ(number, 0x01020304u);
    PatchProperty property;
    EXPECT_EQ(ReadPatchPropertyEx(file, &property), kPatchTextTooLong);
    EXPECT_EQ(property.textLength, 700u);
    EXPECT_EQ(property.byteCount, 4u + 2u + 1400u);
    EXPECT_EQ(property.text[0], 0);
    EXPECT_EQ(ReadPatchPropertyEx(file, &property), kPatchEndOfData);
    CloseHandle(file);
    img.Unbind();
}

}  // namespace
