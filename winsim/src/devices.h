// Device state changes shared by the simulated HID devices and the class installer: announcing
// a device's interfaces as gone or arrived, and the log of those announcements for tests.
#pragma once

#include "machine.h"

#include <winsim/hid.h>

namespace winsim::detail {

// Records and broadcasts each of the device's interfaces. Call without the machine lock held,
// after the change is visible (the windowing side may enumerate from inside the broadcast).
void announce_interfaces(const std::vector<Interface>& interfaces, bool arrival);

// Disables (drops every open file's I/O, lets foreign holders go) or enables a present device.
// Lock held; fills `changed` with the interfaces to announce once the lock is released.
void device_set_enabled(Device& device, bool enabled, std::vector<Interface>& changed);

} // namespace winsim::detail
