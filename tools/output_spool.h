// Output gathered while a report is made and written out once it is whole: so that a
// command that fails half-way prints nothing but its error line, a report of many
// parts (a JSON object's lists) can be made in one pass and written in its own order,
// and a report of a million lines never sits in memory. Up to a bound the text is
// kept in memory; beyond it, in an anonymous temporary file that disappears with the
// process, however it ends.
#pragma once

#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace tools {

class OutputSpool {
public:
    OutputSpool() = default;
    ~OutputSpool();
    OutputSpool(const OutputSpool&) = delete;
    OutputSpool& operator=(const OutputSpool&) = delete;

    void Append(std::string_view text);
    OutputSpool& operator<<(std::string_view text) {
        Append(text);
        return *this;
    }
    // Everything another spool holds, after what this one holds; `other` is then empty.
    void Take(OutputSpool& other);

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }

    // Writes everything, in the order it was appended. Throws ToolError when the
    // temporary file cannot be read back.
    void WriteTo(std::ostream& out) const;

private:
    void Spill();
    std::string memory_;
    int file_ = -1;          // the temporary file, once memory_ was too large
    size_t size_ = 0;        // all of it: the file and memory_
};

// A stream that appends to a spool: for what writes itself to a std::ostream.
class SpoolStream : public std::ostream {
public:
    explicit SpoolStream(OutputSpool& spool) : std::ostream(nullptr), buffer_(spool) { rdbuf(&buffer_); }

private:
    class Buffer final : public std::streambuf {
    public:
        explicit Buffer(OutputSpool& spool) : spool_(spool) {}

    private:
        int_type overflow(int_type c) override {
            if (c != traits_type::eof()) {
                const char one = traits_type::to_char_type(c);
                spool_.Append(std::string_view(&one, 1));
            }
            return traits_type::not_eof(c);
        }
        std::streamsize xsputn(const char* text, std::streamsize count) override {
            spool_.Append(std::string_view(text, static_cast<size_t>(count)));
            return count;
        }
        OutputSpool& spool_;
    };
    Buffer buffer_;
};

}  // namespace tools
