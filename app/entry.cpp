// The program's entry point: start-up, the message loop until the quit message, the shutdown.
// Everything here runs on the main thread, which also owns the hidden tray window.
#include "app/entry.h"
#include "app/startup.h"
#include "tray/tray.h"

int wmain(int, wchar_t**, wchar_t**) {
    if (app_start() != 0)
        return 1;
    while (pump_message(TRAY_WAIT_FOR_MESSAGE) == 0) {
    }
    app_shutdown();
    return 0;
}
