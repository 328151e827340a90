// The bus client's operations that the program calls. The request exchange and the checks that
// every operation shares are in bus_request.cpp; the operations nothing in the program calls
// live beside this file: bus_ds4.cpp, bus_feedback.cpp, bus_async.cpp, bus_query.cpp.
#include "bus/bus.h"
#include "bus/bus_request.h"

#include <setupapi.h>

#include <cstdlib>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit SetupAPI interface record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "32-bit SetupAPI detail header");
#endif

const GUID BUS_INTERFACE_GUID = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};

static_assert(BUS_CTL_PLUG_IN == 0x002AA004, "control code");
static_assert(BUS_CTL_UNPLUG == 0x002AA008, "control code");
static_assert(BUS_CTL_VERSION == 0x002AA00C, "control code");
static_assert(BUS_CTL_WAIT_READY == 0x002AA010, "control code");
static_assert(BUS_CTL_X360_FEEDBACK == 0x002AE804, "control code");
static_assert(BUS_CTL_X360_REPORT == 0x002AA808, "control code");
static_assert(BUS_CTL_DS4_REPORT == 0x002AA80C, "control code");
static_assert(BUS_CTL_DS4_FEEDBACK == 0x002AA810, "control code");
static_assert(BUS_CTL_X360_USER_INDEX == 0x002AE81C, "control code");

namespace {

// Reads one interface's device path and opens it with the flags the bus expects. Returns the
// handle, INVALID_HANDLE_VALUE when it does not open; *detail_failed when the path itself
// could not be read.
HANDLE bus_open_interface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, bool* detail_failed) {
    *detail_failed = false;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, data, nullptr, 0, &required, nullptr);
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(
        required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? malloc(required) : nullptr);
    if (!detail) {
        *detail_failed = true;
        return INVALID_HANDLE_VALUE;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, data, detail, required, &required, nullptr)) {
        free(detail);
        *detail_failed = true;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING |
                                    FILE_FLAG_OVERLAPPED | FILE_FLAG_WRITE_THROUGH,
                                nullptr);
    free(detail);
    return handle;
}

} // namespace

_VIGEM_CLIENT_T* bus_client_new(void) {
    auto* client = static_cast<_VIGEM_CLIENT_T*>(calloc(1, sizeof(_VIGEM_CLIENT_T)));
    if (client)
        client->bus_handle = INVALID_HANDLE_VALUE;
    return client;
}

void bus_client_delete(_VIGEM_CLIENT_T* client) {
    free(client);
}

_VIGEM_ERRORS bus_connect(_VIGEM_CLIENT_T* client) {
    if (!client)
        return BUS_ERR_NULL_CLIENT;
    if (bus_is_open(client))
        return BUS_ERR_ALREADY_OPEN;
    _VIGEM_ERRORS result = BUS_ERR_NO_BUS;
    HDEVINFO set = SetupDiGetClassDevsW(&BUS_INTERFACE_GUID, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return result;
    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &BUS_INTERFACE_GUID, index, &data); index++) {
        bool detail_failed = false;
        client->bus_handle = bus_open_interface(set, &data, &detail_failed);
        if (detail_failed) {
            result = BUS_ERR_NO_BUS;
            break;
        }
        if (!bus_is_open(client)) {
            result = BUS_ERR_OPEN_FAILED;
            continue;
        }
        BusVersionRequest version;
        memset(&version, 0, sizeof version);
        version.size = sizeof version;
        version.version = BUS_PROTOCOL_VERSION;
        if (bus_exchange(client->bus_handle, BUS_CTL_VERSION, &version, sizeof version, false) ==
            0) {
            result = BUS_OK;
            break;
        }
        // Whatever the driver said, it does not speak our protocol: try the next interface.
        result = BUS_ERR_VERSION;
        CloseHandle(client->bus_handle);
        client->bus_handle = INVALID_HANDLE_VALUE;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

void bus_disconnect(_VIGEM_CLIENT_T* client) {
    if (!client || !bus_is_open(client))
        return;
    CloseHandle(client->bus_handle);
    client->bus_handle = INVALID_HANDLE_VALUE;
}

_VIGEM_TARGET_T* bus_target_new_x360(void) {
    return bus_target_alloc(TARGET_X360, 0x045E, 0x028E);
}

void bus_target_delete(_VIGEM_TARGET_T* target) {
    if (!target)
        return;
    if (target->feedback_link || target->feedback_event)
        bus_target_stop_feedback(target);
    free(target);
}

// Results: BUS_OK once a serial was accepted and the pad is ready (or the driver does not offer
// the wait, then no_wait_ready is 1); BUS_ERR_NO_FREE_SERIAL after every serial from 1 to 65535
// was refused (serial 65536, state unchanged). When the wait-ready request fails otherwise,
// the pad the driver just accepted is unplugged again: BUS_ERR_REQUEST_FAILED with the target
// as that remove left it (TARGET_UNPLUGGED, serial kept), or BUS_ERR_UNPLUG_FAILED when even
// the unplug failed, leaving the target TARGET_PLUGGED so that the owner's remove tries again.
// The two events are made first and closed on every way out.
_VIGEM_ERRORS bus_target_add(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target) {
    HANDLE plug_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE wait_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    _VIGEM_ERRORS result = bus_check_add(client, target);
    if (result != BUS_OK) {
        // refused before anything is sent
    } else if (!plug_event || !wait_event) {
        result = BUS_ERR_REQUEST_FAILED; // nothing could be sent
    } else {
        result = BUS_ERR_NO_FREE_SERIAL;
        for (target->serial = 1; target->serial <= 0xFFFF; target->serial++) {
            BusPlugInRequest plug;
            memset(&plug, 0, sizeof plug);
            plug.size = sizeof plug;
            plug.serial = target->serial;
            plug.type = target->type;
            plug.vendor_id = target->vendor_id;
            plug.product_id = target->product_id;
            if (bus_request(client->bus_handle, plug_event, BUS_CTL_PLUG_IN, &plug, sizeof plug,
                            false) != 0)
                continue; // taken by another pad: try the next serial
            BusWaitReadyRequest wait;
            memset(&wait, 0, sizeof wait);
            wait.size = sizeof wait;
            wait.serial = target->serial;
            DWORD error = bus_request(client->bus_handle, wait_event, BUS_CTL_WAIT_READY, &wait,
                                      sizeof wait, false);
            if (error == 0) {
                target->state = TARGET_PLUGGED;
                result = BUS_OK;
            } else if (error == ERROR_INVALID_PARAMETER) {
                // A driver without the wait: the pad is plugged in all the same.
                target->state = TARGET_PLUGGED;
                target->no_wait_ready = 1;
                result = BUS_OK;
            } else {
                target->state = TARGET_PLUGGED; // the driver holds the pad until it is unplugged
                _VIGEM_ERRORS undo = bus_target_remove(client, target);
                result = undo == BUS_OK ? BUS_ERR_REQUEST_FAILED : undo;
            }
            break;
        }
    }
    if (wait_event)
        CloseHandle(wait_event);
    if (plug_event)
        CloseHandle(plug_event);
    return result;
}

_VIGEM_ERRORS bus_target_remove(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target) {
    _VIGEM_ERRORS refused = bus_check_request(client, target);
    if (refused != BUS_OK)
        return refused;
    if (target->state == TARGET_BLANK)
        return BUS_ERR_TARGET_BLANK;
    if (target->state != TARGET_PLUGGED)
        return BUS_ERR_NOT_PLUGGED;
    BusUnplugRequest unplug;
    memset(&unplug, 0, sizeof unplug);
    unplug.size = sizeof unplug;
    unplug.serial = target->serial;
    if (bus_exchange(client->bus_handle, BUS_CTL_UNPLUG, &unplug, sizeof unplug, false) != 0)
        return BUS_ERR_UNPLUG_FAILED;
    target->state = TARGET_UNPLUGGED;
    return BUS_OK;
}

_VIGEM_ERRORS bus_x360_submit(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                              GamepadReport report) {
    return bus_x360_submit_on(client, target, report, nullptr);
}

_VIGEM_ERRORS bus_x360_submit_on(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                 GamepadReport report, HANDLE event) {
    DWORD error = 0;
    _VIGEM_ERRORS refused = bus_send_report<X360ReportRequest>(client, target, BUS_CTL_X360_REPORT,
                                                               report, event, &error);
    return refused != BUS_OK ? refused : bus_report_result(error);
}
