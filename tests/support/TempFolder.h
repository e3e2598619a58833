#pragma once
// A fresh folder under /tmp for one test (mkdtemp), removed with everything
// in it when the object goes out of scope. Path() ends in '/'.
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kartivo::testing {

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = "/tmp/kartivo_test_XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern + "/";
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

} // namespace kartivo::testing
