// Stick-to-gamepad translation: one StickSample in, one GamepadReport out, shaped by the four
// modes. Pure arithmetic apart from the mode and driving state it reads; the sample callback
// that submits the result to the stick's pad is in devices/sample_to_pad.h.
#pragma once

#include "bus/bus.h"
#include "hid/stick_reader.h"

#include <cstdint>

// Driving mode's engage/release state: one per process, zero at start, never reset. Touched
// only by the reader thread; the table holds one stick, so never by two threads at once.
struct DrivingState {
    int32_t engaged;              // 0 or 1
    int64_t last_button_time;     // seconds since 1970, of the latest report with the button down
    int64_t previous_button_time; // of the one before it
};

extern DrivingState driving_state;

// A time function: whole seconds since 1970; -1 when the clock fails.
typedef int64_t (*TranslateClockSeconds)(void);
// The C runtime's 64-bit time function, which the sample callback uses. Any thread.
int64_t translate_system_seconds(void);

// The mode values one translation uses, read once per report.
struct TranslateModes {
    double rotation_offset;
    int32_t fast_turns;
    int32_t movement_lock;
    int32_t driving_mode;
};

// Reads the current modes (written by the main thread) once.
TranslateModes translate_current_modes(void);

// The decoders' `invert`, named at the call sites.
enum : int32_t { AXIS_AS_IS = 0, AXIS_INVERTED = 1 };
// The raw value of an 8-bit axis at rest.
enum : uint8_t { AXIS8_CENTRE = 128 };

// Raw 16-bit axis (centre 0x8000) to -32767..32767; `invert` flips the sign.
int16_t decode_axis16(uint8_t low, uint8_t high, int32_t invert);
// Raw 8-bit axis (centre 128) to -32767..32767; `invert` flips the sign.
int32_t decode_axis8(uint8_t value, int32_t invert);

// The arithmetic of one report: a function of the sample, the modes, the driving state (which
// it updates) and the clock, which it calls only while driving mode is on and the button is
// down. Allocates nothing and takes no lock.
GamepadReport translate_compute(const StickSample* sample, const TranslateModes* modes,
                                DrivingState* state, TranslateClockSeconds clock);
