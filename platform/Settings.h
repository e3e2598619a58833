#pragma once
// Where Kartivo's settings file lives and the default save folder used when
// that file names none. The main window and the options dialog both ask here,
// so the two never disagree about either.
#include <string>

namespace platform {

// ProgramFolder() + "ini/config.ini", worked out afresh on every call so that
// a test's program folder is honoured.
std::string SettingsFileName();

// The save folder used when "IniParas"/"DefaultPath" is absent: the user's
// home folder followed by "/orvanta".
std::string DefaultSavePathDefault();

} // namespace platform
