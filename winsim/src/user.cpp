// Windows, window classes, one message queue per thread, popup menus, icons and the cursor.
//
// Everything here is guarded by the machine lock. A window procedure is never called with the
// lock held, because procedures call back into winsim and other threads may be waiting for it.
// Messages from the system and the shell are queued as sent from another process and handled
// only when the window's thread retrieves messages, never inside the call that caused them.
#include "user_internal.h"

#include <winsim/desktop.h>

#include <algorithm>
#include <cwctype>
#include <deque>
#include <map>

namespace winsim::detail {
namespace {

const HMODULE program_module = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));

struct WindowClass {
    std::wstring name;
    WNDPROC procedure;
    HINSTANCE instance;
};

struct Window {
    HWND handle;
    std::wstring class_name;
    WNDPROC procedure;
    DWORD thread;
    bool alive;
    bool top_level;
    // Messages let through from less privileged senders (ChangeWindowMessageFilterEx).
    std::vector<UINT> allowed;
};

// A thread's posted-message queue holds at most this many, as on Windows.
const size_t posted_limit = 10000;
// The window filter of GetMessageW/PeekMessageW that takes only messages without a window.
const HWND thread_messages_only = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

// A message sent to a window of another thread, waiting for that thread to handle it.
struct Sent {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    std::shared_ptr<std::vector<BYTE>> payload;
    bool done = false;
    LRESULT result = 0;
};

struct Queue {
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<Sent>> sent;
    bool quit = false;
    int quit_code = 0;
    bool menu_open = false; // in TrackPopupMenu's modal loop
    bool waiting = false;   // blocked in GetMessageW with nothing it may take
    // A popup menu closed and the thread has posted nothing to itself since: the next menu shown
    // with its owner in the foreground appears and vanishes at once.
    bool menu_needs_post = false;
};

struct MenuItem {
    bool separator;
    UINT state;
    UINT id;
    std::wstring text;
    ULONG_PTR data;
    HMENU submenu;
};

struct Menu {
    std::vector<MenuItem> items;
};

struct Choice {
    bool dismiss;
    std::vector<std::wstring> path;
};

struct Desktop {
    bool elevated = false;
    std::vector<WindowClass> classes;
    std::vector<std::shared_ptr<Window>> windows;
    uintptr_t next_window = 0x20000;
    std::map<DWORD, Queue> queues;
    std::map<std::wstring, UINT> registered;
    UINT next_registered = 0xC000;
    std::vector<winsim::ShownMenu> shown;
    std::deque<Choice> choices;
    std::deque<std::function<void()>> menu_events;
    POINT cursor{0, 0};
    HWND foreground = nullptr;
    std::vector<winsim::Message> defaults;
    std::vector<std::wstring> icon_resources{L"APP_ICON"};
    // Shared icons by resource name; their handles are the desktop's, not kernel handles.
    std::map<std::wstring, HICON> icons;
    uintptr_t next_icon = 0x50000;
};

Desktop& desktop() {
    return machine_part<Desktop>();
}

std::shared_ptr<Window> find_window(HWND handle) {
    for (auto& window : desktop().windows)
        if (window->handle == handle && window->alive)
            return window;
    return nullptr;
}

WindowClass* find_class(const std::wstring& name) {
    for (auto& window_class : desktop().classes)
        if (same_name(window_class.name, name))
            return &window_class;
    return nullptr;
}

Queue& own_queue() {
    return desktop().queues[GetCurrentThreadId()];
}

// Calls the procedure of a live window; the caller holds no lock.
LRESULT call_procedure(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    WNDPROC procedure = nullptr;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto window = find_window(handle);
        if (window)
            procedure = window->procedure;
    }
    return procedure ? procedure(handle, message, wparam, lparam) : 0;
}

// Handles one message that another thread sent to this one. Called with `held` locked; unlocks
// it around the procedure.
void handle_sent(std::unique_lock<std::recursive_mutex>& held, Queue& queue) {
    auto sent = queue.sent.front();
    queue.sent.pop_front();
    held.unlock();
    LRESULT result = call_procedure(sent->window, sent->message, sent->wparam, sent->lparam);
    held.lock();
    sent->result = result;
    sent->done = true;
    notify_all();
}

// The window and range filters of GetMessageW/PeekMessageW.
struct Filter {
    HWND window; // null: any; thread_messages_only: those without a window
    UINT low;
    UINT high; // low and high both 0: any message
};

bool matches(const MSG& msg, const Filter& filter) {
    if (filter.window == thread_messages_only ? msg.hwnd != nullptr
                                              : filter.window && msg.hwnd != filter.window)
        return false;
    return (filter.low == 0 && filter.high == 0) ||
           (msg.message >= filter.low && msg.message <= filter.high);
}

// WM_QUIT is no window's message: a filter on a window never takes it; a range does not matter.
bool takes_quit(const Queue& queue, const Filter& filter) {
    return queue.quit && (!filter.window || filter.window == thread_messages_only);
}

bool posted_waiting(const Queue& queue, const Filter& filter) {
    for (const MSG& msg : queue.posted)
        if (matches(msg, filter))
            return true;
    return false;
}

// A filter on a window that is not (or no longer) one of this thread's.
bool filter_invalid(const Filter& filter) {
    if (!filter.window || filter.window == thread_messages_only)
        return false;
    auto window = find_window(filter.window);
    return !window || window->thread != GetCurrentThreadId();
}

// Takes the next message for GetMessageW/PeekMessageW, after handling every sent message
// (whatever the filter). False when none is waiting.
bool take_message(std::unique_lock<std::recursive_mutex>& held, MSG* msg, bool remove,
                  const Filter& filter) {
    Queue& queue = own_queue();
    while (!queue.sent.empty())
        handle_sent(held, queue);
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (!matches(*it, filter))
            continue;
        *msg = *it;
        if (remove)
            queue.posted.erase(it);
        return true;
    }
    if (takes_quit(queue, filter)) {
        *msg = MSG{};
        msg->message = WM_QUIT;
        msg->wParam = static_cast<WPARAM>(queue.quit_code);
        if (remove)
            queue.quit = false;
        return true;
    }
    return false;
}

std::vector<winsim::MenuEntry> tree_of(HMENU handle) {
    std::vector<winsim::MenuEntry> entries;
    auto object = handle_lookup(handle, "menu");
    if (!object)
        return entries;
    auto menu = std::static_pointer_cast<Menu>(object->payload);
    for (const MenuItem& item : menu->items) {
        winsim::MenuEntry entry{item.text,
                                item.id,
                                item.separator,
                                (item.state & MFS_CHECKED) != 0,
                                (item.state & MFS_GRAYED) != 0,
                                item.data,
                                item.submenu != nullptr,
                                {}};
        if (item.submenu)
            entry.submenu = tree_of(item.submenu);
        entries.push_back(entry);
    }
    return entries;
}

UINT resolve_choice(const std::vector<winsim::MenuEntry>& items, const Choice& choice) {
    const std::vector<winsim::MenuEntry>* level = &items;
    for (size_t i = 0; i < choice.path.size(); i++) {
        const winsim::MenuEntry* found = nullptr;
        for (const auto& entry : *level)
            if (!entry.separator && entry.text == choice.path[i]) {
                found = &entry;
                break;
            }
        if (!found || found->grayed)
            return 0;
        if (i + 1 == choice.path.size())
            return found->has_submenu ? 0 : found->id;
        if (!found->has_submenu)
            return 0;
        level = &found->submenu;
    }
    return 0;
}

std::shared_ptr<Menu> menu_of(HMENU handle) {
    auto object = handle_lookup(handle, "menu");
    return object ? std::static_pointer_cast<Menu>(object->payload) : nullptr;
}

// Finds the item with this command identifier, searching submenus too, as Windows does.
const MenuItem* find_command(const Menu& menu, UINT id) {
    for (const MenuItem& item : menu.items) {
        if (item.id == id)
            return &item;
        auto sub = item.submenu ? menu_of(item.submenu) : nullptr;
        if (const MenuItem* found = sub ? find_command(*sub, id) : nullptr)
            return found;
    }
    return nullptr;
}

void close_menu(HMENU handle) {
    auto menu = menu_of(handle);
    if (!menu)
        return;
    for (MenuItem& item : menu->items)
        if (item.submenu)
            close_menu(item.submenu);
    handle_close(handle);
}

void insert_item(Menu& menu, UINT item_position, bool by_position, MenuItem item) {
    size_t at = menu.items.size();
    if (by_position) {
        at = item_position < menu.items.size() ? item_position : menu.items.size();
    } else {
        // By command: before the item with that identifier, at the end when none has it.
        for (size_t i = 0; i < menu.items.size(); i++)
            if (menu.items[i].id == item_position) {
                at = i;
                break;
            }
    }
    menu.items.insert(menu.items.begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
}

} // namespace

bool window_notify(HWND handle, UINT message, WPARAM wparam, LPARAM lparam,
                   std::shared_ptr<std::vector<BYTE>> payload, Sender sender) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto window = find_window(handle);
    if (!window)
        return false;
    if (sender == Sender::shell && desktop().elevated &&
        std::find(window->allowed.begin(), window->allowed.end(), message) == window->allowed.end())
        return false;
    auto sent = std::make_shared<Sent>(Sent{handle, message, wparam, lparam, payload});
    desktop().queues[window->thread].sent.push_back(sent);
    notify_all();
    return true;
}

DWORD window_post(HWND handle, UINT message, WPARAM wparam, LPARAM lparam, bool by_program) {
    std::lock_guard<std::recursive_mutex> held(lock());
    DWORD thread = GetCurrentThreadId();
    if (handle) {
        auto window = find_window(handle);
        if (!window)
            return ERROR_INVALID_WINDOW_HANDLE;
        thread = window->thread;
    }
    Queue& queue = desktop().queues[thread];
    if (queue.posted.size() >= posted_limit)
        return ERROR_NOT_ENOUGH_QUOTA;
    MSG msg{handle, message, wparam, lparam, GetTickCount(), desktop().cursor};
    queue.posted.push_back(msg);
    // Posting to itself is what lets the thread's next menu stay open.
    if (by_program && thread == GetCurrentThreadId())
        queue.menu_needs_post = false;
    notify_all();
    return 0;
}

bool window_alive(HWND handle) {
    std::lock_guard<std::recursive_mutex> held(lock());
    return find_window(handle) != nullptr;
}

std::vector<HWND> top_level_windows() {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<HWND> found;
    for (auto& window : desktop().windows)
        if (window->alive && window->top_level)
            found.push_back(window->handle);
    return found;
}

UINT registered_message(const std::wstring& name) {
    std::lock_guard<std::recursive_mutex> held(lock());
    for (auto& [known, number] : desktop().registered)
        if (same_name(known, name))
            return number;
    UINT number = desktop().next_registered++;
    desktop().registered[name] = number;
    return number;
}

std::wstring icon_resource_name(HICON icon) {
    std::lock_guard<std::recursive_mutex> held(lock());
    for (auto& [name, handle] : desktop().icons)
        if (handle == icon)
            return name;
    handle_lookup(icon, "icon"); // counts the use of a handle that is no icon
    return std::wstring();
}

} // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

std::vector<MenuEntry> menu_tree(HMENU menu) {
    std::lock_guard<std::recursive_mutex> held(lock());
    return tree_of(menu);
}

std::vector<ShownMenu> shown_menus() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return desktop().shown;
}

void choose_menu_item(const std::vector<std::wstring>& path) {
    std::lock_guard<std::recursive_mutex> held(lock());
    desktop().choices.push_back({false, path});
}

void dismiss_menu() {
    std::lock_guard<std::recursive_mutex> held(lock());
    desktop().choices.push_back({true, {}});
}

void while_menu_open(std::function<void()> event) {
    std::lock_guard<std::recursive_mutex> held(lock());
    desktop().menu_events.push_back(std::move(event));
}

void set_elevated(bool elevated) {
    std::lock_guard<std::recursive_mutex> held(lock());
    desktop().elevated = elevated;
}

void set_cursor_pos(int x, int y) {
    std::lock_guard<std::recursive_mutex> held(lock());
    desktop().cursor = POINT{x, y};
}

HWND foreground_window() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return desktop().foreground;
}

std::vector<WindowInfo> windows() {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<WindowInfo> found;
    for (auto& window : desktop().windows)
        found.push_back(
            {window->handle, window->class_name, window->alive, window->top_level, window->thread});
    return found;
}

std::vector<std::wstring> window_classes() {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<std::wstring> names;
    for (auto& window_class : desktop().classes)
        names.push_back(window_class.name);
    return names;
}

std::vector<Message> default_handled() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return desktop().defaults;
}

size_t queued_messages() {
    std::lock_guard<std::recursive_mutex> held(lock());
    Queue& queue = own_queue();
    return queue.posted.size() + queue.sent.size();
}

bool thread_waiting_for_messages(DWORD thread) {
    std::lock_guard<std::recursive_mutex> held(lock());
    auto found = desktop().queues.find(thread);
    if (found == desktop().queues.end())
        return false;
    const Queue& queue = found->second;
    return queue.waiting && queue.posted.empty() && queue.sent.empty();
}

void set_icon_resources(const std::vector<std::wstring>& names) {
    std::lock_guard<std::recursive_mutex> held(lock());
    desktop().icon_resources = names;
}

} // namespace winsim

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
    if (fault("GetModuleHandleW"))
        return nullptr;
    // The system libraries the program links or loads are all in memory.
    return name ? module_find(name) : program_module;
}

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* window_class) {
    if (fault("RegisterClassExW"))
        return 0;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!window_class || window_class->cbSize != sizeof(WNDCLASSEXW) ||
        !window_class->lpfnWndProc || !window_class->lpszClassName) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (find_class(window_class->lpszClassName)) {
        set_error(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    desktop().classes.push_back(
        {window_class->lpszClassName, window_class->lpfnWndProc, window_class->hInstance});
    return static_cast<ATOM>(0xC000 + desktop().classes.size());
}

BOOL WINAPI UnregisterClassW(LPCWSTR class_name, HINSTANCE instance) {
    if (fault("UnregisterClassW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto& classes = desktop().classes;
    for (auto it = classes.begin(); it != classes.end(); ++it) {
        if (!same_name(it->name, class_name) || it->instance != instance)
            continue;
        for (auto& window : desktop().windows)
            if (window->alive && same_name(window->class_name, class_name)) {
                set_error(ERROR_CLASS_HAS_WINDOWS);
                return FALSE;
            }
        classes.erase(it);
        return TRUE;
    }
    set_error(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

HWND WINAPI CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID parameter) {
    if (fault("CreateWindowExW"))
        return nullptr;
    listen_for_device_changes();
    HWND handle;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        WindowClass* window_class = class_name ? find_class(class_name) : nullptr;
        if (!window_class) {
            set_error(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
        if (parent && !find_window(parent)) {
            set_error(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        handle = reinterpret_cast<HWND>(desktop().next_window);
        desktop().next_window += 4;
        desktop().windows.push_back(
            std::make_shared<Window>(Window{handle, window_class->name, window_class->procedure,
                                            GetCurrentThreadId(), true, parent == nullptr}));
    }
    // Both creation messages point at the creation parameters, valid during the call only.
    CREATESTRUCTW create{parameter, instance, menu,        parent, height,     width,
                         y,         x,        LONG(style), title,  class_name, ex_style};
    LPARAM create_parameters = reinterpret_cast<LPARAM>(&create);
    if (!call_procedure(handle, WM_NCCREATE, 0, create_parameters) ||
        call_procedure(handle, WM_CREATE, 0, create_parameters) == -1) {
        DestroyWindow(handle);
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return handle;
}

BOOL WINAPI DestroyWindow(HWND handle) {
    if (fault("DestroyWindow"))
        return FALSE;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto window = find_window(handle);
        if (!window) {
            set_error(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (window->thread != GetCurrentThreadId()) {
            set_error(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    call_procedure(handle, WM_DESTROY, 0, 0);
    call_procedure(handle, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::recursive_mutex> held(lock());
    if (auto window = find_window(handle))
        window->alive = false;
    if (desktop().foreground == handle)
        desktop().foreground = nullptr;
    return TRUE;
}

BOOL WINAPI IsWindow(HWND handle) {
    return window_alive(handle) ? TRUE : FALSE;
}

BOOL WINAPI UpdateWindow(HWND handle) {
    if (fault("UpdateWindow"))
        return FALSE;
    // A window that is never shown has nothing to paint.
    return window_alive(handle) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcW(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    if (fault("DefWindowProcW"))
        return 0;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        desktop().defaults.push_back({handle, message, wparam, lparam});
    }
    switch (message) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(handle);
        return 0;
    default:
        return 0;
    }
}

BOOL WINAPI GetMessageW(LPMSG msg, HWND window, UINT filter_min, UINT filter_max) {
    if (fault("GetMessageW"))
        return -1;
    Filter filter{window, filter_min, filter_max};
    std::unique_lock<std::recursive_mutex> held(lock());
    for (;;) {
        // A filter on a window that goes away would wait forever; Windows fails instead.
        if (filter_invalid(filter)) {
            set_error(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        if (take_message(held, msg, true, filter))
            return msg->message == WM_QUIT ? FALSE : TRUE;
        Queue& queue = own_queue();
        queue.waiting = true;
        idle_message_wait = true;
        wait_until(held, INFINITE, [&] {
            return !queue.sent.empty() || posted_waiting(queue, filter) ||
                   takes_quit(queue, filter) || filter_invalid(filter);
        });
        idle_message_wait = false;
        own_queue().waiting = false;
    }
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND window, UINT filter_min, UINT filter_max, UINT remove) {
    if (fault("PeekMessageW"))
        return FALSE;
    Filter filter{window, filter_min, filter_max};
    std::unique_lock<std::recursive_mutex> held(lock());
    if (filter_invalid(filter)) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return take_message(held, msg, (remove & PM_REMOVE) != 0, filter) ? TRUE : FALSE;
}

BOOL WINAPI PostMessageW(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    if (fault("PostMessageW"))
        return FALSE;
    if (DWORD error = window_post(handle, message, wparam, lparam, true)) {
        set_error(error);
        return FALSE;
    }
    return TRUE;
}

LRESULT WINAPI SendMessageW(HWND handle, UINT message, WPARAM wparam, LPARAM lparam) {
    if (fault("SendMessageW"))
        return 0;
    std::unique_lock<std::recursive_mutex> held(lock());
    auto window = find_window(handle);
    if (!window) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->thread == GetCurrentThreadId()) {
        held.unlock();
        return call_procedure(handle, message, wparam, lparam);
    }
    auto sent = std::make_shared<Sent>(Sent{handle, message, wparam, lparam, nullptr});
    desktop().queues[window->thread].sent.push_back(sent);
    notify_all();
    // While waiting, this thread still answers what others send to it, as Windows does; two
    // threads sending to each other would deadlock otherwise.
    Queue& queue = own_queue();
    for (;;) {
        wait_until(held, INFINITE, [&] { return sent->done || !queue.sent.empty(); });
        if (sent->done)
            return sent->result;
        handle_sent(held, queue);
    }
}

void WINAPI PostQuitMessage(int exit_code) {
    if (fault("PostQuitMessage"))
        return;
    std::lock_guard<std::recursive_mutex> held(lock());
    Queue& queue = own_queue();
    queue.quit = true;
    queue.quit_code = exit_code;
    notify_all();
}

BOOL WINAPI TranslateMessage(const MSG*) {
    if (fault("TranslateMessage"))
        return FALSE;
    return FALSE; // no keyboard: nothing to translate
}

LRESULT WINAPI DispatchMessageW(const MSG* msg) {
    if (fault("DispatchMessageW"))
        return 0;
    if (!msg || !msg->hwnd)
        return 0;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        auto window = find_window(msg->hwnd);
        if (!window || window->thread != GetCurrentThreadId()) {
            set_error(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
    }
    return call_procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

UINT WINAPI RegisterWindowMessageW(LPCWSTR name) {
    if (fault("RegisterWindowMessageW"))
        return 0;
    if (!name || !*name) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return registered_message(name);
}

BOOL WINAPI ChangeWindowMessageFilterEx(HWND handle, UINT message, DWORD action,
                                        PCHANGEFILTERSTRUCT change) {
    if (fault("ChangeWindowMessageFilterEx"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto window = find_window(handle);
    if (!window) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if ((change && change->cbSize != sizeof(CHANGEFILTERSTRUCT)) || action > MSGFLT_DISALLOW) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& allowed = window->allowed;
    auto found = std::find(allowed.begin(), allowed.end(), message);
    DWORD status = MSGFLTINFO_NONE;
    switch (action) {
    case MSGFLT_RESET:
        allowed.clear();
        break;
    case MSGFLT_ALLOW:
        if (found != allowed.end())
            status = MSGFLTINFO_ALREADYALLOWED_FORWND;
        else
            allowed.push_back(message);
        break;
    default:
        if (found == allowed.end())
            status = MSGFLTINFO_ALREADYDISALLOWED_FORWND;
        else
            allowed.erase(found);
        break;
    }
    if (change)
        change->ExtStatus = status;
    return TRUE;
}

HMENU WINAPI CreatePopupMenu(void) {
    if (fault("CreatePopupMenu"))
        return nullptr;
    auto object = std::make_shared<Object>();
    object->kind = "menu";
    object->payload = std::make_shared<Menu>();
    return static_cast<HMENU>(handle_insert(object));
}

BOOL WINAPI DestroyMenu(HMENU handle) {
    if (fault("DestroyMenu"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!menu_of(handle))
        return FALSE;
    close_menu(handle); // submenus go with their menu
    return TRUE;
}

BOOL WINAPI InsertMenuW(HMENU handle, UINT position, UINT flags, UINT_PTR id_or_submenu,
                        LPCWSTR text) {
    if (fault("InsertMenuW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto menu = menu_of(handle);
    if (!menu)
        return FALSE;
    MenuItem item{(flags & MF_SEPARATOR) != 0,
                  static_cast<UINT>(flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED)),
                  0,
                  {},
                  0,
                  nullptr};
    if (flags & MF_POPUP) {
        item.submenu = reinterpret_cast<HMENU>(id_or_submenu);
        if (!menu_of(item.submenu))
            return FALSE;
    } else {
        item.id = static_cast<UINT>(id_or_submenu);
    }
    if (!item.separator && text)
        item.text = text;
    insert_item(*menu, position, (flags & MF_BYPOSITION) != 0, std::move(item));
    return TRUE;
}

BOOL WINAPI InsertMenuItemW(HMENU handle, UINT position, BOOL by_position, LPCMENUITEMINFOW info) {
    if (fault("InsertMenuItemW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto menu = menu_of(handle);
    if (!menu)
        return FALSE;
    if (!info || info->cbSize != sizeof(MENUITEMINFOW)) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MenuItem item{false, 0, 0, {}, 0, nullptr};
    if (info->fMask & (MIIM_TYPE | MIIM_FTYPE))
        item.separator = (info->fType & MFT_SEPARATOR) != 0;
    if ((info->fMask & (MIIM_TYPE | MIIM_STRING)) && !item.separator && info->dwTypeData)
        item.text = info->dwTypeData;
    if (info->fMask & MIIM_STATE)
        item.state = info->fState;
    if (info->fMask & MIIM_ID)
        item.id = info->wID;
    if (info->fMask & MIIM_DATA)
        item.data = info->dwItemData;
    if (info->fMask & MIIM_SUBMENU) {
        if (info->hSubMenu && !menu_of(info->hSubMenu))
            return FALSE;
        item.submenu = info->hSubMenu;
    }
    insert_item(*menu, position, by_position != 0, std::move(item));
    return TRUE;
}

BOOL WINAPI GetMenuItemInfoW(HMENU handle, UINT position, BOOL by_position, LPMENUITEMINFOW info) {
    if (fault("GetMenuItemInfoW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto menu = menu_of(handle);
    if (!menu)
        return FALSE;
    if (!info || info->cbSize != sizeof(MENUITEMINFOW)) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const MenuItem* item = nullptr;
    if (by_position) {
        if (position < menu->items.size())
            item = &menu->items[position];
    } else {
        item = find_command(*menu, position);
    }
    if (!item) {
        set_error(ERROR_MENU_ITEM_NOT_FOUND);
        return FALSE;
    }
    if (info->fMask & MIIM_ID)
        info->wID = item->id;
    if (info->fMask & MIIM_DATA)
        info->dwItemData = item->data;
    if (info->fMask & MIIM_STATE)
        info->fState = item->state;
    if (info->fMask & MIIM_SUBMENU)
        info->hSubMenu = item->submenu;
    if (info->fMask & (MIIM_TYPE | MIIM_FTYPE))
        info->fType = item->separator ? MFT_SEPARATOR : MFT_STRING;
    if ((info->fMask & (MIIM_TYPE | MIIM_STRING)) && !item->separator) {
        if (info->dwTypeData && info->cch > 0) {
            size_t n = std::min<size_t>(item->text.size(), info->cch - 1);
            item->text.copy(info->dwTypeData, n);
            info->dwTypeData[n] = L'\0';
        }
        info->cch = static_cast<UINT>(item->text.size());
    }
    return TRUE;
}

int WINAPI GetMenuItemCount(HMENU handle) {
    if (fault("GetMenuItemCount"))
        return -1;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto menu = menu_of(handle);
    return menu ? static_cast<int>(menu->items.size()) : -1;
}

// The menu's modal loop, until the user acts: handles what is sent and posted to the thread,
// as Windows' menu loop dispatches it. Posted messages without a window are lost, as in every
// modal loop. False when WM_QUIT came: the menu closes and the quit stays for the caller's loop.
bool menu_loop(std::unique_lock<std::recursive_mutex>& held) {
    Queue& queue = own_queue();
    for (;;) {
        if (!queue.sent.empty()) {
            handle_sent(held, queue);
            continue;
        }
        if (queue.posted.empty())
            return !queue.quit;
        MSG msg = queue.posted.front();
        queue.posted.pop_front();
        auto window = msg.hwnd ? find_window(msg.hwnd) : nullptr;
        if (!window || window->thread != GetCurrentThreadId())
            continue;
        held.unlock();
        call_procedure(msg.hwnd, msg.message, msg.wParam, msg.lParam);
        held.lock();
    }
}

BOOL WINAPI TrackPopupMenu(HMENU handle, UINT flags, int x, int y, int, HWND owner, const RECT*) {
    if (fault("TrackPopupMenu"))
        return FALSE;
    size_t index;
    std::function<void()> event;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        if (!menu_of(handle)) {
            set_error(ERROR_INVALID_MENU_HANDLE);
            return FALSE;
        }
        auto window = find_window(owner);
        if (!window || window->thread != GetCurrentThreadId()) {
            set_error(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        Queue& queue = own_queue();
        if (queue.menu_open) {
            set_error(ERROR_POPUP_ALREADY_ACTIVE);
            return FALSE;
        }
        Desktop& d = desktop();
        bool foreground = d.foreground == owner;
        winsim::ShownMenu shown{handle, tree_of(handle), flags, x, y, owner, foreground, 0, false};
        // Microsoft's documented quirk: with the owner in the foreground, a menu shown again
        // before the thread has posted itself a message disappears at once.
        if (foreground && queue.menu_needs_post) {
            shown.vanished = true;
            d.shown.push_back(shown);
            return FALSE;
        }
        index = d.shown.size();
        d.shown.push_back(shown);
        queue.menu_open = true;
        if (!d.menu_events.empty()) {
            event = std::move(d.menu_events.front());
            d.menu_events.pop_front();
        }
    }
    if (event)
        event();
    UINT chosen = 0;
    {
        std::unique_lock<std::recursive_mutex> held(lock());
        bool open = menu_loop(held);
        Desktop& d = desktop();
        if (open && !d.choices.empty()) {
            Choice choice = d.choices.front();
            d.choices.pop_front();
            // Against the menu as it popped up, whatever happened to it meanwhile.
            if (!choice.dismiss)
                chosen = resolve_choice(d.shown[index].items, choice);
        }
        d.shown[index].chosen = chosen;
        Queue& queue = own_queue();
        queue.menu_open = false;
        queue.menu_needs_post = true;
        // The menu is in use until the loop ends: destroying it while it is open is a fault,
        // counted here as the use of a closed handle.
        handle_lookup(handle, "menu");
    }
    if (flags & TPM_RETURNCMD)
        return static_cast<BOOL>(chosen);
    if (chosen)
        window_post(owner, WM_COMMAND, chosen, 0, false);
    return chosen ? TRUE : FALSE;
}

BOOL WINAPI GetCursorPos(LPPOINT point) {
    if (fault("GetCursorPos"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    *point = desktop().cursor;
    return TRUE;
}

BOOL WINAPI SetForegroundWindow(HWND handle) {
    if (fault("SetForegroundWindow"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!find_window(handle))
        return FALSE;
    desktop().foreground = handle;
    return TRUE;
}

HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
    if (fault("LoadIconW"))
        return nullptr;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (instance != program_module) {
        set_error(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    std::wstring wanted = IS_INTRESOURCE(name)
                              ? L"#" + std::to_wstring(reinterpret_cast<uintptr_t>(name))
                              : std::wstring(name);
    Desktop& d = desktop();
    for (auto& resource : d.icon_resources) {
        if (!same_name(resource, wanted))
            continue;
        // Icons loaded from a module are shared: every load gives the same handle, valid as long
        // as the module is loaded.
        HICON& icon = d.icons[resource];
        if (!icon) {
            icon = reinterpret_cast<HICON>(d.next_icon);
            d.next_icon += 4;
        }
        return icon;
    }
    set_error(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI DestroyIcon(HICON icon) {
    if (fault("DestroyIcon"))
        return FALSE;
    // Only shared icons exist here, and destroying one leaves it as it is.
    if (icon_resource_name(icon).empty()) {
        set_error(ERROR_INVALID_CURSOR_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
