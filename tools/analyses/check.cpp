// The dry run's record and report. Layout: the record (RunRecord's calls); the report,
// in the order "check" shows it: the changes, the scripts, the patch files.
#include "tools/analyses/check.h"

#include <algorithm>
#include <filesystem>

#include "control/control.h"
#include "store/text.h"
#include "tools/analyses/lint.h"
#include "tools/analyses/patch_listing.h"
#include "tools/formats/shown_text.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

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
    } else {
        scripts_.push_back({path, opened, {}});
        if (opened) {
            scriptFiles_[file] = scripts_.size() - 1;
            reading_ = scripts_.size() - 1;
        }
    }
    return file;
}

BOOL RunRecord::ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    const BOOL ok = target().ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                      lpOverlapped);
    if (!ok || !lpNumberOfBytesRead) return ok;
    std::lock_guard lock(mutex_);
    if (const size_t* script = Found(scriptFiles_, hFile)) {
        scripts_[*script].calls.Read(lpBuffer, *lpNumberOfBytesRead);
    } else if (const int* job = Found(patchFiles_, hFile)) {
        const auto* bytes = static_cast<const uint8_t*>(lpBuffer);
        std::vector<uint8_t>& read = jobs_[*job].bytes;
        read.insert(read.end(), bytes, bytes + *lpNumberOfBytesRead);
    }
    return ok;
}

BOOL RunRecord::CloseHandle(HANDLE hObject) {
    {
        std::lock_guard lock(mutex_);
        if (const size_t* script = Found(scriptFiles_, hObject)) {
            if (reading_ == *script) reading_ = kNone;
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
    if (reading_ != kNone)
        scripts_[reading_].calls.CreateKey(hKey, lpSubKey, result,
                                           result == ERROR_SUCCESS ? *phkResult : nullptr);
    return result;
}

LONG RunRecord::RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData) {
    const LONG result = target().RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
    std::lock_guard lock(mutex_);
    if (reading_ != kNone)
        scripts_[reading_].calls.SetValue(hKey, lpValueName, dwType, lpData, cbData, result);
    return result;
}

LONG RunRecord::RegCloseKey(HKEY hKey) {
    {
        std::lock_guard lock(mutex_);
        if (reading_ != kNone) scripts_[reading_].calls.CloseKey(hKey);
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

// ---- The report ----------------------------------------------------------------------------

namespace {

void ReportScripts(CheckReport& r, const RunRecord& record) {
    r.json["scripts"] = Json::array();
    r.text += "\n== registry scripts, in the order the installer takes them\n";
    if (record.scripts().empty()) r.text += "no *.reg script in the update folder\n";
    for (const RunRecord::Script& script : record.scripts()) {
        const std::string name = text::ToUtf8(LastComponent(script.path));
        const std::string shown = ShownText(LastComponent(script.path));
        if (!script.opened) {
            r.json["scripts"].push_back(Json{{"file", name}, {"opened", false}});
            r.text += "-- " + shown + ": cannot be opened; the installer passes it over\n";
            ++r.passedOver;
            continue;
        }
        const LintReport report = LintRecorded(script.calls.bytes, script.calls);
        Json lint = LintJson(report);
        r.json["scripts"].push_back(
            Json{{"file", name}, {"opened", true}, {"writes", lint["writes"]}, {"warnings", lint["warnings"]}});
        r.text += "-- " + shown + "\n" + LintText(report);
        r.passedOver += report.Warnings();
    }
}

// Why a present patch file was not applied, or "" when it was.
std::string NotApplied(const RunRecord::PatchJob* job, const std::string& database) {
    if (!job) return "the language volume \\storage\\mxip_lang.vol is not mounted";
    if (!job->fileOpened) return "the file cannot be opened";
    if (!job->databaseOpened) return "the language volume has no database " + database;
    return "";
}

// The applied entries (numbered from 1) whose key matched no record: no record was
// written while the file had been read to the entry's end.
Json Unmatched(const PatchListing& listing, const RunRecord::PatchJob& job) {
    Json unmatched = Json::array();
    for (size_t e = 0; e < listing.ends.size(); ++e) {
        if (std::find(job.writesAt.begin(), job.writesAt.end(), listing.ends[e]) == job.writesAt.end())
            unmatched.push_back(e + 1);
    }
    return unmatched;
}

void ReportPatches(CheckReport& r, const RunRecord& record, const store::PathMap& paths,
                   const std::u16string& folder) {
    r.json["patches"] = Json::array();
    r.text += "\n== patch files\n";
    for (int i = 0; i < kDatabaseJobCount; ++i) {
        const std::string name = text::ToUtf8(std::u16string(kDatabaseJobs[i].patchFile).substr(1));
        const std::string database = text::ToUtf8(kDatabaseJobs[i].databaseName);
        Json item{{"file", name}, {"database", database}};
        const auto found = record.jobs().find(i);
        const RunRecord::PatchJob* job = found == record.jobs().end() ? nullptr : &found->second;
        const std::u16string path = job ? job->path : folder + kDatabaseJobs[i].patchFile;
        fs::path file;
        const bool present = paths.Resolve(path, &file) == store::PathStatus::Ok && fs::is_regular_file(file);
        item["present"] = present;
        r.text += "-- " + name + " -> " + database + "\n";
        if (!present) {
            r.text += "no " + name + " in the update folder: nothing to apply to " + database + "\n";
            r.json["patches"].push_back(item);
            continue;
        }
        const std::string notApplied = NotApplied(job, database);
        item["applied"] = notApplied.empty();
        if (!notApplied.empty()) {
            item["why"] = notApplied;
            r.text += "passed over: " + name + " is not applied: " + notApplied + "\n";
            ++r.passedOver;
            r.json["patches"].push_back(item);
            continue;
        }
        const PatchListing listing = ListPatch(job->bytes);
        item["entries"] = listing.entries;
        item["skipped"] = listing.skipped;
        item["stop"] = listing.stop ? *listing.stop : Json(nullptr);
        r.passedOver += listing.skipped.size() + (listing.stop ? 1 : 0);
        const Json unmatched = Unmatched(listing, *job);
        item["unmatched"] = unmatched;
        r.passedOver += unmatched.size();
        r.json["patches"].push_back(item);
        r.text += ListingText(listing);
        for (const Json& e : unmatched) {
            r.text += "passed over: entry " + std::to_string(e.get<size_t>()) +
                      ": its key matches no record of " + database + "; nothing is written\n";
        }
    }
}

}  // namespace

CheckReport BuildCheckReport(const ImageDiff& diff, const RunRecord& record,
                             const store::PathMap& paths, const std::u16string& installerFolder) {
    CheckReport r;
    r.json["diff"] = diff.json;
    r.text = "== what the update changes\n" + DiffText(diff);
    ReportScripts(r, record);
    ReportPatches(r, record, paths, installerFolder);
    r.json["passed_over"] = r.passedOver;
    r.text += r.passedOver == 0
                  ? "\nnothing is passed over\n"
                  : "\n" + std::to_string(r.passedOver) + " things passed over or probably not meant\n";
    return r;
}

}  // namespace tools
