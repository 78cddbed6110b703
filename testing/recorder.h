// A backend put in front of the device for the installer's suites: it records the
// calls that mark the order of the work and fails or changes chosen ones.
//
//   img.Bind();
//   TracingBackend trace;                  // in front of the bound device until destroyed
//   trace.failCreateThread = true;
//   WinMain(nullptr, nullptr, nullptr, 0);
//   EXPECT_EQ(trace.Count("PostMessageW"), 1);
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/host/backend.h"

namespace testing_support {

class TracingBackend : public host::ForwardingBackend {
public:
    TracingBackend();  // wraps the current backend and puts itself in front
    ~TracingBackend() override;

    // Knobs, set before the run.
    bool failCreateWindow = false;
    bool failCreateThread = false;
    bool failGetMessage = false;   // GetMessageW returns -1 at once
    DWORD readLimit = 0;           // ReadFile delivers at most this many bytes (0: no limit)
    int workerDelayMs = 0;         // FindFirstFileW sleeps first (the worker is slow)
    std::string failCreateKey;     // RegCreateKeyExW of this key path fails

    // "Name detail" per recorded call, in order.
    std::vector<std::string> Calls() const;
    int Count(const std::string& prefix) const;
    // Index of the first call starting with prefix, -1 when none.
    int IndexOf(const std::string& prefix) const;

    HANDLE FindFirstFileW(LPCWSTR a, LPWIN32_FIND_DATAW b) override;
    HANDLE CreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f,
                       HANDLE g) override;
    BOOL ReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) override;
    LONG RegCreateKeyExW(HKEY a, LPCWSTR b, DWORD c, LPWSTR d, DWORD e, REGSAM f,
                         LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) override;
    LONG RegOpenKeyExW(HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e) override;
    LONG RegSetValueExW(HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f) override;
    HANDLE CeOpenDatabaseEx(PCEGUID a, PCEOID b, LPWSTR c, CEPROPID d, DWORD e,
                            CENOTIFYREQUEST* f) override;
    HWND CreateWindowExW(DWORD a, LPCWSTR b, LPCWSTR c, DWORD d, int e, int f, int g, int h,
                         HWND i, HMENU j, HINSTANCE k, LPVOID l) override;
    BOOL UpdateWindow(HWND a) override;
    HANDLE CreateThread(LPSECURITY_ATTRIBUTES a, DWORD b, LPTHREAD_START_ROUTINE c, LPVOID d,
                        DWORD e, LPDWORD f) override;
    BOOL GetMessageW(LPMSG a, HWND b, UINT c, UINT d) override;
    BOOL PostMessageW(HWND a, UINT b, WPARAM c, LPARAM d) override;
    int MessageBoxW(HWND a, LPCWSTR b, LPCWSTR c, UINT d) override;
    DWORD WaitForSingleObject(HANDLE a, DWORD b) override;

private:
    void Record(const std::string& call);
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    host::ScopedBackend inFront_{*this};  // last: leaves the front first
};

// UTF-8 of a platform string, for call records and messages.
std::string Narrow(const char16_t* text);

}  // namespace testing_support
