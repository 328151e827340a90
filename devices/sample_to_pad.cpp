// The sample callback: looks the reader's stick up in the device table, translates the sample
// and submits the report to the stick's pad.
#include "devices/sample_to_pad.h"

#include "bus/bus_connection.h"
#include "devices/device_table.h"
#include "translate/translate.h"

void translate_stick_sample(StickReader* reader, StickSample* sample) {
    DeviceEntry* entry = nullptr;
    AcquireSRWLockShared(&device_table.lock);
    for (int32_t i = 0; i < device_table.count; i++) {
        if (device_table.entries[i]->reader == reader) {
            entry = device_table.entries[i];
            break;
        }
    }
    ReleaseSRWLockShared(&device_table.lock);
    // The entry is used without the lock from here on. Safe because only this reader's own end
    // removes it (device_remove_by_reader, on this very thread), and shutdown waits for that
    // end: nothing can free the entry while this call runs.
    if (!entry || !bus_connected)
        return;
    TranslateModes modes = translate_current_modes();
    entry->report = translate_compute(sample, &modes, &driving_state, translate_system_seconds);
    bus_x360_submit_on(bus_client, entry->target, entry->report, entry->submit_event);
}
