// The fault-injecting backend.
#include "platform/host/faults.h"

#include <algorithm>
#include <optional>

namespace host {

void FaultInjector::FailOn(std::string_view operation, int nth, DWORD error) {
    std::lock_guard lock(mutex_);
    rules_.emplace(std::string(operation), Rule{std::max(nth, 1), error});
}

void FaultInjector::FailAlways(std::string_view operation, DWORD error) {
    std::lock_guard lock(mutex_);
    rules_.emplace(std::string(operation), Rule{0, error});
}

void FaultInjector::LimitReads(DWORD maxBytes) {
    std::lock_guard lock(mutex_);
    readLimit_ = maxBytes;
}

int FaultInjector::Calls(std::string_view operation) const {
    std::lock_guard lock(mutex_);
    const auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
}

void FaultInjector::Clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    rules_.clear();
    readLimit_ = 0;
}

std::optional<DWORD> FaultInjector::Fault(const char* operation) {
    std::lock_guard lock(mutex_);
    const int call = ++calls_[operation];
    const auto [first, last] = rules_.equal_range(operation);
    for (auto it = first; it != last; ++it)
        if (it->second.nth == 0 || it->second.nth == call) return it->second.error;
    return std::nullopt;
}

// Each override: count the call, and either fail it or pass it on.
#define CE_FAULT(name, failure)         \
    if (auto error = Fault(#name)) {    \
        SetLastError(*error);           \
        return failure;                 \
    }

DWORD FaultInjector::GetModuleFileNameW(HMODULE a, LPWSTR b, DWORD c) {
    CE_FAULT(GetModuleFileNameW, 0);
    return target().GetModuleFileNameW(a, b, c);
}
HANDLE FaultInjector::FindFirstFileW(LPCWSTR a, LPWIN32_FIND_DATAW b) {
    CE_FAULT(FindFirstFileW, INVALID_HANDLE_VALUE);
    return target().FindFirstFileW(a, b);
}
BOOL FaultInjector::FindNextFileW(HANDLE a, LPWIN32_FIND_DATAW b) {
    CE_FAULT(FindNextFileW, FALSE);
    return target().FindNextFileW(a, b);
}
BOOL FaultInjector::FindClose(HANDLE a) {
    CE_FAULT(FindClose, FALSE);
    return target().FindClose(a);
}
HANDLE FaultInjector::CreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e,
                                  DWORD f, HANDLE g) {
    CE_FAULT(CreateFileW, INVALID_HANDLE_VALUE);
    return target().CreateFileW(a, b, c, d, e, f, g);
}
BOOL FaultInjector::ReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
    CE_FAULT(ReadFile, FALSE);
    DWORD limit;
    {
        std::lock_guard lock(mutex_);
        limit = readLimit_;
    }
    return target().ReadFile(a, b, limit ? std::min(c, limit) : c, d, e);
}
BOOL FaultInjector::CloseHandle(HANDLE a) {
    CE_FAULT(CloseHandle, FALSE);
    return target().CloseHandle(a);
}
LONG FaultInjector::RegCreateKeyExW(HKEY a, LPCWSTR b, DWORD c, LPWSTR d, DWORD e, REGSAM f,
                                    LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) {
    if (auto error = Fault("RegCreateKeyExW")) return static_cast<LONG>(*error);
    return target().RegCreateKeyExW(a, b, c, d, e, f, g, h, i);
}
LONG FaultInjector::RegOpenKeyExW(HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e) {
    if (auto error = Fault("RegOpenKeyExW")) return static_cast<LONG>(*error);
    return target().RegOpenKeyExW(a, b, c, d, e);
}
LONG FaultInjector::RegSetValueExW(HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f) {
    if (auto error = Fault("RegSetValueExW")) return static_cast<LONG>(*error);
    return target().RegSetValueExW(a, b, c, d, e, f);
}
LONG FaultInjector::RegQueryValueExW(HKEY a, LPCWSTR b, LPDWORD c, LPDWORD d, LPBYTE e,
                                     LPDWORD f) {
    if (auto error = Fault("RegQueryValueExW")) return static_cast<LONG>(*error);
    return target().RegQueryValueExW(a, b, c, d, e, f);
}
LONG FaultInjector::RegCloseKey(HKEY a) {
    if (auto error = Fault("RegCloseKey")) return static_cast<LONG>(*error);
    return target().RegCloseKey(a);
}
BOOL FaultInjector::CeEnumDBVolumes(PCEGUID a, LPWSTR b, DWORD c) {
    CE_FAULT(CeEnumDBVolumes, FALSE);
    return target().CeEnumDBVolumes(a, b, c);
}
HANDLE FaultInjector::CeOpenDatabaseEx(PCEGUID a, PCEOID b, LPWSTR c, CEPROPID d, DWORD e,
                                       CENOTIFYREQUEST* f) {
    CE_FAULT(CeOpenDatabaseEx, INVALID_HANDLE_VALUE);
    return target().CeOpenDatabaseEx(a, b, c, d, e, f);
}
CEOID FaultInjector::CeSeekDatabase(HANDLE a, DWORD b, DWORD c, LPDWORD d) {
    CE_FAULT(CeSeekDatabase, 0);
    return target().CeSeekDatabase(a, b, c, d);
}
CEOID FaultInjector::CeReadRecordProps(HANDLE a, DWORD b, LPWORD c, CEPROPID* d, LPBYTE* e,
                                       LPDWORD f) {
    CE_FAULT(CeReadRecordProps, 0);
    return target().CeReadRecordProps(a, b, c, d, e, f);
}
CEOID FaultInjector::CeWriteRecordProps(HANDLE a, CEOID b, WORD c, CEPROPVAL* d) {
    CE_FAULT(CeWriteRecordProps, 0);
    return target().CeWriteRecordProps(a, b, c, d);
}
HWND FaultInjector::CreateWindowExW(DWORD a, LPCWSTR b, LPCWSTR c, DWORD d, int e, int f, int g,
                                    int h, HWND i, HMENU j, HINSTANCE k, LPVOID l) {
    CE_FAULT(CreateWindowExW, nullptr);
    return target().CreateWindowExW(a, b, c, d, e, f, g, h, i, j, k, l);
}
BOOL FaultInjector::InvalidateRect(HWND a, const RECT* b, BOOL c) {
    CE_FAULT(InvalidateRect, FALSE);
    return target().InvalidateRect(a, b, c);
}
BOOL FaultInjector::UpdateWindow(HWND a) {
    CE_FAULT(UpdateWindow, FALSE);
    return target().UpdateWindow(a);
}
HANDLE FaultInjector::CreateThread(LPSECURITY_ATTRIBUTES a, DWORD b, LPTHREAD_START_ROUTINE c,
                                   LPVOID d, DWORD e, LPDWORD f) {
    CE_FAULT(CreateThread, nullptr);
    return target().CreateThread(a, b, c, d, e, f);
}
BOOL FaultInjector::GetMessageW(LPMSG a, HWND b, UINT c, UINT d) {
    CE_FAULT(GetMessageW, -1);
    return target().GetMessageW(a, b, c, d);
}
BOOL FaultInjector::PostMessageW(HWND a, UINT b, WPARAM c, LPARAM d) {
    CE_FAULT(PostMessageW, FALSE);
    return target().PostMessageW(a, b, c, d);
}
int FaultInjector::MessageBoxW(HWND a, LPCWSTR b, LPCWSTR c, UINT d) {
    CE_FAULT(MessageBoxW, 0);
    return target().MessageBoxW(a, b, c, d);
}
DWORD FaultInjector::WaitForSingleObject(HANDLE a, DWORD b) {
    CE_FAULT(WaitForSingleObject, WAIT_FAILED);
    return target().WaitForSingleObject(a, b);
}

#undef CE_FAULT

}  // namespace host
