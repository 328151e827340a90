// What the shell side of winsim needs from the windowing side, and the other way round.
#pragma once

#include "machine.h"

#include <winsim/desktop.h>

namespace winsim::detail {

// Who sends a system message. The shell runs unelevated: what it sends to an elevated process
// passes only where that process let the message through with ChangeWindowMessageFilterEx.
// Device-change broadcasts come from the system itself and always pass.
enum class Sender { system, shell };

// Delivers a message the way the system's broadcasts do, as sent from another process: it
// waits in the window thread's queue and its procedure runs when that thread next retrieves
// messages (GetMessageW, PeekMessageW, SendMessageW waiting for its answer, a menu's modal
// loop), never inside this call, whichever thread makes it. `payload` (may be null), which
// `lparam` may point into, lives until the procedure has returned. False when the window is gone
// or the message filter dropped the message.
bool window_notify(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                   std::shared_ptr<std::vector<BYTE>> payload = nullptr,
                   Sender sender = Sender::system);
// Posts like PostMessageW without counting a call; `by_program` is false for the system's posts
// (the shell's icon messages, a menu's command). Returns 0 or the error PostMessageW would give.
DWORD window_post(HWND window, UINT message, WPARAM wparam, LPARAM lparam, bool by_program);
bool window_alive(HWND window);
std::vector<HWND> top_level_windows();
// Gets or makes the number of a registered window message.
UINT registered_message(const std::wstring& name);
// The resource name an icon was loaded from; empty (and counted as an invalid use) for a handle
// LoadIconW never gave.
std::wstring icon_resource_name(HICON icon);
// Starts the device-change traffic to windows (shell.cpp): from the first window on, every
// interface that comes or goes is broadcast.
void listen_for_device_changes();
// A loaded module by name, as GetModuleHandleW finds it (modules.cpp); null when unknown.
HMODULE module_find(LPCWSTR name);

} // namespace winsim::detail
