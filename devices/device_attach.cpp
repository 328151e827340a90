// Attaching a stick: how it is opened (exclusively, after one forced restart when another
// program holds it, shared as the last resort), its reader and pad, its insertion, and the
// warning each failure shows.
#include "devices/device_attach.h"

#include "devices/device_table.h"

#include "bus/bus_connection.h"
#include "devices/device_state.h"
#include "hid/hid_device.h"
#include "hid/hid_enum.h"
#include "hid/stick_reader.h"
#include "hid/wide_string.h"

#include <cstdlib>
#include <cwchar>

bool device_restart_tried(const wchar_t* path) {
    for (size_t i = 0; i < device_state.unopenable_count; i++)
        if (std::wcscmp(device_state.unopenable[i], path) == 0)
            return true;
    return false;
}

wchar_t* device_restart_reserve(const wchar_t* path) {
    if (device_state.unopenable_count == DEVICE_RESTART_MEMORY)
        return nullptr;
    return wide_string_copy(path);
}

void device_remember_unopenable(wchar_t* copy) {
    device_state.unopenable[device_state.unopenable_count++] = copy;
}

void device_forget_vanished(const DeviceListNode* list) {
    size_t kept = 0;
    for (size_t i = 0; i < device_state.unopenable_count; i++) {
        wchar_t* path = device_state.unopenable[i];
        if (device_list_has_path(list, path)) {
            device_state.unopenable[kept++] = path;
        } else {
            std::free(path);
        }
    }
    for (size_t i = kept; i < device_state.unopenable_count; i++)
        device_state.unopenable[i] = nullptr;
    device_state.unopenable_count = kept;
}

void device_forget_all_unopenable(void) {
    for (size_t i = 0; i < device_state.unopenable_count; i++) {
        std::free(device_state.unopenable[i]);
        device_state.unopenable[i] = nullptr;
    }
    device_state.unopenable_count = 0;
}

namespace {

// Opens exclusively; when another program holds the stick, restarts it so that it lets go and
// tries again; shared as the last resort. Null when every way failed.
HidDevice* open_stick(const wchar_t* path) {
    HidDevice* device = hid_open(path, HID_OPEN_READ_WRITE, HID_OPEN_EXCLUSIVE);
    if (device)
        return device;
    wchar_t* copy = device_restart_tried(path) ? nullptr : device_restart_reserve(path);
    if (copy && hid_restart_device(path)) {
        device = hid_open(path, HID_OPEN_READ_WRITE, HID_OPEN_EXCLUSIVE);
        if (!device)
            device = hid_open(path, HID_OPEN_READ_WRITE, HID_OPEN_SHARED);
        if (device)
            std::free(copy);
        else
            device_remember_unopenable(copy);
        return device;
    }
    std::free(copy);
    return hid_open(path, HID_OPEN_READ_WRITE, HID_OPEN_SHARED);
}

} // namespace

int device_add(const wchar_t* path) {
    if (!device_table_has_room()) {
        device_warn(DEVICE_WARNING_TABLE_FULL);
        return 0;
    }

    HidDevice* device = open_stick(path);
    if (!device) {
        device_warn(DEVICE_WARNING_OPEN_FAILED);
        return 0;
    }
    // Made before the reader, so that nothing can fail once the reader runs but its insertion.
    auto* entry = static_cast<DeviceEntry*>(std::calloc(1, sizeof(DeviceEntry)));
    if (!entry) {
        device_warn(DEVICE_WARNING_INIT_FAILED);
        hid_close(device);
        hid_free(device);
        return 0;
    }
    entry->device = device;

    device_table_begin_add(device);
    // The reader runs from here on; its reports find no entry, and are dropped, until the
    // insertion below. It may even end before then (the stick pulled right after the open).
    StickReader* reader = stick_reader_create(device);
    if (!reader) {
        device_table_abandon_add();
        device_warn(DEVICE_WARNING_INIT_FAILED);
        hid_close(device);
        hid_free(device);
        std::free(entry);
        return 0;
    }
    entry->reader = reader;
    if (bus_connected) {
        entry->target = bus_target_new_x360();
        if (entry->target)
            bus_target_add(bus_client, entry->target); // a failed plug-in is not reported
        entry->report = GamepadReport{};
        // Kept for the pad's life rather than made per report; without it (no event to be
        // had) every report makes its own, so a failure here costs nothing but that.
        entry->submit_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }

    if (!device_table_finish_add(entry)) {
        // The reader has run its end and will not touch the device again: release everything
        // as its removal would have, had the entry been in the table. The table never showed
        // the stick, so the menu stays as it is.
        device_entry_release(entry);
        return 0;
    }

    device_table_changed();
    if (!bus_connected)
        device_warn(DEVICE_WARNING_NO_EMULATION);
    return 1;
}
