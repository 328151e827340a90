// Cost of one stick translation: the pure arithmetic for every combination of modes, and the
// sample callback with its table lookup in front of a submit that returns at once (no client
// is connected, so the driver's own cost, not ours to measure here, stays out).
#include "translate/translate.h"
#include "devices/sample_to_pad.h"

#include "bus/bus_connection.h"
#include "settings/settings.h"
#include "devices/device_table.h"

#include <benchmark/benchmark.h>
#include <winsim/machine.h>

namespace {

int64_t fixed_clock() {
    return 1000;
}

// A spread of positions: full deflections (where the modes act), diagonals and the centre.
StickSample positions[8];

void fill_positions() {
    const uint16_t xs[8] = {0xFFFF, 0x0000, 0x8000, 0xFFFF, 0x0000, 0xC000, 0x8000, 0xEF9C};
    const uint16_t ys[8] = {0x8000, 0x8000, 0x0000, 0x0000, 0xFFFF, 0x4000, 0x8000, 0x8000};
    for (int i = 0; i < 8; i++)
        positions[i] = {i & 1, (uint8_t)(xs[i] & 0xFF), (uint8_t)(ys[i] & 0xFF),
                        (uint8_t)(xs[i] >> 8), (uint8_t)(ys[i] >> 8)};
}

void BM_Compute(benchmark::State& state) {
    fill_positions();
    TranslateModes modes = {state.range(0) ? 0.6981317 : 0.0, (int32_t)state.range(1),
                            (int32_t)state.range(2), (int32_t)state.range(3)};
    DrivingState driving = {};
    size_t i = 0;
    for (auto _ : state) {
        GamepadReport r = translate_compute(&positions[i++ & 7], &modes, &driving, fixed_clock);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_Compute)
    ->ArgNames({"rotate", "fast", "lock", "driving"})
    ->ArgsProduct({{0, 1}, {0, 1}, {0, 1}, {0, 1}});

void BM_SampleCallback(benchmark::State& state) {
    fill_positions();
    static StickReader reader = {};
    static _VIGEM_TARGET_T target = {};
    static DeviceEntry entry = {nullptr, &reader, &target, {}};
    device_table.count = 1;
    device_table.entries[0] = &entry;
    bus_connected = 1;
    winsim::pin_time(fixed_clock());
    mode_settings.fast_turns = (int32_t)state.range(0);
    mode_settings.movement_lock = (int32_t)state.range(0);
    mode_settings.driving_mode = (int32_t)state.range(0);
    size_t i = 0;
    for (auto _ : state)
        translate_stick_sample(&reader, &positions[i++ & 7]);
    device_table.count = 0;
    device_table.entries[0] = nullptr;
}
BENCHMARK(BM_SampleCallback)->ArgName("all_modes")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
