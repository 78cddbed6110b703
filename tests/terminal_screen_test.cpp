// The terminal's boxes: every line of the installer's texts fits an 80-column terminal,
// broken at spaces, every word kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "control/control.h"
#include "store/text.h"
#include "tools/terminal_screen.h"

namespace {

// The words of lines, in order.
std::vector<std::string> Words(const std::vector<std::string>& lines) {
    std::vector<std::string> words;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        for (std::string w; in >> w;) words.push_back(w);
    }
    return words;
}

TEST(TerminalScreenTest, BoxesFitEightyColumnsAndKeepEveryWord) {
    const std::string longWord(90, 'x');
    const std::vector<std::u16string> texts = {
        std::u16string(kStatusWindowText), std::u16string(kCompletionText),
        u"short", u"a line   with  spaces that is short", u"  indented",
        u"one " + std::u16string(longWord.begin(), longWord.end()) + u" two",
    };
    for (const std::u16string& text : texts) {
        SCOPED_TRACE(text::ToUtf8(text));
        const std::vector<std::string> lines = tools::TextLines(text);
        const std::vector<std::string> fitted = tools::FitLines(lines, tools::kBoxTextWidth);
        EXPECT_EQ(Words(fitted), Words(lines));
        // A word wider than a box line stays whole on a line of its own, widening the box.
        const std::vector<std::string> words = Words(lines);
        const bool wordsFit = std::all_of(words.begin(), words.end(), [](const std::string& w) {
            return text::DisplayWidth(w) <= tools::kBoxTextWidth;
        });
        std::istringstream box(tools::DrawBox(fitted, text::ToUtf8(kCompletionCaption), false));
        for (std::string row; wordsFit && std::getline(box, row);) {
            EXPECT_LE(text::DisplayWidth(row), 80u) << row;
        }
        if (!wordsFit) {
            EXPECT_NE(std::find(fitted.begin(), fitted.end(), longWord), fitted.end());
        }
        // Lines that fit are left exactly as they are.
        for (const std::string& line : lines) {
            if (text::DisplayWidth(line) <= tools::kBoxTextWidth) {
                EXPECT_NE(std::find(fitted.begin(), fitted.end(), line), fitted.end()) << line;
            }
        }
    }
}

}  // namespace
