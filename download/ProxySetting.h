#pragma once
// The proxy a client sends its requests through, from the texts of the
// settings: the one place that checks a proxy port, for the download's
// workers and the re-download window alike.
#include <string>

namespace kartivo::download {

class TIdHTTP;

// Sets the client's proxy server, port and credentials. Returns "" or, when
// the port text is no decimal number from 1 to 65535, the sentence that says
// so ("Error: the proxy port "<text>" is not a port number."); the client is
// then left as it was.
std::string ApplyProxy(TIdHTTP& http, const std::string& server, const std::string& portText,
                       const std::string& username, const std::string& password);

} // namespace kartivo::download
