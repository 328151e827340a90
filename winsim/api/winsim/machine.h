// The simulated machine as tests and tools see it: reset it, count its handles, inject faults
// into any simulated Win32 call, and drive its virtual-pad bus driver.
//
// Thread: every function may be called from any thread; the machine has one lock of its own.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

// Forgets every device, bus, fault and counter. Handles still open are dropped uncounted, so a
// test asserts open_handles() == 0 before the next reset if it cares.
void reset();

// Kernel handles open now, in all or of one kind ("event", "mutex", "thread", "file",
// "devinfo", and whatever other kinds the windowing side registers, such as "icon").
size_t open_handles();
size_t open_handles(const char* kind);
// How often a closed or never-issued handle was passed to a simulated call.
size_t invalid_handle_uses();
// Threads created with CreateThread whose routine has not returned yet.
size_t running_threads();
// Calls that would never have returned on Windows, such as GetOverlappedResult waiting on a
// request that failed at once (its OVERLAPPED still says pending and nothing will complete
// it). The stand-in fails such a call at once instead and counts it here.
size_t would_hang();

// Another process (a second copy of the program) holds the named mutex `name` from now on.
void hold_named_mutex(const wchar_t* name);
// Names a slim reader/writer lock in the message that stops a thread misusing it.
void name_lock(const SRWLOCK* lock, const char* name);

// Which side wins when a request is cancelled while its driver could still complete it with
// data: by default the cancel; with `completion_wins` the request stays with its driver until
// the cancel takes effect a moment later, and completes normally if data comes first.
void set_cancel_race(bool completion_wins);
// While held, nothing that completes late (a cancelled request's end, a bus answer after its
// completion delay) completes: the test looks at a request still pending without racing the
// machine's worker, then lets go, and what came due meanwhile completes. Let go by the reset.
void hold_late_completions(bool hold);
// A thread created running, or resumed, runs at once: CreateThread and ResumeThread return
// only when it has blocked (a wait, a contended slim reader/writer lock, Sleep) or ended, so a
// starter that finishes setting the thread's data up after the call is caught every time. On
// by default; off, the thread and its starter run side by side.
void set_threads_run_at_once(bool at_once);
// Marks the machine as 64-bit Windows running this 32-bit program: device installation
// requests through the class installer then fail with ERROR_IN_WOW64.
void set_wow64(bool wow64);
// From now on (until the reset) the C runtime's _time64 answers `seconds`; after a reset it
// follows the real clock.
void pin_time(long long seconds);

// Fault injection. After `skip` further calls of `function` pass, the next `count` calls fail
// with `error` (the call's own failure result; GetLastError() gives `error`). A count of -1
// fails every call from then on. A name that no simulated call has stops the program.
void fail_calls(const char* function, int count, DWORD error, int skip = 0);
void clear_faults();
// The longest that any thread is blocked right now in one wait: on an event, a thread, an
// overlapped result, a message sent to another thread, or a slim reader/writer lock (a wait
// for messages with none to take is idleness, not counted). 0 when nothing waits. For
// watchdogs: a deadlock shows as a wait that only grows.
uint64_t longest_wait_ms();
// Calls of `function` made since the last reset (counted whether they failed or not).
size_t calls(const char* function);
// From now on (until the reset) every simulated call is logged by name, in order, on any
// thread; call_log() returns the log.
void record_calls(bool on);
std::vector<std::string> call_log();

// The virtual-pad bus driver. Each bus registers one device interface of the bus class.
//
// A failure chosen below is answered either at once (`..._at_once`: DeviceIoControl itself fails
// with the error, as for a request the driver refuses outright) or, by default, later: the
// request pends and fails after completion_delay_ms on winsim's worker thread. The driver's own
// answers (a serial taken, a pad it does not know, a record it refuses) come at once, or later
// when completion_delay_ms is nonzero; so do successes.
struct BusOptions {
    DWORD open_error = 0;    // nonzero: CreateFileW on the bus fails with this error
    DWORD version_error = 0; // nonzero: the version request fails with this error
    bool version_at_once = false;
    uint32_t protocol_version = 1; // a version request for another version fails
    bool wait_ready = true;        // false: wait-ready fails with ERROR_INVALID_PARAMETER
    DWORD wait_ready_error = 0;    // nonzero: wait-ready fails with this error
    bool wait_ready_at_once = false;
    DWORD unplug_error = 0; // nonzero: unplug requests fail with this error
    bool unplug_at_once = false;
    DWORD report_error = 0; // nonzero: report requests (either pad kind, either form) fail so
    bool report_at_once = false;
    bool extended_report = true; // false: extended pad reports fail with ERROR_INVALID_PARAMETER
    DWORD user_index_error = 0;  // nonzero: user-index requests fail with this error
    bool user_index_at_once = false;
    DWORD feedback_error = 0;       // nonzero: feedback requests fail with this error ...
    unsigned feedback_failures = 0; // ... this many of them from now on (0: every one)
    bool feedback_at_once = false;
    unsigned completion_delay_ms = 0; // nonzero: requests complete later, on another thread
    bool hold_plug_in = false;        // plug-in requests stay pending until bus_release_plug_ins
};

struct BusRequest {
    DWORD code;
    std::vector<uint8_t> input;
    DWORD output_length;
};

struct BusPad {
    uint32_t serial;
    uint32_t type;
    uint16_t vendor_id;
    uint16_t product_id;
    std::vector<uint8_t> report; // last report's bytes (12 for an Xbox 360 pad); empty before
    size_t report_count;
    // An Xbox 360 pad's slot: the lowest of four free when it was plugged in; none when all
    // four were taken (the user-index request then fails with error 650), and none for other
    // pads.
    std::optional<uint32_t> user_index;
    int64_t report_time_ns = 0; // steady clock when the last report was taken, for benchmarks
};

int bus_add(const BusOptions& options = {});
void bus_set_options(int bus, const BusOptions& options);
// Removes the bus interface; open handles fail their pending and later requests.
// Plug-in requests held under `hold_plug_in` and not yet answered; answers them all (the pads
// plug in then), returning how many there were.
size_t bus_held_plug_ins(int bus);
size_t bus_release_plug_ins(int bus);
void bus_remove(int bus);
std::wstring bus_path(int bus);
// Another program's pad holds this serial, so plug-in requests for it fail.
void bus_take_serial(int bus, uint32_t serial);
std::vector<BusRequest> bus_log(int bus);
void bus_clear_log(int bus);
std::vector<BusPad> bus_pads(int bus);
// What a game would see, in order: pads plugged in and unplugged, and every report a pad took
// (its bytes, 12 for an Xbox 360 pad).
struct BusEvent {
    enum Kind { Plugged, Unplugged, Report } kind;
    uint32_t serial;
    std::vector<uint8_t> report;
};
std::vector<BusEvent> bus_events(int bus);
std::optional<BusPad> bus_pad(int bus, uint32_t serial);
// Completes the oldest pending feedback request of the pad (the pad rumbles or lights up): the
// bytes are written from offset 8 of the request's record, over what the request carried
// (Xbox 360: three bytes; DualShock 4: two motor bytes, then the three light bytes). Returns
// false when no feedback request was pending. Unplugging a pad fails its pending feedback
// requests with ERROR_OPERATION_ABORTED; a feedback request for a pad the bus does not have,
// or of the other pad kind, fails with ERROR_ACCESS_DENIED.
bool bus_send_feedback(int bus, uint32_t serial, const std::vector<uint8_t>& bytes);
size_t bus_pending_feedback(int bus, uint32_t serial);

} // namespace winsim
