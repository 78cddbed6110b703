// The order of names (text.h), built on each implementation's case folding: shared by
// text_icu.cpp's host and text_win32.cpp's Windows build.
#include "store/text.h"

namespace text {

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    const std::u16string fa = FoldCase(a);
    const std::u16string fb = FoldCase(b);
    if (int c = fa.compare(fb); c != 0) return c < 0 ? -1 : 1;
    if (int c = a.compare(b); c != 0) return c < 0 ? -1 : 1;
    return 0;
}

}  // namespace text
