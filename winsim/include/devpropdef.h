// Device property keys and types, shared by the setup and configuration-manager headers.
#pragma once

#include "winsim_base.h"

typedef ULONG DEVPROPTYPE, *PDEVPROPTYPE;
typedef ULONG DEVPROPID, *PDEVPROPID;
typedef struct _DEVPROPKEY {
    GUID fmtid;
    DEVPROPID pid;
} DEVPROPKEY, *PDEVPROPKEY;
typedef const DEVPROPKEY* PCDEVPROPKEY;

#define DEVPROP_TYPE_EMPTY 0x00000000
#define DEVPROP_TYPE_STRING 0x00000012
