// Simulated HID devices as tests and tools drive them: sticks, mice and whatever else sits on
// the HID class, with their interface paths, descriptions, attributes and report lengths. The
// program reaches them only through the ordinary SetupAPI, HID and file calls.
//
// Thread: every function may be called from any thread; all take the machine's lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// The HID device-interface class {4D1E55B2-F16F-11CF-88CB-001111000030}.
GUID hid_interface_class();

struct HidDeviceOptions {
    std::wstring instance_id;                    // the device instance ID
    std::vector<std::wstring> paths;             // its HID interface paths, in enumeration order
    std::optional<std::wstring> bus_description; // absent: the property is not set
    std::optional<std::wstring> registry_description; // absent: the registry value is missing
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint16_t version = 0x0100;
    uint16_t input_report_length = 6; // each includes the report-ID byte
    uint16_t output_report_length = 0;
    uint16_t feature_report_length = 0;
    size_t queue_limit = 32;  // input reports buffered per open handle; oldest dropped
    bool hold_writes = false; // output reports stay pending until hid_finish_writes
};

// A stick with the program's vendor and product IDs. `number` makes its instance ID and path
// unique; `lower_case` gives the path in lower case, as many systems report it.
HidDeviceOptions hid_stick(int number = 1, bool lower_case = false);
// An unrelated HID device (a mouse) with its own IDs.
HidDeviceOptions hid_mouse(int number = 1);

// Plugs a device in and announces its interfaces; returns its id.
int hid_add(const HidDeviceOptions& options);
// Ids of every HID device added since the reset, plugged in or not, in the order added.
std::vector<int> hid_devices();
// Unplug: pending reads on every handle fail, later I/O fails, the interfaces are announced
// gone. Plug brings the same device back with its interfaces (a withdrawn one too).
void hid_unplug(int id);
void hid_plug(int id);
// The device's interfaces are withdrawn (announced gone, left out of the enumeration, their
// names open nothing) while the device runs on: handles already open on it keep reading, as
// when its driver disables the interface without removing the device.
void hid_withdraw(int id);
// The device sends an input report: a pending read on each open handle takes it, otherwise
// the handle buffers it (bounded by queue_limit). False when the device is not running.
bool hid_deliver(int id, const std::vector<uint8_t>& report);
// Another process opens the device with this access and share mode and, with read access,
// keeps a read outstanding, so that it takes every report the device sends. False, holding
// nothing, where its CreateFile would fail: the device is not running, or an open handle of
// this process or of another holder does not share what it asks for.
// It holds the device until hid_release, or until the device goes away: unplugging, and the
// disable of a restart, which removes the device's stack, end that process's handle (its read
// fails; it would have to open the device again, and does not).
bool hid_hold(int id, DWORD access, DWORD share);
void hid_release(int id);
// Other processes whose handles on the device still work.
size_t hid_foreign_holders(int id);
// Input reports that other processes' reads took from the device since it was added.
size_t hid_foreign_reports(int id);
// Whether this process may disable and enable the device (a restart).
void hid_allow_restart(int id, bool allowed);

bool hid_enabled(int id);
// Reads pending in the device, over all open handles.
size_t hid_pending_reads(int id);
// Reads issued to the device since it was added, over all handles. A reader issues its next
// read only once it has finished with the report before, so a tool can wait on this.
size_t hid_reads_issued(int id);
// Handles of this process open on the device.
size_t hid_open_files(int id);
std::vector<std::vector<uint8_t>> hid_feature_reports(int id);
std::vector<std::vector<uint8_t>> hid_output_reports(int id);
// Completes the held writes; returns how many.
size_t hid_finish_writes(int id);
// Preparsed-data blocks handed out and not yet freed; frees of unknown blocks.
size_t hid_preparsed_outstanding();
size_t hid_preparsed_bad_frees();

// Interface announcements made since the reset (plug, unplug, restarts), in order.
struct InterfaceChange {
    bool arrival;
    std::wstring path;
};
std::vector<InterfaceChange> interface_changes();

} // namespace winsim
