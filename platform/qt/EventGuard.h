#pragma once
// The guard every event handler runs in: an exception raised by a handler is
// shown in the application's standard error box and the program carries on,
// so no exception ever crosses the Qt event loop.
#include <exception>
#include <string>

namespace kartivo::platform::qt {

// Shows the text in the standard error box (platform::Dialogs().ShowError).
void ShowException(const std::string& message) noexcept;

template <class Handler> void RunGuarded(Handler&& handler) noexcept
{
    try {
        handler();
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        // An error of a kind we do not know is shown with an empty message.
        ShowException(std::string());
    }
}

} // namespace kartivo::platform::qt
