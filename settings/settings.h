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

// What became of a write of the settings file.
enum SettingsWriteResult : int32_t {
    SETTINGS_WRITTEN = 0,     // the file holds the new values
    SETTINGS_READ_ONLY = 1,   // the file is marked read-only, or its folder refuses changes
    SETTINGS_DISK_FULL = 2,   // the disk has no room for them
    SETTINGS_FILE_IN_USE = 3, // another program holds the file open and shares no writing
    SETTINGS_NOT_WRITTEN = 4, // any other failure
};

struct SettingsWrite {
    SettingsWriteResult result;
    // Unless written: true when the file is exactly as it was before (or still absent). False
    // only when the file may now hold neither the old values nor the new ones.
    bool previous_kept;
};

// Writes the four stored values to the settings file. The new text goes into a file beside it,
// flushed to the disk, which then takes the settings file's name in one step: a crash or a power
// cut leaves the previous file or the new one, whole. Where that cannot be done (no file can be
// made beside it, the disk is full, another program holds the settings file without sharing
// its deletion) the settings file is rewritten through its own handle, truncated before it is
// closed, and put back as it was when that fails; that rewrite is not one step, so a power cut
// in it can leave a mixed file. A settings file that is a link is always
// written that way, through the link, so that the link stays; one marked read-only is left
// alone, as Windows leaves it. The bytes are those of Windows text mode (CR LF between lines,
// none after the last). The record keeps its values whatever the result. Main thread.
SettingsWrite write_settings_file(void);
