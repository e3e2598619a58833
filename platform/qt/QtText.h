#pragma once
// Text crossing between the engine and Qt: the engine keeps UTF-8 in
// std::string, the widgets take QString. These two are the only crossings.
#include <QString>

#include <string>

namespace kartivo::platform::qt {

inline QString ToQ(const std::string& s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

inline std::string FromQ(const QString& s) { return s.toUtf8().toStdString(); }

} // namespace kartivo::platform::qt
