// The user-index query and the target's field accessors, which nothing in the program calls.
#include "bus/bus.h"
#include "bus/bus_request.h"

#include <cstring>

namespace {

// The error a driver answers a user-index query with when the pad has no index.
const DWORD BUS_NO_USER_INDEX_ERROR = 650;

} // namespace

_VIGEM_ERRORS bus_x360_user_index(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                                  uint32_t* index) {
    _VIGEM_ERRORS refused = bus_check_serial(client, target);
    if (refused != BUS_OK)
        return refused;
    if (target->type != TARGET_X360)
        return BUS_ERR_BAD_TARGET;
    if (!index)
        return BUS_ERR_NULL_OUTPUT;
    X360UserIndexRequest request;
    memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.serial = target->serial;
    DWORD error =
        bus_exchange(client->bus_handle, BUS_CTL_X360_USER_INDEX, &request, sizeof request, true);
    if (error == 0) {
        *index = request.user_index;
        return BUS_OK;
    }
    // On failure the driver wrote nothing: the record's user_index is only our own zero.
    if (error == BUS_NO_USER_INDEX_ERROR)
        return BUS_ERR_INDEX_RANGE;
    return bus_report_result(error);
}

void bus_target_set_vendor(_VIGEM_TARGET_T* target, uint16_t vendor_id) {
    target->vendor_id = vendor_id;
}

void bus_target_set_product(_VIGEM_TARGET_T* target, uint16_t product_id) {
    target->product_id = product_id;
}

uint16_t bus_target_vendor(const _VIGEM_TARGET_T* target) {
    return target->vendor_id;
}

uint16_t bus_target_product(const _VIGEM_TARGET_T* target) {
    return target->product_id;
}

uint32_t bus_target_serial(const _VIGEM_TARGET_T* target) {
    return target->serial;
}

uint32_t bus_target_type(const _VIGEM_TARGET_T* target) {
    return target->type;
}

bool bus_target_is_plugged(const _VIGEM_TARGET_T* target) {
    return target->state == TARGET_PLUGGED;
}

bool bus_target_can_wait_ready(const _VIGEM_TARGET_T* target) {
    return target && target->no_wait_ready == 0;
}
