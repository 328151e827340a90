// Attaching a stick: open it (exclusively, after one forced restart when another program holds
// it, shared as the last resort), start its reader, plug in its pad, insert its entry; and the
// memory of sticks that stayed unopenable right after a restart.
#pragma once

#include <cstddef>

struct DeviceListNode;

// Attaches the stick at `path`: opens it (exclusively, after a forced restart when another
// program holds it, else shared; a stick that stayed unopenable right after a restart is not
// restarted again until it has left the enumeration), starts its reader, plugs in a pad when the
// bus is connected, inserts the entry, and has the menu rebuilt and the tray refreshed (the
// table-changed slot). Every failure raises its warning (the warning slot). 1 when the stick is in
// the table, 0 when not (table full, no open, no reader, or the reader ended before its entry could
// be inserted, which is cleaned up as its removal would have been). Main thread, table lock not
// held. Blocks on the restart and the bus.
int device_add(const wchar_t* path);

// Sticks that could not be opened even right after a restart, remembered so that they are not
// restarted again: a restart announces the stick's removal and arrival, and the rescan that
// this brings would restart it again, and again, for as long as it stays unopenable. The memory
// is fixed, so remembering never throws, and a stick is restarted only when its path can be
// remembered: the copy is made, and a slot found, before the restart. When the memory is full,
// or the copy cannot be allocated, the stick is opened shared without a restart; forgetting the
// oldest instead would let the sticks past the memory restart one another for ever. A stick
// that has left the enumeration is forgotten. Main thread only; the copies live in
// device_state.unopenable (DEVICE_RESTART_MEMORY of them).
bool device_restart_tried(const wchar_t* path);
// A heap copy of `path` to remember once its restart has not helped, or null when it could not
// be remembered (the memory is full, or the heap is exhausted): the stick is then not
// restarted. The caller frees the copy, or hands it to device_remember_unopenable.
wchar_t* device_restart_reserve(const wchar_t* path);
// Keeps `copy`, made by device_restart_reserve with no other copy kept since.
void device_remember_unopenable(wchar_t* copy);
// Forgets every remembered stick that is not in `list` (a fresh enumeration).
void device_forget_vanished(const DeviceListNode* list);
// Forgets every remembered stick and frees the copies.
void device_forget_all_unopenable(void);
