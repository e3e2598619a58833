#pragma once
// The viewer's list of recently opened projects, newest first, at most
// kMaxRecent, kept in Kartivo's settings file under [plateview].
#include <functional>
#include <string>
#include <vector>

#include "platform/SettingsFile.h"

namespace kartivo::view {

class RecentList {
public:
    static constexpr int kMaxRecent = platform::settings::kRecentProjects;

    explicit RecentList(std::string settingsFile) : file_(std::move(settingsFile)) {}
    // Reads the list; an absent or unreadable file gives an empty one.
    std::vector<std::string> Load() const;
    // Puts `path` first (once) and writes the list back; throws when the
    // settings file cannot be written.
    std::vector<std::string> Add(const std::string& path) const;
    std::vector<std::string> Remove(const std::string& path) const;
    void Clear() const;

private:
    // Reads the list, lets `edit` change it and writes it back, under the
    // settings lock; returns the list as written.
    std::vector<std::string> Change(const std::function<void(std::vector<std::string>&)>& edit) const;
    std::string file_;
};

// The folder the open dialog starts in: Kartivo's save folder from the
// settings file ("IniParas"/"DefaultPath"), by default ~/orvanta.
std::string SaveFolder(const std::string& settingsFile);

} // namespace kartivo::view
