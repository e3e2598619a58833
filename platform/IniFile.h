#pragma once
// INI files with the Windows private-profile rules: names compared without
// regard to case, blanks around names and values ignored, at most 2047
// characters of a value, absent key -> default, present empty -> "", integers
// decimal or hexadecimal (0x, 0X, $, x). Every write goes to the file at once
// and changes only that key's line; other bytes stay as they were. As on
// Windows, one pair of quotes enclosing a value is dropped when reading; the
// first of two sections or keys of the same name is the one used. A missing
// key is added after the last non-blank line of its section, a missing
// section at the end of the file, new lines ending in CR LF. The file is
// replaced through a temporary file in its folder (in place when the folder
// allows no new file), so that a crash never leaves half a project file; the
// replacement keeps the old file's permissions, owner and links, and a file
// without write permission is refused. The settings file is created
// readable by its owner only, and made so when a save puts a password in
// it. A UTF-8 byte-order mark at the start is skipped when reading and kept
// when writing.
#include <cstddef>
#include <string>
#include <vector>

namespace kartivo::platform {

// No real project or settings file comes near this size; a larger file (or
// anything that is not a regular file) reads as absent and is never written.
inline constexpr std::size_t kMaxIniFileBytes = 1 << 20;

// The text of an INI file, split into lines once: any number of reads and
// writes work on it in memory (a write changes the text by the same rules as
// a write to the file), and TIniFile::Store puts the result in the file in
// one replacement.
class IniText {
public:
    IniText() = default;
    explicit IniText(std::string text);

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);

    const std::string& Text() const { return text_; }

    // One line of the text: [begin, end) and where the next one starts
    // (after its CR LF, LF or CR; equal to end for a last line without one).
    struct Line {
        std::size_t begin, end, next;
    };

private:
    std::string text_;
    std::vector<Line> lines_;
};

// How reading the whole file went.
enum class IniLoad {
    Loaded,  // the text is the file's
    Missing, // no such file: the text is empty, every key reads as absent
    Refused  // not a regular file, larger than kMaxIniFileBytes, or unreadable
};

class TIniFile {
public:
    explicit TIniFile(std::string fileName);
    const std::string& FileName() const { return fileName_; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;

    // Throw EIniFileException ("Unable to write to <path>") when refused.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);

    // The file read once (bounded, regular files only); empty unless Loaded.
    IniLoad Load(IniText& text) const;
    // Replaces the file by the text in one replacement (as WriteString does).
    // Throws EIniFileException.
    void Store(const IniText& text);

private:
    std::string fileName_;
};

// Windows' reading of an integer value; false when it is not one.
bool ParseIniInteger(const std::string& text, int& value);

} // namespace kartivo::platform
