// DualShock 4 pads, which nothing in the program plugs in: their allocator and their two report
// forms.
#include "bus/bus.h"
#include "bus/bus_request.h"

#include <cstring>

_VIGEM_TARGET_T* bus_target_new_ds4(void) {
    return bus_target_alloc(TARGET_DS4, 0x054C, 0x05C4);
}

_VIGEM_ERRORS bus_ds4_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, Ds4Report report) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    Ds4ReportRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    request.report = report;
    return bus_report_result(
        bus_exchange(client->bus_handle, BUS_CTL_DS4_REPORT, &request, sizeof request, false));
}

_VIGEM_ERRORS bus_ds4_submit_ex(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                Ds4ReportEx report) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    Ds4ReportExRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    request.report = report;
    DWORD error =
        bus_exchange(client->bus_handle, BUS_CTL_DS4_REPORT, &request, sizeof request, false);
    // A driver that knows only the short form refuses the long one as a malformed record.
    return error == ERROR_INVALID_PARAMETER ? BUS_ERR_UNSUPPORTED : bus_report_result(error);
}
