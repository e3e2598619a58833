#include "platform/TextFile.h"

#include "platform/Errors.h"

namespace platform {

namespace {

// Bytes gathered before TextFileWriter hands them to the file in one write.
constexpr std::size_t kWriterChunk = 1 << 20;

constexpr std::string_view kLineEnd = "\r\n";

void WriteOrThrow(std::FILE* file, const std::string& data, const std::string& path) {
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file) != data.size())
        throw EFCreateError(path);
}

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
    buffer_.reserve(kWriterChunk + 4096);
}

TextFileWriter::~TextFileWriter() {
    if (file_) {
        // Errors cannot be reported from here; Close() is the checked path.
        std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
        std::fclose(file_);
    }
}

void TextFileWriter::WriteLine(std::string_view line) {
    if (!file_)
        throw EFCreateError(path_);
    buffer_.append(line);
    buffer_.append(kLineEnd);
    if (buffer_.size() >= kWriterChunk) {
        WriteOrThrow(file_, buffer_, path_);
        buffer_.clear();
    }
}

void TextFileWriter::Close() {
    if (!file_)
        return;
    std::FILE* file = file_;
    file_ = nullptr;
    bool ok = true;
    try {
        WriteOrThrow(file, buffer_, path_);
    } catch (const EFCreateError&) {
        ok = false;
    }
    buffer_.clear();
    buffer_.shrink_to_fit();
    ok = (std::fclose(file) == 0) && ok;
    if (!ok)
        throw EFCreateError(path_);
}

} // namespace platform
