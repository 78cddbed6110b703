// The dry run's record and its report.
//
// RunRecord, in front of the device while the installer runs on copies of the image's
// stores, notes the course of that one run: which files it opened; for each registry
// script the bytes it read and the registry calls it made while reading them, each
// with the line being read; for each patch file the bytes it read and how far it had
// read when it wrote a record. A script is read whole through the device when the
// installer opens it, and the installer's reads of it, two bytes at a time, are then
// served from that copy: so the record holds exactly the bytes the installer read,
// once, and a read costs no more than a copy of two bytes.
//
// WriteCheckReport makes from that record and the diff of the copies what "check"
// shows: the changes, the lint of every script in the installer's order, each patch
// file as the installer read it, the entries whose key matched no record, and the
// patch files left unapplied.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/host/backend.h"
#include "store/store.h"
#include "tools/analyses/diff.h"
#include "tools/analyses/lint.h"
#include "tools/analyses/script_calls.h"

namespace tools {

class RunRecord final : public host::ForwardingBackend {
public:
    // The scan's calls are not noted: they go to the device directly.
    explicit RunRecord(host::Backend& device)
        : host::ForwardingBackend(device, {host::Operation::CeSeekDatabase, host::Operation::CeReadRecordProps,
                                           host::Operation::LocalFree}) {}

    struct Script {
        std::u16string path;
        bool opened = false;
        HANDLE handle = INVALID_HANDLE_VALUE;
        std::vector<uint8_t> bytes;  // the file as the device gave it when it was opened
        DWORD readError = 0;         // the error the device ended that read with, if any
        std::atomic<size_t> position{0};  // bytes handed to the installer so far
        std::atomic<size_t> lines{0};     // lines whose LF was handed to it
        ScriptCalls calls;                // ended when it is closed or the run is over
    };

    struct PatchJob {
        std::u16string path;
        bool fileOpened = false;
        bool databaseOpened = false;
        std::vector<uint8_t> bytes;    // the patch file as the installer read it
        std::vector<size_t> writesAt;  // per record write: the bytes read by then
    };

    // What the run did; read them once it has ended.
    const std::deque<Script>& scripts() const { return scripts_; }
    const std::map<int, PatchJob>& jobs() const { return jobs_; }  // by database job

    // For a lint that follows the run while it goes, on a thread of its own. Script
    // `index` once the installer has opened it (its path, whether it opened and its
    // bytes are there), or null when the run ended with fewer scripts.
    const Script* WaitForScript(size_t index);
    // The calls made while the installer reads script `index`, each handed over when
    // the walk asks for it and it has been made; a wait comes back when the call is
    // there or the reading has ended.
    std::unique_ptr<CallSource> FollowCalls(size_t index);
    // The run is over, however it ended: every wait comes back.
    void EndOfRun();

    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override;
    BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                  LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) override;
    BOOL CloseHandle(HANDLE hObject) override;
    LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                         DWORD dwOptions, REGSAM samDesired,
                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                         LPDWORD lpdwDisposition) override;
    LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                        const BYTE* lpData, DWORD cbData) override;
    LONG RegCloseKey(HKEY hKey) override;
    HANDLE CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID propid,
                            DWORD dwFlags, CENOTIFYREQUEST* pRequest) override;
    CEOID CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID,
                             CEPROPVAL* rgPropVal) override;

private:
    void ReadWhole(Script& script);
    static BOOL Serve(Script& script, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped);

    std::mutex mutex_;  // the installer's two threads both call in, and a follower
    std::condition_variable changed_;  // a script opened, or the run ended
    bool runEnded_ = false;
    std::deque<Script> scripts_;  // a deque: a script stays where it is as others are added
    std::map<int, PatchJob> jobs_;
    std::map<HANDLE, Script*> scriptFiles_;  // open script files
    std::map<HANDLE, int> patchFiles_;       // open patch files, by job
    std::map<HANDLE, int> databases_;        // open databases, by job
    Script* reading_ = nullptr;              // the script being read, if any
    std::atomic<Script*> lastOpened_{nullptr};  // its reads need no lock
    int lastJob_ = -1;                       // the job whose patch file was opened last
};

// The lint of each script the run took, in its order (null for one that could not be
// opened), in the form WriteCheckReport writes (json or text).
using ScriptLints = std::vector<std::unique_ptr<LintReport>>;
// Made while the run goes, following it (RunRecord::FollowCalls); returns when the
// run has ended (RunRecord::EndOfRun) and every script is linted.
ScriptLints LintScripts(RunRecord& record, bool json);

// Writes what "check" shows: the text, or the JSON object {"diff", "scripts",
// "patches", "passed_over"}. `diff` is the diff of the copies and `lints` the
// scripts' lints, made in the same form; `paths` maps the original image's platform
// paths as "run" does, `installerFolder` is the update folder's platform path.
// Returns how many things were passed over.
size_t WriteCheckReport(std::ostream& out, bool json, const DiffReport& diff, const RunRecord& record,
                        const ScriptLints& lints, const store::PathMap& paths,
                        const std::u16string& installerFolder);

}  // namespace tools
