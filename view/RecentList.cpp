#include "view/RecentList.h"

#include <algorithm>

namespace kartivo::view {

namespace {

namespace keys = platform::settings;

std::vector<std::string> ListOf(const platform::SettingsValues& ini)
{
    std::vector<std::string> paths;
    for (int i = 0; i < RecentList::kMaxRecent; ++i) {
        std::string p = ini.Get(keys::RecentProject(i));
        if (!p.empty() && std::find(paths.begin(), paths.end(), p) == paths.end())
            paths.push_back(std::move(p));
    }
    return paths;
}

} // namespace

std::vector<std::string> RecentList::Load() const { return ListOf(platform::ReadSettings(file_)); }

std::vector<std::string> RecentList::Change(const std::function<void(std::vector<std::string>&)>& edit) const
{
    // The list is read, changed and written back in one locked replacement:
    // two viewers adding projects at once keep both, and an options save of
    // the main program at the same moment keeps its keys.
    std::vector<std::string> paths;
    platform::UpdateSettings(file_, [&](platform::SettingsValues& ini) {
        paths = ListOf(ini);
        edit(paths);
        if (paths.size() > std::size_t(kMaxRecent))
            paths.resize(kMaxRecent);
        for (int i = 0; i < kMaxRecent; ++i)
            ini.Set(keys::RecentProject(i), i < int(paths.size()) ? paths[i] : "");
    });
    return paths;
}

std::vector<std::string> RecentList::Add(const std::string& path) const
{
    return Change([&path](std::vector<std::string>& paths) {
        paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
        paths.insert(paths.begin(), path);
    });
}

std::vector<std::string> RecentList::Remove(const std::string& path) const
{
    return Change([&path](std::vector<std::string>& paths) {
        paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
    });
}

void RecentList::Clear() const
{
    Change([](std::vector<std::string>& paths) { paths.clear(); });
}

std::string SaveFolder(const std::string& settingsFile)
{
    return platform::ReadSettings(settingsFile).Get(keys::DefaultPath);
}

} // namespace kartivo::view
