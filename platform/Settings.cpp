#include "platform/Settings.h"

#include "platform/Files.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kartivo::platform {

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
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

// The home folder without trailing separators; "/" gives the empty text, so
// that appending "/name" never doubles the separator.
std::string HomeFolderBase()
{
    std::string home = HomeFolder();
    while (!home.empty() && home.back() == PathDelim)
        home.pop_back();
    return home;
}

bool InGroup(gid_t gid)
{
    if (gid == getegid())
        return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = getgroups(count, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid)
            return true;
    return false;
}

// The user's settings folder, with a trailing separator.
std::string UserSettingsFolder()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == PathDelim)
        base = xdg; // a relative value is invalid and ignored, as the XDG rules say
    else
        base = HomeFolderBase() + PathDelim + ".config";
    return IncludeTrailingPathDelimiter(base) + "kartivo" + PathDelim;
}

std::string OwnIniFolder() { return ProgramFolder() + "ini"; }

} // namespace

bool MayCreateFilesIn(const std::string& folder)
{
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return false;
    if (::geteuid() != 0)
        return true;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if (st.st_uid == 0)
        return (st.st_mode & S_IWUSR) != 0;
    if (InGroup(st.st_gid))
        return (st.st_mode & S_IWGRP) != 0;
    return (st.st_mode & S_IWOTH) != 0;
}

std::string SettingsFileName()
{
    const std::string ini = OwnIniFolder();
    const bool ownCopy = DirectoryExists(ini) ? MayCreateFilesIn(ini) : MayCreateFilesIn(ProgramFolder());
    if (ownCopy)
        return ini + PathDelim + "config.ini";
    return UserSettingsFolder() + "config.ini";
}

std::string SettingsFileForWriting()
{
    const std::string file = SettingsFileName();
    const std::string folder = UserSettingsFolder();
    if (file.compare(0, folder.size(), folder) != 0)
        return file;
    // Each missing level is made private: the file holds the proxy password.
    for (std::size_t at = folder.find(PathDelim, 1); at != std::string::npos;
         at = folder.find(PathDelim, at + 1)) {
        const std::string level = folder.substr(0, at);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST)
            break;
    }
    return file;
}

std::string DefaultSavePathDefault() { return HomeFolderBase() + PathDelim + "orvanta"; }

} // namespace kartivo::platform
