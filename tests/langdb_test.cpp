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
#include "tests/support/patch_cases.h"

namespace {

using testing_support::Check;
using testing_support::JobEndingPatchCases;
using testing_support::MatchingPatchCases;
using testing_support::Num;
using testing_support::NumberProperty;
using testing_support::PatchCase;
using testing_support::PatchFile;
using testing_support::PropertyNumber;
using testing_support::PropertyText;
using testing_support::Sample;
using testing_support::ScratchImage;
using testing_support::Text;
using testing_support::TextProperty;

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

TEST(LangDbPatch, Matching) {
    RunCases(MatchingPatchCases());
}

TEST(LangDbPatch, WhatEndsAJob) {
    RunCases(JobEndingPatchCases());
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
