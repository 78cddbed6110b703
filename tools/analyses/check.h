// The dry run's record and its report.
//
// RunRecord, in front of the device while the installer runs on a scratch copy of
// the image, notes the course of that one run: which files it opened; for each
// registry script the bytes it read and the registry calls it made while reading
// them, each with the line being read; for each patch file the bytes it read and how
// far it had read when it wrote a record. BuildCheckReport makes from that record and
// the diff of the copy what "check" shows: the changes, the lint of every script in
// the installer's order, each patch file as the installer read it, the entries whose
// key matched no record, and the patch files left unapplied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/backend.h"
#include "store/store.h"
#include "tools/analyses/diff.h"
#include "tools/analyses/script_calls.h"
#include "tools/formats/json.h"

namespace tools {

class RunRecord final : public host::ForwardingBackend {
public:
    explicit RunRecord(host::Backend& device) : host::ForwardingBackend(device) {}

    struct Script {
        std::u16string path;
        bool opened = false;
        ScriptCalls calls;
    };

    struct PatchJob {
        std::u16string path;
        bool fileOpened = false;
        bool databaseOpened = false;
        std::vector<uint8_t> bytes;    // the patch file as the installer read it
        std::vector<size_t> writesAt;  // per record write: the bytes read by then
    };

    // What the run did; read them once it has ended.
    const std::vector<Script>& scripts() const { return scripts_; }
    const std::map<int, PatchJob>& jobs() const { return jobs_; }  // by database job

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
    std::mutex mutex_;  // the installer's two threads both call in
    std::vector<Script> scripts_;
    std::map<int, PatchJob> jobs_;
    std::map<HANDLE, size_t> scriptFiles_;  // open script files
    std::map<HANDLE, int> patchFiles_;      // open patch files, by job
    std::map<HANDLE, int> databases_;       // open databases, by job
    static constexpr size_t kNone = SIZE_MAX;
    size_t reading_ = kNone;                // the script being read, if any
    int lastJob_ = -1;                      // the job whose patch file was opened last
};

struct CheckReport {
    Json json;         // {"diff", "scripts", "patches", "passed_over"}
    std::string text;  // what "check" prints without --json
    size_t passedOver = 0;
};

// `paths` maps the copy's platform paths, `installerFolder` is the update folder's
// platform path.
CheckReport BuildCheckReport(const ImageDiff& diff, const RunRecord& record,
                             const store::PathMap& paths, const std::u16string& installerFolder);

}  // namespace tools
