// Keeping the table in line with the sticks present: the rescan, the device-change callback
// that asks for one, the reader-stopped callback that removes a stick whose reader ended, and
// the reset of the whole devices layer between runs of the program in tests.
#pragma once

#include "tray/tray_menu.h"

struct StickReader;

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

// Reconciles the table with the sticks present: asks the readers of vanished sticks to stop
// (their own ends remove the entries) and attaches sticks not yet in the table. A device change
// that arrives while a rescan runs (delivered inside it) makes it run once more afterwards
// instead of nesting. Main thread, table lock not held. Blocks on enumeration and attaching.
void device_rescan(void);

// The device-change callback: asks for one rescan whatever the change. The rescan runs on the
// main thread after the messages already queued, so a burst of notifications for one plug-in
// leads to one rescan; without a tray window to queue it on, it runs at once. Main thread.
void on_device_change(DeviceChangeKind kind, const wchar_t* name);
