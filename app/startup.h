// The program's start-up and shutdown, in their fixed order. `wmain` runs start-up, the
// message loop and the shutdown; the simulator, the benchmarks and the tests call the same two
// functions, so there is one start-up order only.
#pragma once

// Start-up: the settings, the application menu, the tray, the bus connection (its failure is
// told in a balloon and the program runs on), the two reader callbacks, the first scan, the
// device notifications. Returns 0 when the program is ready for its loop; 1 when the tray
// cannot be created, after "Failed to create tray\n" on standard output (nothing made so far
// is released: the process ends). Main thread, once per process; may block on device I/O.
int app_start();

// Shutdown after the loop has ended: every reader stopped and its stick, entry and pad
// released, the bus disconnected when it was connected, the client freed, the menu array
// freed. Main thread, once, after a start-up that returned 0; waits for the readers' ends.
void app_shutdown();
