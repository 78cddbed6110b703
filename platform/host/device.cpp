// Binding the device and choosing the backend (skeleton: every call fails).
#include "platform/host/backend.h"
#include "platform/host/host.h"

namespace host {

namespace {

class UnboundBackend final : public Backend {
public:
    DWORD GetModuleFileNameW(HMODULE, LPWSTR, DWORD) override { return Fail(0u); }
    HANDLE FindFirstFileW(LPCWSTR, LPWIN32_FIND_DATAW) override { return Fail(INVALID_HANDLE_VALUE); }
    BOOL FindNextFileW(HANDLE, LPWIN32_FIND_DATAW) override { return Fail(FALSE); }
    BOOL FindClose(HANDLE) override { return Fail(FALSE); }
    HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) override {
        return Fail(INVALID_HANDLE_VALUE);
    }
    BOOL ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) override { return Fail(FALSE); }
    BOOL CloseHandle(HANDLE) override { return Fail(FALSE); }
    LONG RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                         LPDWORD) override {
        return ERROR_INVALID_HANDLE;
    }
    LONG RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) override { return ERROR_INVALID_HANDLE; }
    LONG RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) override {
        return ERROR_INVALID_HANDLE;
    }
    LONG RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) override {
        return ERROR_INVALID_HANDLE;
    }
    LONG RegCloseKey(HKEY) override { return ERROR_INVALID_HANDLE; }
    BOOL CeEnumDBVolumes(PCEGUID, LPWSTR, DWORD) override { return Fail(FALSE); }
    HANDLE CeOpenDatabaseEx(PCEGUID, PCEOID, LPWSTR, CEPROPID, DWORD, CENOTIFYREQUEST*) override {
        return Fail(INVALID_HANDLE_VALUE);
    }
    CEOID CeSeekDatabase(HANDLE, DWORD, DWORD, LPDWORD) override { return Fail(0u); }
    CEOID CeReadRecordProps(HANDLE, DWORD, LPWORD, CEPROPID*, LPBYTE*, LPDWORD) override {
        return Fail(0u);
    }
    CEOID CeWriteRecordProps(HANDLE, CEOID, WORD, CEPROPVAL*) override { return Fail(0u); }
    HLOCAL LocalFree(HLOCAL h) override { return h; }
    HWND CreateWindowExW(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE,
                         LPVOID) override {
        return nullptr;
    }
    BOOL InvalidateRect(HWND, const RECT*, BOOL) override { return FALSE; }
    BOOL UpdateWindow(HWND) override { return FALSE; }
    HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                        LPDWORD) override {
        return nullptr;
    }
    BOOL GetMessageW(LPMSG, HWND, UINT, UINT) override { return -1; }
    LRESULT DispatchMessageW(const MSG*) override { return 0; }
    BOOL PostMessageW(HWND, UINT, WPARAM, LPARAM) override { return FALSE; }
    int MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT) override { return 0; }
    DWORD WaitForSingleObject(HANDLE, DWORD) override { return WAIT_FAILED; }

private:
    template <typename T>
    static T Fail(T value) {
        SetLastError(ERROR_INVALID_HANDLE);
        return value;
    }
};

UnboundBackend g_unbound;
Backend* g_override = nullptr;

}  // namespace

Backend& CurrentBackend() { return g_override ? *g_override : g_unbound; }
void SetBackend(Backend* backend) { g_override = backend; }
void BindDevice(const DeviceOptions&) {}
void UnbindDevice() {}

}  // namespace host
