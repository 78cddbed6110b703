// The phone's rule for registry access rights on desktop Windows: a key opened or
// created with no access rights requested may be read and written, as on the phone,
// which ignores them. Anything else is the real call as it was asked.
#include "platform/wince.h"

#undef RegCreateKeyExW
#undef RegOpenKeyExW

namespace {

REGSAM PhoneAccess(REGSAM samDesired) { return samDesired == 0 ? KEY_READ | KEY_WRITE : samDesired; }

}  // namespace

LONG WINAPI PhoneRegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                 DWORD dwOptions, REGSAM samDesired,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                 LPDWORD lpdwDisposition) {
    return RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions, PhoneAccess(samDesired),
                           lpSecurityAttributes, phkResult, lpdwDisposition);
}

LONG WINAPI PhoneRegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                               PHKEY phkResult) {
    return RegOpenKeyExW(hKey, lpSubKey, ulOptions, PhoneAccess(samDesired), phkResult);
}
