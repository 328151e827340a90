// Keeping the table in line with the sticks present: the rescan, the device-change callback
// that asks for one, and the reader-stopped callback that removes a stick whose reader ended.
#include "devices/device_rescan.h"

#include "devices/device_attach.h"
#include "devices/device_table.h"

#include "devices/device_state.h"
#include "hid/hid_device.h"
#include "hid/hid_enum.h"
#include "hid/stick_model.h"
#include "hid/stick_reader.h"
#include "tray/tray.h"

namespace {

void rescan_once() {
    static const wchar_t* const filters[] = {STICK_PATH_FILTER, nullptr};
    DeviceListNode* list = hid_enumerate(filters);

    // A stick gone from the list is worth a restart again when it comes back.
    device_forget_vanished(list);

    // Vanished sticks: only a request to stop; the reader's own end removes its entry once
    // this lock is let go. Its record and device stay alive meanwhile, since that removal
    // needs the lock exclusively.
    bool stopping = false;
    AcquireSRWLockShared(&device_table.lock);
    for (int32_t i = 0; i < device_table.count; i++) {
        DeviceEntry* entry = device_table.entries[i];
        if (!device_list_has_path(list, entry->device->path)) {
            stick_reader_stop(entry->reader);
            stopping = true;
        }
    }
    ReleaseSRWLockShared(&device_table.lock);
    if (stopping)
        device_state.rescan_after_removal = true;

    // New sticks. The lock is let go before device_add, which takes it exclusively.
    for (DeviceListNode* node = list; node; node = node->next) {
        AcquireSRWLockShared(&device_table.lock);
        bool known = device_table_has_path(node->path);
        bool full = device_table.count >= DEVICE_TABLE_CAPACITY;
        ReleaseSRWLockShared(&device_table.lock);
        // A table full only of sticks on their way out is not full for long: the rescan after
        // their removal attaches this one, where trying now would only say the table is full.
        if (!known && !(full && device_state.rescan_after_removal))
            device_add(node->path);
    }

    while (list) {
        DeviceListNode* next = list->next;
        device_list_node_free(list);
        list = next;
    }
}

// After a removal, on the main thread: the menu shows the table as it now is, and a stick that
// a rescan left waiting for this removal is attached.
void after_removal(void*) {
    device_table_changed();
    if (device_state.rescan_after_removal) {
        device_state.rescan_after_removal = false;
        device_rescan();
    }
}

void run_requested_rescan(void*) {
    device_state.rescan_requested = false;
    device_rescan();
}

} // namespace

// A stick pulled out: its outstanding read fails, the reader leaves its loop and runs its own
// stop (stick_reader.cpp), which calls this on the reader's thread. The removal closes the
// device and unplugs the pad there; the menu follows on the main thread.
void on_reader_stopped(StickReader* reader) {
    if (!device_remove_by_reader(reader))
        return;
    // The popup menu refers to the array a rebuild frees, and only the main thread may replace
    // either. Refused when the tray is gone, and then there is no menu to show anyway, and when
    // the work's record cannot be allocated: the menu then keeps "Pelkavorn K7 Detected" until
    // the next rescan or removal rebuilds it.
    tray_post_to_main(after_removal, nullptr);
}

void device_rescan(void) {
    // A device change delivered inside a rescan (a restart's own removal and arrival, say)
    // must not nest one: the inner run would attach the same stick a second time. It is
    // taken up once the running one is done, when it sees the table as it now is.
    if (device_state.rescan_running) {
        device_state.rescan_again = true;
        return;
    }
    device_state.rescan_running = true;
    do {
        device_state.rescan_again = false;
        rescan_once();
    } while (device_state.rescan_again);
    device_state.rescan_running = false;
}

void on_device_change(DeviceChangeKind, const wchar_t*) {
    // Windows tells one plug-in several times (the interface's arrival to us, the device-node
    // change to every top-level window, sometimes twice), and a hub can raise a burst of them.
    // One rescan after the burst sees everything they could: the request goes behind the
    // messages already queued, and changes until it runs ask for nothing more. Without this a
    // second stick showed its "Device count limit reached" once per notification.
    if (device_state.rescan_requested)
        return;
    device_state.rescan_requested = true;
    if (!tray_post_to_main(run_requested_rescan, nullptr)) {
        device_state.rescan_requested = false;
        device_rescan();
    }
}

void device_table_reset(void) {
    device_forget_all_unopenable();
    device_state = DeviceTableState{};
    device_table.count = 0;
    for (DeviceEntry*& entry : device_table.entries)
        entry = nullptr;
    device_warning_callback = nullptr;
    device_table_changed_callback = nullptr;
}
