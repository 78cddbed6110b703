// The platform operations of wince.h on the host: each hands over to the current
// backend (backend.h), except the error code, which is per thread, and the text
// operations, which are plain functions over ICU.
#include <cstdarg>
#include <cstdio>

#include <unicode/uchar.h>

#include "platform/host/backend.h"
#include "platform/wince.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

// ---- Files ----

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    return host::CurrentBackend().GetModuleFileNameW(hModule, lpFilename, nSize);
}
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    return host::CurrentBackend().FindFirstFileW(lpFileName, lpFindFileData);
}
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    return host::CurrentBackend().FindNextFileW(hFindFile, lpFindFileData);
}
BOOL FindClose(HANDLE hFindFile) { return host::CurrentBackend().FindClose(hFindFile); }
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return host::CurrentBackend().CreateFileW(lpFileName, dwDesiredAccess, dwShareMode,
                                              lpSecurityAttributes, dwCreationDisposition,
                                              dwFlagsAndAttributes, hTemplateFile);
}
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return host::CurrentBackend().ReadFile(hFile, lpBuffer, nNumberOfBytesToRead,
                                           lpNumberOfBytesRead, lpOverlapped);
}
BOOL CloseHandle(HANDLE hObject) { return host::CurrentBackend().CloseHandle(hObject); }

// ---- Registry ----

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                     DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    return host::CurrentBackend().RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions,
                                                  samDesired, lpSecurityAttributes, phkResult,
                                                  lpdwDisposition);
}
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult) {
    return host::CurrentBackend().RegOpenKeyExW(hKey, lpSubKey, ulOptions, samDesired,
                                                phkResult);
}
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
    return host::CurrentBackend().RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData,
                                                 cbData);
}
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    return host::CurrentBackend().RegQueryValueExW(hKey, lpValueName, lpReserved, lpType,
                                                   lpData, lpcbData);
}
LONG RegCloseKey(HKEY hKey) { return host::CurrentBackend().RegCloseKey(hKey); }

// ---- Property databases ----

BOOL CeEnumDBVolumes(PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize) {
    return host::CurrentBackend().CeEnumDBVolumes(pguid, lpBuf, dwSize);
}
HANDLE CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID propid,
                        DWORD dwFlags, CENOTIFYREQUEST* pRequest) {
    return host::CurrentBackend().CeOpenDatabaseEx(pguid, poid, lpszName, propid, dwFlags,
                                                   pRequest);
}
CEOID CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue, LPDWORD lpdwIndex) {
    return host::CurrentBackend().CeSeekDatabase(hDatabase, dwSeekType, dwValue, lpdwIndex);
}
CEOID CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID, CEPROPID* rgPropID,
                        LPBYTE* lplpBuffer, LPDWORD lpcbBuffer) {
    return host::CurrentBackend().CeReadRecordProps(hDbase, dwFlags, lpcPropID, rgPropID,
                                                    lplpBuffer, lpcbBuffer);
}
CEOID CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID, CEPROPVAL* rgPropVal) {
    return host::CurrentBackend().CeWriteRecordProps(hDbase, oidRecord, cPropID, rgPropVal);
}
HLOCAL LocalFree(HLOCAL hMem) { return host::CurrentBackend().LocalFree(hMem); }

// ---- Windows, messages and threads ----

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                     int x, int y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                     HINSTANCE hInstance, LPVOID lpParam) {
    return host::CurrentBackend().CreateWindowExW(dwExStyle, lpClassName, lpWindowName, dwStyle,
                                                  x, y, nWidth, nHeight, hWndParent, hMenu,
                                                  hInstance, lpParam);
}
BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) {
    return host::CurrentBackend().InvalidateRect(hWnd, lpRect, bErase);
}
BOOL UpdateWindow(HWND hWnd) { return host::CurrentBackend().UpdateWindow(hWnd); }
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    return host::CurrentBackend().CreateThread(lpThreadAttributes, dwStackSize, lpStartAddress,
                                               lpParameter, dwCreationFlags, lpThreadId);
}
BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return host::CurrentBackend().GetMessageW(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}
LRESULT DispatchMessageW(const MSG* lpMsg) {
    return host::CurrentBackend().DispatchMessageW(lpMsg);
}
BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return host::CurrentBackend().PostMessageW(hWnd, Msg, wParam, lParam);
}
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    return host::CurrentBackend().MessageBoxW(hWnd, lpText, lpCaption, uType);
}
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return host::CurrentBackend().WaitForSingleObject(hHandle, dwMilliseconds);
}

// ---- Text operations ----

namespace {

constexpr int kFormatLimit = 1023;  // characters wsprintfW writes at most, terminator aside

struct FormatSink {
    LPWSTR out;
    int length = 0;
    bool Put(WCHAR c) {
        if (length >= kFormatLimit) return false;
        out[length++] = c;
        return true;
    }
    bool PutAscii(const char* s) {
        for (; *s; ++s)
            if (!Put(static_cast<WCHAR>(*s))) return false;
        return true;
    }
};

}  // namespace

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    FormatSink sink{lpOut};
    va_list args;
    va_start(args, lpFmt);
    bool room = true;
    for (LPCWSTR f = lpFmt; room && *f; ++f) {
        if (*f != u'%') {
            room = sink.Put(*f);
            continue;
        }
        ++f;
        char buf[32];
        switch (*f) {
            case u's': {
                LPCWSTR s = va_arg(args, LPCWSTR);
                if (!s) s = u"(null)";
                for (; room && *s; ++s) room = sink.Put(*s);
                break;
            }
            case u'c': room = sink.Put(static_cast<WCHAR>(va_arg(args, int))); break;
            case u'd': snprintf(buf, sizeof buf, "%d", va_arg(args, int)); room = sink.PutAscii(buf); break;
            case u'u': snprintf(buf, sizeof buf, "%u", va_arg(args, unsigned)); room = sink.PutAscii(buf); break;
            case u'x': snprintf(buf, sizeof buf, "%x", va_arg(args, unsigned)); room = sink.PutAscii(buf); break;
            case u'X': snprintf(buf, sizeof buf, "%X", va_arg(args, unsigned)); room = sink.PutAscii(buf); break;
            case u'%': room = sink.Put(u'%'); break;
            case 0: --f; break;  // a lone '%' at the end is dropped
            default: room = sink.Put(u'%') && sink.Put(*f); break;
        }
    }
    va_end(args);
    lpOut[sink.length] = 0;
    return sink.length;
}

size_t wcslen(const WCHAR* s) {
    const WCHAR* p = s;
    while (*p) ++p;
    return static_cast<size_t>(p - s);
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src) {
    WCHAR* d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

WCHAR* wcscat(WCHAR* dst, const WCHAR* src) {
    wcscpy(dst + wcslen(dst), src);
    return dst;
}

WCHAR towlower(WCHAR c) {
    // Simple (one-to-one) lower-case mapping of a BMP code unit; surrogates stay.
    const UChar32 lower = u_tolower(static_cast<UChar32>(c));
    return lower <= 0xFFFF ? static_cast<WCHAR>(lower) : c;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    WCHAR fa, fb;
    do {
        fa = towlower(*a++);
        fb = towlower(*b++);
    } while (fa && fa == fb);
    return static_cast<int>(fa) - static_cast<int>(fb);
}

int iswdigit(WCHAR c) { return u_isdigit(static_cast<UChar32>(c)) ? 1 : 0; }
