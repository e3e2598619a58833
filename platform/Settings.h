#pragma once
// Where Kartivo's settings file lives and the default save folder used when
// that file names none. The main window and the options dialog both ask here,
// so the two never disagree about either.
//
// The settings file is ProgramFolder() + "ini/config.ini" when this copy of
// the program keeps its own settings (a copy the user built or unpacked), and
// otherwise the user's own file $XDG_CONFIG_HOME/kartivo/config.ini, or
// ~/.config/kartivo/config.ini when XDG_CONFIG_HOME is unset, empty or not an
// absolute path (an installed copy, whose folder belongs to root).
//
// A copy keeps its own settings when the process may create files in its
// ini/ folder, or, when that folder is missing, in the program folder itself
// (so a copy without ini/ still reports the refused write on its own file).
// access(W_OK) decides for ordinary users. Root passes access() on every
// writable file system, so for root the mode bits decide as well: a folder
// whose bits give root's class (owner, group or others) no write permission
// is not root's to write. The package ships /opt/kartivo/ini as root:root
// 0555, so every user of an installed copy, root included, gets a file of
// their own; a copy whose ini/ is writable by its bits still uses it.
#include <string>

namespace kartivo::platform {

// The settings file in use, worked out afresh on every call so that a test's
// program folder and environment are honoured. Never creates anything.
std::string SettingsFileName();

// SettingsFileName(), after creating the user's settings folder (and any
// missing parent, each with mode 0700) when the file lives there. The ini/
// folder under the program folder is never created. A folder that cannot be
// made is left for the write itself to report.
std::string SettingsFileForWriting();

// Whether the process may create files in `folder` by the rule above.
bool MayCreateFilesIn(const std::string& folder);

// The save folder used when "IniParas"/"DefaultPath" is absent: the user's
// home folder followed by "/orvanta".
std::string DefaultSavePathDefault();

} // namespace kartivo::platform
