// The device table's module state beyond the table itself, and the helpers its three files
// (device_table.cpp, device_attach.cpp, device_rescan.cpp) share. Nothing outside hid/ uses it.
#pragma once

#include "devices/device_table.h"

#include <cstddef>
#include <cstdint>

struct DeviceListNode;

// Sticks that could not be opened even right after a restart, remembered so that they are not
// restarted again: a restart announces the stick's removal and arrival, and the rescan that
// brings would restart it again, and again, for as long as it stays unopenable. The memory is
// fixed, so remembering never throws: when it is full the oldest path is forgotten, and a path
// whose copy cannot be allocated is not remembered; either stick may then be restarted once
// more. A stick that has left the enumeration is forgotten.
enum : size_t { DEVICE_RESTART_MEMORY = 8 };

// The stick device_add is attaching, from just before its reader starts until its entry is
// inserted. A reader that ends in that window finds no entry; its removal notes the end here
// instead, so that the insertion does not keep a freed reader and a device nobody reads.
struct PendingAdd {
    HidDevice* device;    // table lock, exclusive to write; null when no attach is under way
    int32_t reader_ended; // table lock, exclusive to write; 1 once that reader has run its end
};

struct DeviceTableState {
    PendingAdd pending_add; // the table lock (see PendingAdd)
    // Main thread only: heap copies of the paths, oldest first; slots from unopenable_count on
    // are null.
    wchar_t* unopenable[DEVICE_RESTART_MEMORY];
    size_t unopenable_count; // main thread only
    // Main thread only: a rescan asked a vanished stick's reader to stop. Until that reader's
    // end has removed its entry the table looks full, so sticks still present are attached by
    // a rescan after the removal rather than refused with a balloon now.
    bool rescan_after_removal;
    bool rescan_running;   // main thread only: a rescan is running
    bool rescan_again;     // main thread only: a device change arrived while it ran
    bool rescan_requested; // main thread only: one is queued behind the waiting messages
};

// The one instance; device_table_reset returns it to all zero.
extern DeviceTableState device_state;

// Whether an entry's device has exactly this path. Both come from enumeration, so the
// comparison is exact. Table lock held (either mode).
bool device_table_has_path(const wchar_t* path);

// Whether the table has room for one more stick. Takes the table lock shared for the look.
bool device_table_has_room(void);

// Closes and frees what an entry owns, and the entry. No pad, no bus call. Any thread; the
// entry is out of the table (or never was in it).
void device_entry_release(DeviceEntry* entry);

// The attach's three steps on the table: note the device whose reader is about to start; give
// up that note when no reader could be started; insert the entry, unless its reader has ended
// meanwhile (0 then: the caller releases the entry as a removal would have). Main thread; each
// takes the table lock exclusively.
void device_table_begin_add(HidDevice* device);
void device_table_abandon_add(void);
int device_table_finish_add(DeviceEntry* entry);

// The restart memory (DEVICE_RESTART_MEMORY). Main thread only.
bool device_restart_tried(const wchar_t* path);
void device_remember_unopenable(const wchar_t* path);
// Forgets every remembered stick that is not in `list` (a fresh enumeration).
void device_forget_vanished(const DeviceListNode* list);
// Forgets every remembered stick and frees the copies.
void device_forget_all_unopenable(void);

// The two slots, called only when filled.
void device_warn(DeviceWarning warning);
void device_table_changed(void);
