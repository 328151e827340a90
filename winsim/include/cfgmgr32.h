// Configuration manager: the device-interface property query.
#pragma once

#include "windows.h"
#include "devpropdef.h"

#define CMAPI

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_NO_SUCH_VALUE 0x00000025
#define CR_NO_SUCH_DEVICE_INTERFACE 0x00000037

#ifdef __cplusplus
extern "C" {
#endif

CMAPI CONFIGRET WINAPI CM_Get_Device_Interface_PropertyW(LPCWSTR device_interface,
                                                         const DEVPROPKEY* key, DEVPROPTYPE* type,
                                                         PBYTE buffer, PULONG buffer_size,
                                                         ULONG flags);

#ifdef __cplusplus
}
#endif
