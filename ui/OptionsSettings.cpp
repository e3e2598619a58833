#include "ui/OptionsSettings.h"

#include "platform/IniFile.h"
#include "platform/Settings.h"

namespace kartivo::ui {

OptionsValues LoadOptions(const std::string& iniFileName)
{
    const platform::TIniFile ini(iniFileName);
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
    platform::TIniFile ini(iniFileName);
    ini.WriteString("IniParas", "DefaultPath", values.DefaultPath);
    ini.WriteInteger("Proxy", "UseProxy", values.UseProxy ? 1 : 0);
    ini.WriteString("Proxy", "ProxyServer", values.ProxyServer);
    ini.WriteString("Proxy", "ProxyPort", values.ProxyPort);
    ini.WriteString("Proxy", "ProxyUsername", values.ProxyUsername);
    ini.WriteString("Proxy", "ProxyPassword", values.ProxyPassword);
}

} // namespace kartivo::ui
