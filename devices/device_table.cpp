// The device table's own operations: insertion at the end of an attach, removal at a reader's
// end, emptying at shutdown, and the module's state with its reset.
#include "devices/device_table.h"

#include "bus/bus_connection.h"
#include "devices/device_state.h"
#include "hid/hid_device.h"
#include "hid/stick_reader.h"

#include <cstdlib>
#include <cwchar>

DeviceTable device_table = {0, {nullptr}, SRWLOCK_INIT};

bool device_table_has_path(const wchar_t* path) {
    for (int32_t i = 0; i < device_table.count; i++)
        if (std::wcscmp(device_table.entries[i]->device->path, path) == 0)
            return true;
    return false;
}

bool device_table_has_room(void) {
    AcquireSRWLockShared(&device_table.lock);
    bool room = device_table.count < DEVICE_TABLE_CAPACITY;
    ReleaseSRWLockShared(&device_table.lock);
    return room;
}

// A null target must not reach the bus client, and without a connection there is none.
void device_entry_release(DeviceEntry* entry) {
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
    if (entry->submit_event)
        CloseHandle(entry->submit_event);
    std::free(entry);
}

void device_table_begin_add(HidDevice* device) {
    AcquireSRWLockExclusive(&device_table.lock);
    device_state.pending_add.device = device;
    device_state.pending_add.reader_ended = 0;
    ReleaseSRWLockExclusive(&device_table.lock);
}

void device_table_abandon_add(void) {
    AcquireSRWLockExclusive(&device_table.lock);
    device_state.pending_add.device = nullptr;
    ReleaseSRWLockExclusive(&device_table.lock);
}

int device_table_finish_add(DeviceEntry* entry) {
    AcquireSRWLockExclusive(&device_table.lock);
    bool ended = device_state.pending_add.reader_ended != 0;
    device_state.pending_add.device = nullptr;
    if (!ended) {
        device_table.entries[device_table.count] = entry;
        device_table.count++;
    }
    ReleaseSRWLockExclusive(&device_table.lock);
    return ended ? 0 : 1;
}

int device_remove_by_reader(StickReader* reader) {
    int removed = 0;
    AcquireSRWLockExclusive(&device_table.lock);
    for (int32_t i = 0; i < device_table.count; i++) {
        DeviceEntry* entry = device_table.entries[i];
        if (entry->reader != reader)
            continue;
        device_entry_release(entry);
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
    PendingAdd& pending = device_state.pending_add;
    if (!removed && pending.device && reader->device == pending.device)
        pending.reader_ended = 1;
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
