#include "testing/recorder.h"

#include <chrono>
#include <thread>

#include <unicode/unistr.h>

namespace testing_support {

std::string Narrow(const char16_t* text) {
    if (text == nullptr) return "(null)";
    std::string out;
    icu::UnicodeString(text).toUTF8String(out);
    return out;
}

TracingBackend::TracingBackend() : host::ForwardingBackend(host::CurrentBackend()) {}

TracingBackend::~TracingBackend() = default;

void TracingBackend::Record(const std::string& call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
}

std::vector<std::string> TracingBackend::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

int TracingBackend::Count(const std::string& prefix) const {
    int n = 0;
    for (const std::string& call : Calls())
        if (call.rfind(prefix, 0) == 0) ++n;
    return n;
}

int TracingBackend::IndexOf(const std::string& prefix) const {
    const std::vector<std::string> calls = Calls();
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
}

HANDLE TracingBackend::FindFirstFileW(LPCWSTR a, LPWIN32_FIND_DATAW b) {
    if (workerDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(workerDelayMs));
    Record("FindFirstFileW " + Narrow(a));
    return target().FindFirstFileW(a, b);
}

HANDLE TracingBackend::CreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e,
                                   DWORD f, HANDLE g) {
    Record("CreateFileW " + Narrow(a));
    return target().CreateFileW(a, b, c, d, e, f, g);
}

BOOL TracingBackend::ReadFile(HANDLE a, LPVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e) {
    if (readLimit != 0 && c > readLimit) c = readLimit;
    return target().ReadFile(a, b, c, d, e);
}

LONG TracingBackend::RegCreateKeyExW(HKEY a, LPCWSTR b, DWORD c, LPWSTR d, DWORD e, REGSAM f,
                                     LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) {
    const std::string path = b ? Narrow(b) : std::string("NULL");
    Record("RegCreateKeyExW " + path);
    if (!failCreateKey.empty() && path == failCreateKey) return ERROR_INVALID_PARAMETER;
    return target().RegCreateKeyExW(a, b, c, d, e, f, g, h, i);
}

LONG TracingBackend::RegOpenKeyExW(HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e) {
    Record("RegOpenKeyExW " + Narrow(b));
    return target().RegOpenKeyExW(a, b, c, d, e);
}

LONG TracingBackend::RegSetValueExW(HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f) {
    Record("RegSetValueExW " + Narrow(b));
    return target().RegSetValueExW(a, b, c, d, e, f);
}

HANDLE TracingBackend::CeOpenDatabaseEx(PCEGUID a, PCEOID b, LPWSTR c, CEPROPID d, DWORD e,
                                        CENOTIFYREQUEST* f) {
    Record("CeOpenDatabaseEx " + Narrow(c));
    return target().CeOpenDatabaseEx(a, b, c, d, e, f);
}

HWND TracingBackend::CreateWindowExW(DWORD a, LPCWSTR b, LPCWSTR c, DWORD d, int e, int f, int g,
                                     int h, HWND i, HMENU j, HINSTANCE k, LPVOID l) {
    Record("CreateWindowExW");
    if (failCreateWindow) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    return target().CreateWindowExW(a, b, c, d, e, f, g, h, i, j, k, l);
}

BOOL TracingBackend::UpdateWindow(HWND a) {
    Record("UpdateWindow");
    return target().UpdateWindow(a);
}

HANDLE TracingBackend::CreateThread(LPSECURITY_ATTRIBUTES a, DWORD b, LPTHREAD_START_ROUTINE c,
                                    LPVOID d, DWORD e, LPDWORD f) {
    Record("CreateThread");
    if (failCreateThread) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return target().CreateThread(a, b, c, d, e, f);
}

BOOL TracingBackend::GetMessageW(LPMSG a, HWND b, UINT c, UINT d) {
    if (failGetMessage) {
        Record("GetMessageW -1");
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const BOOL result = target().GetMessageW(a, b, c, d);
    Record("GetMessageW " + std::to_string(result));
    return result;
}

BOOL TracingBackend::PostMessageW(HWND a, UINT b, WPARAM c, LPARAM d) {
    Record("PostMessageW " + std::to_string(b) + (a == nullptr ? " to no window" : ""));
    return target().PostMessageW(a, b, c, d);
}

int TracingBackend::MessageBoxW(HWND a, LPCWSTR b, LPCWSTR c, UINT d) {
    Record("MessageBoxW " + Narrow(c));
    return target().MessageBoxW(a, b, c, d);
}

DWORD TracingBackend::WaitForSingleObject(HANDLE a, DWORD b) {
    Record("WaitForSingleObject");
    return target().WaitForSingleObject(a, b);
}

}  // namespace testing_support
