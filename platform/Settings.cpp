#include "platform/Settings.h"

#include "platform/Files.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

std::string SettingsFileName()
{
    return ProgramFolder() + "ini" + PathDelim + "config.ini";
}

namespace {

// $HOME, or the password database's home folder when HOME is unset or empty.
std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

} // namespace

std::string DefaultSavePathDefault()
{
    std::string home = HomeFolder();
    // A home of "/" must not give "//orvanta".
    while (home.size() > 1 && home.back() == PathDelim)
        home.pop_back();
    if (home == std::string(1, PathDelim))
        home.clear();
    return home + PathDelim + "orvanta";
}

} // namespace platform
