#include "ui/OptionsSettings.h"

#include "platform/SettingsFile.h"

namespace kartivo::ui {

namespace keys = platform::settings;

OptionsValues LoadOptions(const std::string& iniFileName)
{
    // Read once; a file that is refused (far too large) reads as absent.
    const platform::SettingsValues ini = platform::ReadSettings(iniFileName);
    OptionsValues v;
    v.DefaultPath = ini.Get(keys::DefaultPath);
    v.UseProxy = ini.Get(keys::UseProxy);
    v.ProxyServer = ini.Get(keys::ProxyServer);
    v.ProxyPort = ini.Get(keys::ProxyPort);
    v.ProxyUsername = ini.Get(keys::ProxyUsername);
    v.ProxyPassword = ini.Get(keys::ProxyPassword);
    return v;
}

void SaveOptions(const std::string& iniFileName, const OptionsValues& values)
{
    // All six keys in one replacement of the file: a crash leaves the old
    // set or the new one, never the new user name with the old server.
    platform::UpdateSettings(iniFileName, [&values](platform::SettingsValues& ini) {
        ini.Set(keys::DefaultPath, values.DefaultPath);
        ini.Set(keys::UseProxy, values.UseProxy);
        ini.Set(keys::ProxyServer, values.ProxyServer);
        ini.Set(keys::ProxyPort, values.ProxyPort);
        ini.Set(keys::ProxyUsername, values.ProxyUsername);
        ini.Set(keys::ProxyPassword, values.ProxyPassword);
    });
}

} // namespace kartivo::ui
