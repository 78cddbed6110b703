// The device backend: serves the platform operations of wince.h from one bound
// device image. Internal to platform/host.
//
// One class, Device, whose methods live one file per service: device.cpp (binding,
// the handle table, CloseHandle, the trace), files.cpp, registry.cpp, databases.cpp,
// windows.cpp (windows, messages and threads). Every handle the device gives out
// (files, searches, keys, databases, threads, windows) sits in one table; a handle is
// never reused, so a closed or made-up handle is simply not found and the call
// fails with an error code. One mutex guards the device's state; calls that block
// (GetMessageW, WaitForSingleObject, the screen) wait without holding it.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/host/backend.h"
#include "platform/host/host.h"
#include "platform/host/store.h"

namespace host::device {

// Something a handle refers to; each service derives its own kinds.
struct Object {
    enum class Kind { File, Search, Key, Database, Thread, Window };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

struct MessageQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<MSG> messages;
};

struct OpenDatabase;  // databases.cpp

class Device final : public Backend {
public:
    explicit Device(const DeviceOptions& options);
    ~Device() override;

    // Commits what is pending and waits for the device's threads to end.
    void Shutdown();

    DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) override;
    HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) override;
    BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) override;
    BOOL FindClose(HANDLE hFindFile) override;
    HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override;
    BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                  LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) override;
    BOOL CloseHandle(HANDLE hObject) override;

    LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                         DWORD dwOptions, REGSAM samDesired,
                         LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                         LPDWORD lpdwDisposition) override;
    LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                       PHKEY phkResult) override;
    LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                        const BYTE* lpData, DWORD cbData) override;
    LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                          LPBYTE lpData, LPDWORD lpcbData) override;
    LONG RegCloseKey(HKEY hKey) override;

    BOOL CeEnumDBVolumes(PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize) override;
    HANDLE CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID propid,
                            DWORD dwFlags, CENOTIFYREQUEST* pRequest) override;
    CEOID CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue,
                         LPDWORD lpdwIndex) override;
    CEOID CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                            LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) override;
    CEOID CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID,
                             CEPROPVAL* rgPropVal) override;
    HLOCAL LocalFree(HLOCAL hMem) override;

    HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                         DWORD dwStyle, int x, int y, int nWidth, int nHeight, HWND hWndParent,
                         HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) override;
    BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) override;
    BOOL UpdateWindow(HWND hWnd) override;
    HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                        LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                        DWORD dwCreationFlags, LPDWORD lpThreadId) override;
    BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) override;
    LRESULT DispatchMessageW(const MSG* lpMsg) override;
    BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) override;
    int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) override;
    DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) override;

private:
    // ---- The handle table (device.cpp); callers hold mutex_ ----
    uintptr_t Add(std::unique_ptr<Object> object);
    Object* Find(uintptr_t handle, Object::Kind kind);
    template <typename T>
    T* Find(uintptr_t handle, Object::Kind kind) {
        return static_cast<T*>(Find(handle, kind));
    }
    std::unique_ptr<Object> Remove(uintptr_t handle);
    void Trace(const std::string& line);

    // ---- Registry (registry.cpp) ----
    std::optional<store::RegistryStore::KeyId> KeyOf(HKEY hKey);
    void CommitBatch();
    LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool create, PHKEY phkResult,
                      LPDWORD lpdwDisposition);

    // ---- Databases (databases.cpp) ----
    store::VolumeStore* Volume(const std::u16string& volumePath);

    // ---- Threads (windows.cpp) ----
    std::shared_ptr<MessageQueue> QueueOf(std::thread::id thread);

    DeviceOptions options_;
    store::PathMap paths_;
    std::mutex mutex_;

    std::unordered_map<uintptr_t, std::unique_ptr<Object>> handles_;
    uintptr_t nextHandle_ = 0x1000;
    uintptr_t lastHandle_ = 0;       // a one-entry cache in front of handles_
    Object* lastObject_ = nullptr;

    std::unique_ptr<store::RegistryStore> registry_;
    uintptr_t batchOwner_ = 0;           // the key handle whose writes are pending
    std::vector<std::string> batchTrace_;  // their trace lines, in write order
    size_t batchWrites_ = 0;

    std::unique_ptr<store::MountTable> mounts_;
    std::map<std::filesystem::path, std::unique_ptr<store::VolumeStore>> volumes_;
    std::map<std::pair<std::filesystem::path, uint32_t>, std::weak_ptr<OpenDatabase>> databases_;

    std::map<std::thread::id, std::shared_ptr<MessageQueue>> queues_;
    std::vector<std::thread> threads_;
    DWORD nextThreadId_ = 1;
};

// Trace text: tabs, line ends and backslashes escaped so one write stays one line.
std::string TraceText(std::u16string_view text);

}  // namespace host::device
