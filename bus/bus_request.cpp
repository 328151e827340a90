// The request exchange and the checks that every bus operation shares: every exchange with the
// driver is one device-control request on the bus handle, carrying one fixed-layout record,
// waited for at once.
#include "bus/bus_request.h"

#include <cstdlib>

DWORD bus_request(HANDLE bus, HANDLE event, DWORD code, void* record, DWORD size, bool output) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    DWORD transferred = 0;
    if (!DeviceIoControl(bus, code, record, size, output ? record : nullptr, output ? size : 0,
                         &transferred, &overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return error ? error : ERROR_GEN_FAILURE;
    }
    if (GetOverlappedResult(bus, &overlapped, &transferred, TRUE))
        return 0;
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

DWORD bus_exchange(HANDLE bus, DWORD code, void* record, DWORD size, bool output) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) {
        DWORD error = GetLastError();
        return error ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD error = bus_request(bus, event, code, record, size, output);
    CloseHandle(event);
    return error;
}

bool bus_is_open(const _VIGEM_CLIENT_T* client) {
    return client->bus_handle != INVALID_HANDLE_VALUE;
}

_VIGEM_ERRORS bus_check_request(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target) {
    if (!client)
        return BUS_ERR_NULL_CLIENT;
    if (!target)
        return BUS_ERR_BAD_TARGET;
    if (!bus_is_open(client))
        return BUS_ERR_NO_BUS;
    return BUS_OK;
}

_VIGEM_ERRORS bus_check_serial(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target) {
    _VIGEM_ERRORS refused = bus_check_request(client, target);
    if (refused != BUS_OK)
        return refused;
    return target->serial == 0 ? BUS_ERR_BAD_TARGET : BUS_OK;
}

_VIGEM_ERRORS bus_check_add(const _VIGEM_CLIENT_T* client, const _VIGEM_TARGET_T* target) {
    _VIGEM_ERRORS refused = bus_check_request(client, target);
    if (refused != BUS_OK)
        return refused;
    if (target->state == TARGET_BLANK)
        return BUS_ERR_TARGET_BLANK;
    if (target->state == TARGET_PLUGGED)
        return BUS_ERR_ALREADY_PLUGGED;
    return BUS_OK;
}

_VIGEM_ERRORS bus_report_result(DWORD error) {
    if (error == 0)
        return BUS_OK;
    return error == ERROR_ACCESS_DENIED ? BUS_ERR_BAD_TARGET : BUS_ERR_REQUEST_FAILED;
}

_VIGEM_TARGET_T* bus_target_alloc(uint32_t type, uint16_t vendor_id, uint16_t product_id) {
    auto* target = static_cast<_VIGEM_TARGET_T*>(calloc(1, sizeof(_VIGEM_TARGET_T)));
    if (!target)
        return nullptr;
    target->size = sizeof(_VIGEM_TARGET_T);
    target->state = TARGET_NEW;
    target->type = type;
    target->vendor_id = vendor_id;
    target->product_id = product_id;
    return target;
}
