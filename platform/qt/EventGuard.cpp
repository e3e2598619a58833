#include "platform/qt/EventGuard.h"

#include <cstdio>

#include "platform/Dialogs.h"

namespace kartivo::platform::qt {

void ShowException(const std::string& message) noexcept
{
    try {
        platform::Dialogs().ShowError(message);
    } catch (...) {
        // The error box itself failed (out of memory, say): there is no one
        // left to tell but the terminal.
        std::fprintf(stderr, "Kartivo: %s\n", message.c_str());
    }
}

} // namespace kartivo::platform::qt
