// The devices layer's state beyond the table itself, which its three parts (the table,
// attaching, the rescan) share as one record, and the two slots through which it reaches the
// application menu above it: the warning balloons, and the rebuild that shows the table as it
// is. Records and slots only: each part's operations are in its own header.
#pragma once

#include <cstddef>
#include <cstdint>

struct DeviceListNode;
struct HidDevice;

// What went wrong while attaching a stick; each has its warning balloon.
enum DeviceWarning : int32_t {
    DEVICE_WARNING_TABLE_FULL = 0,   // a second stick while one is attached
    DEVICE_WARNING_OPEN_FAILED = 1,  // no way of opening it worked
    DEVICE_WARNING_INIT_FAILED = 2,  // its reader (or its entry) could not be made
    DEVICE_WARNING_NO_EMULATION = 3, // attached, but there is no bus to give it a pad
};

// Shows the warning's balloon. Main thread, table lock not held.
typedef void (*DeviceWarningCallback)(DeviceWarning warning);
// The table changed: rebuild the menu so that it shows the table as it now is, and refresh the
// tray. Main thread, table lock not held.
typedef void (*DeviceTableChangedCallback)(void);

// Written once by start-up before the first rescan, read on the main thread; null (the value a
// process starts with, and after device_table_reset) does nothing; device_warn and
// device_table_changed call them only when filled.
extern DeviceWarningCallback device_warning_callback;
extern DeviceTableChangedCallback device_table_changed_callback;

// How many unopenable sticks the restart memory keeps (devices/device_attach.h).
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

void device_warn(DeviceWarning warning);
void device_table_changed(void);
