// DualShock 4 pads, which nothing in the program plugs in: their allocator and their two report
// forms.
#include "bus/bus.h"
#include "bus/bus_request.h"

_VIGEM_TARGET_T* bus_target_new_ds4(void) {
    return bus_target_alloc(TARGET_DS4, 0x054C, 0x05C4);
}

_VIGEM_ERRORS bus_ds4_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, Ds4Report report) {
    DWORD error = 0;
    _VIGEM_ERRORS refused = bus_send_report<Ds4ReportRequest>(client, target, BUS_CTL_DS4_REPORT,
                                                              report, nullptr, &error);
    return refused != BUS_OK ? refused : bus_report_result(error);
}

_VIGEM_ERRORS bus_ds4_submit_ex(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                Ds4ReportEx report) {
    DWORD error = 0;
    _VIGEM_ERRORS refused = bus_send_report<Ds4ReportExRequest>(client, target, BUS_CTL_DS4_REPORT,
                                                                report, nullptr, &error);
    if (refused != BUS_OK)
        return refused;
    // A driver that knows only the short form refuses the long one as a malformed record.
    return error == ERROR_INVALID_PARAMETER ? BUS_ERR_UNSUPPORTED : bus_report_result(error);
}
