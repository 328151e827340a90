// The process-wide table of attached sticks, and keeping it in line with the sticks present:
// attaching a stick (open, reader, pad, entry), removing the entry when its reader ends,
// reconciling with a fresh enumeration at every device change, and emptying it at shutdown.
// This header has the table and its own operations; the attach policy (open, restart once,
// shared fallback, warnings) is in device_attach.h, the reconciliation and the two callbacks the
// tray and the readers call in device_rescan.h; their shared state is one record,
// DeviceTableState, beside the two slots in device_state.h.
//
// Threads: the main thread rescans, inserts and empties; a reader thread removes its own entry
// at its end. Every menu rebuild and tray refresh that follows a change runs on the main
// thread: the reader thread posts it (tray_post_to_main) instead of doing it.
//
// The table lies below the application menu: what it needs of the menu (the warning balloons,
// the rebuild that shows the table as it is) it reaches through the two slots of
// device_state.h, which start-up fills, as it fills the readers' slots.
#pragma once

#include "bus/bus.h"
#include "devices/device_state.h"

#include <windows.h>

#include <cstdint>

struct HidDevice;
struct StickReader;

// One attached stick.
struct DeviceEntry {
    HidDevice* device;       // owned by the entry: closed and freed when it leaves the table
    StickReader* reader;     // frees itself when it stops
    _VIGEM_TARGET_T* target; // owned by the entry; null when the bus is not connected or the
                             // target could not be allocated
    GamepadReport report;    // the last report built for this stick, on its reader thread
    HANDLE submit_event;     // auto-reset; the reader thread's submits wait on it, one at a time;
                             // owned by the entry; null: each submit makes its own
};

enum { DEVICE_TABLE_CAPACITY = 1 };

// Lookups hold `lock` shared; insertion, removal and emptying hold it exclusively. The lock is
// neither recursive nor upgradable: a thread holding it shared never asks for it exclusively,
// nor for it shared a second time (a waiting writer would block that second request).
struct DeviceTable {
    int32_t count;                               // slots 0 .. count-1 are in use; lock
    DeviceEntry* entries[DEVICE_TABLE_CAPACITY]; // in insertion order; lock
    SRWLOCK lock;
};

extern DeviceTable device_table;

// Removes the entry whose reader is `reader`: closes and frees its device, unplugs and frees
// its pad (no bus call without a pad), frees the entry and closes the gap. 1 when an entry was
// removed, 0 when none has this reader. Does not touch the reader. Called from the reader's
// end, on its thread; takes the table lock exclusively. Blocks on the bus requests.
int device_remove_by_reader(StickReader* reader);

// Shutdown, after the message loop has ended: asks every reader to stop and waits for each to
// end, which removes its entry, so that no reader thread can still use an entry, device or pad
// once this returns. Never waits with the lock held and never on a handle a reader closes.
// Main thread. Blocks until every reader has ended (within a read time-out each).
void device_table_clear(void);

// For the other files of devices/ (attaching and the rescan):

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
