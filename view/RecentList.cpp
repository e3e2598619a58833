#include "view/RecentList.h"

#include <algorithm>

#include "platform/IniFile.h"
#include "platform/Settings.h"

namespace kartivo::view {

namespace {
constexpr const char* kSection = "plateview";
std::string KeyOf(int i) { return "Recent" + std::to_string(i + 1); }
} // namespace

std::vector<std::string> RecentList::Load() const {
    std::vector<std::string> paths;
    platform::TIniFile ini(file_);
    for (int i = 0; i < kMaxRecent; ++i) {
        std::string p = ini.ReadString(kSection, KeyOf(i), "");
        if (!p.empty() && std::find(paths.begin(), paths.end(), p) == paths.end())
            paths.push_back(std::move(p));
    }
    return paths;
}

void RecentList::Save(const std::vector<std::string>& paths) const {
    platform::TIniFile ini(file_);
    for (int i = 0; i < kMaxRecent; ++i)
        ini.WriteString(kSection, KeyOf(i), i < int(paths.size()) ? paths[i] : "");
}

std::vector<std::string> RecentList::Add(const std::string& path) const {
    std::vector<std::string> paths = Load();
    paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
    paths.insert(paths.begin(), path);
    if (paths.size() > std::size_t(kMaxRecent))
        paths.resize(kMaxRecent);
    Save(paths);
    return paths;
}

std::vector<std::string> RecentList::Remove(const std::string& path) const {
    std::vector<std::string> paths = Load();
    paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
    Save(paths);
    return paths;
}

void RecentList::Clear() const { Save({}); }

std::string SaveFolder(const std::string& settingsFile) {
    return platform::TIniFile(settingsFile).ReadString("IniParas", "DefaultPath",
                                                       platform::DefaultSavePathDefault());
}

} // namespace kartivo::view
