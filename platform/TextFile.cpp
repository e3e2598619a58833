#include "platform/TextFile.h"

#include "platform/Errors.h"

#include <cstring>

namespace kartivo::platform {

namespace {

// Bytes gathered before TextFileWriter hands them to the file in one write.
constexpr std::size_t kWriterChunk = 1 << 20;

constexpr std::string_view kLineEnd = "\r\n";

} // namespace

std::vector<std::string> ReadLines(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw EFOpenError(path);
    std::string text;
    char buffer[64 * 1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    bool failed = std::ferror(file) != 0;   // e.g. the path names a folder
    std::fclose(file);
    if (failed)
        throw EFOpenError(path);

    // CR LF, a lone LF and a lone CR each end a line; a final line end does
    // not start another (empty) line.
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.emplace_back(text, pos);
            break;
        }
        lines.emplace_back(text, pos, end - pos);
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n')
            ++pos;
    }
    return lines;
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    std::size_t total = 0;
    for (const std::string& line : lines)
        total += line.size() + kLineEnd.size();
    std::string text;
    text.reserve(total);
    for (const std::string& line : lines) {
        text += line;
        text += kLineEnd;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        throw EFCreateError(path);
    bool ok = text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = (std::fclose(file) == 0) && ok;
    if (!ok)
        throw EFCreateError(path);
}

TextFileWriter::TextFileWriter(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_)
        throw EFCreateError(path);
    // Our own buffer gathers large chunks; stdio need not copy them again.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    buffer_.resize(kWriterChunk);
}

TextFileWriter::~TextFileWriter() {
    if (file_) {
        // Errors cannot be reported from here; Close() is the checked path.
        std::fwrite(buffer_.data(), 1, used_, file_);
        std::fclose(file_);
    }
}

void TextFileWriter::Flush() {
    // The chunk counts as handed over even when the write fails: what part of
    // it reached the file is unknown, and writing it again (from Close or the
    // destructor) would put the same bytes into the file twice.
    const std::size_t pending = used_;
    used_ = 0;
    if (pending > 0 && std::fwrite(buffer_.data(), 1, pending, file_) != pending)
        throw EFCreateError(path_);
}

// Plain copies into the pending chunk: this runs once per piece of every
// line of a million-line file.
void TextFileWriter::Append(std::string_view piece) {
    if (piece.size() > buffer_.size() - used_) {
        Flush();
        if (piece.size() > buffer_.size()) {
            if (std::fwrite(piece.data(), 1, piece.size(), file_) != piece.size())
                throw EFCreateError(path_);
            return;
        }
    }
    std::memcpy(buffer_.data() + used_, piece.data(), piece.size());
    used_ += piece.size();
}

void TextFileWriter::WriteLineSlow(std::initializer_list<std::string_view> pieces) {
    if (!file_)
        throw EFCreateError(path_);
    for (std::string_view piece : pieces)
        Append(piece);
    Append(kLineEnd);
}

void TextFileWriter::Close() {
    if (!file_)
        return;
    bool ok = true;
    try {
        Flush();
    } catch (const EFCreateError&) {
        ok = false;
    }
    std::FILE* file = file_;
    file_ = nullptr;
    used_ = 0;
    buffer_.clear();
    buffer_.shrink_to_fit();
    ok = (std::fclose(file) == 0) && ok;
    if (!ok)
        throw EFCreateError(path_);
}

} // namespace kartivo::platform
