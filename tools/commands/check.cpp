// ceupdate check [--device IMAGE] [--json] UPDATE_DIR: a dry run.
//
// The image is copied file by file into a scratch folder (its files are only ever
// opened for reading), the real installer runs on the copy exactly as "run" starts
// it, with nothing drawn and the message dismissed at once, and the result is
// compared with the original. A backend in front of the copy's device notes which
// files the installer opened and, per database job, which patch entries found a
// record. Then comes what the installer passed over: lint of every script it took,
// in its order, and the listing of each patch file. Exit 0 when nothing was passed
// over, 1 when something was.
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "control/control.h"
#include "store/scratch_folder.h"
#include "store/store.h"
#include "store/text.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/analyses/diff.h"
#include "tools/errors.h"
#include "tools/installer_run.h"
#include "tools/analyses/lint.h"
#include "tools/memory_file.h"
#include "tools/analyses/patch_listing.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

std::string Utf8(std::u16string_view text) { return text::ToUtf8(text); }

std::u16string LastComponent(std::u16string_view path) {
    const size_t slash = path.rfind(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

// The job a patch file name belongs to, or -1.
int JobOf(std::u16string_view path) {
    for (int i = 0; i < kDatabaseJobCount; ++i) {
        if (text::EqualNoCase(u"\\" + LastComponent(path), kDatabaseJobs[i].patchFile)) return i;
    }
    return -1;
}

struct ScriptOpened {
    std::u16string path;
    bool opened = false;
};

struct JobSeen {
    std::u16string path;
    bool fileOpened = false;
    bool databaseOpened = false;
    std::vector<bool> matched;  // per entry read: did it find a record
};

// Notes the installer's file opens and the course of its database jobs.
class RunObserver final : public host::ForwardingBackend {
public:
    explicit RunObserver(host::Backend& device) : host::ForwardingBackend(device) {}

    HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templ) override {
        HANDLE h = target().CreateFileW(name, access, share, security, disposition, flags, templ);
        std::lock_guard lock(mutex_);
        const std::u16string path = name ? name : u"";
        const int job = JobOf(path);
        if (job >= 0) {
            jobs[job] = JobSeen{path, h != INVALID_HANDLE_VALUE, false, {}};
            lastJob_ = job;
        } else {
            scripts.push_back({path, h != INVALID_HANDLE_VALUE});
        }
        return h;
    }

    HANDLE CeOpenDatabaseEx(PCEGUID guid, PCEOID oid, LPWSTR name, CEPROPID sort, DWORD flags,
                            CENOTIFYREQUEST* request) override {
        HANDLE h = target().CeOpenDatabaseEx(guid, oid, name, sort, flags, request);
        std::lock_guard lock(mutex_);
        if (lastJob_ >= 0 && h != INVALID_HANDLE_VALUE) {
            jobs[lastJob_].databaseOpened = true;
            databases_[h] = lastJob_;
        }
        return h;
    }

    // Every entry's record scan starts with a seek to record 0.
    CEOID CeSeekDatabase(HANDLE db, DWORD type, DWORD value, LPDWORD index) override {
        {
            std::lock_guard lock(mutex_);
            auto job = databases_.find(db);
            if (job != databases_.end() && type == CEDB_SEEK_BEGINNING && value == 0) {
                jobs[job->second].matched.push_back(false);
            }
        }
        return target().CeSeekDatabase(db, type, value, index);
    }

    CEOID CeWriteRecordProps(HANDLE db, CEOID record, WORD count, CEPROPVAL* props) override {
        {
            std::lock_guard lock(mutex_);
            auto job = databases_.find(db);
            if (job != databases_.end() && !jobs[job->second].matched.empty()) {
                jobs[job->second].matched.back() = true;
            }
        }
        return target().CeWriteRecordProps(db, record, count, props);
    }

    BOOL CloseHandle(HANDLE h) override {
        {
            std::lock_guard lock(mutex_);
            databases_.erase(h);
        }
        return target().CloseHandle(h);
    }

    std::vector<ScriptOpened> scripts;
    std::map<int, JobSeen> jobs;

private:
    std::mutex mutex_;
    int lastJob_ = -1;
    std::map<HANDLE, int> databases_;
};

// Copies every file of the image; SQLite's shared-memory index (-shm) is rebuilt by
// whoever opens the copy, and is left behind.
void CopyImage(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to, ec);
    if (ec) throw ToolError("the scratch copy " + to.string() + " cannot be made: " + ec.message());
    for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path target = to / it->path().lexically_relative(from);
        const std::string name = it->path().filename().string();
        if (it->is_symlink(ec)) {
            fs::copy_symlink(it->path(), target, ec);
        } else if (it->is_directory(ec)) {
            fs::create_directories(target, ec);
        } else if (name.size() < 4 || name.compare(name.size() - 4, 4, "-shm") != 0) {
            fs::copy_file(it->path(), target, ec);
        }
        if (ec) break;
    }
    if (ec) throw ToolError("the image " + from.string() + " cannot be copied: " + ec.message());
}

// The update folder as the copy holds it: one inside the image is copied with it.
std::string UpdateFolderIn(const fs::path& image, const fs::path& copy, const std::string& updateDir) {
    std::error_code ec;
    const fs::path folder = fs::canonical(updateDir, ec);
    if (ec) throw ToolError("the update folder " + updateDir + " does not exist");
    const fs::path relative = folder.lexically_relative(fs::canonical(image, ec));
    if (relative.empty() || *relative.begin() == "..") return updateDir;
    return (copy / relative).string();
}

// The installer's directory for an executable path: cut at the last backslash.
std::u16string InstallerFolder(const std::u16string& modulePath) {
    const size_t slash = modulePath.rfind(u'\\');
    return slash == std::u16string::npos || slash == 0 ? modulePath : modulePath.substr(0, slash);
}

struct CheckResult {
    Json json;
    bool text = true;  // print as it goes; otherwise only the JSON is gathered
    size_t passedOver = 0;
    void Say(const std::string& line) const {
        if (text) std::cout << line;
    }
};

std::vector<store::PathAttachment> PathAttachments(const host::DeviceOptions& options) {
    std::vector<store::PathAttachment> out;
    for (const host::Attachment& a : options.attachments) out.push_back({a.platformPath, a.hostFolder});
    return out;
}

void CheckScripts(CheckResult& r, const RunObserver& seen, const store::PathMap& paths) {
    r.json["scripts"] = Json::array();
    r.Say("\n== registry scripts, in the order the installer takes them\n");
    if (seen.scripts.empty()) r.Say("no *.reg script in the update folder\n");
    for (const ScriptOpened& script : seen.scripts) {
        const std::string name = Utf8(LastComponent(script.path));
        fs::path file;
        if (!script.opened || paths.Resolve(script.path, &file) != store::PathStatus::Ok) {
            r.json["scripts"].push_back(Json{{"file", name}, {"opened", false}});
            r.Say("-- " + name + ": cannot be opened; the installer passes it over\n");
            ++r.passedOver;
            continue;
        }
        const LintReport report = LintScript(ReadHostFile(file));
        Json lint = LintJson(report);
        r.json["scripts"].push_back(
            Json{{"file", name}, {"opened", true}, {"writes", lint["writes"]}, {"warnings", lint["warnings"]}});
        r.Say("-- " + name + "\n" + LintText(report));
        r.passedOver += report.Warnings();
    }
}

void CheckPatches(CheckResult& r, const RunObserver& seen, const store::PathMap& paths,
                  const std::u16string& folder) {
    r.json["patches"] = Json::array();
    r.Say("\n== patch files\n");
    for (int i = 0; i < kDatabaseJobCount; ++i) {
        const std::string name = Utf8(std::u16string(kDatabaseJobs[i].patchFile).substr(1));
        const std::string database = Utf8(kDatabaseJobs[i].databaseName);
        Json item{{"file", name}, {"database", database}};
        auto job = seen.jobs.find(i);
        const std::u16string path = job != seen.jobs.end() ? job->second.path : folder + kDatabaseJobs[i].patchFile;
        fs::path file;
        const bool present = paths.Resolve(path, &file) == store::PathStatus::Ok && fs::is_regular_file(file);
        item["present"] = present;
        r.Say("-- " + name + " -> " + database + "\n");
        if (!present) {
            r.Say("no " + name + " in the update folder: nothing to apply to " + database + "\n");
            r.json["patches"].push_back(item);
            continue;
        }
        std::string notApplied;
        if (job == seen.jobs.end()) {
            notApplied = "the language volume \\storage\\mxip_lang.vol is not mounted";
        } else if (!job->second.fileOpened) {
            notApplied = "the file cannot be opened";
        } else if (!job->second.databaseOpened) {
            notApplied = "the language volume has no database " + database;
        }
        item["applied"] = notApplied.empty();
        if (!notApplied.empty()) {
            item["why"] = notApplied;
            r.Say("passed over: " + name + " is not applied: " + notApplied + "\n");
            ++r.passedOver;
            r.json["patches"].push_back(item);
            continue;
        }
        const PatchListing listing = ListPatch(ReadHostFile(file));
        item["entries"] = listing.entries;
        item["skipped"] = listing.skipped;
        item["stop"] = listing.stop ? *listing.stop : Json(nullptr);
        r.passedOver += listing.skipped.size() + (listing.stop ? 1 : 0);
        Json unmatched = Json::array();
        const std::vector<bool>& matched = job->second.matched;
        for (size_t e = 0; e < matched.size(); ++e) {
            if (!matched[e]) unmatched.push_back(e + 1);
        }
        item["unmatched"] = unmatched;
        r.passedOver += unmatched.size();
        r.json["patches"].push_back(item);
        if (r.text) PrintListing(listing);
        for (const Json& e : unmatched) {
            r.Say("passed over: entry " + std::to_string(e.get<size_t>()) +
                      ": its key matches no record of " + database + "; nothing is written\n");
        }
    }
}

}  // namespace

void AddCheckCommand(CLI::App& app) {
    auto device = std::make_shared<DeviceArg>();
    auto updateDir = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* check = app.add_subcommand(
        "check", "a dry run on a scratch copy of the image: what the update would change, and "
                 "what the installer would pass over; the image is untouched; exit 1 when "
                 "something would be passed over");
    device->AddTo(*check);
    check->add_flag("--json", *json, "print {\"diff\", \"scripts\", \"patches\", \"passed_over\"}");
    check->add_option("UPDATE_DIR", *updateDir,
                      "the update folder: registry scripts, patch files, the companion program")
        ->required();
    check->callback([device, updateDir, json] {
        const fs::path image = device->Image();
        InstallerOptions(image, *updateDir);  // refuses what "run" would refuse, before copying
        store::ScratchFolder scratch;
        const fs::path copy = scratch.path() / "image";
        CopyImage(image, copy);
        host::DeviceOptions options = InstallerOptions(copy, UpdateFolderIn(image, copy, *updateDir));
        options.screen = nullptr;  // nothing drawn; the message returns at once

        std::unique_ptr<RunObserver> observer;
        RunInstaller(options, [&observer](host::Backend& dev) {
            observer = std::make_unique<RunObserver>(dev);
            return observer.get();
        });

        CheckResult r;
        r.text = !*json;
        const ImageDiff diff = DiffImages(image, copy);
        r.json["diff"] = diff.json;
        r.Say("== what the update changes\n" + DiffText(diff));
        const store::PathMap paths(copy, PathAttachments(options));
        CheckScripts(r, *observer, paths);
        CheckPatches(r, *observer, paths, InstallerFolder(options.modulePath));
        r.json["passed_over"] = r.passedOver;
        r.Say(r.passedOver == 0 ? "\nnothing is passed over\n"
                                : "\n" + std::to_string(r.passedOver) +
                                      " things passed over or probably not meant\n");
        if (*json) std::cout << FormatJson(r.json, 3) << '\n';
        if (r.passedOver > 0) SetExitCode(1);
    });
}

}  // namespace tools
