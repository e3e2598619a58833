#pragma once
// The standard error box for the utility windows' event handlers: an
// exception raised inside a handler is shown with its message and never
// crosses the Qt event loop.
#include "platform/Dialogs.h"

#include <exception>
#include <utility>

template <class Handler>
void RunHandlerGuarded(Handler&& handler)
{
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& e) {
        platform::Dialogs().ShowError(e.what());
    } catch (...) {
        platform::Dialogs().ShowError("");
    }
}
