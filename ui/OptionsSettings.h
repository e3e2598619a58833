#pragma once
// What the options dialog edits in the settings file: the default save
// folder and the proxy. Loading fills the values with the file's contents or
// the defaults; saving writes the six keys in their fixed order, as typed.
#include <string>

namespace kartivo::ui {

struct OptionsValues {
    std::string DefaultPath;
    bool UseProxy = false;
    std::string ProxyServer;
    std::string ProxyPort;
    std::string ProxyUsername;
    std::string ProxyPassword;
};

// Reads the settings file; a missing file or key gives the defaults
// (DefaultPath: platform::DefaultSavePathDefault(); UseProxy: exactly 1 is on).
OptionsValues LoadOptions(const std::string& iniFileName);

// Writes "IniParas"/"DefaultPath", then "Proxy"/"UseProxy" ("1" or "0"),
// "ProxyServer", "ProxyPort", "ProxyUsername", "ProxyPassword", in one
// locked replacement of the file. Nothing is validated. A refused write
// raises platform::EIniFileException and leaves the file as it was.
void SaveOptions(const std::string& iniFileName, const OptionsValues& values);

} // namespace kartivo::ui
