#include "download/ProxySetting.h"

#include <charconv>

#include "download/IdHTTP.h"

namespace kartivo::download {

std::string ApplyProxy(TIdHTTP& http, const std::string& server, const std::string& portText,
                       const std::string& username, const std::string& password)
{
    int port = 0;
    const char* end = portText.data() + portText.size();
    auto [ptr, ec] = std::from_chars(portText.data(), end, port);
    if (portText.empty() || ec != std::errc() || ptr != end || port < 1 || port > 65535)
        return "Error: the proxy port \"" + portText + "\" is not a port number.";
    http.Request.ProxyServer = server;
    http.Request.ProxyPort = port;
    http.Request.ProxyUsername = username;
    http.Request.ProxyPassword = password;
    return {};
}

} // namespace kartivo::download
