// The update worker and the installer directory.
//
// The worker's buffers are 260 characters each. A path that would not fit (the
// installer directory with a found script name or a patch file name) is skipped,
// never cut to some other path.
#include "control/control.h"
#include "langdb/langdb.h"
#include "regscript/regscript.h"

HWND g_hStatusWindow = NULL;

const DatabaseJob kDatabaseJobs[kDatabaseJobCount] = {
    {TEXT("\\FileNameLang.dat"), TEXT("\\FileNameLang")},
    {TEXT("\\MetabaseOptions.dat"), TEXT("\\MetaBaseOptions")},
    {TEXT("\\MetabaseLabels.dat"), TEXT("\\MetaBaseLabels")}
};

namespace {

const WCHAR kScriptPatternFormat[] = TEXT("%s\\*.reg");
const WCHAR kBackslash = TEXT('\\');
const WCHAR kSeparator[] = TEXT("\\");
const WCHAR kNothing[] = TEXT("");
const size_t kScriptPatternExtra = 6;  // "\*.reg"

// dir + separator + name into path when it fits kInstallerPathChars.
BOOL JoinPath(LPWSTR path, LPCWSTR dir, LPCWSTR separator, LPCWSTR name) {
    if (wcslen(dir) + wcslen(separator) + wcslen(name) >= kInstallerPathChars) return FALSE;
    wcscpy(path, dir);
    wcscat(path, separator);
    wcscat(path, name);
    return TRUE;
}

// Imports every script of the directory, in the order the search returns them.
void ImportScripts(LPCWSTR dir) {
    WCHAR path[kInstallerPathChars];
    if (wcslen(dir) + kScriptPatternExtra >= kInstallerPathChars) return;
    wsprintfW(path, kScriptPatternFormat, dir);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (JoinPath(path, dir, kSeparator, found.cFileName)) ImportRegistryScript(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void RunDatabaseJobs(CEGUID* volume, LPCWSTR dir) {
    WCHAR path[kInstallerPathChars];
    for (int i = 0; i < kDatabaseJobCount; ++i) {
        if (!JoinPath(path, dir, kNothing, kDatabaseJobs[i].patchFile)) continue;
        PatchLanguageDatabase(volume, kDatabaseJobs[i].databaseName, path);
    }
}

}  // namespace

BOOL GetInstallerDirectory(LPWSTR dir) {
    WCHAR path[kInstallerPathChars];
    memset(path, 0, sizeof path);
    if (GetModuleFileNameW(NULL, path, kInstallerPathChars) == 0) {
        dir[0] = 0;
        return FALSE;
    }
    path[kInstallerPathChars - 1] = 0;
    // Down to index 0: an executable at the root has the root, "", as its directory.
    for (size_t i = wcslen(path); i > 0; --i) {
        if (path[i - 1] == kBackslash) {
            path[i - 1] = 0;
            break;
        }
    }
    wcscpy(dir, path);
    return TRUE;
}

void RunUpdate(void) {
    WCHAR dir[kInstallerPathChars];
    if (GetInstallerDirectory(dir)) ImportScripts(dir);
    CEGUID volume;
    if (!FindLanguageVolume(&volume)) return;  // not mounted: no database jobs
    if (GetInstallerDirectory(dir)) RunDatabaseJobs(&volume, dir);
}

DWORD WINAPI UpdateWorker(LPVOID parameter) {
    (void)parameter;
    RunUpdate();
    // Also when the volume was missing or every job failed: the main thread waits for it.
    PostMessageW(g_hStatusWindow, WM_QUIT, 0, 0);
    return 0;
}
