// The host platform against a real Win32 API. Every case -- the demo update, the lint
// agreement test's script corpus (the hand-written edge cases and a sample of the
// generated scripts) and the patching suite's patch cases -- runs through
// "ceupdate run --yes" and through scripts/run-windows.sh (the Windows build under
// Wine) on two copies of one image. Both runs must show the same texts and end with
// the same exit code, and "ceupdate diff" of the two images may show only the
// differences kAllowed lists, each for the reason it gives. Any other difference is a
// fault of the host platform or of the Windows layer.
//
// CTest label "windows": it needs out/windows/x64 (scripts/build-windows.sh) and Wine
// and Xvfb (scripts/run-windows.sh installs them), and .ci/run runs it on its own.
#include <gtest/gtest.h>
#include <regex.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "store/bytes.h"
#include "store/store.h"
#include "store/text.h"
#include "tests/support/cli.h"
#include "tests/support/patch_cases.h"
#include "tests/support/script_corpus.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const fs::path kSource = CEUPDATE_SOURCE_DIR;
const fs::path kWindows = kSource / "out/windows/x64";

// ---- Cases, and the differences allowed for them ----------------------------------------------

struct DifferenceCase {
    std::string name;
    std::map<std::string, Bytes> files;  // the update folder
    std::optional<Records> fileNameLang;  // replaces the records of \FileNameLang
};

// The lines of the case's registry script, if it has one.
std::vector<std::u16string> ScriptLines(const DifferenceCase& c) {
    const auto script = c.files.find("script.reg");
    if (script == c.files.end()) return {};
    std::u16string text = store::Utf16LeText(script->second);
    std::vector<std::u16string> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool EveryCase(const DifferenceCase&) { return true; }

// A section header whose key path has an empty name in it ("A\\B").
bool HasEmptyKeyName(const DifferenceCase& c) {
    for (const std::u16string& line : ScriptLines(c)) {
        const size_t at = line.find(u'[');
        if (at != std::u16string::npos && line.find(u"\\\\", at) != std::u16string::npos) return true;
    }
    return false;
}

bool IsTooDeep(const DifferenceCase& c) { return c.name == "script: too deep"; }

struct AllowedDifference {
    bool (*applies)(const DifferenceCase& c);
    const char* line;  // a POSIX extended regular expression for one whole line of
                       // "ceupdate diff IMAGE_HOST IMAGE_WINDOWS"
    const char* why;
};

// The one table of differences between the host platform and desktop Windows; the
// README's "host platform and Windows" shows the same.
const AllowedDifference kAllowed[] = {
    {EveryCase,
     R"(value changed: HKEY_LOCAL_MACHINE\\init "Launch25": REG_SZ "\\Storage Card\\Brindel\.exe" -> REG_SZ "E:\\Storage Card\\Brindel\.exe")",
     "Desktop Windows has drive letters: the installer's own path, and so every path it builds on its "
     "directory, begins with the drive the update folder is on (E: under run-windows.sh)."},
    {HasEmptyKeyName,
     R"(key added: HKEY_[A-Z_]+\\A(\\B)?|value added: HKEY_[A-Z_]+\\A\\B ("|@ ).*)",
     "A key path with an empty name in it (A\\\\B): desktop Windows passes over the empty name and opens "
     "A\\B; the host, as the phone, refuses the path, so the section writes nothing."},
    {IsTooDeep,
     R"(key added: HKEY_CURRENT_USER\\1(\\[0-9]+)*|value added: HKEY_CURRENT_USER(\\[0-9]+)+ "a" = REG_SZ "x")",
     "Keys 17 levels deep: desktop Windows has no 16-level limit; the host, as the phone, refuses the key."},
};

// A POSIX extended regular expression, by the C library (std::regex makes GCC 12 warn
// inside its own headers).
class Pattern {
public:
    explicit Pattern(const std::string& expression) {
        if (regcomp(&compiled_, expression.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
            throw std::invalid_argument("not a regular expression: " + expression);
    }
    ~Pattern() { regfree(&compiled_); }
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;
    bool FoundIn(const std::string& text) const { return regexec(&compiled_, text.c_str(), 0, nullptr, 0) == 0; }

private:
    regex_t compiled_;
};

bool WholeLineMatches(const std::string& expression, const std::string& line) {
    return Pattern("^(" + expression + ")$").FoundIn(line);
}

bool Allowed(const DifferenceCase& c, const std::string& line) {
    for (const AllowedDifference& allowed : kAllowed) {
        if (allowed.applies(c) && WholeLineMatches(allowed.line, line)) return true;
    }
    return false;
}

// ---- The cases: the demo update, the script corpus, the patch cases ------------------------------

Bytes ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes PatchFileOf(const fs::path& json, const fs::path& scratch) {
    const fs::path out = scratch / (json.stem().string() + ".dat");
    const CliResult built = RunCli({"patch", "build", json.string(), out.string()});
    if (built.exitCode != 0) throw std::runtime_error("patch build failed: " + built.err);
    return ReadBytes(out);
}

DifferenceCase DemoCase(const fs::path& scratch) {
    const fs::path src = kSource / "demo/update-src";
    const Bytes script = ReadBytes(src / "settings.reg.txt");
    DifferenceCase c{"demo update", {}, std::nullopt};
    c.files["settings.reg"] = Script(text::FromUtf8(std::string(script.begin(), script.end())));
    for (const char* patch : {"FileNameLang", "MetabaseOptions", "MetabaseLabels"})
        c.files[std::string(patch) + ".dat"] = PatchFileOf(src / (std::string(patch) + ".json"), scratch);
    c.files["Brindel.exe"] = ReadBytes(src / "Brindel.exe");
    return c;
}

// Every eleventh of the lint agreement test's generated scripts.
constexpr int kGeneratedScripts = 300;
constexpr int kGeneratedSample = 11;

std::vector<DifferenceCase> AllCases(const fs::path& scratch) {
    std::vector<DifferenceCase> cases = {DemoCase(scratch)};
    for (const CorpusCase& c : ScriptCorpus())
        cases.push_back({std::string("script: ") + c.name, {{"script.reg", Script(c.text, c.options)}}, std::nullopt});
    cases.push_back({"script: big value", {{"script.reg", BigByteValueScript()}}, std::nullopt});
    ScriptGenerator generator(20240611);
    for (int i = 0; i < kGeneratedScripts; ++i) {
        Bytes script = generator.Next();
        if (i % kGeneratedSample == 0)
            cases.push_back({"generated script " + std::to_string(i), {{"script.reg", script}}, std::nullopt});
    }
    for (const auto& table : {MatchingPatchCases(), JobEndingPatchCases()}) {
        for (const PatchCase& c : table)
            cases.push_back({std::string("patch: ") + c.name, {{"FileNameLang.dat", c.patch.bytes()}}, c.records});
    }
    // CEUPDATE_DIFFERENCE_CASES=REGEX (POSIX extended) runs only the cases whose names it matches.
    if (const char* only = std::getenv("CEUPDATE_DIFFERENCE_CASES")) {
        const Pattern wanted(only);
        std::erase_if(cases, [&](const DifferenceCase& c) { return !wanted.FoundIn(c.name); });
    }
    return cases;
}

// ---- Running a case -----------------------------------------------------------------------------

void CopyFolder(const fs::path& from, const fs::path& to) {
    fs::copy(from, to, fs::copy_options::recursive);
}

void SetRecords(const fs::path& image, const Records& records) {
    store::VolumeStore volume(image / "storage/mxip_lang.vol", store::Mode::ReadWrite);
    if (const auto db = volume.FindDatabase(u"\\FileNameLang")) volume.DropDatabase(db->oid);
    const store::DatabaseInfo db = volume.CreateDatabase(u"\\FileNameLang");
    for (const auto& record : records) volume.AddRecord(db.oid, record);
}

struct Outcome {
    std::string name;
    CliResult host;
    CliResult windows;
    std::vector<std::string> differences;  // diff lines no entry of kAllowed explains
    std::string diffError;
};

Outcome RunCase(const DifferenceCase& c, const fs::path& base, const fs::path& folder) {
    Outcome outcome{c.name, {}, {}, {}, {}};
    const fs::path update = folder / "update";
    fs::create_directories(update);
    for (const auto& [name, bytes] : c.files) {
        std::ofstream out(update / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path host = folder / "host";
    const fs::path windows = folder / "windows";
    CopyFolder(base, host);
    if (c.fileNameLang) SetRecords(host, *c.fileNameLang);
    CopyFolder(host, windows);

    outcome.host = RunCli({"run", "--device", host.string(), "--yes", update.string()});
    outcome.windows =
        RunProgram("bash", {(kSource / "scripts/run-windows.sh").string(), windows.string(), update.string()});
    const CliResult diff = RunCli({"diff", host.string(), windows.string()});
    if (diff.exitCode > 1) outcome.diffError = diff.err;
    std::istringstream lines(diff.out);
    for (std::string line; std::getline(lines, line);) {
        if (WholeLineMatches("[0-9]+ differences?", line)) continue;
        if (!Allowed(c, line)) outcome.differences.push_back(line);
    }
    return outcome;
}

// Runs the cases two at a time (the machine's two cores: a Wine run waits on its
// server as much as it computes).
std::vector<Outcome> RunAll(const std::vector<DifferenceCase>& cases, const fs::path& base,
                            const fs::path& scratch) {
    std::vector<Outcome> outcomes(cases.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < cases.size(); i = next++)
            outcomes[i] = RunCase(cases[i], base, scratch / ("case" + std::to_string(i)));
    };
    std::thread second(work);
    work();
    second.join();
    return outcomes;
}

// ---- The base image -----------------------------------------------------------------------------

void Must(const CliResult& r, const std::string& what) {
    if (r.exitCode != 0) throw std::runtime_error(what + " failed: " + r.err);
}

// The demo's seed image: its registry and three language databases.
fs::path MakeBaseImage(const fs::path& scratch) {
    const fs::path image = scratch / "base";
    Must(RunCli({"init", image.string()}), "init");
    Must(RunOnImage(image, {"reg", "load", (kSource / "demo/seed/registry.json").string()}), "reg load");
    for (const char* db : {"FileNameLang", "MetaBaseOptions", "MetaBaseLabels"}) {
        Must(RunOnImage(image, {"db", "load", "\\storage\\mxip_lang.vol", std::string("\\") + db,
                                (kSource / "demo/seed" / (std::string(db) + ".json")).string()}),
             "db load");
    }
    return image;
}

class WindowsDifference : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(kWindows / "Update.exe")) << "build it first: scripts/build-windows.sh";
        // run-windows.sh writes back with this build's ceupdate.
        setenv("CEUPDATE", CEUPDATE_BIN, 1);
    }
};

TEST_F(WindowsDifference, HostAndWindowsRunsLeaveTheSameImage) {
    TempFolder scratch;
    const fs::path base = MakeBaseImage(scratch.path());
    const std::vector<DifferenceCase> cases = AllCases(scratch.path());
    const std::vector<Outcome> outcomes = RunAll(cases, base, scratch.path());
    size_t differing = 0;
    for (const Outcome& o : outcomes) {
        SCOPED_TRACE(o.name);
        EXPECT_EQ(o.host.exitCode, 0) << o.host.err;
        EXPECT_EQ(o.windows.exitCode, o.host.exitCode) << o.windows.err;
        EXPECT_EQ(o.windows.out, o.host.out);
        EXPECT_EQ(o.diffError, "");
        EXPECT_EQ(o.differences, std::vector<std::string>{});
        differing += !o.differences.empty();
    }
    std::cout << "compared " << outcomes.size() << " cases; " << differing
              << " with differences the table does not allow\n";
}

// ---- Case folding -------------------------------------------------------------------------------

// The names of an image: every key and value name, the volumes and their databases.
std::vector<std::u16string> ImageNames(const fs::path& image) {
    std::vector<std::u16string> names;
    store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadOnly);
    std::vector<store::RegistryStore::KeyId> keys(std::begin(store::RegistryStore::kRoots),
                                                  std::end(store::RegistryStore::kRoots));
    for (size_t i = 0; i < keys.size(); ++i) {
        for (const auto& sub : registry.Subkeys(keys[i])) {
            names.push_back(sub.name);
            keys.push_back(sub.id);
        }
        for (const auto& value : registry.Values(keys[i])) names.push_back(value.name);
    }
    store::MountTable mounts(store::MountsFile(image), store::Mode::ReadOnly);
    for (const store::Mount& m : mounts.List()) names.push_back(m.volumePath);
    store::VolumeStore volume(image / "storage/mxip_lang.vol", store::Mode::ReadOnly);
    for (const auto& db : volume.Databases()) names.push_back(db.name);
    return names;
}

std::string Hex(const std::u16string& text) {
    std::string out;
    char unit[8];
    for (char16_t c : text) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

// The Windows build's folding of each name (fold_names.exe under Wine).
std::vector<std::string> WindowsFolding(const std::vector<std::u16string>& names) {
    std::string input;
    for (const std::u16string& name : names) input += text::ToUtf8(name) + "\n";
    CliOptions options;
    options.stdinText = input;
    const CliResult r = RunProgram("bash", {(kSource / "scripts/wine-run.sh").string(),
                                            (kWindows / "fold_names.exe").string()}, options);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> folded;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) folded.push_back(line);
    return folded;
}

TEST_F(WindowsDifference, CaseFoldingAgreesWithTheHostOnTheImageNames) {
    TempFolder scratch;
    std::vector<std::u16string> names = ImageNames(MakeBaseImage(scratch.path()));
    for (const char16_t* more : {u"ПРИВЕТ", u"привет", u"Ёлка", u"ЁЖ", u"Ключ", u"Имя", u"\\STORAGE\\MXIP_LANG.VOL",
                                 u"\\filenamelang", u"ΣΊΣΥΦΟΣ", u"K"})
        names.push_back(more);
    ASSERT_GT(names.size(), 20u);
    const std::vector<std::string> windows = WindowsFolding(names);
    ASSERT_EQ(windows.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(windows[i], Hex(text::FoldCase(names[i]))) << text::ToUtf8(names[i]);
}

// Where Unicode's folding maps a character that the system's case tables leave alone,
// or changes a name's length, the Windows folding keeps the character: no name the
// installer looks up (its databases, its volume) has one.
TEST_F(WindowsDifference, CaseFoldingKeepsWhatTheCaseTablesLeaveAlone) {
    const struct {
        std::u16string name, windows, host;
    } cases[] = {
        {u"Straße", u"straße", u"strasse"}, {u"ﬁle", u"ﬁle", u"file"}, {u"ς", u"ς", u"σ"}, {u"µ", u"µ", u"μ"}};
    std::vector<std::u16string> names;
    for (const auto& c : cases) names.push_back(c.name);
    const std::vector<std::string> windows = WindowsFolding(names);
    ASSERT_EQ(windows.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(windows[i], Hex(cases[i].windows)) << text::ToUtf8(names[i]);
        EXPECT_EQ(Hex(text::FoldCase(names[i])), Hex(cases[i].host)) << text::ToUtf8(names[i]);
    }
}

}  // namespace
