// The mode settings record as a process starts with it: every mode off. For tests and fuzz
// targets that load the settings file more than once in one process.
#pragma once

#include "settings/settings.h"

inline void reset_mode_settings() {
    mode_settings.movement_lock = 0;
    mode_settings.movement_lock_saved = 0;
    mode_settings.rotate = 0;
    mode_settings.driving_mode = 0;
    mode_settings.fast_turns = 0;
    mode_settings.rotation_offset = 0.0;
}
