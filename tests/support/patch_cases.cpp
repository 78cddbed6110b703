// The language database patch cases.
#include "tests/support/patch_cases.h"

namespace testing_support {

namespace {

const std::monostate kAbsent;

}  // namespace

Records Sample() {
    return {
        {TextProperty(1, u"alpha"), NumberProperty(2, 10), TextProperty(3, u"Alpha")},
        {TextProperty(1, u"beta"), NumberProperty(2, 20), TextProperty(3, u"Beta")},
        {TextProperty(1, u"gamma"), NumberProperty(2, 30), TextProperty(3, u"Gamma")},
    };
}

std::vector<PatchCase> MatchingPatchCases() {
    return {
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
    };
}

std::vector<PatchCase> JobEndingPatchCases() {

    const std::u16string long500(500, u'L');
    const std::u16string long499(499, u'M');
    return {
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
    };
}

}  // namespace testing_support
