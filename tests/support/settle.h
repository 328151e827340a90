// Waiting until the program on the simulated machine has done everything it will do until the
// next outside event. Shared by the program's tests and pelkavorn-sim, so that all of them
// mean the same by "settled" and give the program the same time.
#pragma once

#include <windows.h>

#include <functional>

// How long the program may take to settle after one outside event. Far beyond what it needs;
// a program not settled by then hangs.
constexpr DWORD SETTLE_LIMIT_MS = 10000;

// The thread that owns the program's hidden window (its main thread), or 0 before it exists.
DWORD program_main_thread();
// The program's hidden window while it lives, or null.
HWND program_window();

// True when every stick the program holds has its next read outstanding, no other thread of
// the program runs, and (while `loop_runs`) the main thread waits in GetMessageW with nothing
// queued. Readers are looked at before the main thread: a reader's end posts work to the main
// thread before the reader is gone, so a main thread seen waiting afterwards has taken it.
bool program_settled(bool loop_runs);

// Polls until program_settled has held three times running, for at most SETTLE_LIMIT_MS;
// false when it never did. `loop_runs` is asked at every poll (the program may end meanwhile).
bool settle_program(const std::function<bool()>& loop_runs);
