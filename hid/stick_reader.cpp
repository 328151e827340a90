// Reader threads and the decoding of the stick's input reports.
#include "hid/stick_reader.h"
#include "hid/hid_device.h"

#include <new>

SampleCallback sample_callback = nullptr;
ReaderStoppedCallback reader_stopped_callback = nullptr;

namespace {

// The read time-out: an idle reader wakes this often, looks at `running`, and waits on the
// same outstanding read again. A stop finds the read and cancels it, which ends the reader at
// once; only a stop that lands just before the next read is issued waits for this to be seen.
// Not shorter: under Wine every wake-up is a trip through the Wine server, and on a busy
// machine the woken reader waits for a CPU; a report that arrives meanwhile waits with it. At
// 10 ms the slowest tenth of a loaded run's reports came a fifth to a third later than the
// least client's (docs/performance.md).
const DWORD read_timeout_ms = 100;

bool on_own_thread(const StickReader* reader) {
    return !reader->thread || GetCurrentThreadId() == reader->thread_id;
}

// The reader's single end. The callback may close the device (the table's removal), so the
// read is cancelled before it; hid_close waits for that cancellation to complete.
void release(StickReader* reader) {
    HidDevice* device = reader->device;
    CancelIoEx(device->handle, &device->read_overlapped);
    reader->running.store(0);
    if (reader->stop_event) {
        SetEvent(reader->stop_event);
        CloseHandle(reader->stop_event);
    }
    if (reader->thread)
        CloseHandle(reader->thread);
    if (reader_stopped_callback)
        reader_stopped_callback(reader);
    // No waiter can register after the callback: it has removed the reader from the table.
    HANDLE ended = reader->end_event.exchange(nullptr);
    delete reader;
    if (ended)
        SetEvent(ended);
}

} // namespace

int stick_report_decode(const uint8_t* report, size_t length, StickSample* sample) {
    auto at = [&](size_t index) -> uint8_t { return index < length ? report[index] : 0; };
    if (at(0) != 0)
        return 0;
    sample->button = at(5) != 0 ? 1 : 0;
    sample->x_low = at(1);
    sample->y_low = at(3);
    sample->x_high = at(2);
    sample->y_high = at(4);
    return 1;
}

StickReader* stick_reader_create(HidDevice* device) {
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = NULL;
    attributes.bInheritHandle = TRUE;
    StickReader* reader = new (std::nothrow) StickReader();
    if (!reader)
        return nullptr;
    reader->device = device;
    reader->running.store(1);
    InitializeSRWLock(&reader->lock);
    reader->stop_event = CreateEventW(&attributes, TRUE, FALSE, NULL);
    reader->thread = CreateThread(&attributes, 0, stick_reader_thread, reader, CREATE_SUSPENDED,
                                  &reader->thread_id);
    if (!reader->thread) {
        stick_reader_stop(reader);
        return nullptr;
    }
    ResumeThread(reader->thread);
    return reader;
}

void stick_reader_stop(StickReader* reader) {
    if (on_own_thread(reader)) {
        release(reader);
        return;
    }
    // Only a request: the reader may be closing its handles right now, and waiting here could
    // deadlock on the table lock that its callback needs. Clearing the flag first covers a read
    // not yet issued, which the cancel would miss: the reader sees the flag at its time-out.
    reader->running.store(0);
    CancelIoEx(reader->device->handle, &reader->device->read_overlapped);
}

void stick_reader_notify_end(StickReader* reader, HANDLE ended) {
    reader->end_event.store(ended);
}

DWORD WINAPI stick_reader_thread(LPVOID parameter) {
    StickReader* reader = static_cast<StickReader*>(parameter);
    HidDevice* device = reader->device;
    while (reader->running.load()) {
        int32_t result;
        do
            result = hid_read(device, read_timeout_ms);
        while (result == 0 && reader->running.load());
        if (result <= 0)
            break; // failed or cancelled, or a stop seen at a time-out with the read still out
        AcquireSRWLockExclusive(&reader->lock);
        int decoded =
            stick_report_decode(device->input_buffer, device->input_report_length, &reader->sample);
        ReleaseSRWLockExclusive(&reader->lock);
        if (decoded && sample_callback)
            sample_callback(reader, &reader->sample);
    }
    stick_reader_stop(reader);
    return 0;
}
