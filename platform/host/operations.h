// The platform's operations in one table, behind the door of platform/wince.h: every
// host type that stands for "all the operations" (the Backend interface, the wrappers
// the installer calls, the forwarding and unbound backends, the fault injector, the
// recorder) is generated from it, so an operation is added or changed in one place.
//
//   CE_OPERATIONS(X) calls X(RETURN, NAME, FAILED, (DIR, TYPE, PARAM)...) once per
//   operation, in the order of wince.h.
//
// FAILED says what a failed call looks like:
//   LastError(V)  it returns V, and GetLastError says why;
//   ErrorCode()   it returns the error code itself (the registry calls);
//   Never()       it cannot fail, so nothing ever fails it (LocalFree, DispatchMessageW).
// DIR says which way a parameter carries data: In (read by the call), Out (written by
// it; valid only when the call succeeded), InOut (both).
//
// CE_PARAMS(...) and CE_ARGS(...) turn the parameter triples into a parameter list
// ("HANDLE hFile, ...") and an argument list ("hFile, ..."); CE_UNUSED_PARAMS(...) is
// the parameter list of a method that ignores them; CE_EACH_PARAM(M, ...)
// calls M(DIR, TYPE, PARAM) once per parameter.
#pragma once

#include <string_view>

#include "platform/wince.h"

// ---- The table --------------------------------------------------------------------------

#define CE_OPERATIONS_MARKED(X, S)                                                              \
    /* Files */                                                                                 \
    X(DWORD, GetModuleFileNameW, LastError(0),                                                  \
      (In, HMODULE, hModule), (Out, LPWSTR, lpFilename), (In, DWORD, nSize))                    \
    X(HANDLE, FindFirstFileW, LastError(INVALID_HANDLE_VALUE),                                  \
      (In, LPCWSTR, lpFileName), (Out, LPWIN32_FIND_DATAW, lpFindFileData))                     \
    X(BOOL, FindNextFileW, LastError(FALSE),                                                    \
      (In, HANDLE, hFindFile), (Out, LPWIN32_FIND_DATAW, lpFindFileData))                       \
    X(BOOL, FindClose, LastError(FALSE), (In, HANDLE, hFindFile))                               \
    X(HANDLE, CreateFileW, LastError(INVALID_HANDLE_VALUE),                                     \
      (In, LPCWSTR, lpFileName), (In, DWORD, dwDesiredAccess), (In, DWORD, dwShareMode),        \
      (In, LPSECURITY_ATTRIBUTES, lpSecurityAttributes), (In, DWORD, dwCreationDisposition),    \
      (In, DWORD, dwFlagsAndAttributes), (In, HANDLE, hTemplateFile))                           \
    X(BOOL, ReadFile, LastError(FALSE),                                                         \
      (In, HANDLE, hFile), (Out, LPVOID, lpBuffer), (In, DWORD, nNumberOfBytesToRead),          \
      (Out, LPDWORD, lpNumberOfBytesRead), (In, LPOVERLAPPED, lpOverlapped))                    \
    X(BOOL, CloseHandle, LastError(FALSE), (In, HANDLE, hObject))                               \
    /* Registry */                                                                              \
    X(LONG, RegCreateKeyExW, ErrorCode(),                                                       \
      (In, HKEY, hKey), (In, LPCWSTR, lpSubKey), (In, DWORD, Reserved), (In, LPWSTR, lpClass),  \
      (In, DWORD, dwOptions), (In, REGSAM, samDesired),                                         \
      (In, LPSECURITY_ATTRIBUTES, lpSecurityAttributes), (Out, PHKEY, phkResult),               \
      (Out, LPDWORD, lpdwDisposition))                                                          \
    X(LONG, RegOpenKeyExW, ErrorCode(),                                                         \
      (In, HKEY, hKey), (In, LPCWSTR, lpSubKey), (In, DWORD, ulOptions),                        \
      (In, REGSAM, samDesired), (Out, PHKEY, phkResult))                                        \
    X(LONG, RegSetValueExW, ErrorCode(),                                                        \
      (In, HKEY, hKey), (In, LPCWSTR, lpValueName), (In, DWORD, Reserved), (In, DWORD, dwType), \
      (In, const BYTE*, lpData), (In, DWORD, cbData))                                           \
    X(LONG, RegQueryValueExW, ErrorCode(),                                                      \
      (In, HKEY, hKey), (In, LPCWSTR, lpValueName), (In, LPDWORD, lpReserved),                  \
      (Out, LPDWORD, lpType), (Out, LPBYTE, lpData), (InOut, LPDWORD, lpcbData))                \
    X(LONG, RegCloseKey, ErrorCode(), (In, HKEY, hKey))                                         \
    /* Property databases */                                                                    \
    X(BOOL, CeEnumDBVolumes, LastError(FALSE),                                                  \
      (InOut, PCEGUID, pguid), (Out, LPWSTR, lpBuf), (In, DWORD, dwSize))                       \
    X(HANDLE, CeOpenDatabaseEx, LastError(INVALID_HANDLE_VALUE),                                \
      (In, PCEGUID, pguid), (InOut, PCEOID, poid), (In, LPWSTR, lpszName),                      \
      (In, CEPROPID, propid), (In, DWORD, dwFlags), (In, CENOTIFYREQUEST*, pRequest))           \
    S(CEOID, CeSeekDatabase, LastError(0),                                                      \
      (In, HANDLE, hDatabase), (In, DWORD, dwSeekType), (In, DWORD, dwValue),                   \
      (Out, LPDWORD, lpdwIndex))                                                                \
    S(CEOID, CeReadRecordProps, LastError(0),                                                   \
      (In, HANDLE, hDbase), (In, DWORD, dwFlags), (InOut, LPWORD, lpcPropID),                   \
      (In, CEPROPID*, rgPropID), (InOut, LPBYTE*, lplpBuffer), (InOut, LPDWORD, lpcbBuffer))    \
    X(CEOID, CeWriteRecordProps, LastError(0),                                                  \
      (In, HANDLE, hDbase), (In, CEOID, oidRecord), (In, WORD, cPropID),                        \
      (In, CEPROPVAL*, rgPropVal))                                                              \
    S(HLOCAL, LocalFree, Never(), (In, HLOCAL, hMem))                                           \
    /* Windows, messages and threads */                                                         \
    X(HWND, CreateWindowExW, LastError(nullptr),                                                \
      (In, DWORD, dwExStyle), (In, LPCWSTR, lpClassName), (In, LPCWSTR, lpWindowName),          \
      (In, DWORD, dwStyle), (In, int, x), (In, int, y), (In, int, nWidth), (In, int, nHeight),  \
      (In, HWND, hWndParent), (In, HMENU, hMenu), (In, HINSTANCE, hInstance),                   \
      (In, LPVOID, lpParam))                                                                    \
    X(BOOL, InvalidateRect, LastError(FALSE),                                                   \
      (In, HWND, hWnd), (In, const RECT*, lpRect), (In, BOOL, bErase))                          \
    X(BOOL, UpdateWindow, LastError(FALSE), (In, HWND, hWnd))                                   \
    X(HANDLE, CreateThread, LastError(nullptr),                                                 \
      (In, LPSECURITY_ATTRIBUTES, lpThreadAttributes), (In, DWORD, dwStackSize),                \
      (In, LPTHREAD_START_ROUTINE, lpStartAddress), (In, LPVOID, lpParameter),                  \
      (In, DWORD, dwCreationFlags), (Out, LPDWORD, lpThreadId))                                 \
    X(BOOL, GetMessageW, LastError(-1),                                                         \
      (Out, LPMSG, lpMsg), (In, HWND, hWnd), (In, UINT, wMsgFilterMin),                         \
      (In, UINT, wMsgFilterMax))                                                                \
    X(LRESULT, DispatchMessageW, Never(), (In, const MSG*, lpMsg))                              \
    X(BOOL, PostMessageW, LastError(FALSE),                                                     \
      (In, HWND, hWnd), (In, UINT, Msg), (In, WPARAM, wParam), (In, LPARAM, lParam))            \
    X(int, MessageBoxW, LastError(0),                                                           \
      (In, HWND, hWnd), (In, LPCWSTR, lpText), (In, LPCWSTR, lpCaption), (In, UINT, uType))     \
    X(DWORD, WaitForSingleObject, LastError(WAIT_FAILED),                                       \
      (In, HANDLE, hHandle), (In, DWORD, dwMilliseconds))

// The same table with the scan's calls (CeSeekDatabase, CeReadRecordProps, LocalFree)
// given to S instead of X: their common case is inline where they are made
// (platform/host/scan_calls.h), so their wrappers are generated apart.
#define CE_OPERATIONS(X) CE_OPERATIONS_MARKED(X, X)

// ---- Parameter lists from the triples ---------------------------------------------------

#define CE_PARAM_DECL_(dir, type, name) type name
#define CE_PARAM_UNUSED_(dir, type, name) [[maybe_unused]] type name
#define CE_PARAM_NAME_(dir, type, name) name
#define CE_COMMA_() ,
#define CE_NOTHING_()

#define CE_PARAMS(...) CE_MAP_(CE_PARAM_DECL_, CE_COMMA_, __VA_ARGS__)
#define CE_ARGS(...) CE_MAP_(CE_PARAM_NAME_, CE_COMMA_, __VA_ARGS__)
#define CE_UNUSED_PARAMS(...) CE_MAP_(CE_PARAM_UNUSED_, CE_COMMA_, __VA_ARGS__)
#define CE_EACH_PARAM(M, ...) CE_MAP_(M, CE_NOTHING_, __VA_ARGS__)

// CE_MAP_(M, SEP, p1, ..., pn) is M p1 SEP() M p2 ... M pn, for 1 <= n <= 12.
#define CE_MAP_(M, SEP, ...) CE_CAT_(CE_MAP_, CE_COUNT_(__VA_ARGS__))(M, SEP, __VA_ARGS__)
#define CE_CAT_(a, b) CE_CAT2_(a, b)
#define CE_CAT2_(a, b) a##b
#define CE_COUNT_(...) CE_COUNT12_(__VA_ARGS__, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define CE_COUNT12_(a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, n, ...) n
#define CE_MAP_1(M, SEP, p) M p
#define CE_MAP_2(M, SEP, p, ...) M p SEP() CE_MAP_1(M, SEP, __VA_ARGS__)
#define CE_MAP_3(M, SEP, p, ...) M p SEP() CE_MAP_2(M, SEP, __VA_ARGS__)
#define CE_MAP_4(M, SEP, p, ...) M p SEP() CE_MAP_3(M, SEP, __VA_ARGS__)
#define CE_MAP_5(M, SEP, p, ...) M p SEP() CE_MAP_4(M, SEP, __VA_ARGS__)
#define CE_MAP_6(M, SEP, p, ...) M p SEP() CE_MAP_5(M, SEP, __VA_ARGS__)
#define CE_MAP_7(M, SEP, p, ...) M p SEP() CE_MAP_6(M, SEP, __VA_ARGS__)
#define CE_MAP_8(M, SEP, p, ...) M p SEP() CE_MAP_7(M, SEP, __VA_ARGS__)
#define CE_MAP_9(M, SEP, p, ...) M p SEP() CE_MAP_8(M, SEP, __VA_ARGS__)
#define CE_MAP_10(M, SEP, p, ...) M p SEP() CE_MAP_9(M, SEP, __VA_ARGS__)
#define CE_MAP_11(M, SEP, p, ...) M p SEP() CE_MAP_10(M, SEP, __VA_ARGS__)
#define CE_MAP_12(M, SEP, p, ...) M p SEP() CE_MAP_11(M, SEP, __VA_ARGS__)

namespace host {

// ---- What a failed call looks like (the FAILED column) ----------------------------------

namespace failure {

template <typename V>
struct LastError {
    constexpr explicit LastError(V v) : value(v) {}
    V value;
};
struct ErrorCode {};
struct Never {};

}  // namespace failure

// The result of a call failed with `error`, in the form its operation reports failure.
template <typename R, typename V>
R FailedResult(failure::LastError<V> failed, DWORD error) {
    SetLastError(error);
    return static_cast<R>(failed.value);
}
template <typename R>
R FailedResult(failure::ErrorCode, DWORD error) {
    return static_cast<R>(error);
}
// A call that cannot fail has no failed form: refusing it returns 0.
template <typename R>
R FailedResult(failure::Never, DWORD) {
    return R();
}

// Whether a call that returned `result` succeeded (its Out parameters are then valid).
template <typename R, typename V>
bool Succeeded(R result, failure::LastError<V> failed) {
    return result != static_cast<R>(failed.value);
}
template <typename R>
bool Succeeded(R result, failure::ErrorCode) {
    return result == ERROR_SUCCESS;
}
template <typename R>
bool Succeeded(R, failure::Never) {
    return true;
}

template <typename F>
constexpr bool CanFail(F) {
    return true;
}
constexpr bool CanFail(failure::Never) { return false; }

// The FAILED column's value for an operation, as an expression.
#define CE_FAILED(failed) ::host::failure::failed

// ---- The operations by number and name ----------------------------------------------

enum class Operation {
#define CE_OPERATION_ENUM_(R, name, failed, ...) name,
    CE_OPERATIONS(CE_OPERATION_ENUM_)
#undef CE_OPERATION_ENUM_
};

inline constexpr int kOperationCount = 0
#define CE_OPERATION_COUNT_(R, name, failed, ...) +1
    CE_OPERATIONS(CE_OPERATION_COUNT_)
#undef CE_OPERATION_COUNT_
    ;

// The operation's name as the platform spells it ("RegSetValueExW"), and the
// operation of a name (throws std::invalid_argument for a name that is none).
const char* OperationName(Operation operation);
Operation OperationNamed(std::string_view name);

}  // namespace host
