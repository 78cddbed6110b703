// The terminal screen: boxes and plain text for the status window and the message.
#include "tools/terminal_screen.h"

#include <algorithm>

#include "platform/wince.h"
#include "store/text.h"

namespace tools {

namespace {

std::string Repeat(const std::string& piece, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += piece;
    return out;
}

}  // namespace

std::vector<std::string> TextLines(const std::u16string& text) {
    std::vector<std::string> lines;
    std::u16string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'\r' || c == u'\n') {
            lines.push_back(text::ToUtf8(line));
            line.clear();
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        } else {
            line.push_back(c);
        }
    }
    lines.push_back(text::ToUtf8(line));
    return lines;
}

std::vector<std::string> FitLines(const std::vector<std::string>& lines, size_t width) {
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        if (text::DisplayWidth(line) <= width) {
            out.push_back(line);
            continue;
        }
        std::string fitted;
        for (size_t start = 0; start <= line.size();) {
            size_t end = line.find(' ', start);
            if (end == std::string::npos) end = line.size();
            const std::string word = line.substr(start, end - start);
            if (!fitted.empty() && text::DisplayWidth(fitted) + 1 + text::DisplayWidth(word) > width) {
                out.push_back(fitted);
                fitted.clear();
            }
            fitted += (fitted.empty() ? "" : " ") + word;
            start = end + 1;
        }
        out.push_back(fitted);
    }
    return out;
}

std::string DrawBox(const std::vector<std::string>& lines, const std::string& title, bool centred) {
    size_t inner = text::DisplayWidth(title) + 4;
    for (const std::string& line : lines) inner = std::max(inner, text::DisplayWidth(line) + 4);
    std::string out = "┌";
    if (title.empty()) {
        out += Repeat("─", inner);
    } else {
        out += "─ " + title + " " + Repeat("─", inner - text::DisplayWidth(title) - 3);
    }
    out += "┐\n";
    for (const std::string& line : lines) {
        const size_t free = inner - text::DisplayWidth(line);
        const size_t left = centred ? free / 2 : 2;
        out += "│" + std::string(left, ' ') + line + std::string(free - left, ' ') + "│\n";
    }
    out += "└" + Repeat("─", inner) + "┘\n";
    return out;
}

TerminalScreen::TerminalScreen(std::FILE* out, std::FILE* in, bool framed, bool dismissAtOnce)
    : out_(out), in_(in), framed_(framed), dismissAtOnce_(dismissAtOnce) {}

void TerminalScreen::ShowWindow(const std::u16string& text, uint32_t style) {
    const std::vector<std::string> lines = TextLines(text);
    std::string shown;
    if (framed_) {
        shown = DrawBox(FitLines(lines, kBoxTextWidth), "", (style & SS_CENTER) != 0);
    } else {
        for (const std::string& line : lines) shown += line + "\n";
    }
    std::fputs(shown.c_str(), out_);
    std::fflush(out_);
}

void TerminalScreen::ShowMessage(const std::u16string& text, const std::u16string& caption,
                                 uint32_t /*style*/) {
    std::vector<std::string> lines = TextLines(text);
    const std::string title = text::ToUtf8(caption);
    std::string shown;
    if (framed_) {
        lines = FitLines(lines, kBoxTextWidth);
        lines.push_back("");
        const size_t widest = [&] {
            size_t w = text::DisplayWidth(title) + 4;
            for (const std::string& l : lines) w = std::max(w, text::DisplayWidth(l) + 4);
            return w;
        }();
        // The button line is centred by padding it to the box's inner width.
        const std::string button = "[ OK ]";
        const size_t pad = (widest - text::DisplayWidth(button)) / 2;
        lines.push_back(std::string(pad > 2 ? pad - 2 : 0, ' ') + button);
        shown = DrawBox(lines, title, false);
    } else {
        shown = "\n" + title + "\n";
        for (const std::string& line : lines) shown += line + "\n";
        shown += "[ OK ]\n";
    }
    std::fputs(shown.c_str(), out_);
    std::fflush(out_);
    if (dismissAtOnce_) return;
    std::fputs("Press Enter to dismiss the message. ", out_);
    std::fflush(out_);
    for (int c = std::fgetc(in_); c != EOF && c != '\n'; c = std::fgetc(in_)) {
    }
}

}  // namespace tools
