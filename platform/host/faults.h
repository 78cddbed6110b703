// Fault injection for tests: a backend in front of the current one that makes chosen
// platform operations fail, so the installer's failure paths run without any change
// to its code.
//
//   host::FaultInjector faults(host::CurrentBackend());
//   faults.FailOn("RegSetValueExW", 3);       // the 3rd call fails
//   faults.FailAlways("CreateWindowExW");    // every call fails
//   faults.LimitReads(3);                     // ReadFile delivers at most 3 bytes a call
//   host::ScopedBackend use(faults);
//
// A failing call returns the operation's failure value (INVALID_HANDLE_VALUE, NULL,
// FALSE, 0, -1 for GetMessageW, WAIT_FAILED, or the error code itself for the
// registry calls) and sets the error code given. Calls are counted per operation
// from the injector's construction. LocalFree and DispatchMessageW are never failed.
#pragma once

#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/host/backend.h"

namespace host {

class FaultInjector : public ForwardingBackend {
public:
    explicit FaultInjector(Backend& target) : ForwardingBackend(target) {}

    // The nth call (1 = the first) of the operation fails.
    void FailOn(std::string_view operation, int nth, DWORD error = ERROR_GEN_FAILURE);
    // Every call of the operation fails.
    void FailAlways(std::string_view operation, DWORD error = ERROR_GEN_FAILURE);
    // ReadFile delivers at most maxBytes per call (0: no limit).
    void LimitReads(DWORD maxBytes);
    // How often the operation was called, failed calls included.
    int Calls(std::string_view operation) const;
    // Forgets every rule and count.
    void Clear();

    DWORD GetModuleFileNameW(HMODULE a, LPWSTR b, DWORD c) override;
    HANDLE FindFirstFileW(LPCWSTR a, LPWIN32_FIND_DATAW b) override;
    BOOL FindNextFileW(HANDLE a, LPWIN32_FIND_DATAW b) override;
    BOOL FindClose(HANDLE a) override;
    HANDLE CreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f,
                       HANDLE g) override;
    BOOL ReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) override;
    BOOL CloseHandle(HANDLE a) override;
    LONG RegCreateKeyExW(HKEY a, LPCWSTR b, DWORD c, LPWSTR d, DWORD e, REGSAM f,
                         LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) override;
    LONG RegOpenKeyExW(HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e) override;
    LONG RegSetValueExW(HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f) override;
    LONG RegQueryValueExW(HKEY a, LPCWSTR b, LPDWORD c, LPDWORD d, LPBYTE e, LPDWORD f) override;
    LONG RegCloseKey(HKEY a) override;
    BOOL CeEnumDBVolumes(PCEGUID a, LPWSTR b, DWORD c) override;
    HANDLE CeOpenDatabaseEx(PCEGUID a, PCEOID b, LPWSTR c, CEPROPID d, DWORD e,
                            CENOTIFYREQUEST* f) override;
    CEOID CeSeekDatabase(HANDLE a, DWORD b, DWORD c, LPDWORD d) override;
    CEOID CeReadRecordProps(HANDLE a, DWORD b, LPWORD c, CEPROPID* d, LPBYTE* e,
                            LPDWORD f) override;
    CEOID CeWriteRecordProps(HANDLE a, CEOID b, WORD c, CEPROPVAL* d) override;
    HWND CreateWindowExW(DWORD a, LPCWSTR b, LPCWSTR c, DWORD d, int e, int f, int g, int h,
                         HWND i, HMENU j, HINSTANCE k, LPVOID l) override;
    BOOL InvalidateRect(HWND a, const RECT* b, BOOL c) override;
    BOOL UpdateWindow(HWND a) override;
    HANDLE CreateThread(LPSECURITY_ATTRIBUTES a, DWORD b, LPTHREAD_START_ROUTINE c, LPVOID d,
                        DWORD e, LPDWORD f) override;
    BOOL GetMessageW(LPMSG a, HWND b, UINT c, UINT d) override;
    BOOL PostMessageW(HWND a, UINT b, WPARAM c, LPARAM d) override;
    int MessageBoxW(HWND a, LPCWSTR b, LPCWSTR c, UINT d) override;
    DWORD WaitForSingleObject(HANDLE a, DWORD b) override;

private:
    struct Rule {
        int nth = 0;  // 0: every call
        DWORD error = ERROR_GEN_FAILURE;
    };
    // Counts the call; the error code to fail it with, or nothing.
    std::optional<DWORD> Fault(const char* operation);

    mutable std::mutex mutex_;
    std::map<std::string, int, std::less<>> calls_;
    std::multimap<std::string, Rule, std::less<>> rules_;
    DWORD readLimit_ = 0;
};

// Puts a backend in front for the scope's lifetime, then goes back to the device.
class ScopedBackend {
public:
    explicit ScopedBackend(Backend& backend) { SetBackend(&backend); }
    ~ScopedBackend() { SetBackend(nullptr); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;
};

}  // namespace host
