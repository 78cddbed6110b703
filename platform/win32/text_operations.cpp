// The phone's case rules for the C library's text routines on desktop Windows:
// lower-casing one character is CharLowerW on it, and _wcsicmp is the difference of
// the first pair of lower-cased characters that differ, as in the phone's C library.
#include "platform/wince.h"

WCHAR PhoneTowlower(WCHAR c) {
    // CharLowerW takes a single character in the low word of its "string" argument.
    return static_cast<WCHAR>(
        reinterpret_cast<ULONG_PTR>(CharLowerW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c)))));
}

int PhoneWcsicmp(const WCHAR* a, const WCHAR* b) {
    WCHAR f = 0;
    WCHAR l = 0;
    do {
        f = PhoneTowlower(*a++);
        l = PhoneTowlower(*b++);
    } while (f != 0 && f == l);
    return static_cast<int>(f) - static_cast<int>(l);
}
