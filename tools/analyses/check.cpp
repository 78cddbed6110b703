// The dry run's record and report. Layout: the record (RunRecord's calls); the report,
// in the order "check" shows it: the changes, the scripts, the patch files.
#include "tools/analyses/check.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "control/control.h"
#include "store/text.h"
#include "tools/analyses/lint.h"
#include "tools/analyses/patch_listing.h"
#include "tools/formats/json.h"
#include "tools/formats/shown_text.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kReadChunk = 64 * 1024;

std::u16string LastComponent(std::u16string_view path) {
    const size_t slash = path.rfind(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

// The database job a patch file's name belongs to, or -1.
int JobOf(std::u16string_view path) {
    for (int i = 0; i < kDatabaseJobCount; ++i) {
        if (text::EqualNoCase(u"\\" + LastComponent(path), kDatabaseJobs[i].patchFile)) return i;
    }
    return -1;
}

template <typename Map>
auto* Found(Map& map, HANDLE handle) {
    const auto it = map.find(handle);
    return it == map.end() ? nullptr : &it->second;
}

}  // namespace

// ---- The record ----------------------------------------------------------------------

HANDLE RunRecord::CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                              DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                              HANDLE hTemplateFile) {
    const HANDLE file = target().CreateFileW(lpFileName, dwDesiredAccess, dwShareMode,
                                             lpSecurityAttributes, dwCreationDisposition,
                                             dwFlagsAndAttributes, hTemplateFile);
    const bool opened = file != INVALID_HANDLE_VALUE;
    const std::u16string path = lpFileName ? lpFileName : u"";
    std::lock_guard lock(mutex_);
    if (const int job = JobOf(path); job >= 0) {
        jobs_[job] = PatchJob{path, opened, false, {}, {}};
        lastJob_ = job;
        if (opened) patchFiles_[file] = job;
        return file;
    }
    Script& script = scripts_.emplace_back();
    script.path = path;
    script.opened = opened;
    if (!opened) {
        script.calls.End();
    } else {
        script.handle = file;
        ReadWhole(script);
        scriptFiles_[file] = &script;
        reading_ = &script;
        lastOpened_.store(&script, std::memory_order_release);
    }
    changed_.notify_all();
    return file;
}

void RunRecord::ReadWhole(Script& script) {
    DWORD got = 0;
    do {
        const size_t at = script.bytes.size();
        script.bytes.resize(at + kReadChunk);
        got = 0;
        const BOOL ok = target().ReadFile(script.handle, script.bytes.data() + at, kReadChunk, &got, nullptr);
        script.bytes.resize(at + got);
        if (!ok) {
            script.readError = GetLastError();
            break;
        }
    } while (got == kReadChunk);
    script.bytes.shrink_to_fit();
}

// ReadFile as the device answers it for a regular file, from the script's copy.
BOOL RunRecord::Serve(Script& script, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    if ((buffer == nullptr && count > 0) || overlapped != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t at = script.position.load(std::memory_order_relaxed);
    const size_t n = std::min<size_t>(count, script.bytes.size() - at);
    if (n) std::memcpy(buffer, script.bytes.data() + at, n);
    script.position.store(at + n, std::memory_order_relaxed);
    if (read) *read = static_cast<DWORD>(n);
    if (DeliveredLineFeed(buffer, static_cast<DWORD>(n)))
        script.lines.store(script.lines.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (n < count && script.readError != 0) {
        SetLastError(script.readError);
        return FALSE;
    }
    return TRUE;
}

BOOL RunRecord::ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    Script* script = lastOpened_.load(std::memory_order_acquire);
    if (script && script->handle == hFile)
        return Serve(*script, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    {
        std::lock_guard lock(mutex_);
        if (Script** open = Found(scriptFiles_, hFile)) script = *open;
    }
    if (script) return Serve(*script, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);

    const BOOL ok = target().ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                      lpOverlapped);
    if (!ok || !lpNumberOfBytesRead) return ok;
    std::lock_guard lock(mutex_);
    if (const int* job = Found(patchFiles_, hFile)) {
        const auto* bytes = static_cast<const uint8_t*>(lpBuffer);
        std::vector<uint8_t>& read = jobs_[*job].bytes;
        read.insert(read.end(), bytes, bytes + *lpNumberOfBytesRead);
    }
    return ok;
}

BOOL RunRecord::CloseHandle(HANDLE hObject) {
    {
        std::lock_guard lock(mutex_);
        if (Script** script = Found(scriptFiles_, hObject)) {
            if (reading_ == *script) reading_ = nullptr;
            Script* open = *script;
            lastOpened_.compare_exchange_strong(open, nullptr);
            open->calls.End();
            scriptFiles_.erase(hObject);
        }
        patchFiles_.erase(hObject);
        databases_.erase(hObject);
    }
    return target().CloseHandle(hObject);
}

LONG RunRecord::RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                DWORD dwOptions, REGSAM samDesired,
                                LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                LPDWORD lpdwDisposition) {
    const LONG result = target().RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions,
                                                 samDesired, lpSecurityAttributes, phkResult,
                                                 lpdwDisposition);
    std::lock_guard lock(mutex_);
    if (reading_) {
        reading_->calls.CreateKey(reading_->lines.load(std::memory_order_relaxed), hKey, lpSubKey, result,
                                  result == ERROR_SUCCESS ? *phkResult : nullptr);
    }
    return result;
}

LONG RunRecord::RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData) {
    const LONG result = target().RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
    std::lock_guard lock(mutex_);
    if (reading_) {
        reading_->calls.SetValue(reading_->lines.load(std::memory_order_relaxed), hKey, lpValueName, dwType,
                                 lpData, cbData, result);
    }
    return result;
}

LONG RunRecord::RegCloseKey(HKEY hKey) {
    {
        std::lock_guard lock(mutex_);
        if (reading_) reading_->calls.CloseKey(hKey);
    }
    return target().RegCloseKey(hKey);
}

HANDLE RunRecord::CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID propid,
                                   DWORD dwFlags, CENOTIFYREQUEST* pRequest) {
    const HANDLE database = target().CeOpenDatabaseEx(pguid, poid, lpszName, propid, dwFlags, pRequest);
    std::lock_guard lock(mutex_);
    if (lastJob_ >= 0 && database != INVALID_HANDLE_VALUE) {
        jobs_[lastJob_].databaseOpened = true;
        databases_[database] = lastJob_;
    }
    return database;
}

CEOID RunRecord::CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID,
                                    CEPROPVAL* rgPropVal) {
    {
        std::lock_guard lock(mutex_);
        if (const int* job = Found(databases_, hDbase)) {
            PatchJob& patch = jobs_[*job];
            patch.writesAt.push_back(patch.bytes.size());
        }
    }
    return target().CeWriteRecordProps(hDbase, oidRecord, cPropID, rgPropVal);
}

// ---- Following the run ------------------------------------------------------------------

const RunRecord::Script* RunRecord::WaitForScript(size_t index) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return scripts_.size() > index || runEnded_; });
    return index < scripts_.size() ? &scripts_[index] : nullptr;
}

std::unique_ptr<CallSource> RunRecord::FollowCalls(size_t index) {
    std::lock_guard lock(mutex_);
    return scripts_.at(index).calls.Follow();
}

void RunRecord::EndOfRun() {
    std::lock_guard lock(mutex_);
    runEnded_ = true;
    for (Script& script : scripts_) script.calls.End();
    changed_.notify_all();
}

// ---- The report ----------------------------------------------------------------------------

namespace {

// What the report is written into, and how: the text, or JSON laid out as
// FormatJson(..., 3) lays out {"diff", "scripts", "patches", "passed_over"}.
struct Report {
    std::ostream& out;
    bool json;
    size_t passedOver = 0;
};

constexpr int kExpandDepth = 3;

std::string JsonText(const Json& value) { return value.dump(); }

// The longest path the installer builds (its buffers hold a terminator too).
constexpr size_t kLongestPath = kInstallerPathChars - 1;

// The update folder's *.reg files (as the platform's search matches them) that the
// installer did not take, each with the reason.
std::vector<std::pair<std::u16string, std::string>> ScriptsNotTaken(const RunRecord& record,
                                                                    const store::PathMap& paths,
                                                                    const std::u16string& folder) {
    fs::path host;
    std::error_code ec;
    if (paths.Resolve(folder, &host) != store::PathStatus::Ok || !fs::is_directory(host, ec)) return {};
    std::vector<std::u16string> names;
    for (const auto& entry : fs::directory_iterator(host, ec)) {
        const std::u16string name = text::FromUtf8(entry.path().filename().string());
        const std::u16string folded = text::FoldCase(name);
        if (folded.size() < 4 || !folded.ends_with(u".reg")) continue;
        // What the platform's search lists: files and folders, and links it may follow to one.
        const fs::file_type type = entry.symlink_status(ec).type();
        fs::path target;
        const bool listed =
            type == fs::file_type::regular || type == fs::file_type::directory ||
            (type == fs::file_type::symlink && paths.Resolve(folder + u"\\" + name, &target) == store::PathStatus::Ok &&
             (fs::is_regular_file(target, ec) || fs::is_directory(target, ec)));
        if (listed) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) { return text::CompareNoCase(a, b) < 0; });
    std::vector<std::pair<std::u16string, std::string>> notTaken;
    for (const std::u16string& name : names) {
        const bool taken = std::any_of(record.scripts().begin(), record.scripts().end(),
                                       [&](const RunRecord::Script& s) { return LastComponent(s.path) == name; });
        if (taken) continue;
        const size_t pathLength = folder.size() + 1 + name.size();
        const bool twin = std::count_if(names.begin(), names.end(), [&](const auto& other) {
                              return text::EqualNoCase(other, name);
                          }) > 1;
        // (A folder whose path leaves no room for the search's pattern is refused before
        // the run: the installer's own path, one name longer, would not fit either.)
        std::string why;
        if (twin) {
            why = "another file's name differs from it only in case: the installer finds neither";
        } else if (pathLength > kLongestPath) {
            why = "its path is " + std::to_string(pathLength) + " characters long; the installer builds none longer than " +
                  std::to_string(kLongestPath);
        } else {
            why = "the installer's search does not find it";
        }
        notTaken.emplace_back(name, why);
    }
    return notTaken;
}

void ReportScripts(Report& r, const RunRecord& record, const ScriptLints& lints, const store::PathMap& paths,
                   const std::u16string& folder) {
    const auto notTaken = ScriptsNotTaken(record, paths, folder);
    if (!r.json) {
        r.out << "\n== registry scripts, in the order the installer takes them\n";
        if (record.scripts().empty() && notTaken.empty()) r.out << "no *.reg script in the update folder\n";
    }
    const JsonLayout list = JsonLayoutAt(1, kExpandDepth);
    const JsonLayout item = JsonLayoutAt(2, kExpandDepth);
    bool first = true;
    if (r.json) r.out << "\"scripts\": [";
    size_t i = 0;
    for (const RunRecord::Script& script : record.scripts()) {
        const LintReport* lint = lints.at(i++).get();
        const std::u16string name = LastComponent(script.path);
        if (r.json) {
            r.out << (first ? list.first : list.between) << '{' << item.first
                  << "\"file\": " << JsonText(text::ToUtf8(name)) << item.between
                  << "\"opened\": " << (script.opened ? "true" : "false");
        }
        first = false;
        if (!lint) {
            if (r.json) r.out << item.last << '}';
            else r.out << "-- " << ShownText(name) << ": cannot be opened; the installer passes it over\n";
            ++r.passedOver;
            continue;
        }
        r.passedOver += lint->warnings();
        if (r.json) {
            r.out << item.between << "\"writes\": ";
            lint->WriteWritesList(r.out);
            r.out << item.between << "\"warnings\": ";
            lint->WriteWarningsList(r.out);
            r.out << item.last << '}';
        } else {
            r.out << "-- " << ShownText(name) << "\n";
            lint->WriteTo(r.out);
        }
    }
    for (const auto& [name, why] : notTaken) {
        ++r.passedOver;
        if (r.json) {
            r.out << (first ? list.first : list.between) << '{' << item.first
                  << "\"file\": " << JsonText(text::ToUtf8(name)) << item.between << "\"opened\": false"
                  << item.between << "\"why\": " << JsonText(why) << item.last << '}';
        } else {
            r.out << "-- " << ShownText(name) << ": not taken; the installer passes it over: " << why << "\n";
        }
        first = false;
    }
    if (r.json) r.out << (first ? "" : list.last) << "]";
}

// Why a present patch file was not applied, or "" when it was; `path` is the file's.
std::string NotApplied(const RunRecord::PatchJob* job, const std::string& database, const std::u16string& path) {
    if (!job && path.size() > kLongestPath) {
        return "its path is " + std::to_string(path.size()) + " characters long; the installer builds none longer than " +
               std::to_string(kLongestPath);
    }
    if (!job) return "the language volume \\storage\\mxip_lang.vol is not mounted";
    if (!job->fileOpened) return "the file cannot be opened";
    if (!job->databaseOpened) return "the language volume has no database " + database;
    return "";
}

// The applied entries (by their place in the file, from 1) whose key matched no record:
// no record was written while the file had been read to the entry's end.
Json Unmatched(const PatchListing& listing, const RunRecord::PatchJob& job) {
    Json unmatched = Json::array();
    for (size_t e = 0; e < listing.ends.size(); ++e) {
        if (std::find(job.writesAt.begin(), job.writesAt.end(), listing.ends[e]) == job.writesAt.end())
            unmatched.push_back(listing.numbers[e]);
    }
    return unmatched;
}

// One patch file: its JSON item, and its text added to `text`.
Json ReportPatch(Report& r, int i, const RunRecord& record, const store::PathMap& paths,
                 const std::u16string& folder, std::string& text) {
    const std::string name = text::ToUtf8(std::u16string(kDatabaseJobs[i].patchFile).substr(1));
    const std::string database = text::ToUtf8(kDatabaseJobs[i].databaseName);
    Json item{{"file", name}, {"database", database}};
    const auto found = record.jobs().find(i);
    const RunRecord::PatchJob* job = found == record.jobs().end() ? nullptr : &found->second;
    const std::u16string path = job ? job->path : folder + kDatabaseJobs[i].patchFile;
    fs::path file;
    std::error_code ec;
    const bool present = paths.Resolve(path, &file) == store::PathStatus::Ok && fs::is_regular_file(file, ec);
    item["present"] = present;
    text += "-- " + name + " -> " + database + "\n";
    if (!present) {
        text += "no " + name + " in the update folder: nothing to apply to " + database + "\n";
        return item;
    }
    const std::string notApplied = NotApplied(job, database, path);
    item["applied"] = notApplied.empty();
    if (!notApplied.empty()) {
        item["why"] = notApplied;
        text += "passed over: " + name + " is not applied: " + notApplied + "\n";
        ++r.passedOver;
        return item;
    }
    const PatchListing listing = ListPatch(job->bytes);
    item["entries"] = listing.entries;
    item["skipped"] = listing.skipped;
    item["stop"] = listing.stop ? *listing.stop : Json(nullptr);
    r.passedOver += listing.skipped.size() + (listing.stop ? 1 : 0);
    const Json unmatched = Unmatched(listing, *job);
    item["unmatched"] = unmatched;
    r.passedOver += unmatched.size();
    text += ListingText(listing);
    for (const Json& e : unmatched) {
        text += "passed over: entry " + std::to_string(e.get<size_t>()) + ": its key matches no record of " +
                database + "; nothing is written\n";
    }
    return item;
}

void ReportPatches(Report& r, const RunRecord& record, const store::PathMap& paths,
                   const std::u16string& folder) {
    const JsonLayout list = JsonLayoutAt(1, kExpandDepth);
    if (r.json) r.out << "\"patches\": [";
    else r.out << "\n== patch files\n";
    for (int i = 0; i < kDatabaseJobCount; ++i) {
        std::string text;
        const Json item = ReportPatch(r, i, record, paths, folder, text);
        if (!r.json) {
            r.out << text;
            continue;
        }
        std::string laidOut;
        AppendJson(laidOut, item, 2, kExpandDepth);
        r.out << (i == 0 ? list.first : list.between) << laidOut;
    }
    if (r.json) r.out << list.last << "]";
}

}  // namespace

ScriptLints LintScripts(RunRecord& record, bool json) {
    ScriptLints lints;
    for (size_t i = 0; const RunRecord::Script* script = record.WaitForScript(i); ++i) {
        if (!script->opened) {
            lints.emplace_back();
            continue;
        }
        lints.push_back(json ? std::make_unique<LintReport>(3, kExpandDepth) : std::make_unique<LintReport>());
        const std::unique_ptr<CallSource> calls = record.FollowCalls(i);
        LintRecorded(script->bytes, *calls, *lints.back());
    }
    return lints;
}

size_t WriteCheckReport(std::ostream& out, bool json, const DiffReport& diff, const RunRecord& record,
                        const ScriptLints& lints, const store::PathMap& paths,
                        const std::u16string& installerFolder) {
    Report r{out, json};
    const JsonLayout top = JsonLayoutAt(0, kExpandDepth);
    if (json) {
        out << '{' << top.first << "\"diff\": ";
        diff.WriteTo(out);
        out << top.between;
    } else {
        out << "== what the update changes\n";
        diff.WriteTo(out);
    }
    ReportScripts(r, record, lints, paths, installerFolder);
    if (json) out << top.between;
    ReportPatches(r, record, paths, installerFolder);
    if (json) {
        out << top.between << "\"passed_over\": " << r.passedOver << top.last << "}\n";
    } else if (r.passedOver == 0) {
        out << "\nnothing is passed over\n";
    } else {
        out << "\n" << r.passedOver << " things passed over or probably not meant\n";
    }
    return r.passedOver;
}

}  // namespace tools
