// Process-wide values that start-up writes once, before any reader thread exists, and every
// thread reads afterwards without a lock.
#pragma once

#include "bus/bus.h"

#include <cstdint>

// The process's one bus client.
extern _VIGEM_CLIENT_T* bus_client;
// 1 only when the start-up connection to the bus succeeded; never changes afterwards.
extern int32_t bus_connected;
