// The client side of the virtual-pad bus driver's device-control protocol: connect with a
// version check, plug virtual Xbox 360 and DualShock 4 pads in under a free serial (waiting, or
// on a thread of its own), submit their reports, watch their feedback, ask an Xbox 360 pad's
// user index, unplug. The program calls only connect, disconnect, the Xbox 360 target's
// allocation, add, submit (on a kept event) and remove and the deletes (bus.cpp), and stop feedback
// (bus_feedback.cpp); the other operations are in files of their own beside it (bus_ds4.cpp,
// bus_feedback.cpp, bus_async.cpp, bus_query.cpp).
//
// Threads: the client takes no locks of its own beyond one per feedback registration. Connect
// and disconnect run on the main thread while no other thread uses the client; requests for
// different targets may run on any threads at once, since every request has its own OVERLAPPED
// and an event no other thread waits on. A target record is not guarded: callers keep add, remove,
// feedback registration, stop and delete of a target apart from one another and from submits for
// it. Feedback threads are the exception: they read the feedback fields under their registration's
// lock, and stop and delete end them before returning.
#pragma once

#include "bus/bus_feedback.h"
#include "bus/bus_protocol.h"

// Allocates a client whose handle is closed; null when the heap is exhausted.
// Any thread. Does not block.
_VIGEM_CLIENT_T* bus_client_new(void);

// Frees the client (null is ignored). Does not close its handle: disconnect first.
void bus_client_delete(_VIGEM_CLIENT_T* client);

// Finds the bus interfaces, opens the first that accepts protocol version 1 and keeps its
// handle. BUS_OK; BUS_ERR_NULL_CLIENT, BUS_ERR_ALREADY_OPEN; otherwise what became of the last
// interface tried: BUS_ERR_NO_BUS (none, or its detail failed), BUS_ERR_OPEN_FAILED,
// BUS_ERR_VERSION. Main thread, no other user of the client. Blocks on the driver.
_VIGEM_ERRORS bus_connect(_VIGEM_CLIENT_T* client);

// Closes the bus handle if the client is non-null and open; otherwise does nothing.
void bus_disconnect(_VIGEM_CLIENT_T* client);

// Allocates an Xbox 360 target in state TARGET_NEW; null when the heap is exhausted.
_VIGEM_TARGET_T* bus_target_new_x360(void);

// Allocates a DualShock 4 target in state TARGET_NEW (vendor 0x054C, product 0x05C4); null when
// the heap is exhausted.
_VIGEM_TARGET_T* bus_target_new_ds4(void);

// Frees the target (null is ignored); does not unplug it. When feedback is registered it is
// first ended as by bus_target_stop_feedback (and blocks as that does), since its threads
// would otherwise hand the freed target to the callback.
void bus_target_delete(_VIGEM_TARGET_T* target);

// Plugs the target in under the lowest serial the driver accepts, then waits until the pad is
// ready. Blocks until the driver has answered every request. See bus.cpp for the results.
_VIGEM_ERRORS bus_target_add(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target);

// Checks as bus_target_add does (same order, same results, nothing sent), then runs that add on
// a thread of its own and returns BUS_OK at once; the thread calls `done` with the client, the
// target and the add's result, exactly once, and touches neither after `done` returns. The
// caller leaves the target alone until then. A null `done` is refused with BUS_ERR_BAD_TARGET.
// When the thread cannot be started: BUS_ERR_REQUEST_FAILED, nothing was sent, `done` is never
// called and the target is unchanged. Any thread; does not block on the driver.
_VIGEM_ERRORS bus_target_add_async(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                   BusAddDoneFn done);

// Unplugs a plugged-in target. BUS_OK (state TARGET_UNPLUGGED, serial kept),
// BUS_ERR_UNPLUG_FAILED, or a check's code; nothing is sent when a check fails. Blocks.
_VIGEM_ERRORS bus_target_remove(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target);

// Sends one report for the target. BUS_OK; BUS_ERR_BAD_TARGET for a null target, serial 0 or a
// driver that answers ERROR_ACCESS_DENIED; BUS_ERR_REQUEST_FAILED for any other driver failure.
// Any thread (the stick's reader thread). Blocks until the driver has taken the report.
_VIGEM_ERRORS bus_x360_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                              GamepadReport report);

// The same, waiting on `event` instead of an event made and closed for the request: an
// auto-reset event that the caller made, keeps for one thread's requests (never two at once)
// and closes. Under Wine, making and closing an event are two trips to the Wine server, one of
// them on the report's way to the pad; a reader thread submits hundreds of reports a second, so
// it keeps one. Null: as bus_x360_submit.
_VIGEM_ERRORS bus_x360_submit_on(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                 GamepadReport report, HANDLE event);

// The same for a DualShock 4 report, with the same checks and results; the target's kind is not
// looked at (the driver denies a report of the other kind).
_VIGEM_ERRORS bus_ds4_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, Ds4Report report);

// The same for an extended DualShock 4 report; BUS_ERR_UNSUPPORTED when the driver answers
// ERROR_INVALID_PARAMETER (it does not take the extended form).
_VIGEM_ERRORS bus_ds4_submit_ex(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                Ds4ReportEx report);

// Asks the driver for an Xbox 360 target's user index and stores it through `index`. BUS_OK;
// BUS_ERR_NULL_CLIENT, BUS_ERR_BAD_TARGET (null, serial 0, not an Xbox 360 target, or the driver
// answered ERROR_ACCESS_DENIED), BUS_ERR_NO_BUS, BUS_ERR_NULL_OUTPUT, BUS_ERR_INDEX_RANGE (the
// pad has no index), BUS_ERR_REQUEST_FAILED (any other driver failure). `*index` is written
// only on BUS_OK. Any thread. Blocks until the driver answers.
_VIGEM_ERRORS bus_x360_user_index(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                  uint32_t* index);

// Accessors; the target must not be null, except for bus_target_can_wait_ready. Any thread that
// may use the target; they neither lock nor block.
void bus_target_set_vendor(_VIGEM_TARGET_T* target, uint16_t vendor_id);
void bus_target_set_product(_VIGEM_TARGET_T* target, uint16_t product_id);
uint16_t bus_target_vendor(const _VIGEM_TARGET_T* target);
uint16_t bus_target_product(const _VIGEM_TARGET_T* target);
uint32_t bus_target_serial(const _VIGEM_TARGET_T* target);
uint32_t bus_target_type(const _VIGEM_TARGET_T* target);
// True when the target is plugged in (TARGET_PLUGGED).
bool bus_target_is_plugged(const _VIGEM_TARGET_T* target);
// False for a null target; else false only when the driver did not offer the wait-ready request.
bool bus_target_can_wait_ready(const _VIGEM_TARGET_T* target);
