// The devices layer's shared state and its two slots.
#include "devices/device_state.h"

DeviceTableState device_state = {};

DeviceWarningCallback device_warning_callback = nullptr;
DeviceTableChangedCallback device_table_changed_callback = nullptr;

void device_warn(DeviceWarning warning) {
    if (device_warning_callback)
        device_warning_callback(warning);
}

void device_table_changed(void) {
    if (device_table_changed_callback)
        device_table_changed_callback();
}
