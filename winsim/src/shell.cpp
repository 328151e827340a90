// The notification area, the shell's restart broadcast and device-change notifications.
// Guarded by the machine lock; window procedures are reached through window_notify/window_post,
// which queue the message for the window's thread.
#include "user_internal.h"

#include <dbt.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>

namespace winsim::detail {
namespace {

// One WM_DEVICECHANGE for one window; `record` (may be null) is what the second parameter
// points at. Every recipient gets a copy of its own.
struct DeviceChange {
    HWND window;
    WPARAM event;
    std::shared_ptr<const std::vector<BYTE>> record;
};

struct Shell {
    std::vector<winsim::TrayIcon> icons;
    std::vector<winsim::Balloon> balloons;
    std::vector<winsim::DeviceRegistration> registrations;
    uintptr_t next_registration = 0x30000;
    bool holding = false;
    std::vector<DeviceChange> held;
};

Shell& shell() {
    return machine_part<Shell>();
}

// Reads a fixed text field as the shell does: up to its terminator or its end.
template <size_t N> std::wstring field_text(const WCHAR (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n])
        n++;
    return std::wstring(field, n);
}

winsim::TrayIcon* find_icon(HWND window, UINT id) {
    for (auto& icon : shell().icons)
        if (icon.window == window && icon.id == id)
            return &icon;
    return nullptr;
}

void apply(winsim::TrayIcon& icon, const NOTIFYICONDATAW& data) {
    if (data.uFlags & NIF_MESSAGE)
        icon.callback_message = data.uCallbackMessage;
    if (data.uFlags & NIF_ICON)
        icon.image = data.hIcon ? icon_resource_name(data.hIcon) : std::wstring();
    if (data.uFlags & NIF_TIP)
        icon.tooltip = field_text(data.szTip);
    if ((data.uFlags & NIF_INFO) && data.szInfo[0])
        shell().balloons.push_back({data.hWnd, data.uID, field_text(data.szInfoTitle),
                                    field_text(data.szInfo), data.dwInfoFlags & NIIF_ICON_MASK,
                                    data.uTimeout});
}

// Sends one device change, or holds it while the test holds them.
void deliver(const DeviceChange& change) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (shell().holding) {
        shell().held.push_back(change);
        return;
    }
    std::shared_ptr<std::vector<BYTE>> copy;
    LPARAM lparam = 0;
    if (change.record) {
        copy = std::make_shared<std::vector<BYTE>>(*change.record);
        lparam = reinterpret_cast<LPARAM>(copy->data());
    }
    window_notify(change.window, WM_DEVICECHANGE, change.event, lparam, copy, Sender::system);
}

// Windows tells every top-level window that the device tree changed, without saying how.
void broadcast_nodes_changed() {
    for (HWND window : top_level_windows())
        deliver({window, DBT_DEVNODES_CHANGED, nullptr});
}

void broadcast_interface(bool arrival, const GUID& class_guid, const std::wstring& path) {
    size_t size =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(WCHAR);
    size = std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W));
    auto bytes = std::make_shared<std::vector<BYTE>>(size, 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes->data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = class_guid;
    std::memcpy(record->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    std::vector<HWND> targets;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        for (auto& registration : shell().registrations)
            if (registration.class_guid == class_guid)
                targets.push_back(registration.window);
    }
    // The new device node shows before its interface; a removed one after it has gone.
    if (arrival)
        broadcast_nodes_changed();
    for (HWND window : targets)
        deliver({window, WPARAM(arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE), bytes});
    if (!arrival)
        broadcast_nodes_changed();
}

// The interface a held record names, for a test to tell the notifications apart.
std::wstring interface_named(const std::vector<BYTE>* record) {
    if (!record || record->size() < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W))
        return std::wstring();
    auto* header = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(record->data());
    if (header->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return std::wstring();
    return std::wstring(header->dbcc_name);
}

} // namespace

void listen_for_device_changes() {
    set_interface_change_hook(broadcast_interface);
}

} // namespace winsim::detail

using namespace winsim::detail;

namespace winsim {

std::vector<TrayIcon> tray_icons() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return shell().icons;
}

std::vector<Balloon> balloons() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return shell().balloons;
}

bool click_tray_icon(UINT mouse_message, size_t index) {
    TrayIcon icon;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        if (index >= shell().icons.size())
            return false;
        icon = shell().icons[index];
    }
    if (!icon.callback_message)
        return false;
    return window_post(icon.window, icon.callback_message, icon.id, mouse_message, false) == 0;
}

void restart_shell() {
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        shell().icons.clear();
    }
    UINT taskbar_created = registered_message(L"TaskbarCreated");
    for (HWND window : top_level_windows())
        window_notify(window, taskbar_created, 0, 0, nullptr, Sender::shell);
}

std::vector<DeviceRegistration> device_registrations() {
    std::lock_guard<std::recursive_mutex> held(lock());
    return shell().registrations;
}

void broadcast_device_change(WPARAM event, const std::vector<BYTE>& record) {
    auto bytes = record.empty() ? nullptr : std::make_shared<const std::vector<BYTE>>(record);
    for (HWND window : top_level_windows())
        deliver({window, event, bytes});
}

void hold_device_changes() {
    std::lock_guard<std::recursive_mutex> held(lock());
    shell().holding = true;
}

std::vector<HeldDeviceChange> held_device_changes() {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<HeldDeviceChange> found;
    for (auto& change : shell().held)
        found.push_back({change.window, change.event, interface_named(change.record.get())});
    return found;
}

void release_device_changes(const std::vector<size_t>& order) {
    std::lock_guard<std::recursive_mutex> held(lock());
    std::vector<DeviceChange> waiting;
    waiting.swap(shell().held);
    shell().holding = false;
    for (size_t index : order)
        if (index < waiting.size())
            deliver(waiting[index]);
}

void device_interface_changed(bool arrival, const GUID& class_guid, const std::wstring& path) {
    interface_changed(arrival, class_guid, path);
}

} // namespace winsim

extern "C" {

BOOL WINAPI Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    if (fault("Shell_NotifyIconW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!data || data->cbSize != sizeof(NOTIFYICONDATAW)) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    winsim::TrayIcon* icon = find_icon(data->hWnd, data->uID);
    switch (message) {
    case NIM_ADD:
        if (icon || !window_alive(data->hWnd))
            return FALSE;
        shell().icons.push_back({data->hWnd, data->uID, 0, {}, {}});
        apply(shell().icons.back(), *data);
        return TRUE;
    case NIM_MODIFY:
        if (!icon)
            return FALSE;
        apply(*icon, *data);
        return TRUE;
    case NIM_DELETE:
        if (!icon)
            return FALSE;
        shell().icons.erase(shell().icons.begin() + (icon - shell().icons.data()));
        return TRUE;
    default:
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
}

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
    if (fault("RegisterDeviceNotificationW"))
        return nullptr;
    auto* record = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
    HWND window = static_cast<HWND>(recipient);
    if (flags != DEVICE_NOTIFY_WINDOW_HANDLE || !record ||
        record->dbcc_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ||
        record->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!window_alive(window)) {
        set_error(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    listen_for_device_changes();
    std::lock_guard<std::recursive_mutex> held(lock());
    HDEVNOTIFY handle = reinterpret_cast<HDEVNOTIFY>(shell().next_registration);
    shell().next_registration += 4;
    shell().registrations.push_back({handle, window, record->dbcc_classguid});
    return handle;
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY notification) {
    if (fault("UnregisterDeviceNotification"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto& registrations = shell().registrations;
    for (auto it = registrations.begin(); it != registrations.end(); ++it)
        if (it->handle == notification) {
            registrations.erase(it);
            return TRUE;
        }
    set_error(ERROR_INVALID_HANDLE);
    return FALSE;
}

} // extern "C"
