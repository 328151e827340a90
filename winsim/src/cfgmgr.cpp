// The configuration manager's device-interface property query.
#include "machine.h"

#include <cfgmgr32.h>
#include <devpkey.h>

#include <cstring>

using namespace winsim::detail;

extern "C" {

CONFIGRET WINAPI CM_Get_Device_Interface_PropertyW(LPCWSTR device_interface, const DEVPROPKEY* key,
                                                   DEVPROPTYPE* type, PBYTE buffer,
                                                   PULONG buffer_size, ULONG flags) {
    if (fault("CM_Get_Device_Interface_PropertyW"))
        return CR_FAILURE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!device_interface || !key || !type || !buffer_size)
        return CR_INVALID_POINTER;
    if (flags != 0)
        return CR_INVALID_FLAG;
    std::shared_ptr<Device> device;
    for (auto& candidate : devices()) {
        if (!candidate->present || !candidate->enabled)
            continue;
        for (auto& interface : candidate->interfaces)
            if (same_name(interface.path, device_interface))
                device = candidate;
    }
    if (!device)
        return CR_NO_SUCH_DEVICE_INTERFACE;
    if (key->fmtid != DEVPKEY_Device_InstanceId.fmtid || key->pid != DEVPKEY_Device_InstanceId.pid)
        return CR_NO_SUCH_VALUE;
    ULONG required = (ULONG)((device->instance_id.size() + 1) * sizeof(WCHAR));
    if (!buffer || *buffer_size < required) {
        *buffer_size = required;
        return CR_BUFFER_SMALL;
    }
    memcpy(buffer, device->instance_id.c_str(), required);
    *buffer_size = required;
    *type = DEVPROP_TYPE_STRING;
    return CR_SUCCESS;
}

} // extern "C"
