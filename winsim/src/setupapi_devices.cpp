// Device properties, registry properties and the class installer's property change (disable
// and enable) over the simulated machine's devices, and the announcement of interface changes.
#include "devices.h"

#include <devpkey.h>
#include <setupapi.h>
#include <winsim/hid.h>

#include <cstring>

namespace winsim::detail {
namespace {

const DWORD reg_sz = 1;
const DWORD error_di_do_default = 0xE000020E;
const DWORD error_no_classinstall_params = 0xE0000215;

struct ChangeLog {
    std::vector<InterfaceChange> changes;
};

std::vector<InterfaceChange>& change_log() {
    return machine_part<ChangeLog>().changes;
}

bool same_key(const DEVPROPKEY& a, const DEVPROPKEY& b) {
    return a.fmtid == b.fmtid && a.pid == b.pid;
}

// The device an SP_DEVINFO_DATA of this set names, with its index; null after setting the
// error a real call gives.
std::shared_ptr<Device> device_of(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                  std::shared_ptr<DevInfoSet>& set, size_t& index) {
    set = devinfo_lookup(handle);
    if (!set)
        return nullptr;
    if (!info) {
        set_error(ERROR_NO_DEVICE_SELECTED);
        return nullptr;
    }
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (info->Reserved >= set->devices.size()) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    index = info->Reserved;
    return set->devices[index];
}

// Copies a string property with its terminator, or reports the size it needs.
BOOL copy_string(const std::wstring& value, PBYTE buffer, DWORD buffer_size, PDWORD required_size) {
    DWORD required = (DWORD)((value.size() + 1) * sizeof(WCHAR));
    if (required_size)
        *required_size = required;
    if (!buffer && buffer_size) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (buffer_size < required) {
        set_error(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, value.c_str(), required);
    return TRUE;
}

} // namespace

void announce_interfaces(const std::vector<Interface>& interfaces, bool arrival) {
    for (auto& interface : interfaces) {
        {
            std::lock_guard<std::recursive_mutex> held(lock());
            change_log().push_back({arrival, interface.path});
        }
        interface_changed(arrival, interface.class_guid, interface.path);
    }
}

void device_set_enabled(Device& device, bool enabled, std::vector<Interface>& changed) {
    std::lock_guard<std::recursive_mutex> held(lock());
    if (device.enabled == enabled)
        return;
    device.enabled = enabled;
    if (!enabled) {
        // Disabling removes the device's stack: every handle's I/O fails, other processes'
        // too. Their handles stay with the removed device, restrict nobody's open of the
        // device that is enabled again, and read nothing more from it.
        device_drop_files(device, ERROR_DEVICE_NOT_CONNECTED);
        device.foreign_holders.clear();
    }
    changed.insert(changed.end(), device.interfaces.begin(), device.interfaces.end());
}

} // namespace winsim::detail

namespace winsim {

std::vector<InterfaceChange> interface_changes() {
    std::lock_guard<std::recursive_mutex> held(detail::lock());
    return detail::change_log();
}

} // namespace winsim

using namespace winsim::detail;

extern "C" {

BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO handle, PSP_DEVINFO_DATA info, const DEVPROPKEY* key,
                                      DEVPROPTYPE* type, PBYTE buffer, DWORD buffer_size,
                                      PDWORD required_size, DWORD flags) {
    if (fault("SetupDiGetDevicePropertyW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    std::shared_ptr<DevInfoSet> set;
    size_t index = 0;
    auto device = device_of(handle, info, set, index);
    if (!device)
        return FALSE;
    if (flags != 0) {
        set_error(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    if (!key || !type) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::optional<std::wstring> value;
    if (same_key(*key, DEVPKEY_Device_BusReportedDeviceDesc))
        value = device->bus_description;
    else if (same_key(*key, DEVPKEY_Device_DeviceDesc))
        value = device->registry_description;
    else if (same_key(*key, DEVPKEY_Device_InstanceId))
        value = device->instance_id;
    if (!value) {
        set_error(ERROR_NOT_FOUND);
        return FALSE;
    }
    *type = DEVPROP_TYPE_STRING;
    return copy_string(*value, buffer, buffer_size, required_size);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                              DWORD property, PDWORD type, PBYTE buffer,
                                              DWORD buffer_size, PDWORD required_size) {
    if (fault("SetupDiGetDeviceRegistryPropertyW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    std::shared_ptr<DevInfoSet> set;
    size_t index = 0;
    auto device = device_of(handle, info, set, index);
    if (!device)
        return FALSE;
    if (property != SPDRP_DEVICEDESC || !device->registry_description) {
        set_error(ERROR_INVALID_DATA); // what Windows reports for a value that is not there
        return FALSE;
    }
    if (type)
        *type = reg_sz;
    return copy_string(*device->registry_description, buffer, buffer_size, required_size);
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                          PSP_CLASSINSTALL_HEADER params, DWORD size) {
    if (fault("SetupDiSetClassInstallParamsW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    std::shared_ptr<DevInfoSet> set;
    size_t index = 0;
    if (!device_of(handle, info, set, index))
        return FALSE;
    if (!params) {
        if (size != 0) {
            set_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        set->install_params[index].clear();
        return TRUE;
    }
    if (params->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < sizeof(SP_CLASSINSTALL_HEADER) ||
        (params->InstallFunction == DIF_PROPERTYCHANGE && size != sizeof(SP_PROPCHANGE_PARAMS))) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* bytes = reinterpret_cast<const BYTE*>(params);
    set->install_params[index].assign(bytes, bytes + size);
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO handle,
                                      PSP_DEVINFO_DATA info) {
    if (fault("SetupDiCallClassInstaller"))
        return FALSE;
    std::vector<Interface> gone, arrived;
    {
        std::lock_guard<std::recursive_mutex> held(lock());
        std::shared_ptr<DevInfoSet> set;
        size_t index = 0;
        auto device = device_of(handle, info, set, index);
        if (!device)
            return FALSE;
        // A 32-bit process on 64-bit Windows may not install or change devices.
        if (machine_wow64()) {
            set_error(ERROR_IN_WOW64);
            return FALSE;
        }
        if (function != DIF_PROPERTYCHANGE) {
            set_error(error_di_do_default);
            return FALSE;
        }
        const auto& stored = set->install_params[index];
        SP_PROPCHANGE_PARAMS change;
        if (stored.size() != sizeof change) {
            set_error(error_no_classinstall_params);
            return FALSE;
        }
        memcpy(&change, stored.data(), sizeof change);
        if (change.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) {
            set_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (change.Scope != DICS_FLAG_GLOBAL && change.Scope != DICS_FLAG_CONFIGSPECIFIC) {
            set_error(ERROR_INVALID_FLAGS);
            return FALSE;
        }
        if (change.StateChange != DICS_ENABLE && change.StateChange != DICS_DISABLE &&
            change.StateChange != DICS_PROPCHANGE) {
            set_error(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!device->present) {
            set_error(ERROR_NO_SUCH_DEVINST);
            return FALSE;
        }
        if (!device->state_change_allowed) {
            set_error(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (change.StateChange != DICS_ENABLE)
            device_set_enabled(*device, false, gone);
        if (change.StateChange != DICS_DISABLE)
            device_set_enabled(*device, true, arrived);
    }
    announce_interfaces(gone, false);
    announce_interfaces(arrived, true);
    return TRUE;
}

} // extern "C"
