// What the bus client's files share and nothing outside bus/ uses: the request exchange, the
// checks every operation begins with, the target allocator, and the end of a feedback
// registration (bus_feedback.cpp) that stop and delete need.
#pragma once

#include "bus/bus.h"

// Starts one request with the given event and blocks until it completes. 0 on success, else
// the Win32 error. A request that failed at once (the call failed with anything but
// ERROR_IO_PENDING) is answered by that error alone: its OVERLAPPED and event were never
// touched, so waiting for its result would wait forever or read the zeroed record as success.
// Any thread.
DWORD bus_request(HANDLE bus, HANDLE event, DWORD code, void* record, DWORD size, bool output);

// One request with an event of its own, made and closed around it. Any thread; blocks.
DWORD bus_exchange(HANDLE bus, DWORD code, void* record, DWORD size, bool output);

bool bus_is_open(const _VIGEM_CLIENT_T* client);

// The checks every target operation begins with, in their order; BUS_OK when all pass.
_VIGEM_ERRORS bus_check_request(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target);

// The checks of the requests that name a pad by its serial: the common ones, then serial 0.
_VIGEM_ERRORS bus_check_serial(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target);

// Add's checks, in their order; BUS_OK when the target may be plugged in.
_VIGEM_ERRORS bus_check_add(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target);

// What a report request's failure means to the caller: the driver does not know the pad, or
// some other failure. A failed report is never success.
_VIGEM_ERRORS bus_report_result(DWORD error);

// A zero-filled target in state TARGET_NEW with its kind and USB IDs; null when the heap is
// exhausted.
_VIGEM_TARGET_T* bus_target_alloc(uint32_t type, uint16_t vendor_id, uint16_t product_id);

// Ends a registration: clears the callback, cancels the requests out and waits until every
// feedback thread but the calling one has ended, then gives up the target's reference. The
// target's user thread, with target->feedback_link already cleared.
void bus_feedback_detach(_VIGEM_TARGET_T* target, BusFeedbackLink* link);
