#pragma once
// Text files as lists of lines: read whole, written whole with CR LF after
// every line (the last included), bytes kept as they are (UTF-8 stays UTF-8).
// TextFileWriter streams the same bytes for files too large to build in memory.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kartivo::platform {

// Splits at CR LF, LF or CR. Throws EFOpenError when the file cannot be read.
std::vector<std::string> ReadLines(const std::string& path);

// Replaces the file by the lines, each followed by CR LF. An entry holding a
// line feed is written as it stands. Throws EFCreateError.
void WriteLines(const std::string& path, const std::vector<std::string>& lines);

// Buffered writer producing exactly what WriteLines would for the same lines.
class TextFileWriter {
public:
    explicit TextFileWriter(const std::string& path);   // throws EFCreateError
    ~TextFileWriter();
    TextFileWriter(const TextFileWriter&) = delete;
    TextFileWriter& operator=(const TextFileWriter&) = delete;
    void WriteLine(std::string_view line) { WriteLine({line}); }   // throws EFCreateError
    // One line made of several pieces, without joining them first. Inline:
    // it runs for every line of a million-line tile list.
    void WriteLine(std::initializer_list<std::string_view> pieces) {
        std::size_t size = 2;
        for (std::string_view piece : pieces)
            size += piece.size();
        if (!file_ || size > buffer_.size() - used_)
            return WriteLineSlow(pieces);
        char* out = buffer_.data() + used_;
        for (std::string_view piece : pieces) {
            std::memcpy(out, piece.data(), piece.size());
            out += piece.size();
        }
        out[0] = '\r';
        out[1] = '\n';
        used_ += size;
    }
    void Close();                                          // throws EFCreateError
private:
    void WriteLineSlow(std::initializer_list<std::string_view> pieces);
    void Flush();
    void Append(std::string_view piece);
    std::string path_;
    std::FILE* file_ = nullptr;
    std::string buffer_;      // fixed size; the first used_ bytes are pending
    std::size_t used_ = 0;
};

} // namespace kartivo::platform
