#pragma once
// Text files as lists of lines: read whole, written whole with CR LF after
// every line (the last included), bytes kept as they are (UTF-8 stays UTF-8).
// TextFileWriter streams the same bytes for files too large to build in memory.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

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
    void WriteLine(std::string_view line);                // throws EFCreateError
    void Close();                                          // throws EFCreateError
private:
    std::string path_;
    std::FILE* file_ = nullptr;
    std::string buffer_;
};

} // namespace platform
