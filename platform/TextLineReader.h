#pragma once
// Reads a text file line by line without holding more than one line and a
// fixed buffer, so a list of any length costs the same memory. Only regular
// files are opened (a named pipe or a device is refused before it can block),
// and a line longer than the bound is cut there, the rest of it skipped.
// Line ends as everywhere in Kartivo: CR LF, a lone LF and a lone CR each end
// a line; a final line end does not start another (empty) line.
#include <cstddef>
#include <string>

namespace kartivo::platform {

class TextLineReader {
public:
    static constexpr std::size_t kDefaultMaxLineBytes = 64 * 1024;

    // Throws EFOpenError when `path` is missing, unreadable or not a
    // regular file.
    explicit TextLineReader(const std::string& path, std::size_t maxLineBytes = kDefaultMaxLineBytes);
    ~TextLineReader();
    TextLineReader(const TextLineReader&) = delete;
    TextLineReader& operator=(const TextLineReader&) = delete;

    // The next line into `line`; false at the end of the file. Throws
    // EFOpenError when the file cannot be read any further.
    bool Next(std::string& line);
    // The line Next gave last was longer than the bound and has been cut.
    bool LastLineCut() const { return cut_; }
    // Back to the first line.
    void Rewind();
    // Counts the lines from the current position to the end; Rewind() first
    // to count them all.
    std::size_t CountRemaining();

private:
    bool Fill();

    std::string path_;
    std::size_t maxLineBytes_;
    int fd_ = -1;
    std::string buffer_;
    std::size_t pos_ = 0; // next unread byte of buffer_
    bool eof_ = false;
    bool skipLf_ = false; // the last line ended in CR: a following LF belongs to it
    bool cut_ = false;
};

} // namespace kartivo::platform
