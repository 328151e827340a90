// Reader threads: one per attached stick, decoding its input reports into a StickSample and
// handing each to the process-wide sample callback.
//
// A reader ends in one place only: its own thread, once its loop is left (a read failed or was
// cancelled, or a stop was asked for), or the creating thread when no thread could be made.
// There it cancels what is outstanding, closes its event and thread handles, calls the
// reader-stopped callback and frees the record, exactly once. Another thread can only ask.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
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
    std::atomic<int32_t> running; // 1 from creation; 0 once a stop is requested (any thread)
    HANDLE stop_event; // manual reset, signalled when the reader stops; closed by the reader
    HANDLE thread;     // the reader thread, or null when none was created; closed by the reader
    DWORD thread_id;   // set at creation; tells the reader's own stop from a request
    std::atomic<HANDLE> end_event; // a waiter's event, set after the record is freed; or null
};

typedef void (*SampleCallback)(StickReader* reader, StickSample* sample);
typedef void (*ReaderStoppedCallback)(StickReader* reader);

// Written once by start-up before any reader exists; read by reader threads without a lock.
// sample_callback runs on the reader thread for every decoded report, with no lock held.
// reader_stopped_callback runs once per reader at its end, on the thread that releases it,
// before the record is freed; it may take the device table's lock exclusively.
extern SampleCallback sample_callback;
extern ReaderStoppedCallback reader_stopped_callback;

// Decodes one input report of `length` bytes (the device's input report length): 1 and the
// sample filled when its ID byte is 0; 0 with the sample untouched for any other report ID.
// Bytes beyond `length` read as 0 and are never touched. Pure; any thread.
int stick_report_decode(const uint8_t* report, size_t length, StickSample* sample);

// Starts a reader thread on an open device. The thread may run, and even end, before the
// caller has stored the result. Null when the thread cannot be created: the reader-stopped
// callback has then already run on this thread with the record being released. Main thread.
StickReader* stick_reader_create(HidDevice* device);

// On the reader's own thread (at its end) or on the creating thread when no thread exists:
// releases the reader as described above. On any other thread: only asks the reader to stop
// (clears `running` and cancels its outstanding read) and returns at once without waiting and
// without touching the reader's handles. The reader then ends within one read time-out.
// The asking thread must know the record and device still live: in the program it holds the
// device table's lock shared while the reader's entry is in the table, which keeps the reader
// inside its reader-stopped callback (that takes the lock exclusively) until the lock is let go.
void stick_reader_stop(StickReader* reader);

// Lets another thread wait for the reader's end without any handle the reader closes itself:
// `ended` is an event the caller creates, owns and closes; the reader sets it as its very last
// act, after freeing its record and returning from its callback. One waiter per reader. Same
// condition as a stop from another thread (the caller holds the table lock shared with the
// entry present); the caller must release that lock before it waits on `ended`, since the
// reader's callback needs the lock exclusively.
void stick_reader_notify_end(StickReader* reader, HANDLE ended);

// The thread routine; `parameter` is the StickReader. Returns 0.
DWORD WINAPI stick_reader_thread(LPVOID parameter);
