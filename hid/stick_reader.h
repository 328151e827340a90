// Reader threads: one per attached stick, decoding its input reports into a StickSample and
// handing each to the process-wide sample callback.
#pragma once

#include <windows.h>

#include <cstdint>

struct HidDevice;

// The decoded content of one input report. X is x_high * 256 + x_low, Y likewise.
struct StickSample {
    int32_t button; // 1 pressed, 0 released
    uint8_t x_low;
    uint8_t y_low;
    uint8_t x_high;
    uint8_t y_high;
};

struct StickReader {
    HidDevice* device;  // read by this reader, owned by its DeviceEntry
    SRWLOCK lock;       // held exclusively while `sample` is filled
    StickSample sample; // the latest decoded report; written and read on the reader thread
    int32_t running;    // 1 from creation, 0 once a stop is requested
    HANDLE stop_event;  // manual reset, signalled when a stop is requested
    HANDLE thread;      // the reader thread, or null when none was created
};

typedef void (*SampleCallback)(StickReader* reader, StickSample* sample);
typedef void (*ReaderStoppedCallback)(StickReader* reader);

// Written once by start-up before any reader exists; read by reader threads without a lock.
extern SampleCallback sample_callback;
extern ReaderStoppedCallback reader_stopped_callback;
