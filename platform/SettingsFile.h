#pragma once
// Every key of Kartivo's settings file in one table (its section, name, type
// and default), typed reads from one reading of the file, and changes made as
// one read-modify-replace under a lock: the main program, the viewer and the
// combiner share the file, and two of them saving at once must not lose keys.
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/IniFile.h"
#include "platform/Settings.h"

namespace kartivo::platform {

// A text value. Default null: the empty text.
struct TextSetting {
    std::string_view Section;
    std::string_view Name;
    std::string (*Default)() = nullptr;
};

// An on/off value stored as an integer: on exactly when it reads as 1,
// written as "1" or "0".
struct FlagSetting {
    std::string_view Section;
    std::string_view Name;
    bool Default = false;
};

namespace settings {

inline std::string DefaultVersion() { return "7.21"; }

// [IniParas]: the save folder the main window starts with and the options
// dialog edits, and the version shown in the main window's caption.
inline constexpr TextSetting DefaultPath{"IniParas", "DefaultPath", &DefaultSavePathDefault};
inline constexpr TextSetting Version{"IniParas", "Version", &DefaultVersion};

// [Proxy]: read afresh at every download, written by the options dialog.
inline constexpr FlagSetting UseProxy{"Proxy", "UseProxy", false};
inline constexpr TextSetting ProxyServer{"Proxy", "ProxyServer"};
inline constexpr TextSetting ProxyPort{"Proxy", "ProxyPort"};
inline constexpr TextSetting ProxyUsername{"Proxy", "ProxyUsername"};
inline constexpr TextSetting ProxyPassword{"Proxy", "ProxyPassword"};

// [plateview]: the viewer's recently opened projects, "Recent1" (newest) to
// "Recent8"; an empty value is an unused place.
inline constexpr int kRecentProjects = 8;
TextSetting RecentProject(int index); // index 0 to kRecentProjects - 1

} // namespace settings

// The settings as one reading of the file found them, changed in memory by
// Set (by the rules of IniText: only that key's line changes).
class SettingsValues {
public:
    SettingsValues() = default;
    explicit SettingsValues(IniText text) : text_(std::move(text)) {}

    std::string Get(const TextSetting& key) const;
    bool Get(const FlagSetting& key) const;
    void Set(const TextSetting& key, const std::string& value);
    void Set(const FlagSetting& key, bool value);

    const IniText& Text() const { return text_; }

private:
    IniText text_;
};

// The file read once; a missing or refused file (not a regular file, far
// too large) gives every key its default. `load`, when given, says which.
SettingsValues ReadSettings(const std::string& file, IniLoad* load = nullptr);

// Reads the file afresh, lets `change` set keys, and replaces the file,
// all while holding the settings lock, so that a save by another program
// (or thread) comes wholly before or wholly after this one and neither loses
// the other's keys. Throws EIniFileException when the file is refused or
// cannot be written; the file is then as it was.
void UpdateSettings(const std::string& file, const std::function<void(SettingsValues&)>& change);

} // namespace kartivo::platform
