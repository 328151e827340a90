// The process-wide table of attached sticks.
#pragma once

#include "bus/bus.h"

#include <windows.h>

#include <cstdint>

struct HidDevice;
struct StickReader;

// One attached stick.
struct DeviceEntry {
    HidDevice* device;       // owned by the entry: closed and freed when it leaves the table
    StickReader* reader;     // frees itself when it stops
    _VIGEM_TARGET_T* target; // owned by the entry; null when the bus is not connected
    GamepadReport report;    // the last report built for this stick, on its reader thread
};

enum { DEVICE_TABLE_CAPACITY = 1 };

// Lookups hold `lock` shared; insertion, removal and emptying hold it exclusively. The lock is
// neither recursive nor upgradable: a thread holding it shared never asks for it exclusively.
struct DeviceTable {
    int32_t count;                               // slots 0 .. count-1 are in use
    DeviceEntry* entries[DEVICE_TABLE_CAPACITY]; // in insertion order
    SRWLOCK lock;
};

extern DeviceTable device_table;
