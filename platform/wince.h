// The platform interface: the phone platform's types, constants and core-library
// operations, spelled as the platform spells them. The installer's own code
// (control/, regscript/, langdb/) reaches files, the registry, property databases,
// windows, threads and text only through what is declared here.
//
// Layout: basic types; files; registry; property databases; windows, messages and
// threads; errors; text operations. Each operation carries a one-line contract:
// what it returns and what GetLastError says afterwards.
//
// On the Linux host, WCHAR is char16_t (one UTF-16 code unit), TEXT(s) is u##s and
// WINAPI is empty; the implementation lives in platform/host/. On Windows (_WIN32)
// everything but the property databases is the real Win32 API from <windows.h>
// (WCHAR is wchar_t, TEXT(s) is L##s), and only the property database types, flags
// and calls, which desktop Windows lacks, are declared here, with the phone's rules
// for registry access rights and for case in text (platform/win32/).
#pragma once

#ifdef _WIN32

#ifndef UNICODE
#define UNICODE  // the installer is a wide-character program
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
// Desktop Windows declares WinMain with a narrow command line, the phone with a wide
// one. The installer's WinMain (control/control.h) takes the phone's; windows.h's
// declaration is renamed out of its way. The Windows build supplies its own wide
// entry, which calls the installer's WinMain.
#define WinMain WinMainOfDesktopWindows
#include <windows.h>
#undef WinMain
#include <string.h>  // memset, memcpy, memmove
#include <wchar.h>   // wcslen, wcscpy, wcscat, _wcsicmp
#include <wctype.h>  // towlower, iswdigit

// The phone knows no access rights on registry keys: a key opened or created with none
// requested (samDesired 0) is read and written through. Desktop Windows grants exactly
// what is asked, so there the two calls that open keys go through platform/win32/,
// which asks for reading and writing when the caller asked for nothing, and are the
// real calls otherwise.
LONG WINAPI PhoneRegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                 DWORD dwOptions, REGSAM samDesired,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                 LPDWORD lpdwDisposition);
LONG WINAPI PhoneRegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                               PHKEY phkResult);
#define RegCreateKeyExW PhoneRegCreateKeyExW
#define RegOpenKeyExW PhoneRegOpenKeyExW

// The phone's C library folds case by Unicode: towlower is CharLowerW on one character
// and _wcsicmp compares the lower-cased characters, so Cyrillic letters match their
// capitals. Desktop Windows' C runtime folds only A-Z in its default locale, so there
// these two go through platform/win32/ as well.
WCHAR PhoneTowlower(WCHAR c);
int PhoneWcsicmp(const WCHAR* a, const WCHAR* b);
#define towlower(c) PhoneTowlower(c)
#define _wcsicmp(a, b) PhoneWcsicmp(a, b)

#else  // the Linux host

#include <cstddef>
#include <cstdint>
#include <cstring>  // memset, memmove: the platform's C library has them too

// ---- Basic types -------------------------------------------------------------

typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* PWSTR;
typedef uint8_t BYTE;
typedef BYTE* LPBYTE;
typedef uint16_t WORD;
typedef WORD* LPWORD;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef unsigned int UINT;
typedef int BOOL;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void* HANDLE;
typedef HANDLE HLOCAL;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HMENU__* HMENU;
typedef DWORD REGSAM;

#define TRUE 1
#define FALSE 0
#define TEXT(s) u##s
#define WINAPI  // the platform's calling convention: the host has only one
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

// ---- Files -------------------------------------------------------------------

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// The platform's own search record: no reserved words and no short name, but the
// object id of the file.
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
};
typedef WIN32_FIND_DATAW* LPWIN32_FIND_DATAW;

// Full platform path of the running executable; returns the characters copied
// (cut to nSize - 1 and terminated when longer), 0 on failure.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// First entry whose name matches the last component of lpFileName ('*' and '?',
// ignoring case); INVALID_HANDLE_VALUE with ERROR_NO_MORE_FILES when none matches,
// ERROR_PATH_NOT_FOUND when the folder does not exist.
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);

// Next matching entry; FALSE with ERROR_NO_MORE_FILES at the end.
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);

// Ends a search; FALSE with ERROR_INVALID_HANDLE for a handle that is not a search.
BOOL FindClose(HANDLE hFindFile);

// Opens a regular file for reading; INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND
// (missing), ERROR_PATH_NOT_FOUND (bad folder) or ERROR_ACCESS_DENIED (not a
// regular file, or outside the device).
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Reads up to nNumberOfBytesToRead bytes; TRUE with *lpNumberOfBytesRead = 0 at end
// of file, fewer than asked only just before it; FALSE with ERROR_INVALID_HANDLE for
// a bad handle.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);

// Closes a file, database or thread handle; FALSE with ERROR_INVALID_HANDLE otherwise.
BOOL CloseHandle(HANDLE hObject);

// ---- Registry ----------------------------------------------------------------

#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(uintptr_t)0x80000003u)

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

// Opens the key path under hKey, creating missing keys on the way; NULL opens hKey
// itself, "" fails. ERROR_SUCCESS, or an error code and no key created at all.
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                     DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);

// Opens an existing key (NULL or "" opens hKey itself); ERROR_FILE_NOT_FOUND when
// it does not exist.
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult);

// Stores the exact bytes under the name (NULL or "" is the default value), replacing
// a value of that name; ERROR_INVALID_PARAMETER beyond the name or data limits.
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData);

// Reads a value's type and bytes; ERROR_FILE_NOT_FOUND when absent, ERROR_MORE_DATA
// (with *lpcbData set to the size needed) when the buffer is too small.
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);

// Releases a key handle; commits what was written through it.
LONG RegCloseKey(HKEY hKey);

#endif  // _WIN32

// ---- Property databases ------------------------------------------------------

typedef DWORD CEOID;
typedef CEOID* PCEOID;
typedef DWORD CEPROPID;
typedef CEPROPID* PCEPROPID;

struct CEGUID {
    DWORD Data1;
    DWORD Data2;
    DWORD Data3;
    DWORD Data4;
};
typedef CEGUID* PCEGUID;

#define CREATE_INVALIDGUID(pguid) (memset((pguid), -1, sizeof(CEGUID)))
#define CREATE_SYSTEMGUID(pguid) (memset((pguid), 0, sizeof(CEGUID)))

#define CEVT_I2 2
#define CEVT_I4 3
#define CEVT_R8 5
#define CEVT_BOOL 11
#define CEVT_UI2 18
#define CEVT_UI4 19
#define CEVT_LPWSTR 31
#define CEVT_FILETIME 64
#define CEVT_BLOB 65

#define TypeFromPropID(propid) ((WORD)((propid) & 0xFFFFu))
#define PROPID_FROM_ID_TYPE(id, type) ((CEPROPID)(((DWORD)(id) << 16) | (WORD)(type)))

#define CEDB_SEEK_CEOID 0x00000001u
#define CEDB_SEEK_BEGINNING 0x00000002u
#define CEDB_SEEK_END 0x00000004u
#define CEDB_SEEK_CURRENT 0x00000008u

#define CEDB_AUTOINCREMENT 0x00000001u
#define CEDB_ALLOWREALLOC 0x00000001u
#define CEDB_PROPNOTFOUND 0x0100
#define CEDB_PROPDELETE 0x0200
#define CEDB_MAXPROPDATASIZE 65471
#define CEDB_MAXDBASENAMELEN 32

struct CEBLOB {
    DWORD dwCount;
    LPBYTE lpb;
};

union CEVALUNION {
    SHORT iVal;
    USHORT uiVal;
    LONG lVal;
    ULONG ulVal;
    FILETIME filetime;
    LPWSTR lpwstr;
    CEBLOB blob;
    BOOL boolVal;
    double dblVal;
};

struct CEPROPVAL {
    CEPROPID propid;
    WORD wLenData;
    WORD wFlags;
    CEVALUNION val;
};
typedef CEPROPVAL* PCEPROPVAL;

struct CENOTIFYREQUEST;

// Next mounted volume after *pguid (all 0xFF starts at the first): TRUE with its
// identifier in *pguid and its name in lpBuf; FALSE with ERROR_NO_MORE_ITEMS at the
// end, ERROR_INSUFFICIENT_BUFFER when the name does not fit dwSize characters.
BOOL WINAPI CeEnumDBVolumes(PCEGUID pguid, LPWSTR lpBuf, DWORD dwSize);

// Opens a database of a mounted volume by name (ignoring case) when *poid is 0, by
// object id otherwise; INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when absent.
HANDLE WINAPI CeOpenDatabaseEx(PCEGUID pguid, PCEOID poid, LPWSTR lpszName, CEPROPID propid,
                               DWORD dwFlags, CENOTIFYREQUEST* pRequest);

// CEDB_SEEK_BEGINNING with dwValue i makes record i current and returns its object
// id; 0 (ERROR_SEEK) when there is no record i. Record order is fixed while the
// handle is open.
CEOID WINAPI CeSeekDatabase(HANDLE hDatabase, DWORD dwSeekType, DWORD dwValue,
                            LPDWORD lpdwIndex);

// Reads the listed properties of the current record into one buffer (CEPROPVALs then
// their text and bytes), allocated when CEDB_ALLOWREALLOC is given and released with
// LocalFree. Returns the record's object id; 0 with ERROR_NO_DATA when none of the
// properties exists (the buffer is still handed back, each CEPROPVAL flagged
// CEDB_PROPNOTFOUND); 0 with ERROR_NO_MORE_ITEMS when no record is current.
CEOID WINAPI CeReadRecordProps(HANDLE hDbase, DWORD dwFlags, LPWORD lpcPropID,
                               CEPROPID* rgPropID, LPBYTE* lplpBuffer, LPDWORD lpcbBuffer);

// Sets the properties in record oidRecord (0 adds a record), replacing those of the
// same tag; returns the record's object id, 0 with ERROR_INVALID_PARAMETER.
CEOID WINAPI CeWriteRecordProps(HANDLE hDbase, CEOID oidRecord, WORD cPropID,
                                CEPROPVAL* rgPropVal);

#ifndef _WIN32

// Releases a buffer handed out by CeReadRecordProps; returns NULL on success.
HLOCAL LocalFree(HLOCAL hMem);

// ---- Windows, messages and threads -------------------------------------------

#define WM_NULL 0x0000
#define WM_PAINT 0x000F
#define WM_QUIT 0x0012
#define WS_VISIBLE 0x10000000L
#define WS_BORDER 0x00800000L
#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define CW_USEDEFAULT ((int)0x80000000)
#define MB_OK 0x00000000L
#define MB_ICONINFORMATION 0x00000040L
#define IDOK 1
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

struct POINT {
    LONG x;
    LONG y;
};

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG* LPMSG;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

// Creates a window of a predefined class ("STATIC" shows its text); NULL on failure.
HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle,
                     int x, int y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                     HINSTANCE hInstance, LPVOID lpParam);

// Marks the client area for painting; FALSE for a window that does not exist.
BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase);

// Paints a window that has an invalid area now; FALSE for a window that does not exist.
BOOL UpdateWindow(HWND hWnd);

// Starts lpStartAddress(lpParameter) on a new thread; its handle, or NULL.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                    LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId);

// Waits for the next message of the calling thread's queue: > 0 for a message, 0 for
// WM_QUIT, -1 for a bad argument.
BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);

// Hands a message to its window's procedure; the predefined classes handle all.
LRESULT DispatchMessageW(const MSG* lpMsg);

// Queues a message for the thread that created hWnd (NULL: the calling thread);
// FALSE with ERROR_INVALID_WINDOW_HANDLE for a window that does not exist.
BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// Shows a message box and blocks until it is dismissed; IDOK, 0 on failure.
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

// Waits until a thread has ended: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// ---- Errors ------------------------------------------------------------------

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_READ_FAULT 30L
#define ERROR_WRITE_FAULT 29L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_SEEK 25L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_NO_DATA 232L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L

// The calling thread's last error code.
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

// ---- Text operations ---------------------------------------------------------
// The platform's C library on 16-bit characters. Case folding is Unicode's
// (Cyrillic included), not the ASCII-only one of a "C" locale.

// Formats into lpOut; "%s" takes a wide string. At most 1023 characters and the
// terminator are written; returns the characters written.
int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);

size_t wcslen(const WCHAR* s);
WCHAR* wcscpy(WCHAR* dst, const WCHAR* src);
WCHAR* wcscat(WCHAR* dst, const WCHAR* src);
// Difference of the first pair of lower-cased characters that differ; 0 when equal.
int _wcsicmp(const WCHAR* a, const WCHAR* b);
// The lower-case form of one character (Unicode simple mapping).
WCHAR towlower(WCHAR c);
// Non-zero for a decimal digit (Unicode Nd).
int iswdigit(WCHAR c);

// The scan's calls (CeSeekDatabase, CeReadRecordProps, LocalFree) are inline, their
// common case compiled where they are made.
#include "platform/host/scan_calls.h"

#endif  // !_WIN32
