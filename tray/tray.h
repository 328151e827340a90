// The tray engine: the main thread's message loop, one hidden window, one notification-area
// icon with its tooltip and popup menu, balloons, device-change notifications, and a way for
// other threads to have work done on the main thread.
//
// Threads: the main thread creates the tray and runs the loop; every function below except
// tray_post_to_main runs on it only, and the engine's state has no lock apart from the queue of
// posted work (its own lock, held only for a moment). Nothing blocks except pump_message
// waiting for a message; no lock is held while callbacks run. Menu-item and device-change
// callbacks, and work posted with tray_post_to_main, run on the main thread inside
// pump_message, or inside the popup menu's modal loop while the menu is open (TrackPopupMenu
// handles the thread's messages until the user acts). A thread that wants the menu rebuilt or
// the tray refreshed posts that work instead of doing it: a refresh destroys the popup menu
// whose records the main thread may be using at that moment.
#pragma once

#include "tray/tray_menu.h"

#include <windows.h>

enum : UINT {
    // The icon's mouse messages: first parameter the icon id, second the mouse message.
    TRAY_CALLBACK_MESSAGE = WM_USER + 1,
};

enum : UINT { TRAY_BALLOON_TIMEOUT_MS = 10000 };

// The named mutex the tray holds while it runs. A second copy of the program opens the same
// one and starts all the same, with its own icon.
constexpr wchar_t TRAY_MUTEX_NAME[] = L"Pelkavorn Controller";

// The registered message that wakes the main thread for posted work. It carries nothing: the
// work waits in the engine's own queue, so a message that another process posts or sends to
// our window can only make us run what this process queued (the Wine rig sends it to learn
// that everything queued has run).
constexpr wchar_t TRAY_WAKE_MESSAGE_NAME[] = L"Pelkavorn Controller: run queued main-thread work";

typedef void (*TrayMainWork)(void* context);

// Creates the named mutex, the hidden window and the icon, then refreshes from `descriptor`.
// Lets the shell's "TaskbarCreated" through the message filter where the system has one, so
// the icon comes back after a shell restart even when the program runs elevated. Main thread,
// once. May block: no. Returns 0, or -1 when the mutex, the window class or the window cannot
// be made (whatever was made by then stays).
int tray_create(const TrayDescriptor* descriptor);

// Rebuilds the popup menu from `descriptor` and shows its icon and tooltip. Main thread only.
// Does nothing after tray_destroy.
void tray_refresh(const TrayDescriptor* descriptor);

// Removes the icon, frees the icon and the menu, posts the quit message and releases the
// mutex. The window and the device registration stay. tray_post_to_main refuses work from now
// on; work it accepted before still runs before pump_message returns -1. Main thread, last.
void tray_destroy();

// Delivers device changes of one interface class to `callback`. Main thread, once, after
// tray_create; nothing without a window. A failed registration is silent and leaves no
// callback.
void tray_register_device_notifications(GUID interface_class, DeviceChangeCallback callback);

// Shows a balloon over the icon for TRAY_BALLOON_TIMEOUT_MS. Texts longer than their limits
// are cut. Main thread; nothing without a window.
void tray_show_balloon(BalloonSeverity severity, const wchar_t* title, const wchar_t* text);

// The hidden window's procedure. Called by the platform on the main thread.
LRESULT CALLBACK tray_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// One pass of the main thread's message loop. `wait` nonzero blocks until a message comes;
// zero only takes one that is waiting. Returns -1 on WM_QUIT, else 0 (also when nothing was
// waiting).
int pump_message(uint8_t wait);

// pump_message's `wait`, named at the call sites.
enum : uint8_t { TRAY_TAKE_WAITING_MESSAGE = 0, TRAY_WAIT_FOR_MESSAGE = 1 };

// Builds a popup menu from `items`, numbering them from `*counter` on (see tray_menu_walk) and
// leaving `*counter` past the last identifier. Main thread. Returns the menu, or null when any
// part of it could not be made (nothing of it is left then; a click on the icon tries again).
HMENU tray_build_popup_menu(const TrayMenuItem* items, uint32_t* counter);

// Asks the main thread to run `work(context)`. Any thread; takes the engine's queue lock for a
// moment, never blocks otherwise. Returns 1 when the request is queued: `work` then runs once,
// on the main thread, inside pump_message (or the open menu's modal loop), after all work
// queued before it, and before the pump_message that returns -1 for tray_destroy's quit.
// Returns 0 when there is no tray window (before tray_create, after tray_destroy, once the
// window is closed), or when the main thread itself asks and cannot be woken (its message queue
// is full); `work` then never runs. Another thread's work that cannot wake the main thread is
// queued all the same and runs before the next message the main thread takes (or the next
// device change or click on the icon). The one exception: work still queued when the window
// is destroyed (a close request) is dropped without running, so do not make the work the only
// owner of memory.
int tray_post_to_main(TrayMainWork work, void* context);
