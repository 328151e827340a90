/* rig-baseline.exe: the least a client can do to carry the stick to a pad, the yardstick for the
 * program's share of a latency run. It plugs one Xbox 360 pad into the bus, finds the stick and
 * for every input report submits the raw axes (moved into the pad's signed range) and the button
 * as A: no modes, no device table, no translation, no window. It runs until it is ended or the
 * stick goes. */
#include <windows.h>

#include <setupapi.h>
#include <wchar.h>

#include "hid/stick_model.h"

static const GUID bus_class = {
    0x96E42B22, 0xF5E9, 0x42F8, {0xB0, 0x43, 0xED, 0x0F, 0x93, 0x2F, 0x01, 0x4F}};
static const GUID hid_class = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

enum {
    ctl_plug_in = 0x002AA004,
    ctl_version = 0x002AA00C,
    ctl_wait_ready = 0x002AA010,
    ctl_x360_report = 0x002AA808,
};

/* The path of the first present interface of `class` whose path holds `part` (upper case), or
 * NULL; the caller frees it. */
static WCHAR* find_interface(const GUID* class, const WCHAR* part) {
    HDEVINFO set = SetupDiGetClassDevsW(class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA iface;
    WCHAR* found = NULL;
    DWORD i;
    if (set == INVALID_HANDLE_VALUE)
        return NULL;
    memset(&iface, 0, sizeof(iface));
    iface.cbSize = sizeof(iface);
    for (i = 0; !found && SetupDiEnumDeviceInterfaces(set, NULL, class, i, &iface); i++) {
        DWORD size = 0;
        SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail;
        SetupDiGetDeviceInterfaceDetailW(set, &iface, NULL, 0, &size, NULL);
        detail = size ? HeapAlloc(GetProcessHeap(), 0, size) : NULL;
        if (!detail)
            continue;
        detail->cbSize = sizeof(*detail);
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, size, NULL, NULL)) {
            size_t length = wcslen(detail->DevicePath), c;
            WCHAR* upper = HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(WCHAR));
            if (upper) {
                for (c = 0; c <= length; c++)
                    upper[c] = towupper(detail->DevicePath[c]);
                if (!part || wcsstr(upper, part)) {
                    memcpy(upper, detail->DevicePath, (length + 1) * sizeof(WCHAR));
                    found = upper;
                } else {
                    HeapFree(GetProcessHeap(), 0, upper);
                }
            }
        }
        HeapFree(GetProcessHeap(), 0, detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

/* One request with a record whose first field is its length. */
static BOOL request(HANDLE bus, DWORD code, void* record) {
    DWORD bytes = 0;
    return DeviceIoControl(bus, code, record, *(DWORD*)record, NULL, 0, &bytes, NULL);
}

int main(void) {
    WCHAR *bus_path = find_interface(&bus_class, NULL), *stick_path = NULL;
    DWORD version[2] = {8, 1}, ready[2] = {8, 1}, plug[4] = {16, 1, 0, 0x028E045E};
    unsigned char report[6], record[20];
    HANDLE bus, stick;
    DWORD got, tries;

    if (!bus_path)
        return 1;
    bus = CreateFileW(bus_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (bus == INVALID_HANDLE_VALUE || !request(bus, ctl_version, version) ||
        !request(bus, ctl_plug_in, plug) || !request(bus, ctl_wait_ready, ready))
        return 2;
    for (tries = 0; !stick_path && tries < 600; tries++) {
        stick_path = find_interface(&hid_class, STICK_PATH_FILTER);
        if (!stick_path)
            Sleep(50);
    }
    if (!stick_path)
        return 3;
    stick = CreateFileW(stick_path, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (stick == INVALID_HANDLE_VALUE)
        return 4;
    memset(record, 0, sizeof(record));
    record[0] = sizeof(record);
    record[4] = 1; /* serial */
    while (ReadFile(stick, report, sizeof(report), &got, NULL) && got == sizeof(report)) {
        /* The raw axes, centre 0x8000, become signed by flipping the top bit. */
        record[8] = 0;
        record[9] = report[5] ? 0x10 : 0; /* A */
        record[12] = report[1];
        record[13] = report[2] ^ 0x80;
        record[14] = report[3];
        record[15] = report[4] ^ 0x80;
        request(bus, ctl_x360_report, record);
    }
    return 0;
}
