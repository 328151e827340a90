#include "hid/device_table.h"

DeviceTable device_table = {0, {nullptr}, SRWLOCK_INIT};
