// HID enumeration through the setup API.
#include "hid/hid_enum.h"
#include "hid/hid_device.h"
#include "hid/wide_string.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdlib>
#include <cwchar>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6,
              "cbSize of the detail record in a 32-bit process");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit SetupAPI record");
#endif

namespace {

// {540B947E-8B40-45BC-A8A2-6A0B894CBDA2} 4: the description the device itself reports.
const DEVPROPKEY bus_description_key = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

// Folds exactly A-Z. The C library's tolower is undefined for code units above the unsigned
// char range, and locale-dependent below it; interface paths are matched by their ASCII IDs.
wchar_t fold_ascii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c;
}

// A zeroed buffer for a property of `size` bytes, with a spare zero character so that it reads
// as a terminated string even if the property's own terminator is missing.
wchar_t* property_buffer(DWORD size) {
    return static_cast<wchar_t*>(calloc(size + sizeof(wchar_t), 1));
}

// The device's own description, or null when it has none or an empty one.
wchar_t* bus_description(HDEVINFO set, SP_DEVINFO_DATA* info) {
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    if (!SetupDiGetDevicePropertyW(set, info, &bus_description_key, &type, NULL, 0, &size, 0) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    wchar_t* text = property_buffer(size);
    if (!text)
        return nullptr;
    if (!SetupDiGetDevicePropertyW(set, info, &bus_description_key, &type,
                                   reinterpret_cast<PBYTE>(text), size, NULL, 0) ||
        text[0] == L'\0') {
        free(text);
        return nullptr;
    }
    return text;
}

// The description from the device's registry entry, or null. An empty one is kept: there is
// nothing further to fall back to.
wchar_t* registry_description(HDEVINFO set, SP_DEVINFO_DATA* info) {
    DWORD size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_DEVICEDESC, NULL, NULL, 0, &size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    wchar_t* text = property_buffer(size);
    if (text)
        SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_DEVICEDESC, NULL,
                                          reinterpret_cast<PBYTE>(text), size, NULL);
    return text;
}

bool path_matches(const wchar_t* path, const wchar_t* const* filters) {
    if (!filters)
        return true;
    for (const wchar_t* const* filter = filters; *filter; filter++)
        if (wcs_find_nocase(path, *filter))
            return true;
    return false;
}

// The interface's detail record, or null when it cannot be read. Freed with free().
SP_DEVICE_INTERFACE_DETAIL_DATA_W* interface_detail(HDEVINFO set,
                                                    SP_DEVICE_INTERFACE_DATA* interface_data) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, interface_data, NULL, 0, &size, NULL);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return nullptr;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(calloc(size, 1));
    if (!detail)
        return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, interface_data, detail, size, NULL, NULL)) {
        free(detail);
        return nullptr;
    }
    return detail;
}

} // namespace

DeviceListNode* hid_enumerate(const wchar_t* const* filters) {
    GUID guid = hid_class_guid();
    HDEVINFO set = SetupDiGetClassDevsW(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return nullptr;
    DeviceListNode* head = nullptr;
    DeviceListNode** tail = &head;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    for (DWORD device = 0; SetupDiEnumDeviceInfo(set, device, &info); device++) {
        SP_DEVICE_INTERFACE_DATA interface_data;
        interface_data.cbSize = sizeof interface_data;
        for (DWORD index = 0;
             SetupDiEnumDeviceInterfaces(set, &info, &guid, index, &interface_data); index++) {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = interface_detail(set, &interface_data);
            if (!detail)
                continue;
            if (path_matches(detail->DevicePath, filters)) {
                auto* node = static_cast<DeviceListNode*>(calloc(1, sizeof(DeviceListNode)));
                wchar_t* path = node ? wide_string_copy(detail->DevicePath) : nullptr;
                if (path) {
                    node->path = path;
                    node->description = bus_description(set, &info);
                    if (!node->description)
                        node->description = registry_description(set, &info);
                    node->next = nullptr;
                    *tail = node;
                    tail = &node->next;
                } else {
                    free(node);
                }
            }
            free(detail);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return head;
}

void device_list_node_free(DeviceListNode* node) {
    if (!node)
        return;
    free(node->description);
    free(node->path);
    free(node);
}

bool device_list_has_path(const DeviceListNode* list, const wchar_t* path) {
    for (const DeviceListNode* node = list; node; node = node->next)
        if (std::wcscmp(node->path, path) == 0)
            return true;
    return false;
}

const wchar_t* wcs_find_nocase(const wchar_t* haystack, const wchar_t* needle) {
    for (const wchar_t* start = haystack;; start++) {
        size_t i = 0;
        while (needle[i] && start[i] && fold_ascii(start[i]) == fold_ascii(needle[i]))
            i++;
        if (!needle[i])
            return start;
        if (!*start)
            return nullptr;
    }
}
