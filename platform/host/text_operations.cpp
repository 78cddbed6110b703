// The platform's C library on 16-bit characters (the text operations of wince.h):
// wsprintfW with "%s" taking a wide string, the wcs routines, and case mapping and
// digits by Unicode through the host's text interface (store/text.h).
#include <cstdarg>
#include <cstdio>

#include "platform/limits.h"
#include "platform/wince.h"
#include "store/text.h"

namespace {

// Lower-casing with ASCII done here, as the comparisons of the installer's scans meet
// it nearly always; the rest by Unicode.
inline WCHAR Lower(WCHAR c) {
    if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<WCHAR>(c + 32) : c;
    return text::LowerChar(c);
}

struct FormatSink {
    LPWSTR out;
    int length = 0;
    bool Put(WCHAR c) {
        if (length >= kFormatMaxChars) return false;
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

WCHAR towlower(WCHAR c) { return Lower(c); }

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    WCHAR fa, fb;
    do {
        fa = *a++;
        fb = *b++;
        if (fa != fb) {
            fa = Lower(fa);
            fb = Lower(fb);
        }
    } while (fa && fa == fb);
    return static_cast<int>(fa) - static_cast<int>(fb);
}

int iswdigit(WCHAR c) {
    if (c < 0x80) return c >= u'0' && c <= u'9' ? 1 : 0;
    return text::IsDecimalDigit(c) ? 1 : 0;
}
