// The host backend: one object behind every platform operation of wince.h.
//
// The functions of wince.h are two-line wrappers that hand over to the current
// backend (api.cpp). The device backend (device.cpp) serves them from a device image;
// a test can put a ForwardingBackend subclass in front of it (FaultInjector, in
// faults.h) to make a chosen call fail without touching the installer's code.
//
// Each method has the contract of the operation of the same name in wince.h.
#pragma once

#include "platform/wince.h"

namespace host {

class Backend {
public:
    virtual ~Backend() = default;

    // Files
    virtual DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) = 0;
    virtual HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) = 0;
    virtual BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) = 0;
    virtual BOOL FindClose(HANDLE hFindFile) = 0;
    virtual HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                               HANDLE hTemplateFile) = 0;
    virtual BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                          LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) = 0;
    virtual BOOL CloseHandle(HANDLE hObject) = 0;

    // Registry
    virtual LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                 DWORD dwOptions, REGSAM samDesired,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                 LPDWORD lpdwDisposition) = 0;
    virtual LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                               PHKEY phkResult) = 0;
    virtual LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                const BYTE* lpData, DWORD cbData) = 0;
    virtual LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                  LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) = 0;
    virtual LONG RegCloseKey(HKEY hKey) = 0;

    // Property databases
    virtual BOOL CeEnumDBVolumes(PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize) = 0;
    virtual HANDLE CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName,
                                    CEPROPID propid, DWORD dwFlags,
                                    CENOTIFYREQUEST* pRequest) = 0;
    virtual CEOID CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue,
                                 LPDWORD lpdwIndex) = 0;
    virtual CEOID CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID,
                                    CEPROPID* rgPropID, LPBYTE* lplpBuffer,
                                    LPDWORD lpcbBuffer) = 0;
    virtual CEOID CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID,
                                     CEPROPVAL* rgPropVal) = 0;
    virtual HLOCAL LocalFree(HLOCAL hMem) = 0;

    // Windows, messages and threads
    virtual HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                                 DWORD dwStyle, int x, int y, int nWidth, int nHeight,
                                 HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                                 LPVOID lpParam) = 0;
    virtual BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) = 0;
    virtual BOOL UpdateWindow(HWND hWnd) = 0;
    virtual HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                                LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                DWORD dwCreationFlags, LPDWORD lpThreadId) = 0;
    virtual BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) = 0;
    virtual LRESULT DispatchMessageW(const MSG* lpMsg) = 0;
    virtual BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) = 0;
    virtual int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) = 0;
    virtual DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) = 0;
};

// Passes every call on to another backend; subclasses override the calls they change.
class ForwardingBackend : public Backend {
public:
    explicit ForwardingBackend(Backend& target) : target_(target) {}

    DWORD GetModuleFileNameW(HMODULE a, LPWSTR b, DWORD c) override {
        return target_.GetModuleFileNameW(a, b, c);
    }
    HANDLE FindFirstFileW(LPCWSTR a, LPWIN32_FIND_DATAW b) override {
        return target_.FindFirstFileW(a, b);
    }
    BOOL FindNextFileW(HANDLE a, LPWIN32_FIND_DATAW b) override {
        return target_.FindNextFileW(a, b);
    }
    BOOL FindClose(HANDLE a) override { return target_.FindClose(a); }
    HANDLE CreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f,
                       HANDLE g) override {
        return target_.CreateFileW(a, b, c, d, e, f, g);
    }
    BOOL ReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) override {
        return target_.ReadFile(a, b, c, d, e);
    }
    BOOL CloseHandle(HANDLE a) override { return target_.CloseHandle(a); }
    LONG RegCreateKeyExW(HKEY a, LPCWSTR b, DWORD c, LPWSTR d, DWORD e, REGSAM f,
                         LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) override {
        return target_.RegCreateKeyExW(a, b, c, d, e, f, g, h, i);
    }
    LONG RegOpenKeyExW(HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e) override {
        return target_.RegOpenKeyExW(a, b, c, d, e);
    }
    LONG RegSetValueExW(HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f) override {
        return target_.RegSetValueExW(a, b, c, d, e, f);
    }
    LONG RegQueryValueExW(HKEY a, LPCWSTR b, LPDWORD c, LPDWORD d, LPBYTE e,
                          LPDWORD f) override {
        return target_.RegQueryValueExW(a, b, c, d, e, f);
    }
    LONG RegCloseKey(HKEY a) override { return target_.RegCloseKey(a); }
    BOOL CeEnumDBVolumes(PCEGUID a, LPWSTR b, DWORD c) override {
        return target_.CeEnumDBVolumes(a, b, c);
    }
    HANDLE CeOpenDatabaseEx(PCEGUID a, PCEOID b, LPWSTR c, CEPROPID d, DWORD e,
                            CENOTIFYREQUEST* f) override {
        return target_.CeOpenDatabaseEx(a, b, c, d, e, f);
    }
    CEOID CeSeekDatabase(HANDLE a, DWORD b, DWORD c, LPDWORD d) override {
        return target_.CeSeekDatabase(a, b, c, d);
    }
    CEOID CeReadRecordProps(HANDLE a, DWORD b, LPWORD c, CEPROPID* d, LPBYTE* e,
                            LPDWORD f) override {
        return target_.CeReadRecordProps(a, b, c, d, e, f);
    }
    CEOID CeWriteRecordProps(HANDLE a, CEOID b, WORD c, CEPROPVAL* d) override {
        return target_.CeWriteRecordProps(a, b, c, d);
    }
    HLOCAL LocalFree(HLOCAL a) override { return target_.LocalFree(a); }
    HWND CreateWindowExW(DWORD a, LPCWSTR b, LPCWSTR c, DWORD d, int e, int f, int g, int h,
                         HWND i, HMENU j, HINSTANCE k, LPVOID l) override {
        return target_.CreateWindowExW(a, b, c, d, e, f, g, h, i, j, k, l);
    }
    BOOL InvalidateRect(HWND a, const RECT* b, BOOL c) override {
        return target_.InvalidateRect(a, b, c);
    }
    BOOL UpdateWindow(HWND a) override { return target_.UpdateWindow(a); }
    HANDLE CreateThread(LPSECURITY_ATTRIBUTES a, DWORD b, LPTHREAD_START_ROUTINE c, LPVOID d,
                        DWORD e, LPDWORD f) override {
        return target_.CreateThread(a, b, c, d, e, f);
    }
    BOOL GetMessageW(LPMSG a, HWND b, UINT c, UINT d) override {
        return target_.GetMessageW(a, b, c, d);
    }
    LRESULT DispatchMessageW(const MSG* a) override { return target_.DispatchMessageW(a); }
    BOOL PostMessageW(HWND a, UINT b, WPARAM c, LPARAM d) override {
        return target_.PostMessageW(a, b, c, d);
    }
    int MessageBoxW(HWND a, LPCWSTR b, LPCWSTR c, UINT d) override {
        return target_.MessageBoxW(a, b, c, d);
    }
    DWORD WaitForSingleObject(HANDLE a, DWORD b) override {
        return target_.WaitForSingleObject(a, b);
    }

protected:
    Backend& target() { return target_; }

private:
    Backend& target_;
};

// The backend the platform operations use now. Without a bound device every file,
// registry and database call fails.
Backend& CurrentBackend();

// Puts a backend in front (a test's FaultInjector); nullptr goes back to the device.
// The caller keeps ownership and must restore before destroying it.
void SetBackend(Backend* backend);

// The backend put in front with SetBackend, or nullptr: what a scoped override puts
// back when it ends.
Backend* BackendInFront();

}  // namespace host
