// Installer control: the process from entry to exit.
//
// WinMain puts up the status window, starts UpdateWorker on a second thread and pumps
// messages until the worker posts WM_QUIT to the status window; it then registers the
// companion executable for start at the next boot under HKEY_LOCAL_MACHINE\init and
// shows the completion message. The worker imports every "*.reg" script of the
// installer directory, then patches the three language databases from their patch
// files. The two threads share one datum, the status window handle, written before
// the worker starts.
#pragma once

#include "platform/wince.h"

enum {
    kInstallerPathChars = MAX_PATH,  // the installer directory and every path built on it
    kDatabaseJobCount = 3,
    kLaunchCommandChars = MAX_PATH,  // "Launch25": directory + "\Brindel.exe" + terminator
    // The longest installer directory whose launch command fits its buffer.
    kMaxLaunchDirectoryLength = kLaunchCommandChars - 1 - 12
};

// One database job: a patch file of the installer directory and the database of the
// language volume it patches.
struct DatabaseJob {
    const WCHAR* patchFile;     // appended to the installer directory
    const WCHAR* databaseName;  // full name inside the language volume
};

// In order: "\FileNameLang.dat" -> "\FileNameLang", "\MetabaseOptions.dat" ->
// "\MetaBaseOptions", "\MetabaseLabels.dat" -> "\MetaBaseLabels".
extern const DatabaseJob kDatabaseJobs[kDatabaseJobCount];

// The texts the user sees, exactly.
extern const WCHAR kStatusWindowText[];
extern const WCHAR kCompletionText[];
extern const WCHAR kCompletionCaption[];
extern const WCHAR kCompanionFile[];  // "\Brindel.exe"

// The status window: written by WinMain before the worker starts, read by the worker
// only to post its end signal.
extern HWND g_hStatusWindow;

// Fills dir (kInstallerPathChars characters) with the running executable's path cut
// at its last backslash (the whole path when there is none). An executable at the
// root ("\Update.exe") gives the empty directory, the root, on which every path is
// built as "\" and a name. FALSE, with dir empty, when the platform gives no
// executable path.
BOOL GetInstallerDirectory(LPWSTR dir);

// The worker's work without its end signal: imports the scripts, then runs the
// database jobs when the language volume is mounted.
void RunUpdate(void);

// The thread procedure: RunUpdate, then WM_QUIT to the status window. Returns 0.
DWORD WINAPI UpdateWorker(LPVOID parameter);

// Writes "Launch25", "Depend25" and "Depend30" under HKEY_LOCAL_MACHINE\init. Nothing
// is written when "init" cannot be opened or the installer directory is too long for
// the launch command.
void RegisterBootLaunch(void);

// The entry: status window, worker, message loop, boot-launch registration,
// completion message. Returns 0. The command line is wide, as the phone passes it.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine,
                   int showCommand);
