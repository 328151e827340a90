#include "tray/tray.h"

#include <dbt.h>
#include <shellapi.h>

#include <atomic>
#include <cstring>

#ifdef _WIN32
// The record sizes the shell and the window manager expect from a 32-bit program.
static_assert(sizeof(WNDCLASSEXW) == 48, "WNDCLASSEXW");
static_assert(sizeof(MENUITEMINFOW) == 48, "MENUITEMINFOW");
static_assert(sizeof(NOTIFYICONDATAW) == 956, "NOTIFYICONDATAW, full form");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "DEV_BROADCAST_DEVICEINTERFACE_W");
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28, "dbcc_name");
// The application's menu array is sized in bytes for records of this size.
static_assert(sizeof(TrayMenuItem) == 20, "TrayMenuItem");
#endif
// The limits callers are told about are what the record's fields hold.
static_assert(sizeof(NOTIFYICONDATAW::szTip) / sizeof(WCHAR) == TRAY_TOOLTIP_CHARS + 1, "tip");
static_assert(sizeof(NOTIFYICONDATAW::szInfoTitle) / sizeof(WCHAR) == TRAY_BALLOON_TITLE_CHARS + 1,
              "balloon title");
static_assert(sizeof(NOTIFYICONDATAW::szInfo) / sizeof(WCHAR) == TRAY_BALLOON_TEXT_CHARS + 1,
              "balloon text");
static_assert(TRAY_CALLBACK_MESSAGE == 0x401, "the icon's callback message");

namespace {

const wchar_t TRAY_WINDOW_CLASS[] = L"PelkavornViGEmClass";
const wchar_t TRAY_MUTEX_NAME[] = L"Pelkavorn Controller";

// Owned by the main thread; no lock. Only `window` is read elsewhere (tray_post_to_main).
struct TrayState {
    HANDLE mutex;                         // held from tray_create to tray_destroy
    WNDCLASSEXW window_class;             // registered by tray_create
    std::atomic<HWND> window;             // null before tray_create and after tray_destroy
    NOTIFYICONDATAW notify;               // the icon as at the last refresh; never a balloon
    HMENU menu;                           // the popup menu of the last refresh
    HDEVNOTIFY device_notification;       // null until a registration succeeds
    DeviceChangeCallback device_callback; // null until a registration succeeds
    UINT taskbar_created;                 // the shell's restart message; 0 if unknown
};

TrayState tray;

// One tray per process: a fresh start forgets whatever an earlier tray left behind.
void tray_forget_state() {
    tray.mutex = nullptr;
    std::memset(&tray.window_class, 0, sizeof(tray.window_class));
    tray.window.store(nullptr);
    std::memset(&tray.notify, 0, sizeof(tray.notify));
    tray.menu = nullptr;
    tray.device_notification = nullptr;
    tray.device_callback = nullptr;
    tray.taskbar_created = 0;
}

void* sink_create_menu(void*) {
    return CreatePopupMenu();
}

void sink_append_separator(void*, void* menu, uint32_t position) {
    InsertMenuW(static_cast<HMENU>(menu), position, MF_BYCOMMAND | MF_SEPARATOR, TRAY_SEPARATOR_ID,
                L"");
}

void sink_append_item(void*, void* menu, const TrayMenuItem* item, uint32_t id, void* submenu) {
    MENUITEMINFOW info;
    std::memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = MIIM_STATE | MIIM_ID | MIIM_TYPE | MIIM_DATA;
    info.fType = MFT_STRING;
    if (item->submenu) {
        info.fMask |= MIIM_SUBMENU;
        info.hSubMenu = static_cast<HMENU>(submenu);
    }
    if (item->disabled)
        info.fState |= MFS_DISABLED;
    if (item->checked)
        info.fState |= MFS_CHECKED;
    info.wID = id;
    // The menu copies the text; it never writes through this pointer.
    info.dwTypeData = const_cast<LPWSTR>(item->text);
    info.dwItemData = reinterpret_cast<ULONG_PTR>(item);
    // The position always lies beyond the last item, so the item is appended.
    InsertMenuItemW(static_cast<HMENU>(menu), id, TRUE, &info);
}

DWORD balloon_icon(BalloonSeverity severity) {
    switch (severity) {
    case BALLOON_INFO:
        return NIIF_INFO;
    case BALLOON_WARNING:
        return NIIF_WARNING;
    case BALLOON_ERROR:
        return NIIF_ERROR;
    default:
        return NIIF_NONE;
    }
}

void tray_run_command(UINT id) {
    MENUITEMINFOW info;
    std::memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_DATA;
    // By command, so that items of submenus are found too.
    if (!GetMenuItemInfoW(tray.menu, id, FALSE, &info))
        return;
    auto* item = reinterpret_cast<TrayMenuItem*>(info.dwItemData);
    if (item && item->callback)
        item->callback(item);
}

void tray_show_menu(HWND window) {
    POINT cursor{0, 0};
    GetCursorPos(&cursor);
    // The window must be in the foreground, or the menu does not close when the user clicks
    // somewhere else.
    SetForegroundWindow(window);
    // The command comes back as the result rather than as a message, so it runs below, after
    // the menu has gone; a dismissal returns 0.
    UINT command =
        static_cast<UINT>(TrackPopupMenu(tray.menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON,
                                         cursor.x, cursor.y, 0, window, nullptr));
    SendMessageW(window, WM_COMMAND, command, 0);
}

LRESULT tray_device_changed(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (tray.device_callback) {
        DeviceChangeKind kind = DEVICE_CHANGE_OTHER;
        if (wparam == DBT_DEVICEARRIVAL)
            kind = DEVICE_CHANGE_ARRIVAL;
        else if (wparam == DBT_DEVICEREMOVECOMPLETE)
            kind = DEVICE_CHANGE_REMOVE_COMPLETE;
        // Top-level windows also get the system's broadcasts about volumes, ports and the
        // like; only a device-interface record has a name where we would read one.
        const wchar_t* name = nullptr;
        auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
        if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
            name = reinterpret_cast<const wchar_t*>(
                lparam + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
        tray.device_callback(kind, name);
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

} // namespace

int tray_create(const TrayDescriptor* descriptor) {
    tray_forget_state();
    // Whether another copy already holds the mutex is not examined: a second copy starts too.
    tray.mutex = CreateMutexW(nullptr, TRUE, TRAY_MUTEX_NAME);
    if (!tray.mutex)
        return -1;
    tray.window_class.cbSize = sizeof(WNDCLASSEXW);
    tray.window_class.lpfnWndProc = tray_window_procedure;
    tray.window_class.hInstance = GetModuleHandleW(nullptr);
    tray.window_class.lpszClassName = TRAY_WINDOW_CLASS;
    if (!RegisterClassExW(&tray.window_class))
        return -1;
    HWND window = CreateWindowExW(0, TRAY_WINDOW_CLASS, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);
    if (!window)
        return -1;
    tray.window.store(window);
    UpdateWindow(window);
    // When the shell restarts, every icon vanishes; this message tells us to add ours again.
    tray.taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");

    tray.notify.cbSize = sizeof(NOTIFYICONDATAW);
    tray.notify.hWnd = window;
    tray.notify.uID = 0;
    tray.notify.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    tray.notify.uCallbackMessage = TRAY_CALLBACK_MESSAGE;
    // No notification version is set: the callback message keeps carrying the icon id and the
    // mouse message. The image and tooltip come with the refresh.
    Shell_NotifyIconW(NIM_ADD, &tray.notify);
    tray_refresh(descriptor);
    return 0;
}

void tray_refresh(const TrayDescriptor* descriptor) {
    HWND window = tray.window.load();
    if (!window)
        return; // after tray_destroy the menu and icon handles are gone
    HMENU previous = tray.menu;
    uint32_t counter = FIRST_MENU_ITEM_ID;
    tray.menu = tray_build_popup_menu(descriptor->menu, &counter);
    SendMessageW(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(tray.menu), 0);

    HICON icon = LoadIconW(tray.window_class.hInstance, descriptor->icon_name);
    if (tray.notify.hIcon)
        DestroyIcon(tray.notify.hIcon);
    tray.notify.hIcon = icon; // null: the icon shows no image
    tray_copy_text(tray.notify.szTip, sizeof(tray.notify.szTip) / sizeof(WCHAR),
                   descriptor->tooltip);
    Shell_NotifyIconW(NIM_MODIFY, &tray.notify);
    // The old menu goes last, so that a command looked up meanwhile still finds its record.
    if (previous)
        DestroyMenu(previous);
}

void tray_destroy() {
    Shell_NotifyIconW(NIM_DELETE, &tray.notify);
    if (tray.notify.hIcon)
        DestroyIcon(tray.notify.hIcon);
    if (tray.menu)
        DestroyMenu(tray.menu);
    tray.notify.hIcon = nullptr;
    tray.menu = nullptr;
    PostQuitMessage(0);
    tray.window.store(nullptr);
    // The window still exists, so this is refused; the process ends soon anyway.
    UnregisterClassW(TRAY_WINDOW_CLASS, tray.window_class.hInstance);
    ReleaseMutex(tray.mutex);
    CloseHandle(tray.mutex);
    tray.mutex = nullptr;
}

void tray_register_device_notifications(GUID interface_class, DeviceChangeCallback callback) {
    HWND window = tray.window.load();
    if (!window)
        return;
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interface_class;
    tray.device_notification =
        RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (tray.device_notification)
        tray.device_callback = callback;
}

void tray_show_balloon(BalloonSeverity severity, const wchar_t* title, const wchar_t* text) {
    if (!tray.window.load())
        return;
    // A copy, so that the next refresh does not show the balloon again.
    NOTIFYICONDATAW balloon = tray.notify;
    balloon.uFlags |= NIF_INFO;
    tray_copy_text(balloon.szInfoTitle, sizeof(balloon.szInfoTitle) / sizeof(WCHAR), title);
    tray_copy_text(balloon.szInfo, sizeof(balloon.szInfo) / sizeof(WCHAR), text);
    balloon.dwInfoFlags = balloon_icon(severity);
    balloon.uTimeout = TRAY_BALLOON_TIMEOUT_MS;
    Shell_NotifyIconW(NIM_MODIFY, &balloon);
}

LRESULT CALLBACK tray_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == tray.taskbar_created && message != 0) {
        // The shell restarted and our icon is gone. Add it again as the last refresh left it,
        // unless the tray has been torn down meanwhile.
        if (tray.window.load())
            Shell_NotifyIconW(NIM_ADD, &tray.notify);
        return 0;
    }
    switch (message) {
    case WM_CLOSE:
        if (tray.device_notification) {
            UnregisterDeviceNotification(tray.device_notification);
            tray.device_notification = nullptr;
        }
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        if (wparam < FIRST_MENU_ITEM_ID)
            break;
        tray_run_command(static_cast<UINT>(wparam));
        return 0;
    case TRAY_CALLBACK_MESSAGE:
        if (lparam != WM_LBUTTONUP && lparam != WM_RBUTTONUP)
            break;
        tray_show_menu(window);
        return 0;
    case TRAY_RUN_MESSAGE:
        reinterpret_cast<TrayMainWork>(wparam)(reinterpret_cast<void*>(lparam));
        return 0;
    case WM_DEVICECHANGE:
        return tray_device_changed(window, message, wparam, lparam);
    default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int pump_message(uint8_t wait) {
    MSG msg;
    std::memset(&msg, 0, sizeof(msg));
    if (wait)
        GetMessageW(&msg, nullptr, 0, 0);
    else if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        return 0;
    if (msg.message == WM_QUIT)
        return -1;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return 0;
}

HMENU tray_build_popup_menu(const TrayMenuItem* items, uint32_t* counter) {
    TrayMenuSink sink{nullptr, sink_create_menu, sink_append_separator, sink_append_item};
    return static_cast<HMENU>(tray_menu_walk(items, counter, &sink));
}

int tray_post_to_main(TrayMainWork work, void* context) {
    HWND window = tray.window.load();
    if (!window || !work)
        return 0;
    return PostMessageW(window, TRAY_RUN_MESSAGE, reinterpret_cast<WPARAM>(work),
                        reinterpret_cast<LPARAM>(context))
               ? 1
               : 0;
}
