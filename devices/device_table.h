// The process-wide table of attached sticks, and keeping it in line with the sticks present:
// attaching a stick (open, reader, pad, entry), removing the entry when its reader ends,
// reconciling with a fresh enumeration at every device change, and emptying it at shutdown.
// The table operations are in device_table.cpp, the attach policy (open, restart once, shared
// fallback, warnings) in device_attach.cpp, the reconciliation and the two callbacks the tray
// and the readers call in device_rescan.cpp; their shared state is one record,
// DeviceTableState (device_state.h).
//
// Threads: the main thread rescans, inserts and empties; a reader thread removes its own entry
// at its end. Every menu rebuild and tray refresh that follows a change runs on the main
// thread: the reader thread posts it (tray_post_to_main) instead of doing it.
//
// The table lies below the application menu: what it needs of the menu (the warning balloons,
// the rebuild that shows the table as it is) it reaches through the two slots below, which
// start-up fills, as it fills the readers' slots.
#pragma once

#include "bus/bus.h"
#include "tray/tray_menu.h"

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

// The interface-path substring that identifies the stick, compared without regard to case.
#define STICK_PATH_FILTER L"VID_16D0&PID_11A0"

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
// process starts with, and after device_table_reset) does nothing.
extern DeviceWarningCallback device_warning_callback;
extern DeviceTableChangedCallback device_table_changed_callback;

// Back to the state a process starts with: the table empty, no attach under way, no stick
// remembered as unopenable, no rescan running or asked for, both slots above null. Frees what
// the module holds; the table must be empty and no reader running. For tests between runs of
// the program; main thread.
void device_table_reset(void);

// The reader-stopped callback: removes the reader's entry (on the reader's thread, closing the
// device and unplugging the pad) and, when one was removed, asks the main thread to rebuild the
// menu and refresh the tray. Any thread; takes the table lock exclusively, so the caller must
// not hold it. Does not block beyond the lock and the bus requests of the removal.
void on_reader_stopped(StickReader* reader);

// Attaches the stick at `path`: opens it (exclusively, after a forced restart when another
// program holds it, else shared; a stick that stayed unopenable right after a restart is not
// restarted again until it has left the enumeration), starts its reader, plugs in a pad when the
// bus is connected, inserts the entry, and has the menu rebuilt and the tray refreshed (the
// table-changed slot). Every failure raises its warning (the warning slot). 1 when the stick is in
// the table, 0 when not (table full, no open, no reader, or the reader ended before its entry could
// be inserted, which is cleaned up as its removal would have been). Main thread, table lock not
// held. Blocks on the restart and the bus.
int device_add(const wchar_t* path);

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

// Reconciles the table with the sticks present: asks the readers of vanished sticks to stop
// (their own ends remove the entries) and attaches sticks not yet in the table. A device change
// that arrives while a rescan runs (delivered inside it) makes it run once more afterwards
// instead of nesting. Main thread, table lock not held. Blocks on enumeration and attaching.
void device_rescan(void);

// The device-change callback: asks for one rescan whatever the change. The rescan runs on the
// main thread after the messages already queued, so a burst of notifications for one plug-in
// leads to one rescan; without a tray window to queue it on, it runs at once. Main thread.
void on_device_change(DeviceChangeKind kind, const wchar_t* name);
