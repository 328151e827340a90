// The whole program on the simulated machine, as pelkavorn-sim runs it: a stick attached to a
// virtual pad through the real entry point. Prints the time from a report's arrival at the
// stick to the bus taking its pad report (median, 99th and 99.9th percentile), the sustained
// rate of reports per second, and the program's CPU time per second while idle with a stick
// attached; with them what explains the figures: the threads' run-queue delay during the
// latency run, the waits begun per second while idle, and what one bare 10 ms timed wait costs
// on this machine. Build it Release (scripts/bench does); these are figures, not tests.
#include "app/entry.h"
#include "translate/translate.h"

#include <stick_report.h>
#include <temp_folder.h>

#include <winsim/desktop.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
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
    return stick_report((uint16_t)(n * 7919u), (uint16_t)(n * 104729u), (uint8_t)(n & 1));
}

// Per thread of this process: CPU seconds (user + system) and involuntary context switches,
// from /proc, to tell whose time the idle program spends and how often a thread was preempted.
struct ThreadTimes {
    double cpu = 0;
    long preempted = 0;
    double running_ns = 0; // schedstat: on a CPU
    double queued_ns = 0;  // schedstat: runnable, waiting for a CPU
};

std::map<int, ThreadTimes> thread_times() {
    std::map<int, ThreadTimes> times;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return times;
    const double tick = (double)sysconf(_SC_CLK_TCK);
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        int tid = std::atoi(task->d_name);
        std::string base = std::string("/proc/self/task/") + task->d_name;
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; fields >> field; i++) {
            if (i == 14)
                utime = std::stoul(field);
            if (i == 15) {
                stime = std::stoul(field);
                break;
            }
        }
        times[tid].cpu = (utime + stime) / tick;
        std::ifstream schedstat(base + "/schedstat");
        schedstat >> times[tid].running_ns >> times[tid].queued_ns;
        std::ifstream status(base + "/status");
        while (std::getline(status, line))
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                times[tid].preempted = std::atol(line.c_str() + 27);
    }
    closedir(tasks);
    return times;
}

// The program's threads together: every thread but this one, which spins while it waits.
ThreadTimes program_threads() {
    ThreadTimes total;
    int me = (int)syscall(SYS_gettid);
    for (auto& [tid, times] : thread_times()) {
        if (tid == me)
            continue;
        total.preempted += times.preempted;
        total.running_ns += times.running_ns;
        total.queued_ns += times.queued_ns;
    }
    return total;
}

// What a thread that only waits 10 ms at a time costs on this machine, with no work at all:
// the floor under any reader that wakes at its read time-out. Microseconds of CPU per wake-up.
double bare_wake_cost() {
    const int wakes = 200;
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock<std::mutex> held(mutex);
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    double before = t.tv_sec + t.tv_nsec / 1e9;
    for (int i = 0; i < wakes; i++)
        never.wait_for(held, std::chrono::milliseconds(10));
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (t.tv_sec + t.tv_nsec / 1e9 - before) * 1e6 / wakes;
}

size_t reports_taken(int bus) {
    auto pad = winsim::bus_pad(bus, 1);
    return pad ? pad->report_count : 0;
}

} // namespace

int main(int argc, char** argv) {
    // bench_program [IDLE_SECONDS]: how long the idle figure is measured (default 10).
    const int idle_for = argc > 1 ? std::atoi(argv[1]) : 10;
    const int latency_reports = 100000, rate_reports = 100000;
    TempFolder folder;
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
    ThreadTimes program_before = program_threads();
    for (int i = 1; i <= latency_reports; i++) {
        size_t before = reports_taken(bus);
        int64_t sent = now_ns();
        winsim::hid_deliver(stick, report(i));
        // Sleeps rather than spins: the bus stamps the report on the reader's thread, so how
        // this thread waits does not enter the figure, but a spinning thread would take one of
        // the machine's two cores from the program it measures.
        while (reports_taken(bus) == before)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        latencies.push_back((winsim::bus_pad(bus, 1)->report_time_ns - sent) / 1000.0);
    }
    ThreadTimes program_after = program_threads();
    long preempted = program_after.preempted - program_before.preempted;
    double running_us = (program_after.running_ns - program_before.running_ns) / 1000.0;
    double queued_us = (program_after.queued_ns - program_before.queued_ns) / 1000.0;
    size_t over_500 =
        std::count_if(latencies.begin(), latencies.end(), [](double l) { return l > 500; });
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
    // Long enough that the clock-tick resolution of the per-thread times (10 ms) stays small.
    auto threads_before = thread_times();
    size_t waits_before = winsim::calls("WaitForSingleObject");
    double cpu_before = cpu_seconds();
    auto idle_started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idle_for));
    double idle_seconds = std::chrono::duration<double>(Clock::now() - idle_started).count();
    double idle_cpu = (cpu_seconds() - cpu_before) / idle_seconds;
    double waits_per_second = (winsim::calls("WaitForSingleObject") - waits_before) / idle_seconds;
    std::vector<double> thread_shares;
    for (auto& [tid, times] : thread_times())
        thread_shares.push_back((times.cpu - threads_before[tid].cpu) / idle_seconds * 100);
    std::sort(thread_shares.rbegin(), thread_shares.rend());

    double floor_us = bare_wake_cost();

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
    std::printf("idle: %.1f waits begun per second, %.1f us of CPU per wait\n", waits_per_second,
                waits_per_second > 0 ? idle_cpu * 1e6 / waits_per_second : 0.0);
    std::printf("machine floor: %.1f us of CPU per 10 ms timed wait of a bare condition variable\n",
                floor_us);
    std::printf("idle: busiest threads (%% of one core):");
    for (size_t i = 0; i < thread_shares.size() && i < 4; i++)
        std::printf(" %.2f", thread_shares[i]);
    std::printf("\n");
    std::printf("latency run: %zu reports over 500 us, %ld involuntary context switches\n",
                over_500, preempted);
    double beyond_median = 0;
    for (double l : latencies)
        beyond_median += l - at(0.5);
    std::printf("latency run: program threads on a CPU %.1f us per report, runnable but waiting "
                "for a CPU %.1f us per report; time beyond the median %.1f us per report\n",
                running_us / latency_reports, queued_us / latency_reports,
                beyond_median / latency_reports);
    std::printf("exit %d\n", exit_code.load());
    return exit_code == 0 ? 0 : 1;
}
