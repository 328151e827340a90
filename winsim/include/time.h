// The C library's time header, plus what Windows' C runtime declares in it beside the standard
// functions and the program uses: the 64-bit time function. Its answer comes from the
// simulated machine's clock (winsim::pin_time).
#pragma once

#include_next <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// As in the runtime: whole seconds since 1970-01-01 UTC, 8 bytes on every platform.
typedef long long __time64_t;

// Seconds since 1970, also stored through `destination` when it is not null; -1 when the clock
// fails (only by fault injection here).
__time64_t _time64(__time64_t* destination);

#ifdef __cplusplus
}
#endif
