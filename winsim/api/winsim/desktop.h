// The simulated desktop as a test sees it: what the notification area shows, the menus that
// popped up, the windows and their classes, and the user's and the system's actions: clicking
// an icon, choosing from a menu, restarting the shell, broadcasting device changes.
//
// Thread: every function may be called from any thread; they take the machine lock. Actions
// that reach a window procedure never call it: like messages from another process, they wait
// in the window thread's queue until that thread retrieves messages (GetMessageW, PeekMessageW,
// a menu's modal loop), and these functions return at once.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace winsim {

// One icon in the notification area, as at its last NIM_ADD/NIM_MODIFY.
struct TrayIcon {
    HWND window;
    UINT id;
    UINT callback_message; // 0 without NIF_MESSAGE
    std::wstring tooltip;
    std::wstring image; // resource name of the icon shown; empty: no image
};
std::vector<TrayIcon> tray_icons();

// Every balloon shown since the reset, oldest first.
struct Balloon {
    HWND window;
    UINT id;
    std::wstring title;
    std::wstring text;
    DWORD icon; // dwInfoFlags & NIIF_ICON_MASK: NIIF_NONE, NIIF_INFO, NIIF_WARNING, NIIF_ERROR
    UINT timeout_ms;
};
std::vector<Balloon> balloons();

// The user releases a mouse button (WM_LBUTTONUP, WM_RBUTTONUP, ...) over the icon at `index`
// in tray_icons(): the shell posts the icon's callback message (icon id, mouse message) to its
// window. False when there is no such icon or it has no callback message.
bool click_tray_icon(UINT mouse_message, size_t index = 0);

// The shell restarts: every icon vanishes, then the registered "TaskbarCreated" message is sent
// to every top-level window. In an elevated process it reaches only the windows that let it
// through with ChangeWindowMessageFilterEx (MSGFLT_ALLOW).
void restart_shell();

// The program runs elevated (with a higher integrity level than the shell). Off after a reset.
void set_elevated(bool elevated);

// A menu as a user sees it.
struct MenuEntry {
    std::wstring text;
    UINT id;
    bool separator;
    bool checked;
    bool grayed;
    ULONG_PTR data;
    bool has_submenu;
    std::vector<MenuEntry> submenu;
};
std::vector<MenuEntry> menu_tree(HMENU menu);

// Every TrackPopupMenu call since the reset: the menu as it looked, where and how it was shown.
struct ShownMenu {
    HMENU menu;
    std::vector<MenuEntry> items;
    UINT flags;
    int x;
    int y;
    HWND owner;
    bool owner_in_foreground; // without it the menu would not close on a click elsewhere
    UINT chosen;              // the command returned; 0 for a dismissal
    // It appeared and vanished at once, before the user could act: the owner was in the
    // foreground and its thread had posted nothing to itself since its last menu closed.
    bool vanished;
};
std::vector<ShownMenu> shown_menus();

// Scripts the user's next popup-menu action; actions are used in order, one per TrackPopupMenu.
// A choice names the item by texts from the top level down ({L"FN Modes", L"Fast Turns"}). A
// path that ends at a submenu, a separator, a greyed or a missing item, and an unscripted
// menu, dismiss the menu.
// The choice is resolved against the menu as it was when it popped up.
void choose_menu_item(const std::vector<std::wstring>& path);
void dismiss_menu();
// Runs `event` while the next menu that pops up is open, before the user's scripted action, on
// the menu owner's thread and without the machine lock. What it sends or posts to that thread
// is handled by the menu's modal loop before the menu closes; posted messages without a window
// are lost there, as in every modal loop. Events are used in order, one per menu.
void while_menu_open(std::function<void()> event);

void set_cursor_pos(int x, int y);
HWND foreground_window();

struct WindowInfo {
    HWND window;
    std::wstring class_name;
    bool alive;
    bool top_level;
    DWORD thread;
};
// Every window created since the reset, destroyed ones included.
std::vector<WindowInfo> windows();
std::vector<std::wstring> window_classes();

// Messages that reached DefWindowProcW, oldest first.
struct Message {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};
std::vector<Message> default_handled();
// Messages waiting in the calling thread's queue (posted and sent), WM_QUIT not counted. At
// most 10,000 posted messages wait; PostMessageW fails past that (ERROR_NOT_ENOUGH_QUOTA).
size_t queued_messages();
// True while `thread` is blocked in GetMessageW with nothing queued for it: it has handled
// everything it was sent or posted so far.
bool thread_waiting_for_messages(DWORD thread);

// The icon resources of the program's own module; after a reset, those of res/: "APP_ICON".
// LoadIconW gives one shared handle per resource, which is no kernel handle (open_handles()
// does not count it) and which DestroyIcon leaves alone.
void set_icon_resources(const std::vector<std::wstring>& names);

struct DeviceRegistration {
    HDEVNOTIFY handle;
    HWND window;
    GUID class_guid;
};
std::vector<DeviceRegistration> device_registrations();
// The system broadcasts a WM_DEVICECHANGE to every top-level window; `record` is the bytes of
// a DEV_BROADCAST_* record (empty: the second parameter is 0).
void broadcast_device_change(WPARAM event, const std::vector<BYTE>& record);
// A device interface arrives or goes (the simulated devices do this too, whenever one of their
// interfaces comes or goes), and the system tells the windows as Windows does: windows
// registered for its class get DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE with a
// DEV_BROADCAST_DEVICEINTERFACE_W record naming `path`, and every top-level window gets
// DBT_DEVNODES_CHANGED without a record (before an arrival, after a removal).
void device_interface_changed(bool arrival, const GUID& class_guid, const std::wstring& path);

// Device-change notifications on hold: from hold_device_changes() on, every notification
// (broadcast or to a registered window) waits instead of going out, until the test releases
// them in an order of its choosing. Windows sends DBT_DEVNODES_CHANGED more than once at
// times, and notifications for different interfaces need not come in the order of the changes.
struct HeldDeviceChange {
    HWND window;
    WPARAM event;
    std::wstring path; // the interface named by the record; empty for any other record or none
};
void hold_device_changes();
std::vector<HeldDeviceChange> held_device_changes();
// Sends the held notifications at these indexes of held_device_changes(), in this order; an
// index given twice sends that notification twice, one not given is never sent. Then
// notifications go out as they happen again.
void release_device_changes(const std::vector<size_t>& order);

} // namespace winsim
