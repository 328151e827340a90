// Input reports of any length and content through the reader's decoding and the translation,
// under every combination of the four modes and both driving states. The whole input is the
// report as the device delivered it; bytes past the six the reader decodes (which it ignores)
// also choose an odd rotation value, the clock and the driving times, so that the corners of
// those reach the arithmetic too.
//
// Stops on: a read outside the report (AddressSanitizer: libFuzzer hands the input over in a
// block of exactly its size), undefined arithmetic (UndefinedBehaviorSanitizer, which includes
// out-of-range conversions from double to integer), or an output field outside its range.
#include "settings/settings.h"
#include "hid/stick_reader.h"
#include "translate/translate.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int64_t fuzz_clock_value = 0;
int64_t fuzz_clock(void) {
    return fuzz_clock_value;
}

[[noreturn]] void fail(const char* what, const GamepadReport& report, const TranslateModes& modes,
                       const DrivingState& state) {
    std::fprintf(stderr,
                 "%s: buttons %u triggers %u %u left %d %d right %d %d; modes offset %.9g fast "
                 "%d lock %d driving %d; engaged %d\n",
                 what, report.buttons, report.left_trigger, report.right_trigger, report.left_x,
                 report.left_y, report.right_x, report.right_y, modes.rotation_offset,
                 modes.fast_turns, modes.movement_lock, modes.driving_mode, state.engaged);
    std::abort();
}

template <typename T> T take(const uint8_t* data, size_t size, size_t at) {
    T value{};
    if (at + sizeof(T) <= size)
        std::memcpy(&value, data + at, sizeof(T));
    return value;
}

// What a report must look like whatever the input: the ranges the pad's fields are documented
// to keep, and driving's effect measured against the same report without driving.
void check(const StickSample& sample, const TranslateModes& modes, const DrivingState& before) {
    DrivingState state = before;
    GamepadReport report = translate_compute(&sample, &modes, &state, fuzz_clock);

    TranslateModes undriven = modes;
    undriven.driving_mode = 0;
    DrivingState untouched = before;
    GamepadReport plain = translate_compute(&sample, &undriven, &untouched, fuzz_clock);

    if (std::memcmp(&untouched, &before, sizeof(before)) != 0)
        fail("driving state changed with driving mode off", plain, undriven, untouched);
    if (report.left_x < -32767 || report.left_y < -32767)
        fail("stick value -32768", report, modes, state);
    if ((int64_t)report.left_x * report.left_x + (int64_t)report.left_y * report.left_y >
        32767LL * 32767LL)
        fail("stick beyond full deflection", report, modes, state);
    if (report.right_x != 0 || report.right_y != 0)
        fail("right stick moved", report, modes, state);
    if (state.engaged != 0 && state.engaged != 1)
        fail("engaged is neither 0 nor 1", report, modes, state);
    if (plain.buttons != ((sample.button & 1) ? 0x1000 : 0))
        fail("buttons do not follow the sample", plain, undriven, untouched);
    if (plain.left_trigger != 0 || plain.right_trigger != 0)
        fail("triggers without driving", plain, undriven, untouched);
    if (report.left_x != plain.left_x)
        fail("driving changed the steering", report, modes, state);

    if (modes.driving_mode != 1 || !state.engaged) {
        if (std::memcmp(&report, &plain, sizeof(report)) != 0)
            fail("report differs from the one without driving", report, modes, state);
    } else {
        if (report.buttons != 0 || report.left_y != 0)
            fail("engaged driving kept the button or the stick's Y", report, modes, state);
        if (report.left_trigger != 0 && report.right_trigger != 0)
            fail("both triggers at once", report, modes, state);
        if (report.right_trigger != 0 && plain.left_y <= 5000)
            fail("accelerating without forward travel", report, modes, state);
        if (plain.left_y < 0 && report.left_trigger != (-plain.left_y) / 128)
            fail("braking is not the backward travel", report, modes, state);
        if (plain.left_y >= 0 && report.left_trigger != 0)
            fail("braking without backward travel", report, modes, state);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader's decoding: a report ID other than 0 leaves the sample as it was.
    StickSample sample;
    std::memset(&sample, 0xA5, sizeof(sample));
    const StickSample sentinel = sample;
    int decoded = stick_report_decode(data, size, &sample);
    auto byte = [&](size_t at) -> uint8_t { return at < size ? data[at] : 0; };
    if (decoded != (byte(0) == 0 ? 1 : 0))
        std::abort();
    if (!decoded) {
        if (std::memcmp(&sample, &sentinel, sizeof(sample)) != 0)
            std::abort();
        return 0;
    }
    if (sample.button != (byte(5) != 0 ? 1 : 0) || sample.x_low != byte(1) ||
        sample.x_high != byte(2) || sample.y_low != byte(3) || sample.y_high != byte(4))
        std::abort();

    // Bytes 6 onwards: a rotation value such as a file and later toggles can leave (any 32-bit
    // value times 40 degrees), the clock, and the driving times before this report.
    int32_t rotate = take<int32_t>(data, size, 6);
    fuzz_clock_value = take<int64_t>(data, size, 10);
    DrivingState before{};
    before.last_button_time = take<int64_t>(data, size, 18);
    before.previous_button_time = take<int64_t>(data, size, 26);
    int32_t odd_value = take<int32_t>(data, size, 34); // a mode value other than 0 and 1

    const double offsets[] = {0.0, ROTATION_40_DEGREES, (double)rotate * ROTATION_40_DEGREES};
    for (double offset : offsets) {
        for (int combination = 0; combination < 8; combination++) {
            TranslateModes modes;
            modes.rotation_offset = offset;
            modes.fast_turns = (combination & 1) ? 1 : odd_value == 1 ? 0 : odd_value;
            modes.movement_lock = (combination & 2) ? 1 : 0;
            modes.driving_mode = (combination & 4) ? 1 : 0;
            for (int engaged = 0; engaged < 2; engaged++) {
                before.engaged = engaged;
                check(sample, modes, before);
            }
        }
    }
    return 0;
}
