#include "platform/IniFile.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/SafeRead.h"
#include "platform/Settings.h"
#include "platform/SettingsFile.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace kartivo::platform {

namespace {

// A value is read into a buffer of 2048 bytes, terminator included.
constexpr std::size_t kMaxValueLength = 2047;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

using Line = IniText::Line;

std::vector<Line> SplitLines(const std::string& text)
{
    std::vector<Line> lines;
    // A UTF-8 byte-order mark (as some Windows editors save) is not part of
    // the first line's text; it stays in the file on every write.
    std::size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back({pos, text.size(), text.size()});
            break;
        }
        std::size_t next = end + 1;
        if (text[end] == '\r' && next < text.size() && text[next] == '\n')
            ++next;
        lines.push_back({pos, end, next});
        pos = next;
    }
    return lines;
}

// The name of a section header line ("[name]", blanks allowed around), or
// nothing when the line is not a header.
std::optional<std::string_view> SectionName(std::string_view line)
{
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    std::size_t close = line.find(']');
    if (close != std::string_view::npos)
        line = line.substr(0, close);
    return Trim(line);
}

// Where the first section of that name starts and ends (line indexes: the
// header, and one past the section's last line).
struct SectionSpan {
    std::size_t header, end;
};

std::optional<SectionSpan> FindSection(const std::string& text, const std::vector<Line>& lines,
                                       std::string_view section)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line(text.data() + lines[i].begin, lines[i].end - lines[i].begin);
        auto name = SectionName(line);
        if (!name || !SameName(*name, section))
            continue;
        std::size_t j = i + 1;
        while (j < lines.size() &&
               !SectionName(std::string_view(text.data() + lines[j].begin, lines[j].end - lines[j].begin)))
            ++j;
        return SectionSpan{i, j};
    }
    return std::nullopt;
}

// Index of the first line of the section that holds the key, and the
// position of its '='.
struct KeyHit {
    std::size_t line, equals;
};

std::optional<KeyHit> FindKey(const std::string& text, const std::vector<Line>& lines,
                              const SectionSpan& span, std::string_view key)
{
    for (std::size_t i = span.header + 1; i < span.end; ++i) {
        std::string_view line(text.data() + lines[i].begin, lines[i].end - lines[i].begin);
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        if (SameName(Trim(line.substr(0, eq)), key))
            return KeyHit{i, lines[i].begin + eq};
    }
    return std::nullopt;
}

bool WriteInPlace(const std::string& path, const std::string& text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return (std::fclose(file) == 0) && ok;
}

void StoreFile(const std::string& path, const std::string& text, NewFileAccess access)
{
    // Replace through a temporary file so that a crash never leaves half a
    // project file; a folder that allows no new files but holds a writable
    // file still gets the write, in place. Any other failure (a full disk)
    // leaves the file alone: writing it in place would truncate it.
    try {
        if (TryWriteFileAtomic(path, text.data(), text.size(), access))
            return;
    } catch (const EFCreateError&) {
        throw EIniFileException(path);
    }
    if (!FileExists(path) || !WriteInPlace(path, text))
        throw EIniFileException(path);
}

} // namespace

IniText::IniText(std::string text) : text_(std::move(text)), lines_(SplitLines(text_)) {}

std::string IniText::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const
{
    auto span = FindSection(text_, lines_, Trim(section));
    if (!span)
        return def;
    auto hit = FindKey(text_, lines_, *span, Trim(key));
    if (!hit)
        return def;
    std::string_view value(text_.data() + hit->equals + 1, lines_[hit->line].end - hit->equals - 1);
    value = Trim(value);
    // One pair of enclosing quotes is not part of the value.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    if (value.size() > kMaxValueLength)
        value = value.substr(0, kMaxValueLength);
    return std::string(value);
}

int IniText::ReadInteger(const std::string& section, const std::string& key, int def) const
{
    int value;
    return ParseIniInteger(ReadString(section, key, ""), value) ? value : def;
}

void IniText::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    std::string& text = text_;
    const std::vector<Line>& lines = lines_;
    std::string_view sectionName = Trim(section);
    std::string_view keyName = Trim(key);
    std::string entry = std::string(keyName) + "=" + value;

    auto span = FindSection(text, lines, sectionName);
    if (!span) {
        if (!text.empty() && text.back() != '\n' && text.back() != '\r')
            text += "\r\n";
        text += "[" + std::string(sectionName) + "]\r\n" + entry + "\r\n";
    } else if (auto hit = FindKey(text, lines, *span, keyName)) {
        // Keep the key as it is spelled in the file; replace what follows '='.
        const Line& line = lines[hit->line];
        text.replace(hit->equals + 1, line.end - hit->equals - 1, value);
    } else {
        // After the section's last non-blank line, before the blank lines
        // that separate it from the next section.
        std::size_t last = span->header;
        for (std::size_t i = span->header + 1; i < span->end; ++i) {
            std::string_view line(text.data() + lines[i].begin, lines[i].end - lines[i].begin);
            if (!Trim(line).empty())
                last = i;
        }
        const Line& line = lines[last];
        if (line.next == line.end) // the last line of the file has no line end
            text.insert(line.end, "\r\n" + entry);
        else
            text.insert(line.next, entry + "\r\n");
    }
    lines_ = SplitLines(text_);
}

void IniText::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

IniLoad TIniFile::Load(IniText& text) const
{
    // Only a regular file of at most kMaxIniFileBytes is read: a named pipe
    // or a giant file under an INI name is refused at once, never blocks.
    std::string bytes;
    switch (ReadRegularFile(fileName_, kMaxIniFileBytes, bytes)) {
    case ReadStatus::Ok: text = IniText(std::move(bytes)); return IniLoad::Loaded;
    case ReadStatus::Missing: text = IniText(); return IniLoad::Missing;
    default: text = IniText(); return IniLoad::Refused;
    }
}

void TIniFile::Store(const IniText& text)
{
    // The settings file holds the proxy password: a file this write creates
    // is its owner's only, and one that holds a password now becomes so.
    NewFileAccess access = NewFileAccess::Default;
    if (fileName_ == SettingsFileName())
        access = text.ReadString(std::string(settings::ProxyPassword.Section),
                                 std::string(settings::ProxyPassword.Name), "")
                         .empty()
                     ? NewFileAccess::OwnerOnly
                     : NewFileAccess::Secret;
    StoreFile(fileName_, text.Text(), access);
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const
{
    IniText text;
    if (Load(text) != IniLoad::Loaded)
        return def;
    return text.ReadString(section, key, def);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const
{
    int value;
    return ParseIniInteger(ReadString(section, key, ""), value) ? value : def;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    IniText text;
    if (Load(text) == IniLoad::Refused)
        throw EIniFileException(fileName_);
    text.WriteString(section, key, value);
    Store(text);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

bool ParseIniInteger(const std::string& text, int& value)
{
    std::string_view s = text;
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    } else if (!s.empty() && (s[0] == '$' || s[0] == 'x' || s[0] == 'X')) {
        base = 16;
        s.remove_prefix(1);
    }
    if (s.empty())
        return false;
    // Accumulate in 64 bits and stop as soon as the value leaves the 32-bit
    // range, so that long digit strings cannot overflow the accumulator.
    const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT_MIN) : INT_MAX;
    std::int64_t magnitude = 0;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return false;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

} // namespace kartivo::platform
