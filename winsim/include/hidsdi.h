// HID class driver services for user mode: the class GUID, attributes, preparsed data and
// feature reports.
#pragma once

#include "windows.h"
#include "hidusage.h"
#include "hidpi.h"

typedef struct _HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} HIDD_ATTRIBUTES, *PHIDD_ATTRIBUTES;

#ifdef __cplusplus
extern "C" {
#endif

void NTAPI HidD_GetHidGuid(LPGUID hid_guid);
BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed_data);
BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed_data);
BOOLEAN NTAPI HidD_SetFeature(HANDLE device, PVOID report, ULONG report_length);

#ifdef __cplusplus
}
#endif
