// Start-up and shutdown. Everything here runs on the main thread, which also owns the hidden
// tray window.
#include "app/startup.h"

#include "bus/bus_connection.h"
#include "settings/settings.h"
#include "bus/bus.h"
#include "devices/device_rescan.h"
#include "devices/device_table.h"
#include "hid/hid_device.h"
#include "hid/stick_reader.h"
#include "devices/sample_to_pad.h"
#include "app/app_menu.h"
#include "tray/tray.h"

#include <cstdio>

namespace {

// The connection's one balloon; a working bus says nothing.
void report_connection(_VIGEM_ERRORS result) {
    const wchar_t* text;
    switch (result) {
    case BUS_OK:
        return;
    case BUS_ERR_NO_BUS:
        text = BALLOON_BUS_NOT_INSTALLED;
        break;
    case BUS_ERR_VERSION:
        text = BALLOON_BUS_VERSION;
        break;
    default:
        text = BALLOON_BUS_CONNECT;
        break;
    }
    tray_show_balloon(BALLOON_ERROR, BALLOON_TITLE, text);
}

} // namespace

int app_start() {
    load_settings();
    build_application_menu();
    if (tray_create(&app_tray) < 0) {
        std::fputs("Failed to create tray\n", stdout);
        std::fflush(stdout);
        return 1;
    }

    bus_client = bus_client_new();
    _VIGEM_ERRORS connected = bus_connect(bus_client);
    if (connected == BUS_OK)
        bus_connected = 1;
    report_connection(connected);

    // The slots are filled before the first reader thread can exist: a stick present now is
    // attached by the scan below, and its reader may end (the stick pulled at once) before the
    // scan returns.
    sample_callback = translate_stick_sample;
    reader_stopped_callback = on_reader_stopped;
    device_warning_callback = app_menu_warn;
    device_table_changed_callback = app_menu_update;

    device_rescan();
    tray_register_device_notifications(hid_class_guid(), on_device_change);
    return 0;
}

void app_shutdown() {
    // Every reader has ended before its device, entry and pad are released, so nothing below
    // can be touched by a reader thread afterwards.
    device_table_clear();
    if (bus_connected)
        bus_disconnect(bus_client);
    bus_client_delete(bus_client);
    free_application_menu();
}
