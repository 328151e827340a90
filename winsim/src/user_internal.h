// What the shell side of winsim needs from the windowing side.
#pragma once

#include "machine.h"

#include <winsim/desktop.h>

namespace winsim::detail {

// Delivers a message the way the system's broadcasts do: the owner thread's procedure is called
// at once when the caller owns the window, otherwise the message waits in the owner's queue for
// its next GetMessageW/PeekMessageW. `payload` (may be null), which `lparam` may point into, is
// kept alive until the procedure has returned.
void window_notify(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                   std::shared_ptr<std::vector<BYTE>> payload = nullptr);
// Posts like PostMessageW, without counting a call. False when the window is gone.
bool window_post(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
bool window_alive(HWND window);
std::vector<HWND> top_level_windows();
// Gets or makes the number of a registered window message.
UINT registered_message(const std::wstring& name);
// The resource name an icon was loaded from; empty (and counted as an invalid use) for a closed
// or unknown handle.
std::wstring icon_resource_name(HICON icon);

} // namespace winsim::detail
