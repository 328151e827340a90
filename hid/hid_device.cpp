// The HID device handle and its overlapped I/O.
#include "hid/hid_device.h"
#include "hid/wide_string.h"

#include <setupapi.h>
#include <cfgmgr32.h>
extern "C" {
#include <hidsdi.h>
}

#include <cstdlib>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(HIDD_ATTRIBUTES) == 12, "HidD_GetAttributes checks Size against 12");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "32-bit SetupAPI record");
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8, "32-bit SetupAPI record");
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "32-bit SetupAPI record");
#endif

namespace {

// Filled on the first request and only read afterwards; the main thread is the only caller.
GUID hid_guid;
int hid_guid_cached = 0;

// {78C34FC8-104A-4ACA-9EA4-524D52996E57} 256: the device instance ID behind an interface.
const DEVPROPKEY instance_id_key = {
    {0x78C34FC8, 0x104A, 0x4ACA, {0x9E, 0xA4, 0x52, 0x4D, 0x52, 0x99, 0x6E, 0x57}}, 256};

// A failed enable leaves the user without a stick until they re-enable it by hand, and it can
// fail transiently while the device's stack is still being torn down; so it is tried a few
// times. The spacing bounds the main thread's stall to well under a second.
const int enable_attempts = 5;
const DWORD enable_retry_ms = 100;

// CM_Get_Device_Interface_PropertyW: Windows 8 and later export it from cfgmgr32.dll, but not
// every import library declares it, so it is looked up at run time.
typedef CONFIGRET(WINAPI* InterfacePropertyQuery)(LPCWSTR device_interface, const DEVPROPKEY* key,
                                                  DEVPROPTYPE* type, PBYTE buffer,
                                                  PULONG buffer_size, ULONG flags);

// The query, or null where the system lacks it. Once found it is kept for the process, and so
// is the module reference that keeps it valid. Main thread only.
InterfacePropertyQuery interface_property_query() {
    static InterfacePropertyQuery found = nullptr;
    if (found)
        return found;
    // From the system directory only, never from wherever the program was started.
    HMODULE module = LoadLibraryExW(L"cfgmgr32.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module)
        return nullptr;
    FARPROC proc = GetProcAddress(module, "CM_Get_Device_Interface_PropertyW");
    if (!proc) {
        FreeLibrary(module);
        return nullptr;
    }
    // GetProcAddress returns every export under one generic type; the detour through the
    // generic function type is what converts it back without a cast-function-type warning.
    found = reinterpret_cast<InterfacePropertyQuery>(reinterpret_cast<void (*)(void)>(proc));
    return found;
}

// A zeroed buffer of exactly `length` bytes; a device without such reports still gets a
// valid pointer, since calloc may answer a zero size with null.
uint8_t* report_buffer(uint16_t length) {
    return static_cast<uint8_t*>(calloc(length ? length : 1, 1));
}

SECURITY_ATTRIBUTES inheritable() {
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = NULL;
    attributes.bInheritHandle = TRUE;
    return attributes;
}

// Waits on a request issued by hid_read or hid_write: issues nothing, only collects.
int32_t finish_request(HANDLE handle, OVERLAPPED* overlapped, int32_t* pending, DWORD timeout_ms) {
    if (WaitForSingleObject(overlapped->hEvent, timeout_ms) != WAIT_OBJECT_0)
        return 0;
    DWORD bytes = 0;
    BOOL ok = GetOverlappedResult(handle, overlapped, &bytes, TRUE);
    *pending = 0;
    return ok ? (int32_t)bytes : -1;
}

// Blocks until an outstanding request has completed, so the system no longer writes its
// buffer, OVERLAPPED or event. Its event is set at completion and nothing else consumes it
// while the request is outstanding.
void settle_request(OVERLAPPED* overlapped, int32_t* pending) {
    if (!*pending)
        return;
    WaitForSingleObject(overlapped->hEvent, INFINITE);
    *pending = 0;
}

int change_state(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD state) {
    SP_PROPCHANGE_PARAMS params;
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = state;
    params.Scope = DICS_FLAG_GLOBAL;
    params.HwProfile = 0;
    return SetupDiSetClassInstallParamsW(set, info, &params.ClassInstallHeader, sizeof params) &&
           SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, info);
}

} // namespace

GUID hid_class_guid(void) {
    if (!hid_guid_cached) {
        HidD_GetHidGuid(&hid_guid);
        hid_guid_cached = 1;
    }
    return hid_guid;
}

HidDevice* hid_open(const wchar_t* path, int read_write, int shared) {
    DWORD access = read_write ? (GENERIC_READ | GENERIC_WRITE) : 0;
    DWORD share = shared ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : 0;
    SECURITY_ATTRIBUTES attributes = inheritable();
    HANDLE handle =
        CreateFileW(path, access, share, &attributes, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    PHIDP_PREPARSED_DATA preparsed = NULL;
    if (!HidD_GetPreparsedData(handle, &preparsed)) {
        CloseHandle(handle);
        return nullptr;
    }
    HIDP_CAPS caps;
    NTSTATUS status = HidP_GetCaps(preparsed, &caps);
    HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) {
        CloseHandle(handle);
        return nullptr;
    }
    // Without its events the device could never report a completed request, so a missing
    // event fails the open like a missing handle.
    HANDLE read_event = CreateEventW(&attributes, FALSE, FALSE, NULL);
    HANDLE write_event = read_event ? CreateEventW(&attributes, FALSE, FALSE, NULL) : NULL;
    HidDevice* device = static_cast<HidDevice*>(calloc(1, sizeof(HidDevice)));
    wchar_t* path_copy = device ? wide_string_copy(path) : nullptr;
    if (!write_event || !path_copy) {
        free(path_copy);
        free(device);
        if (write_event)
            CloseHandle(write_event);
        if (read_event)
            CloseHandle(read_event);
        CloseHandle(handle);
        return nullptr;
    }
    device->path = path_copy;
    device->handle = handle;
    device->read_pending = 0;
    device->write_pending = 0;
    device->input_report_length = caps.InputReportByteLength;
    device->output_report_length = caps.OutputReportByteLength;
    device->feature_report_length = caps.FeatureReportByteLength;
    device->input_buffer = report_buffer(caps.InputReportByteLength);
    device->output_buffer = report_buffer(caps.OutputReportByteLength);
    device->feature_buffer = report_buffer(caps.FeatureReportByteLength);
    device->read_overlapped.hEvent = read_event;
    device->write_overlapped.hEvent = write_event;
    return device;
}

int32_t hid_read(HidDevice* device, DWORD timeout_ms) {
    if (!device->read_pending) {
        device->read_pending = 1;
        memset(device->input_buffer, 0, device->input_report_length);
        ResetEvent(device->read_overlapped.hEvent);
        if (!ReadFile(device->handle, device->input_buffer, device->input_report_length, NULL,
                      &device->read_overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            CancelIo(device->handle);
            device->read_pending = 0;
            return -1;
        }
    }
    return finish_request(device->handle, &device->read_overlapped, &device->read_pending,
                          timeout_ms);
}

int32_t hid_write(HidDevice* device, const uint8_t* data, size_t length, DWORD timeout_ms) {
    if (!device->write_pending) {
        device->write_pending = 1;
        memset(device->output_buffer, 0, device->output_report_length);
        size_t taken =
            length < device->output_report_length ? length : device->output_report_length;
        if (taken)
            memcpy(device->output_buffer, data, taken);
        ResetEvent(device->write_overlapped.hEvent);
        if (!WriteFile(device->handle, device->output_buffer, device->output_report_length, NULL,
                       &device->write_overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            CancelIo(device->handle);
            device->write_pending = 0;
            return -1;
        }
    }
    return finish_request(device->handle, &device->write_overlapped, &device->write_pending,
                          timeout_ms);
}

int32_t hid_send_feature(HidDevice* device, const uint8_t* data, size_t length) {
    size_t taken = length;
    if (length <= device->feature_report_length)
        memset(device->feature_buffer, 0, device->feature_report_length);
    else
        taken = device->feature_report_length;
    if (taken)
        memcpy(device->feature_buffer, data, taken);
    if (!HidD_SetFeature(device->handle, device->feature_buffer, device->feature_report_length))
        return -1;
    return (int32_t)taken;
}

void hid_close(HidDevice* device) {
    // Cancellation completes asynchronously: until each cancelled request has completed, the
    // system may still write the buffers and OVERLAPPEDs and set the events, so everything is
    // released only after that. Should the cancel itself fail, closing the handle (the last
    // one) cancels what it left.
    HANDLE handle = device->handle;
    if (!CancelIoEx(handle, NULL) && GetLastError() != ERROR_NOT_FOUND) {
        CloseHandle(handle);
        handle = NULL;
    }
    settle_request(&device->read_overlapped, &device->read_pending);
    settle_request(&device->write_overlapped, &device->write_pending);
    CloseHandle(device->read_overlapped.hEvent);
    CloseHandle(device->write_overlapped.hEvent);
    if (handle)
        CloseHandle(handle);
}

void hid_free(HidDevice* device) {
    if (!device)
        return;
    free(device->path);
    free(device->input_buffer);
    free(device->output_buffer);
    free(device->feature_buffer);
    free(device);
}

int hid_restart_device(const wchar_t* path) {
    GUID guid = hid_class_guid();
    InterfacePropertyQuery query = interface_property_query();
    if (!query)
        return 0;
    DEVPROPTYPE type = 0;
    ULONG size = 0;
    query(path, &instance_id_key, &type, NULL, &size, 0);
    // One spare zeroed character keeps the ID terminated whatever the query wrote.
    wchar_t* instance_id = static_cast<wchar_t*>(calloc(size + sizeof(wchar_t), 1));
    if (!instance_id)
        return 0;
    if (query(path, &instance_id_key, &type, reinterpret_cast<PBYTE>(instance_id), &size, 0) !=
        CR_SUCCESS) {
        free(instance_id);
        return 0;
    }
    HDEVINFO set =
        SetupDiGetClassDevsW(&guid, instance_id, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        free(instance_id);
        return 0;
    }
    int result = 0;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    SP_DEVINFO_DATA second;
    second.cbSize = sizeof second;
    if (SetupDiEnumDeviceInfo(set, 0, &info) && !SetupDiEnumDeviceInfo(set, 1, &second) &&
        change_state(set, &info, DICS_DISABLE)) {
        for (int attempt = 0; attempt < enable_attempts && !result; attempt++) {
            if (attempt > 0)
                Sleep(enable_retry_ms);
            result = change_state(set, &info, DICS_ENABLE);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    free(instance_id);
    return result;
}

int hid_matches_ids(const wchar_t* path, uint16_t vendor_id, uint16_t product_id) {
    HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    HIDD_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.Size = sizeof attributes;
    int result = 0;
    if (HidD_GetAttributes(handle, &attributes))
        result = (vendor_id == 0 || vendor_id == attributes.VendorID) &&
                 (product_id == 0 || product_id == attributes.ProductID);
    CloseHandle(handle);
    return result;
}
