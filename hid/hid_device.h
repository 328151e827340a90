// One HID device interface opened for overlapped I/O: its report lengths and buffers, reading
// and writing single reports with a time-out, feature reports, closing, and the forced restart
// (disable, then enable) that frees a device another process holds.
//
// I/O results: a positive value is the number of bytes transferred, 0 means the time-out passed
// with the request still outstanding (the next call waits on that same request), -1 is failure.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Opened by hid_open, released by hid_close followed by hid_free; owned by its DeviceEntry.
// The read side is driven by one thread at a time (the stick's reader), the write side likewise;
// the pending flags are therefore not locked.
struct HidDevice {
    wchar_t* path;                // interface path, length + 1 characters; set at open
    HANDLE handle;                // opened for overlapped I/O; set at open
    int32_t read_pending;         // reading thread: 1 while read_overlapped is in flight
    int32_t write_pending;        // writing thread: 1 while write_overlapped is in flight
    uint16_t input_report_length; // from the device's caps, each with the report-ID byte
    uint16_t output_report_length;
    uint16_t feature_report_length;
    uint8_t* input_buffer;       // reading thread; the system writes it while a read is out
    uint8_t* output_buffer;      // writing thread
    uint8_t* feature_buffer;     // the thread sending feature reports
    OVERLAPPED read_overlapped;  // hEvent: its own auto-reset event
    OVERLAPPED write_overlapped; // hEvent: its own auto-reset event
};

// The HID device-interface class GUID, fetched once and cached for the process.
// Main thread only (enumeration, restart, start-up). Does not block.
GUID hid_class_guid(void);

// Opens `path` for overlapped I/O: read and write access when `read_write`, shared read and
// write when `shared`, otherwise exclusive. Null when the path cannot be opened (gone, held
// by another process, access denied) or its caps cannot be read; nothing stays open then.
// Any thread. Does not block on the device.
HidDevice* hid_open(const wchar_t* path, int read_write, int shared);

// hid_open's `read_write` and `shared`, named at the call sites.
enum : int { HID_OPEN_READ_ONLY = 0, HID_OPEN_READ_WRITE = 1 };
enum : int { HID_OPEN_EXCLUSIVE = 0, HID_OPEN_SHARED = 1 };

// Waits up to `timeout_ms` (INFINITE allowed) for one input report, issuing a read only when
// none is outstanding. The report, with its ID byte, is left in input_buffer; bytes the device
// did not deliver read as 0. Bytes read, 0 on time-out (the read stays outstanding), -1 when
// the read failed or was cancelled (the device is then idle). The reading thread only. Blocks.
int32_t hid_read(HidDevice* device, DWORD timeout_ms);

// Writes one output report: the first min(length, output_report_length) bytes of `data`,
// padded with zeros to the full report length. While a write is outstanding a further call
// ignores its data and only waits for it. Bytes written, 0, or -1 as for reading. The writing
// thread only. Blocks.
int32_t hid_write(HidDevice* device, const uint8_t* data, size_t length, DWORD timeout_ms);

// Sends one feature report of the full feature report length: the data truncated or padded
// with zeros. The number of bytes taken from `data` (min(length, feature_report_length)), or
// -1. Any one thread at a time. Blocks on the device.
int32_t hid_send_feature(HidDevice* device, const uint8_t* data, size_t length);

// Cancels every outstanding request, waits until the system has finished with the record's
// buffers and OVERLAPPEDs, and closes the events and the handle. The record stays allocated.
// Only for a device that no thread reads or writes any longer (the thread that last read it may
// call it). Blocks until cancellation completes, which the system does promptly.
void hid_close(HidDevice* device);

// Frees the record and its buffers; only after hid_close. Null is ignored. Any thread.
void hid_free(HidDevice* device);

// Disables and enables again the device behind the interface path, so that other processes
// let go of it. The enable step is retried a few times, briefly spaced, before giving up.
// 1 when both steps succeeded; 0 when the instance ID cannot be read (also on systems without
// the interface property query), the device set cannot be built or does not hold exactly one
// device, or a step failed (a device whose enable never succeeded stays disabled).
// Main thread. Blocks for the restart and, when the enable fails, for the retries (< 1 s).
int hid_restart_device(const wchar_t* path);

// 1 when the device behind `path` reports these IDs (0 matches any), 0 otherwise or when it
// cannot be opened or asked. Any thread. Blocks briefly on the device.
int hid_matches_ids(const wchar_t* path, uint16_t vendor_id, uint16_t product_id);
