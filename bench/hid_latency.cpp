// Latency from an input report's arrival at the device to the sample callback on the stick's
// reader thread, through the simulated machine's driver, events and reader loop. Prints the
// median and the 99th percentile over all reports.
#include "hid/hid_device.h"
#include "hid/stick_reader.h"

#include <benchmark/benchmark.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint32_t> last_sequence{0};
std::atomic<int64_t> last_seen_ns{0};

void on_sample(StickReader*, StickSample* sample) {
    last_seen_ns.store(Clock::now().time_since_epoch().count());
    last_sequence.store(sample->x_high * 256u + sample->x_low);
}

void on_stopped(StickReader*) {}

void BM_ReportToSampleCallback(benchmark::State& state) {
    winsim::reset();
    sample_callback = on_sample;
    reader_stopped_callback = on_stopped;
    last_sequence = 0;
    auto options = winsim::hid_stick(1);
    int id = winsim::hid_add(options);
    HidDevice* device = hid_open(options.paths[0].c_str(), HID_OPEN_READ_WRITE, HID_OPEN_EXCLUSIVE);
    StickReader* reader = device ? stick_reader_create(device) : nullptr;
    if (!reader) {
        state.SkipWithError("no reader");
        return;
    }
    std::vector<double> latencies_us;
    uint32_t sequence = 0;
    for (auto _ : state) {
        sequence = sequence % 0xFFFF + 1;
        int64_t sent = Clock::now().time_since_epoch().count();
        winsim::hid_deliver(
            id, {0x00, (uint8_t)(sequence & 0xFF), (uint8_t)(sequence >> 8), 0x00, 0x80, 0x00});
        while (last_sequence.load() != sequence)
            std::this_thread::yield();
        double us = (last_seen_ns.load() - sent) / 1000.0;
        latencies_us.push_back(us);
        state.SetIterationTime(us / 1e6);
    }

    HANDLE ended = CreateEventW(NULL, TRUE, FALSE, NULL);
    stick_reader_notify_end(reader, ended);
    stick_reader_stop(reader);
    WaitForSingleObject(ended, INFINITE);
    CloseHandle(ended);
    hid_close(device);
    hid_free(device);

    std::sort(latencies_us.begin(), latencies_us.end());
    double median = latencies_us[latencies_us.size() / 2];
    double p99 = latencies_us[std::min(latencies_us.size() - 1, latencies_us.size() * 99 / 100)];
    state.counters["median_us"] = median;
    state.counters["p99_us"] = p99;
    printf("report arrival -> sample callback over %zu reports: median %.1f us, p99 %.1f us\n",
           latencies_us.size(), median, p99);
}

BENCHMARK(BM_ReportToSampleCallback)
    ->UseManualTime()
    ->Iterations(20000)
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
