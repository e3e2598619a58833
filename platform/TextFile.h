#pragma once
// Text files as lists of lines: read whole, written whole with CR LF after
// every line (the last included), bytes kept as they are (UTF-8 stays UTF-8).
// TextFileWriter streams the same bytes for files too large to build in memory.
// Both replace the file whole: the bytes go to a temporary file beside it,
// which takes the file's place once complete and on disk.
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

// Appends the lines (each followed by CR LF) at the end of the file, creating
// it when missing, and flushes them to disk; a file whose last line was cut
// short (no line end) gets its line ended first, so the new lines never run
// into it. The file is never rewritten: on failure it is cut back to its
// old length, so it holds no part of the new lines. Throws EFCreateError.
void AppendLines(const std::string& path, const std::vector<std::string>& lines);

// Whether the file is empty or its last byte ends a line (CR or LF); false
// also when it cannot be read.
bool EndsWithLineEnd(const std::string& path);

// The last lines of a text file, read from its end: at most `maxLines`
// lines and `maxBytes` bytes, never more, whatever the file's length.
// Lines split as ReadLines splits them; a line cut by the byte bound is
// left out. Throws EFOpenError when the file cannot be read.
std::vector<std::string> ReadLastLines(const std::string& path, std::size_t maxLines, std::size_t maxBytes);

// Buffered writer producing exactly what WriteLines would for the same lines.
// The file appears (replacing an earlier one) at Close only; a writer
// destroyed before, or one whose write failed, leaves no trace.
class TextFileWriter {
public:
    explicit TextFileWriter(const std::string& path); // throws EFCreateError
    ~TextFileWriter();
    TextFileWriter(const TextFileWriter&) = delete;
    TextFileWriter& operator=(const TextFileWriter&) = delete;
    void WriteLine(std::string_view line) { WriteLine({line}); } // throws EFCreateError
    // One line made of several pieces, without joining them first. Inline:
    // it runs for every line of a million-line tile list.
    void WriteLine(std::initializer_list<std::string_view> pieces)
    {
        std::size_t size = 2;
        for (std::string_view piece : pieces)
            size += piece.size();
        if (fd_ < 0 || size > buffer_.size() - used_)
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
    void Close(); // throws EFCreateError
private:
    void WriteLineSlow(std::initializer_list<std::string_view> pieces);
    void Flush();
    void Append(std::string_view piece);
    [[noreturn]] void Fail(int error);
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    std::string buffer_; // fixed size; the first used_ bytes are pending
    std::size_t used_ = 0;
};

} // namespace kartivo::platform
