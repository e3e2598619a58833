#include "ui/OptionsSettings.h"

#include "platform/Errors.h"
#include "platform/IniFile.h"
#include "platform/Settings.h"

namespace kartivo::ui {

OptionsValues LoadOptions(const std::string& iniFileName)
{
    // Read once; a file that is refused (far too large) reads as absent.
    platform::IniText ini;
    platform::TIniFile(iniFileName).Load(ini);
    OptionsValues v;
    v.DefaultPath = ini.ReadString("IniParas", "DefaultPath", platform::DefaultSavePathDefault());
    v.UseProxy = ini.ReadInteger("Proxy", "UseProxy", 0) == 1;
    v.ProxyServer = ini.ReadString("Proxy", "ProxyServer", "");
    v.ProxyPort = ini.ReadString("Proxy", "ProxyPort", "");
    v.ProxyUsername = ini.ReadString("Proxy", "ProxyUsername", "");
    v.ProxyPassword = ini.ReadString("Proxy", "ProxyPassword", "");
    return v;
}

void SaveOptions(const std::string& iniFileName, const OptionsValues& values)
{
    // All six keys in one replacement of the file: a crash leaves the old
    // set or the new one, never the new user name with the old server.
    platform::TIniFile ini(iniFileName);
    platform::IniText text;
    if (ini.Load(text) == platform::IniLoad::Refused)
        throw platform::EIniFileException(iniFileName);
    text.WriteString("IniParas", "DefaultPath", values.DefaultPath);
    text.WriteInteger("Proxy", "UseProxy", values.UseProxy ? 1 : 0);
    text.WriteString("Proxy", "ProxyServer", values.ProxyServer);
    text.WriteString("Proxy", "ProxyPort", values.ProxyPort);
    text.WriteString("Proxy", "ProxyUsername", values.ProxyUsername);
    text.WriteString("Proxy", "ProxyPassword", values.ProxyPassword);
    ini.Store(text);
}

} // namespace kartivo::ui
