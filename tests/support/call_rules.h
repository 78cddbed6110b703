// What the installer must ask of the platform, checked over the recorded calls of a
// run (testing/recorder.h), whatever the run was: the whole installer, the worker, or
// one script or patch job. The scratch image checks every run with these when it is
// unbound; each rule names the call that broke it.
//
// Status window and messages:
// - CreateWindowExW(0, "STATIC", the status text, WS_VISIBLE|WS_BORDER|SS_CENTER, 0, 20,
//   CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL), then at once
//   InvalidateRect(window, NULL, FALSE) and UpdateWindow(window);
// - CreateThread(NULL, 0, UpdateWorker, NULL, 0, ...);
// - GetMessageW(..., NULL, 0, 0); a message it returns (TRUE) is dispatched next, and
//   the loop goes on with GetMessageW; the quit is posted as PostMessageW(window,
//   WM_QUIT, 0, 0);
// - MessageBoxW(NULL, the completion text, "Finished", MB_OK|MB_ICONINFORMATION).
// Files:
// - a script ("*.reg") opened with GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
//   FILE_ATTRIBUTE_NORMAL; a patch file ("*.dat") with GENERIC_READ, sharing 0,
//   OPEN_EXISTING, attributes 0; no security attributes or template;
// - a search is taken to its end (FindNextFileW = FALSE) and then closed with FindClose,
//   and nothing names it after; GetModuleFileNameW(NULL, ..., 260).
// Registry:
// - keys created or opened with reserved 0, no class, options 0, no access rights, no
//   security attributes; values written with reserved 0;
// - a key is closed (RegCloseKey) before the next key is opened on its thread, before
//   a file is closed (a script's keys before the script) and before the completion
//   message: a section's key at the section's end, the last at the end of the file.
// Databases:
// - the volume look-up (CeEnumDBVolumes, from the invalid volume id, 260 characters)
//   comes after every script and search is done and before any patch file is opened;
// - CeOpenDatabaseEx(the volume found, object id 0, name, sort property 0, flags 0,
//   NULL);
// - CeReadRecordProps(db, CEDB_ALLOWREALLOC, 1 property, [one id], no buffer, size 0);
// - CeWriteRecordProps(db, the record just read, 1, [{tag, len 0, flags 0, value}]).
//
// Handles and read buffers left open are counted by the device itself (LeftOpen).
#pragma once

#include <string>
#include <vector>

#include "platform/host/host.h"
#include "testing/recorder.h"

namespace testing_support {

// One line per broken rule, naming the call.
std::vector<std::string> CallFaults(const std::vector<Recorder::Call>& calls);

// One line per kind of handle or buffer still open ("1 key handle left open").
// Windows are not counted: the status window stays until the process ends.
std::vector<std::string> LeftOpen(const host::OpenCounts& open);

}  // namespace testing_support
