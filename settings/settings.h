// The four user-selectable modes and the settings file that keeps them.
//
// Threads: only the main thread writes the record (at start-up and from the menu's mode items).
// Reader threads read movement_lock, driving_mode, fast_turns and rotation_offset without a
// lock while it does, so those four are atomics: a change takes effect from the next report.
#pragma once

#include <atomic>
#include <cstdint>

struct ModeSettings {
    std::atomic<int32_t> movement_lock;  // live "76-Deg Movement Lock" flag, always 0 or 1
    int32_t movement_lock_saved;         // line 1 of the file; main thread only
    int32_t rotate;                      // "Rotate 40-Deg", line 2; main thread only
    std::atomic<int32_t> driving_mode;   // "Driving Mode", line 3; acts only when exactly 1
    std::atomic<int32_t> fast_turns;     // "Fast Turns", line 4; acts only when exactly 1
    std::atomic<double> rotation_offset; // radians added to every stick position
};

extern ModeSettings mode_settings;

// The settings file, in the process's current directory.
#define SETTINGS_FILE_NAME "pelkavorn.config"

// 40 degrees in radians: the offset while "Rotate 40-Deg" is on.
constexpr double ROTATION_40_DEGREES = 0.6981317;

// Reads the settings file into the record once, at start-up, before any reader thread exists.
// A file that cannot be read is created with all four modes off and the record stays all off;
// an existing file is never rewritten here. Main thread.
void load_settings(void);

// Writes the four stored values to the settings file, replacing it in one step: a crash or a
// full disk mid-write leaves the previous file whole. Where no file can be made beside it (a
// folder that refuses new files), the existing file is rewritten in place, and put back as it
// was when that write fails. True only when the file holds the new values; false when they
// could not be written, the previous file then left or put back as it was. The record keeps
// its values either way. Main thread.
bool write_settings_file(void);
