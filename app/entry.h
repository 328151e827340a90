// The program's entry point, the runtime's wide-character main function. The Windows build's
// runtime calls it; the simulator calls it on the thread that plays the main thread.
#pragma once

#include <cwchar>

// Runs the program: start-up, the message loop until the quit message, the shutdown. The
// arguments are ignored. Returns the exit code: 0 after the orderly shutdown, 1 when the tray
// cannot be created ("Failed to create tray\n" on standard output). Main thread, once per
// process; blocks for the program's whole life.
int wmain(int argc, wchar_t** argv, wchar_t** envp);
