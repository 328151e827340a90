// HID usage values.
#pragma once

#include "winsim_base.h"

typedef USHORT USAGE, *PUSAGE;

#define HID_USAGE_PAGE_GENERIC ((USAGE)0x01)
#define HID_USAGE_GENERIC_MOUSE ((USAGE)0x02)
#define HID_USAGE_GENERIC_JOYSTICK ((USAGE)0x04)
