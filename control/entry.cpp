// The entry: status window, worker thread, message loop, boot-launch registration and
// completion message, and the texts the user sees.
//
// The run never hangs on a missing signal: without a status window (the worker would
// post its quit to no window) or without a worker thread, the main thread does the
// work itself. When the message loop ends on an error, the main thread waits for the
// worker, so the worker's registry writes and the registration never overlap.
#include "control/control.h"

const WCHAR kStatusWindowText[] =
    TEXT("Идет обновление программного обеспечения.\r\n")
    TEXT("Пожалуйста, подождите...\r\n")
    TEXT("\r\n")
    TEXT("Updating phone settings\r\n")
    TEXT("Please wait...");
const WCHAR kCompletionText[] =
    TEXT("Обновление завершено. Пожалуйста, выключите Ваш телефон, а затем включите его.\r\n")
    TEXT("Update complete. To activate it, please turn your phone off and then on.");
const WCHAR kCompletionCaption[] = TEXT("Finished");
const WCHAR kCompanionFile[] = TEXT("\\Brindel.exe");

namespace {

const WCHAR kStaticClass[] = TEXT("STATIC");
const DWORD kStatusWindowStyle = WS_VISIBLE | WS_BORDER | SS_CENTER;
const int kStatusWindowX = 0;
const int kStatusWindowY = 20;
const UINT kCompletionStyle = MB_OK | MB_ICONINFORMATION;

const WCHAR kInitKey[] = TEXT("init");
const WCHAR kLaunchValue[] = TEXT("Launch25");
const WCHAR kDependValue[] = TEXT("Depend25");
const WCHAR kDependNextValue[] = TEXT("Depend30");
// Launch entry 25 (the companion) waits for entry 21; entry 30 waits for entry 25.
// 16-bit little-endian entry numbers.
const BYTE kDepend25Data[] = {0x15, 0x00};
const BYTE kDepend30Data[] = {0x19, 0x00};

// Pumps messages until the worker's quit; waits for the worker when the loop ended
// on an error instead.
void RunMessageLoop(HANDLE worker) {
    MSG message;
    BOOL result;
    while ((result = GetMessageW(&message, NULL, 0, 0)) > 0) DispatchMessageW(&message);
    if (result < 0) WaitForSingleObject(worker, INFINITE);
}

}  // namespace

void RegisterBootLaunch(void) {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInitKey, 0, 0, &key) != ERROR_SUCCESS) return;
    WCHAR command[kLaunchCommandChars];
    memset(command, 0, sizeof command);
    // A cut command would register the wrong program, and the dependencies alone would
    // make entry 30 wait for an entry that does not exist: all three or none.
    if (GetInstallerDirectory(command) && wcslen(command) <= kMaxLaunchDirectoryLength) {
        wcscat(command, kCompanionFile);
        const DWORD commandBytes = static_cast<DWORD>((wcslen(command) + 1) * sizeof(WCHAR));
        RegSetValueExW(key, kLaunchValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                       commandBytes);
        RegSetValueExW(key, kDependValue, 0, REG_BINARY, kDepend25Data, sizeof kDepend25Data);
        RegSetValueExW(key, kDependNextValue, 0, REG_BINARY, kDepend30Data, sizeof kDepend30Data);
    }
    RegCloseKey(key);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine,
                   int showCommand) {
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;
    g_hStatusWindow = CreateWindowExW(0, kStaticClass, kStatusWindowText, kStatusWindowStyle,
                                      kStatusWindowX, kStatusWindowY, CW_USEDEFAULT,
                                      CW_USEDEFAULT, NULL, NULL, instance, NULL);
    InvalidateRect(g_hStatusWindow, NULL, FALSE);
    UpdateWindow(g_hStatusWindow);

    HANDLE worker = NULL;
    if (g_hStatusWindow != NULL) {
        DWORD threadId = 0;
        worker = CreateThread(NULL, 0, UpdateWorker, NULL, 0, &threadId);
    }
    if (worker != NULL) {
        RunMessageLoop(worker);
        CloseHandle(worker);
    } else {
        RunUpdate();
    }

    RegisterBootLaunch();
    MessageBoxW(NULL, kCompletionText, kCompletionCaption, kCompletionStyle);
    return 0;
}
