// The device table: attaching, removal at a reader's end, reconciliation and emptying.
#include "hid/device_table.h"

#include "app/app_state.h"
#include "hid/hid_device.h"
#include "hid/hid_enum.h"
#include "hid/stick_reader.h"
#include "tray/app_menu.h"
#include "tray/tray.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

DeviceTable device_table = {0, {nullptr}, SRWLOCK_INIT};

namespace {

// The stick device_add is attaching, from just before its reader starts until its entry is
// inserted. A reader that ends in that window finds no entry; its removal notes the end here
// instead, so that the insertion does not keep a freed reader and a device nobody reads.
// Guarded by the table lock: written with it held exclusively.
struct PendingAdd {
    HidDevice* device;    // null when no attach is under way
    int32_t reader_ended; // 1 once the device's reader has run its end
};
PendingAdd pending_add = {nullptr, 0};

// Sticks that could not be opened even right after a restart. Main thread only. A restart
// announces the stick's removal and arrival, and the rescan that brings would restart it again,
// and again, for as long as it stays unopenable; such a stick is restarted once, and again
// only after it has left the enumeration (pulled out and plugged in).
std::vector<std::wstring> unopenable_after_restart;

bool restart_tried(const wchar_t* path) {
    return std::find(unopenable_after_restart.begin(), unopenable_after_restart.end(), path) !=
           unopenable_after_restart.end();
}

// Main thread only: a rescan asked a vanished stick's reader to stop. Until that reader's end
// has removed its entry the table looks full, so sticks still present are attached by a
// rescan after the removal rather than refused with a balloon now.
bool rescan_after_removal = false;

// Main thread only: a rescan is running, and a device change arrived meanwhile.
bool rescan_running = false;
bool rescan_again = false;

void show_warning(const wchar_t* text) {
    tray_show_balloon(BALLOON_WARNING, BALLOON_TITLE, text);
}

// Closes and frees what an entry owns, and the entry. No pad, no bus call: a null target must
// not reach the bus client, and without a connection there is none.
void release_entry(DeviceEntry* entry) {
    hid_close(entry->device);
    hid_free(entry->device);
    if (bus_connected && entry->target) {
        bus_target_stop_feedback(entry->target);
        // A pad left plugged in stays visible to games with no stick behind it, for as long
        // as the program runs. One more attempt gets past a passing failure (no event to be
        // had for the request, a driver that refused it once).
        if (bus_target_remove(bus_client, entry->target) == BUS_ERR_UNPLUG_FAILED)
            bus_target_remove(bus_client, entry->target);
        bus_target_delete(entry->target);
    }
    std::free(entry);
}

// Opens exclusively; when another program holds the stick, restarts it so that it lets go and
// tries again; shared as the last resort. Null when every way failed.
HidDevice* open_stick(const wchar_t* path) {
    HidDevice* device = hid_open(path, 1, 0);
    if (device)
        return device;
    if (!restart_tried(path) && hid_restart_device(path)) {
        device = hid_open(path, 1, 0);
        if (!device)
            device = hid_open(path, 1, 1);
        if (!device)
            unopenable_after_restart.push_back(path);
        return device;
    }
    return hid_open(path, 1, 1);
}

// Whether an entry's device has exactly this path. Both come from enumeration, so the
// comparison is exact. Table lock held (either mode).
bool table_has_path(const wchar_t* path) {
    for (int32_t i = 0; i < device_table.count; i++)
        if (std::wcscmp(device_table.entries[i]->device->path, path) == 0)
            return true;
    return false;
}

void rescan_once() {
    static const wchar_t* const filters[] = {STICK_PATH_FILTER, nullptr};
    DeviceListNode* list = hid_enumerate(filters);

    // A stick gone from the list is worth a restart again when it comes back.
    auto gone = [list](const std::wstring& path) {
        for (DeviceListNode* node = list; node; node = node->next)
            if (path == node->path)
                return false;
        return true;
    };
    unopenable_after_restart.erase(
        std::remove_if(unopenable_after_restart.begin(), unopenable_after_restart.end(), gone),
        unopenable_after_restart.end());

    // Vanished sticks: only a request to stop; the reader's own end removes its entry once
    // this lock is let go. Its record and device stay alive meanwhile, since that removal
    // needs the lock exclusively.
    bool stopping = false;
    AcquireSRWLockShared(&device_table.lock);
    for (int32_t i = 0; i < device_table.count; i++) {
        DeviceEntry* entry = device_table.entries[i];
        bool present = false;
        for (DeviceListNode* node = list; node && !present; node = node->next)
            present = std::wcscmp(node->path, entry->device->path) == 0;
        if (!present) {
            stick_reader_stop(entry->reader);
            stopping = true;
        }
    }
    ReleaseSRWLockShared(&device_table.lock);
    if (stopping)
        rescan_after_removal = true;

    // New sticks. The lock is let go before device_add, which takes it exclusively.
    for (DeviceListNode* node = list; node; node = node->next) {
        AcquireSRWLockShared(&device_table.lock);
        bool known = table_has_path(node->path);
        bool full = device_table.count >= DEVICE_TABLE_CAPACITY;
        ReleaseSRWLockShared(&device_table.lock);
        // A table full only of sticks on their way out is not full for long: the rescan after
        // their removal attaches this one, where trying now would only say the table is full.
        if (!known && !(full && rescan_after_removal))
            device_add(node->path);
    }

    while (list) {
        DeviceListNode* next = list->next;
        device_list_node_free(list);
        list = next;
    }
}

} // namespace

namespace {

// After a removal, on the main thread: the menu shows the table as it now is, and a stick that
// a rescan left waiting for this removal is attached.
void after_removal(void*) {
    app_menu_update(nullptr);
    if (rescan_after_removal) {
        rescan_after_removal = false;
        device_rescan();
    }
}

} // namespace

void on_reader_stopped(StickReader* reader) {
    if (!device_remove_by_reader(reader))
        return;
    // The popup menu refers to the array a rebuild frees, and only the main thread may replace
    // either. Refused only when the tray is gone, and then there is no menu to show anyway.
    tray_post_to_main(after_removal, nullptr);
}

int device_add(const wchar_t* path) {
    AcquireSRWLockShared(&device_table.lock);
    bool full = device_table.count >= DEVICE_TABLE_CAPACITY;
    ReleaseSRWLockShared(&device_table.lock);
    if (full) {
        show_warning(BALLOON_DEVICE_LIMIT);
        return 0;
    }

    HidDevice* device = open_stick(path);
    if (!device) {
        show_warning(BALLOON_OPEN_FAILED);
        return 0;
    }
    // Made before the reader, so that nothing can fail once the reader runs but its insertion.
    auto* entry = static_cast<DeviceEntry*>(std::calloc(1, sizeof(DeviceEntry)));
    if (!entry) {
        show_warning(BALLOON_INIT_FAILED);
        hid_close(device);
        hid_free(device);
        return 0;
    }
    entry->device = device;

    AcquireSRWLockExclusive(&device_table.lock);
    pending_add.device = device;
    pending_add.reader_ended = 0;
    ReleaseSRWLockExclusive(&device_table.lock);

    // The reader runs from here on; its reports find no entry, and are dropped, until the
    // insertion below. It may even end before then (the stick pulled right after the open).
    StickReader* reader = stick_reader_create(device);
    if (!reader) {
        AcquireSRWLockExclusive(&device_table.lock);
        pending_add.device = nullptr;
        ReleaseSRWLockExclusive(&device_table.lock);
        show_warning(BALLOON_INIT_FAILED);
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
    }

    AcquireSRWLockExclusive(&device_table.lock);
    bool ended = pending_add.reader_ended != 0;
    pending_add.device = nullptr;
    if (!ended) {
        device_table.entries[device_table.count] = entry;
        device_table.count++;
    }
    ReleaseSRWLockExclusive(&device_table.lock);
    if (ended) {
        // The reader has run its end and will not touch the device again: release everything
        // as its removal would have, had the entry been in the table. The table never showed
        // the stick, so the menu stays as it is.
        release_entry(entry);
        return 0;
    }

    build_application_menu();
    tray_refresh(&app_tray);
    if (!bus_connected)
        show_warning(BALLOON_NO_EMULATION);
    return 1;
}

int device_remove_by_reader(StickReader* reader) {
    int removed = 0;
    AcquireSRWLockExclusive(&device_table.lock);
    for (int32_t i = 0; i < device_table.count; i++) {
        DeviceEntry* entry = device_table.entries[i];
        if (entry->reader != reader)
            continue;
        release_entry(entry);
        // Later entries move down one place, keeping their order. The capacity bounds the
        // walk as well, so that it can be seen to stay inside the array.
        for (int32_t j = i + 1; j < device_table.count && j < DEVICE_TABLE_CAPACITY; j++)
            device_table.entries[j - 1] = device_table.entries[j];
        device_table.count--;
        device_table.entries[device_table.count] = nullptr;
        removed = 1;
        break;
    }
    // The record is still alive here (its stop frees it after this callback), so its device
    // tells whether it is the reader of the stick being attached.
    if (!removed && pending_add.device && reader->device == pending_add.device)
        pending_add.reader_ended = 1;
    ReleaseSRWLockExclusive(&device_table.lock);
    return removed;
}

void device_table_clear(void) {
    for (;;) {
        AcquireSRWLockShared(&device_table.lock);
        if (device_table.count == 0) {
            ReleaseSRWLockShared(&device_table.lock);
            return;
        }
        // The entry, and with it the reader's record, stays while this lock is held: the
        // reader's removal needs it exclusively. Its end then removes the entry, closing the
        // device and unplugging the pad on its own thread, and sets our event last of all.
        StickReader* reader = device_table.entries[0]->reader;
        HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (ended)
            stick_reader_notify_end(reader, ended);
        stick_reader_stop(reader);
        ReleaseSRWLockShared(&device_table.lock);
        if (ended) {
            WaitForSingleObject(ended, INFINITE);
            CloseHandle(ended);
        } else {
            Sleep(1); // no event to wait on: look again until the reader's end has removed it
        }
    }
}

void device_rescan(void) {
    // A device change delivered inside a rescan (a restart's own removal and arrival, say)
    // must not nest one: the inner run would attach the same stick a second time. It is
    // taken up once the running one is done, when it sees the table as it now is.
    if (rescan_running) {
        rescan_again = true;
        return;
    }
    rescan_running = true;
    do {
        rescan_again = false;
        rescan_once();
    } while (rescan_again);
    rescan_running = false;
}

namespace {

// A rescan asked for by a device change and not yet run. Main thread only.
bool rescan_requested = false;

void run_requested_rescan(void*) {
    rescan_requested = false;
    device_rescan();
}

} // namespace

void on_device_change(DeviceChangeKind, const wchar_t*) {
    // Windows tells one plug-in several times (the interface's arrival to us, the device-node
    // change to every top-level window, sometimes twice), and a hub can raise a burst of them.
    // One rescan after the burst sees everything they could: the request goes behind the
    // messages already queued, and changes until it runs ask for nothing more. Without this a
    // second stick showed its "Device count limit reached" once per notification.
    if (rescan_requested)
        return;
    rescan_requested = true;
    if (!tray_post_to_main(run_requested_rescan, nullptr)) {
        rescan_requested = false;
        device_rescan();
    }
}
