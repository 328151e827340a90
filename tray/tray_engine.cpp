#include "tray/tray.h"

#include <dbt.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
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

// Owned by the main thread; no lock.
struct TrayState {
    HANDLE mutex;                         // held from tray_create to tray_destroy
    WNDCLASSEXW window_class;             // registered by tray_create
    HWND window;                          // null before tray_create and after tray_destroy
    NOTIFYICONDATAW notify;               // the icon as at the last refresh; never a balloon
    HMENU menu;                           // the popup menu of the last refresh; null when
                                          // it could not be made whole
    const TrayDescriptor* descriptor;     // the last refresh's, to make a missing menu again
    HMENU shown_menu;                     // the menu TrackPopupMenu is showing, or null
    HDEVNOTIFY device_notification;       // null until a registration succeeds
    DeviceChangeCallback device_callback; // null until a registration succeeds
    UINT taskbar_created;                 // the shell's restart message; 0 if unknown
    UINT wake_message;                    // TRAY_WAKE_MESSAGE_NAME's number; 0 if unknown
};

TrayState tray;

// One request of tray_post_to_main, owned by the queue until it has run or been dropped.
struct TrayWork {
    TrayMainWork work;
    void* context;
    TrayWork* next;
};

// Work for the main thread. Every field is guarded by `work_lock`, which is held only to
// change them and never while work runs or a message is sent.
struct TrayWorkQueue {
    HWND target;       // the window to wake; null while no work is accepted
    DWORD main_thread; // the window's thread
    UINT wake_message; // what wakes it
    bool wake_pending; // a wake is posted and its drain has not begun
    TrayWork* first;   // oldest first
    TrayWork* last;
};

SRWLOCK work_lock = SRWLOCK_INIT;
TrayWorkQueue work_queue;

// Takes everything queued, oldest first, for the caller to run or drop; with `close`, work is
// refused from now on. Main thread; takes the queue lock for a moment.
TrayWork* tray_take_work(bool close) {
    AcquireSRWLockExclusive(&work_lock);
    TrayWork* taken = work_queue.first;
    work_queue.first = nullptr;
    work_queue.last = nullptr;
    work_queue.wake_pending = false;
    if (close)
        work_queue.target = nullptr;
    ReleaseSRWLockExclusive(&work_lock);
    return taken;
}

void tray_drop_work(TrayWork* work) {
    while (work) {
        TrayWork* next = work->next;
        std::free(work);
        work = next;
    }
}

// Runs the queued work in order. Main thread, inside dispatch of the wake message.
void tray_run_work() {
    TrayWork* work = tray_take_work(false);
    while (work) {
        TrayWork* next = work->next;
        work->work(work->context);
        std::free(work);
        work = next;
    }
}

// Runs queued work whose wake message could not be posted. Main thread, at the points where
// the wake message itself could run work: the loop, a device change, a click on the icon.
void tray_run_unwoken_work() {
    AcquireSRWLockShared(&work_lock);
    bool unwoken = work_queue.first && !work_queue.wake_pending;
    ReleaseSRWLockShared(&work_lock);
    if (unwoken)
        tray_run_work();
}

// One tray per process: a fresh start forgets whatever an earlier tray left behind.
void tray_forget_state() {
    tray_drop_work(tray_take_work(true));
    tray.mutex = nullptr;
    std::memset(&tray.window_class, 0, sizeof(tray.window_class));
    tray.window = nullptr;
    std::memset(&tray.notify, 0, sizeof(tray.notify));
    tray.menu = nullptr;
    tray.descriptor = nullptr;
    tray.shown_menu = nullptr;
    tray.device_notification = nullptr;
    tray.device_callback = nullptr;
    tray.taskbar_created = 0;
    tray.wake_message = 0;
}

// Lets the shell's restart message through to an elevated program. The call exists from
// Windows 7 on, so it is looked up at run time; user32.dll is loaded in every windowed
// program. Without it the icon only fails to come back after a shell restart while elevated.
void tray_allow_taskbar_created(HWND window) {
    typedef BOOL(WINAPI * ChangeFilter)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT);
    if (!tray.taskbar_created)
        return;
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FARPROC proc = user32 ? GetProcAddress(user32, "ChangeWindowMessageFilterEx") : nullptr;
    if (!proc)
        return;
    // GetProcAddress returns every export under one generic type; the detour through the
    // generic function type converts it back without a cast-function-type warning.
    auto change_filter = reinterpret_cast<ChangeFilter>(reinterpret_cast<void (*)(void)>(proc));
    change_filter(window, tray.taskbar_created, MSGFLT_ALLOW, nullptr);
}

// The sinks' context while a menu is built: whether any part of it could not be made.
struct TrayMenuBuild {
    bool failed;
};

void* sink_create_menu(void* context) {
    HMENU menu = CreatePopupMenu();
    if (!menu)
        static_cast<TrayMenuBuild*>(context)->failed = true;
    return menu;
}

void sink_append_separator(void* context, void* menu, uint32_t position) {
    if (!InsertMenuW(static_cast<HMENU>(menu), position, MF_BYCOMMAND | MF_SEPARATOR,
                     TRAY_SEPARATOR_ID, L""))
        static_cast<TrayMenuBuild*>(context)->failed = true;
}

void sink_append_item(void* context, void* menu, const TrayMenuItem* item, uint32_t id,
                      void* submenu) {
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
    if (!InsertMenuItemW(static_cast<HMENU>(menu), id, TRUE, &info)) {
        static_cast<TrayMenuBuild*>(context)->failed = true;
        if (submenu)
            DestroyMenu(static_cast<HMENU>(submenu)); // no menu holds it, so nothing frees it
    }
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
    // A click while the menu is open is not a second menu.
    if (tray.shown_menu)
        return;
    // The last refresh could not make its menu; without one now the user could not even quit.
    if (!tray.menu && tray.descriptor)
        tray_refresh(tray.descriptor);
    if (!tray.menu)
        return;
    POINT cursor{0, 0};
    GetCursorPos(&cursor);
    // The window must be in the foreground, or the menu does not close when the user clicks
    // somewhere else.
    SetForegroundWindow(window);
    // While the menu is open its modal loop runs our messages, and a refresh among them
    // replaces tray.menu; the menu on screen stays alive until TrackPopupMenu returns.
    tray.shown_menu = tray.menu;
    // The command comes back as the result rather than as a message, so it runs below, after
    // the menu has gone; a dismissal returns 0.
    UINT command = static_cast<UINT>(TrackPopupMenu(tray.shown_menu,
                                                    TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON,
                                                    cursor.x, cursor.y, 0, window, nullptr));
    // Without a message of our own after the menu, the next menu shown from the notification
    // area vanishes at once (Microsoft's advice for TrackPopupMenu).
    PostMessageW(window, WM_NULL, 0, 0);
    if (tray.shown_menu != tray.menu)
        DestroyMenu(tray.shown_menu);
    tray.shown_menu = nullptr;
    // Identifiers are the same in every rebuild, so the command finds its item in the
    // current menu, whose records are the ones still alive.
    SendMessageW(window, WM_COMMAND, command, 0);
}

// Events documented to carry a record that starts with a DEV_BROADCAST_HDR. For all others
// (DBT_DEVNODES_CHANGED, DBT_CONFIGCHANGED, ...) the second parameter is no record.
bool tray_event_has_record(WPARAM event) {
    switch (event) {
    case DBT_DEVICEARRIVAL:
    case DBT_DEVICEQUERYREMOVE:
    case DBT_DEVICEQUERYREMOVEFAILED:
    case DBT_DEVICEREMOVEPENDING:
    case DBT_DEVICEREMOVECOMPLETE:
    case DBT_DEVICETYPESPECIFIC:
    case DBT_CUSTOMEVENT:
        return true;
    default:
        return false;
    }
}

// The name in a device-change record, or null when it is no device-interface record or does
// not hold a whole name. Another program can send us such a record, and the system copies only
// the record's own dbch_size bytes into our process: nothing past them is read, the header's
// type only when the size covers it, and a name only when its terminator lies within.
const wchar_t* tray_interface_name(LPARAM lparam) {
    auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    if (!header || header->dbch_size < sizeof(DEV_BROADCAST_HDR) ||
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return nullptr;
    const size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (header->dbch_size < offset)
        return nullptr;
    const auto* name = reinterpret_cast<const wchar_t*>(lparam + offset);
    size_t room = (header->dbch_size - offset) / sizeof(wchar_t);
    for (size_t i = 0; i < room; i++)
        if (name[i] == L'\0')
            return name;
    return nullptr;
}

LRESULT tray_device_changed(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // The system sends these: they reach us inside GetMessageW, never through the loop.
    tray_run_unwoken_work();
    if (tray.device_callback) {
        DeviceChangeKind kind = DEVICE_CHANGE_OTHER;
        if (wparam == DBT_DEVICEARRIVAL)
            kind = DEVICE_CHANGE_ARRIVAL;
        else if (wparam == DBT_DEVICEREMOVECOMPLETE)
            kind = DEVICE_CHANGE_REMOVE_COMPLETE;
        // Top-level windows also get the system's broadcasts about volumes, ports and the
        // like; only a device-interface record has a name where we would read one.
        const wchar_t* name = tray_event_has_record(wparam) ? tray_interface_name(lparam) : nullptr;
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
    tray.window = window;
    // Paints nothing, since the window is never shown; it stays because the window's creation
    // has always ended with it, and a hidden window with an empty update region takes no harm.
    UpdateWindow(window);
    // When the shell restarts, every icon vanishes; this message tells us to add ours again.
    tray.taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    tray_allow_taskbar_created(window);
    tray.wake_message = RegisterWindowMessageW(TRAY_WAKE_MESSAGE_NAME);
    if (tray.wake_message) {
        AcquireSRWLockExclusive(&work_lock);
        work_queue.target = window;
        work_queue.main_thread = GetCurrentThreadId();
        work_queue.wake_message = tray.wake_message;
        ReleaseSRWLockExclusive(&work_lock);
    }

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
    HWND window = tray.window;
    if (!window)
        return; // after tray_destroy the menu and icon handles are gone
    HMENU previous = tray.menu;
    tray.descriptor = descriptor;
    uint32_t counter = FIRST_MENU_ITEM_ID;
    tray.menu = tray_build_popup_menu(descriptor->menu, &counter);
    // Announces the new menu to the window as one about to pop up. Our window procedure leaves
    // it to the default handling and nothing of ours acts on it; it is kept so that anything
    // watching the window's messages sees each new menu, as it always has (tray tests pin it).
    SendMessageW(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(tray.menu), 0);

    HICON icon = LoadIconW(tray.window_class.hInstance, descriptor->icon_name);
    if (tray.notify.hIcon)
        DestroyIcon(tray.notify.hIcon);
    tray.notify.hIcon = icon; // null: the icon shows no image
    tray_copy_text(tray.notify.szTip, sizeof(tray.notify.szTip) / sizeof(WCHAR),
                   descriptor->tooltip);
    Shell_NotifyIconW(NIM_MODIFY, &tray.notify);
    // The old menu goes last, so that a command looked up meanwhile still finds its record;
    // one still on screen goes when its menu closes.
    if (previous && previous != tray.shown_menu)
        DestroyMenu(previous);
}

void tray_destroy() {
    Shell_NotifyIconW(NIM_DELETE, &tray.notify);
    if (tray.notify.hIcon)
        DestroyIcon(tray.notify.hIcon);
    if (tray.menu && tray.menu != tray.shown_menu)
        DestroyMenu(tray.menu);
    tray.notify.hIcon = nullptr;
    tray.menu = nullptr;
    // From here on no work is accepted. What was accepted has its wake message queued ahead of
    // the quit, so it still runs before the loop ends.
    AcquireSRWLockExclusive(&work_lock);
    work_queue.target = nullptr;
    ReleaseSRWLockExclusive(&work_lock);
    PostQuitMessage(0);
    tray.window = nullptr;
    // The window still exists, so this is refused; the process ends soon anyway.
    UnregisterClassW(TRAY_WINDOW_CLASS, tray.window_class.hInstance);
    ReleaseMutex(tray.mutex);
    CloseHandle(tray.mutex);
    tray.mutex = nullptr;
}

void tray_register_device_notifications(GUID interface_class, DeviceChangeCallback callback) {
    HWND window = tray.window;
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
    if (!tray.window)
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
        if (tray.window)
            Shell_NotifyIconW(NIM_ADD, &tray.notify);
        return 0;
    }
    if (message == tray.wake_message && message != 0) {
        // Whoever posted it, its parameters mean nothing: only queued work runs.
        tray_run_work();
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
        // Wake messages still queued die with the window, so queued work would never run.
        tray_drop_work(tray_take_work(true));
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
        tray_run_unwoken_work(); // so that the menu shows what is so
        tray_show_menu(window);
        return 0;
    case WM_DEVICECHANGE:
        return tray_device_changed(window, message, wparam, lparam);
    default:
        // Including the WM_INITMENUPOPUP that tray_refresh sends: it is only an announcement.
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
    // Work whose wake could not be posted runs now, ahead of the quit as well.
    tray_run_unwoken_work();
    if (msg.message == WM_QUIT)
        return -1;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    return 0;
}

HMENU tray_build_popup_menu(const TrayMenuItem* items, uint32_t* counter) {
    TrayMenuBuild build{false};
    TrayMenuSink sink{&build, sink_create_menu, sink_append_separator, sink_append_item};
    HMENU menu = static_cast<HMENU>(tray_menu_walk(items, counter, &sink));
    // A menu with an item missing could lack "Quit" or show a stale line as if current; none
    // is better, and the next click makes it again. A menu frees the submenus it holds.
    if (build.failed && menu) {
        DestroyMenu(menu);
        menu = nullptr;
    }
    return menu;
}

int tray_post_to_main(TrayMainWork work, void* context) {
    if (!work)
        return 0;
    auto* request = static_cast<TrayWork*>(std::malloc(sizeof(TrayWork)));
    if (!request)
        return 0;
    request->work = work;
    request->context = context;
    request->next = nullptr;
    int queued = 0;
    AcquireSRWLockExclusive(&work_lock);
    // One wake message serves all work queued until its drain begins, so the main thread's
    // message queue never fills with them. Posting never blocks or calls back into us. When
    // the queue is full the wake cannot be posted: the main thread can do its own work itself,
    // but another thread's is kept all the same and runs before the next message the main
    // thread takes (a reader's removal would otherwise leave the menu saying a stick is
    // attached).
    bool woken =
        work_queue.target &&
        (work_queue.wake_pending || PostMessageW(work_queue.target, work_queue.wake_message, 0, 0));
    if (work_queue.target && (woken || GetCurrentThreadId() != work_queue.main_thread)) {
        work_queue.wake_pending = woken;
        if (work_queue.last)
            work_queue.last->next = request;
        else
            work_queue.first = request;
        work_queue.last = request;
        queued = 1;
    }
    ReleaseSRWLockExclusive(&work_lock);
    if (!queued)
        std::free(request);
    return queued;
}
