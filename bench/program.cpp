// The whole program on the simulated machine, as pelkavorn-sim runs it: a stick attached to a
// virtual pad through the real entry point. Prints the time from a report's arrival at the
// stick to the bus taking its pad report (median, 99th and 99.9th percentile), the sustained
// rate of reports per second, and the program's CPU time per second while idle with a stick
// attached. Build it Release (see the README); these are figures, not tests.
#include "app/entry.h"
#include "translate/translate.h"

#include <winsim/desktop.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::vector<uint8_t> report(uint32_t n) {
    uint16_t x = (uint16_t)(n * 7919u), y = (uint16_t)(n * 104729u);
    return {0,
            (uint8_t)(x & 0xFF),
            (uint8_t)(x >> 8),
            (uint8_t)(y & 0xFF),
            (uint8_t)(y >> 8),
            (uint8_t)(n & 1)};
}

size_t reports_taken(int bus) {
    auto pad = winsim::bus_pad(bus, 1);
    return pad ? pad->report_count : 0;
}

} // namespace

int main() {
    const int latency_reports = 100000, rate_reports = 100000;
    auto directory = std::filesystem::temp_directory_path() / "pelkavorn-bench";
    std::filesystem::create_directories(directory);
    std::filesystem::current_path(directory);
    winsim::reset();
    int bus = winsim::bus_add();
    int stick = winsim::hid_add(winsim::hid_stick(1));
    std::atomic<int> exit_code{-1};
    std::thread program([&] {
        wchar_t* none[] = {nullptr};
        exit_code = wmain(0, none, none);
    });
    while (winsim::hid_pending_reads(stick) == 0 || reports_taken(bus) != 0 ||
           !winsim::bus_pad(bus, 1))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // Latency: one report at a time, each waited for.
    std::vector<double> latencies;
    latencies.reserve(latency_reports);
    for (int i = 1; i <= latency_reports; i++) {
        size_t before = reports_taken(bus);
        int64_t sent = now_ns();
        winsim::hid_deliver(stick, report(i));
        while (reports_taken(bus) == before)
            std::this_thread::yield();
        latencies.push_back((winsim::bus_pad(bus, 1)->report_time_ns - sent) / 1000.0);
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies[std::min(latencies.size() - 1, (size_t)(q * latencies.size()))];
    };

    // Sustained rate: as fast as the stick can send, never more than 16 reports queued.
    size_t start_count = reports_taken(bus);
    auto started = Clock::now();
    for (int i = 1; i <= rate_reports; i++) {
        while ((size_t)i - (reports_taken(bus) - start_count) > 16)
            std::this_thread::yield();
        winsim::hid_deliver(stick, report(i));
    }
    while (reports_taken(bus) - start_count < (size_t)rate_reports)
        std::this_thread::yield();
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    bool none_dropped = reports_taken(bus) == start_count + rate_reports;

    // Idle: a stick attached and nothing sent.
    double cpu_before = cpu_seconds();
    auto idle_started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double idle_cpu = (cpu_seconds() - cpu_before) /
                      std::chrono::duration<double>(Clock::now() - idle_started).count();

    winsim::choose_menu_item({L"Quit"});
    winsim::click_tray_icon(WM_RBUTTONUP);
    program.join();

    std::printf("report arrival -> pad report on the bus over %d reports: median %.1f us, p99 "
                "%.1f us, p99.9 %.1f us\n",
                latency_reports, at(0.5), at(0.99), at(0.999));
    std::printf("sustained: %d reports in %.2f s = %.0f reports/s (none dropped: %s)\n",
                rate_reports, seconds, rate_reports / seconds, none_dropped ? "yes" : "no");
    std::printf("idle with a stick attached: %.3f%% of one core (CPU time per second)\n",
                idle_cpu * 100);
    std::printf("exit %d\n", exit_code.load());
    std::filesystem::current_path("/");
    std::filesystem::remove_all(directory);
    return exit_code == 0 ? 0 : 1;
}
