// What the bus client's files share and nothing outside bus/ uses: the request exchange, the
// checks every operation begins with, and the target allocator.
#pragma once

#include "bus/bus_protocol.h"

#include <cstring>

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

// Sends one report record (its size, the pad's serial and the report; every other byte zero)
// for a plugged-in pad and waits for the driver, on `event` when the caller keeps one for its
// thread, else on one made for the request. The serial checks' refusal, with nothing sent;
// else BUS_OK, with the driver's answer (0 or its Win32 error) in *error. Any thread; blocks.
template <typename Request, typename Report>
_VIGEM_ERRORS bus_send_report(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, DWORD code,
                              const Report& report, HANDLE event, DWORD* error) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    Request request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    request.report = report;
    *error = event ? bus_request(client->bus_handle, event, code, &request, sizeof request, false)
                   : bus_exchange(client->bus_handle, code, &request, sizeof request, false);
    return BUS_OK;
}

// A zero-filled target in state TARGET_NEW with its kind and USB IDs; null when the heap is
// exhausted.
_VIGEM_TARGET_T* bus_target_alloc(uint32_t type, uint16_t vendor_id, uint16_t product_id);
