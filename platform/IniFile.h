#pragma once
// INI files with the Windows private-profile rules: names compared without
// regard to case, blanks around names and values ignored, at most 2047
// characters of a value, absent key -> default, present empty -> "", integers
// decimal or hexadecimal (0x, 0X, $, x). Every write goes to the file at once
// and changes only that key's line; other bytes stay as they were.
#include <string>

namespace platform {

class TIniFile {
public:
    explicit TIniFile(std::string fileName);
    const std::string& FileName() const { return fileName_; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    int ReadInteger(const std::string& section, const std::string& key, int def) const;

    // Throw EIniFileException ("Unable to write to <path>") when refused.
    void WriteString(const std::string& section, const std::string& key,
                     const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);

private:
    std::string fileName_;
};

// Windows' reading of an integer value; false when it is not one.
bool ParseIniInteger(const std::string& text, int& value);

} // namespace platform
