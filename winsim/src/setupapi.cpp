// Device information sets and device interfaces over the simulated machine's devices.
#include "machine.h"

#include <setupapi.h>

#include <cstring>

namespace winsim::detail {

std::shared_ptr<DevInfoSet> devinfo_lookup(HDEVINFO set) {
    auto object = handle_lookup(set, "devinfo");
    return object ? std::static_pointer_cast<DevInfoSet>(object->payload) : nullptr;
}

} // namespace winsim::detail

using namespace winsim::detail;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND, DWORD flags) {
    if (fault("SetupDiGetClassDevsW"))
        return INVALID_HANDLE_VALUE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!class_guid || !(flags & DIGCF_DEVICEINTERFACE)) {
        // The program only ever lists device interfaces of one class.
        set_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DevInfoSet>();
    set->class_guid = *class_guid;
    for (auto& device : devices()) {
        if ((flags & DIGCF_PRESENT) && (!device->present || !device->enabled || !device->listed))
            continue;
        if (enumerator && !same_name(device->instance_id, enumerator))
            continue;
        bool listed = false;
        for (size_t i = 0; i < device->interfaces.size(); i++) {
            if (device->interfaces[i].class_guid != *class_guid)
                continue;
            if (!listed) {
                set->devices.push_back(device);
                listed = true;
            }
            set->interfaces.push_back({set->devices.size() - 1, i});
        }
    }
    if (enumerator && set->devices.empty()) {
        set_error(ERROR_NO_SUCH_DEVINST);
        return INVALID_HANDLE_VALUE;
    }
    set->install_params.resize(set->devices.size());
    auto object = std::make_shared<Object>();
    object->kind = "devinfo";
    object->payload = set;
    return handle_insert(object);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (fault("SetupDiDestroyDeviceInfoList"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    if (!handle_lookup(set, "devinfo"))
        return FALSE;
    return handle_close(set);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA info) {
    if (fault("SetupDiEnumDeviceInfo"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto set = devinfo_lookup(handle);
    if (!set)
        return FALSE;
    if (!info || info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= set->devices.size()) {
        set_error(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    info->ClassGuid = set->class_guid;
    info->DevInst = index + 1;
    info->Reserved = index;
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                        const GUID* interface_class, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
    if (fault("SetupDiEnumDeviceInterfaces"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto set = devinfo_lookup(handle);
    if (!set)
        return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !interface_class) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD seen = 0;
    for (size_t k = 0; k < set->interfaces.size(); k++) {
        auto entry = set->interfaces[k];
        if (info && entry.device != info->Reserved)
            continue;
        const auto& interface = set->devices[entry.device]->interfaces[entry.interface];
        if (interface.class_guid != *interface_class)
            continue;
        if (seen++ != index)
            continue;
        data->InterfaceClassGuid = interface.class_guid;
        data->Flags = 1; // SPINT_ACTIVE
        data->Reserved = k;
        return TRUE;
    }
    set_error(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                             DWORD detail_size, PDWORD required_size,
                                             PSP_DEVINFO_DATA info) {
    if (fault("SetupDiGetDeviceInterfaceDetailW"))
        return FALSE;
    std::lock_guard<std::recursive_mutex> held(lock());
    auto set = devinfo_lookup(handle);
    if (!set)
        return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        data->Reserved >= set->interfaces.size()) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Without a buffer its size must be 0; anything else is refused before the size is told.
    if (!detail && detail_size != 0) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    auto entry = set->interfaces[data->Reserved];
    const std::wstring& path = set->devices[entry.device]->interfaces[entry.interface].path;
    DWORD required = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                             (path.size() + 1) * sizeof(WCHAR));
    if (required_size)
        *required_size = required;
    if (!detail) {
        set_error(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        set_error(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detail_size < required) {
        set_error(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    if (info) {
        if (info->cbSize != sizeof(SP_DEVINFO_DATA)) {
            set_error(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        info->ClassGuid = set->class_guid;
        info->DevInst = (DWORD)entry.device + 1;
        info->Reserved = entry.device;
    }
    return TRUE;
}

} // extern "C"
