// The translation's arithmetic: a function of the sample, the modes, the driving state and the
// clock. The sample callback that feeds it from a reader and hands its result to the bus is in
// devices/sample_to_pad.cpp.
#include "translate/translate.h"

#include "settings/settings.h"

#include <cmath>
#include <time.h>

DrivingState driving_state;

// The runtime's 64-bit function in every build: the 32-bit program's plain time() is the
// runtime's 32-bit one, whose seconds run out in January 2038.
int64_t translate_system_seconds(void) {
    return (int64_t)_time64(nullptr);
}

namespace {

// Rounded on purpose, not M_PI and 180/M_PI: the pad's reports are defined by these values.
// The exact ones move the wrap and every mode boundary (78, 102, 165 degrees...) by a few
// millionths, and change the report of a stick resting right on one.
const double wrap_limit = 3.1415926;
const double degrees_per_radian = 57.2958;
const double gain = 1.05;
const double full_scale = 32767.0;
const double mode_threshold = 30000.0;
const double fast_turn_step = 20.0;
const double lock_angle_forward = 0.24609;
const double lock_angle_back = 2.8955;
const int32_t forward_threshold = 5000;
// Driving mode switches on a button report at least this many whole seconds after the previous
// one: a button held down reports many times a second and must not flicker the mode.
const int64_t driving_switch_gap_seconds = 2;

} // namespace

TranslateModes translate_current_modes(void) {
    TranslateModes modes;
    modes.rotation_offset = mode_settings.rotation_offset;
    modes.fast_turns = mode_settings.fast_turns;
    modes.movement_lock = mode_settings.movement_lock;
    modes.driving_mode = mode_settings.driving_mode;
    return modes;
}

int16_t decode_axis16(uint8_t low, uint8_t high, int32_t invert) {
    int32_t raw = high * 256 + low;
    int16_t v = (int16_t)(raw - 32768);
    if (v < -32767)
        v = -32767;
    if (invert)
        v = (int16_t)-v;
    return v;
}

int32_t decode_axis8(uint8_t value, int32_t invert) {
    int8_t v = (int8_t)(value - 128);
    if (v < -127)
        v = -127;
    if (invert)
        v = (int8_t)-v;
    return v * 32767 / 127;
}

GamepadReport translate_compute(const StickSample* sample, const TranslateModes* modes,
                                DrivingState* state, TranslateClockSeconds clock) {
    // The stick reports Y growing downwards; the pad's Y grows upwards.
    int16_t x = decode_axis16(sample->x_low, sample->x_high, AXIS_AS_IS);
    int16_t y = decode_axis16(sample->y_low, sample->y_high, AXIS_INVERTED);

    double angle = std::atan2((double)y, (double)x) + modes->rotation_offset;
    if (angle > wrap_limit)
        angle = angle - 2.0 * wrap_limit;
    double degrees = angle * degrees_per_radian;

    int32_t square = (int32_t)x * x + (int32_t)y * y; // at most 2 147 352 578
    double length = std::sqrt((double)square) * gain;
    if (length > full_scale)
        length = full_scale;

    if (length > mode_threshold && modes->fast_turns == 1) {
        if (degrees > 0.0 && degrees < 78.0) {
            degrees = degrees - fast_turn_step;
            if (degrees < 0.0)
                degrees = 0.0;
        }
        if (degrees > 102.0 && degrees < 180.0) {
            degrees = degrees + fast_turn_step;
            if (degrees > 180.0)
                degrees = 180.0;
        }
        angle = degrees / degrees_per_radian;
    }

    if (length > mode_threshold && modes->movement_lock == 1) {
        if ((degrees >= 0.0 && degrees <= 15.0) || (degrees >= -10.0 && degrees <= 0.0)) {
            length = full_scale;
            angle = lock_angle_forward;
        } else if (degrees >= 165.0 || degrees <= -170.0) {
            length = full_scale;
            angle = lock_angle_back;
        }
    }

    int16_t out_x = (int16_t)(int32_t)(std::cos(angle) * length);
    int16_t out_y = (int16_t)(int32_t)(std::sin(angle) * length);

    GamepadReport report;
    report.buttons = (sample->button & 1) ? GAMEPAD_BUTTON_A : 0;
    report.left_trigger = 0;
    report.right_trigger = 0;
    report.left_x = out_x;
    report.left_y = out_y;
    // The right stick has no stick behind it: it rests at the centre.
    report.right_x = (int16_t)decode_axis8(AXIS8_CENTRE, AXIS_AS_IS);
    report.right_y = (int16_t)decode_axis8(AXIS8_CENTRE, AXIS_INVERTED);

    if (modes->driving_mode == 1) {
        if (report.buttons != 0) {
            state->previous_button_time = state->last_button_time;
            state->last_button_time = clock();
            // Wrapping subtraction: a failed clock (-1) must not overflow.
            int64_t gap = (int64_t)((uint64_t)state->last_button_time -
                                    (uint64_t)state->previous_button_time);
            if (gap >= driving_switch_gap_seconds)
                state->engaged ^= 1;
        }
        if (state->engaged) {
            report.buttons = 0;
            report.left_y = 0;
            if (out_y > forward_threshold)
                report.right_trigger = (uint8_t)(int32_t)(length / 128.0);
            else if (out_y < 0)
                report.left_trigger = (uint8_t)((-out_y) / 128);
        }
    }
    return report;
}
