// The status window and the completion message on the terminal.
//
// On a terminal, the status window is a framed box drawn as soon as it is painted,
// and the message is a box with its caption in the top border and an "[ OK ]" line;
// it waits for Enter unless it is to be dismissed at once. Without a terminal on
// stdout both come out as plain text. Text is UTF-8; CR LF ends a line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/host.h"

namespace tools {

class TerminalScreen : public host::Screen {
public:
    // `dismissAtOnce`: the message does not wait for Enter (--yes, or no terminal on
    // stdin). `framed`: draw boxes (stdout is a terminal).
    TerminalScreen(std::FILE* out, std::FILE* in, bool framed, bool dismissAtOnce);

    void ShowWindow(const std::u16string& text, uint32_t style) override;
    void ShowMessage(const std::u16string& text, const std::u16string& caption,
                     uint32_t style) override;

private:
    std::FILE* out_;
    std::FILE* in_;
    bool framed_;
    bool dismissAtOnce_;
};

// The lines of a text: CR LF, LF or CR end a line; UTF-8.
std::vector<std::string> TextLines(const std::u16string& text);

// The widest text line a framed box holds so that it fits an 80-column terminal.
inline constexpr size_t kBoxTextWidth = 74;

// The lines broken at spaces so that none is wider than `width` columns where it can be
// (a word wider than that stays whole on a line of its own).
std::vector<std::string> FitLines(const std::vector<std::string>& lines, size_t width);

// A framed box around lines, centred or left-aligned, with an optional title in the
// top border; each line of the result ends with '\n'.
std::string DrawBox(const std::vector<std::string>& lines, const std::string& title, bool centred);

}  // namespace tools
