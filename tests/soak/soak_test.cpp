// The program through its real entry point while a stick is plugged in and pulled out at random
// moments, streaming reports as fast as it can, with rescans from device-change broadcasts and
// menu clicks in between. Every report a reader read after its stick entered the table reaches
// the stick's pad in order, none lost or repeated; every pad leaves the bus with its stick;
// handles come back to where they were after each cycle; and no thread ever waits a second
// (a watchdog). PELKAVORN_SOAK_CYCLES sets the number of cycles (scripts/soak runs 10,000) and
// PELKAVORN_SOAK_SEED the random sequence; the suite runs a short soak.
#include "program_test.h"

#include "devices/sample_to_pad.h"

#include <dbt.h>

#include <cstring>
#include <mutex>
#include <random>

namespace {

// What the readers read, in order: each sample's counter, and -1 where a reader ended. A new
// reader starts only once the last one's entry has gone, so the ends split the log by reader.
std::mutex read_log_lock;
std::vector<int64_t> read_log;

void log_read(int64_t entry) {
    std::lock_guard<std::mutex> held(read_log_lock);
    read_log.push_back(entry);
}
void logged_sample(StickReader* reader, StickSample* sample) {
    log_read((int64_t(sample->x_high) * 256 + sample->x_low - 0x8001 + COUNTED_SPAN) %
             COUNTED_SPAN);
    translate_stick_sample(reader, sample);
}
void logged_stop(StickReader* reader) {
    log_read(-1);
    on_reader_stopped(reader);
}

uint64_t from_environment(const char* name, uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : otherwise;
}

using Soak = ProgramTest;

TEST_F(Soak, StickPluggedAndPulledAtRandomWhileItStreams) {
    const uint64_t cycles = from_environment("PELKAVORN_SOAK_CYCLES", 400);
    const uint64_t seed = from_environment("PELKAVORN_SOAK_SEED", std::random_device{}());
    std::mt19937_64 random(seed);
    auto below = [&](uint64_t n) { return n ? random() % n : 0; };
    std::printf("soak: %llu cycles, seed %llu\n", (unsigned long long)cycles,
                (unsigned long long)seed);

    const std::map<int16_t, uint32_t> counter_of_x = counter_of_pad_x();
    ASSERT_EQ(counter_of_x.size(), COUNTED_SPAN);

    read_log.clear();
    int bus = winsim::bus_add();
    launch();
    ASSERT_TRUE(settle()) << "the program did not start";
    // No reader exists yet, so the slots can change hands; readers are made after this.
    sample_callback = logged_sample;
    reader_stopped_callback = logged_stop;
    const size_t baseline = winsim::open_handles();

    // The watchdog: a thread blocked for a second in one wait is a deadlock for our purposes.
    std::atomic<bool> done{false};
    std::atomic<uint64_t> longest_wait{0};
    std::thread watchdog([&] {
        while (!done) {
            uint64_t wait = winsim::longest_wait_ms();
            if (wait > longest_wait)
                longest_wait = wait;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    // The stick sends its next report whenever it is plugged in, as fast as it can.
    std::atomic<int> stick{-1};
    std::atomic<uint64_t> delivered{0};
    std::thread streamer([&] {
        uint32_t k = 0;
        while (!done) {
            if (stick >= 0 && winsim::hid_deliver(stick, counted_report(k))) {
                k++;
                delivered++;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });

    winsim::HidDeviceOptions options = winsim::hid_stick(1);
    uint64_t broadcasts = 0, clicks = 0, completed = 0;
    auto started = std::chrono::steady_clock::now();
    for (uint64_t cycle = 0; cycle < cycles; cycle++) {
        if (cycle == 0)
            stick = winsim::hid_add(options);
        else
            winsim::hid_plug(stick);
        // A few of the things that make the main thread rescan or busy, at random moments while
        // the stick is being attached or streams.
        for (uint64_t event = below(4); event > 0; event--) {
            std::this_thread::sleep_for(std::chrono::microseconds(below(1500)));
            switch (below(4)) {
            case 0:
                winsim::broadcast_device_change(DBT_DEVNODES_CHANGED, {});
                broadcasts++;
                continue;
            case 1: // the status line, whichever it shows (the other text dismisses the menu)
                winsim::choose_menu_item(
                    {below(2) ? L"Pelkavorn K7 Detected" : L"Pelkavorn K7 Not Detected"});
                break;
            case 2: // switches a mode and writes the settings; without a press it changes nothing
                winsim::choose_menu_item({L"Driving Mode"});
                break;
            default:
                winsim::dismiss_menu();
                break;
            }
            winsim::click_tray_icon(WM_RBUTTONUP);
            clicks++;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(below(3000)));
        winsim::hid_unplug(stick);

        // Stops the cycles (the threads must still be ended below) at the first thing wrong.
        std::string wrong;
        if (!settle())
            wrong = "the program did not settle";
        if (wrong.empty() && table_count() != 0)
            wrong = "the pulled stick stays in the table";
        if (wrong.empty() && !winsim::bus_pads(bus).empty())
            wrong = "a pad stays on the bus without its stick";
        if (wrong.empty() && winsim::open_handles() != baseline) {
            wrong = std::to_string(winsim::open_handles()) + " handles open, not " +
                    std::to_string(baseline) + " (";
            for (const char* kind : {"event", "thread", "file", "devinfo", "mutex", "menu"})
                wrong += std::string(kind) + " " + std::to_string(winsim::open_handles(kind)) + " ";
            wrong += ")";
        }
        if (wrong.empty() && longest_wait.load() > 1000)
            wrong = "a thread waited a second";
        if (!wrong.empty()) {
            ADD_FAILURE() << "cycle " << cycle << ": " << wrong;
            break;
        }
        completed++;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    done = true;
    streamer.join();
    watchdog.join();

    // A click that came while a menu was open was swallowed, its scripted choice left for
    // the next menu; "Quit" comes after those, one click for each.
    size_t opened = 0;
    for (const auto& menu : winsim::shown_menus())
        opened += menu.vanished ? 0 : 1;
    winsim::choose_menu_item({L"Quit"});
    for (uint64_t attempt = 0; attempt <= clicks - opened + 5 && !ended_; attempt++) {
        winsim::click_tray_icon(WM_RBUTTONUP);
        settle();
    }
    if (!ended_) {
        ADD_FAILURE() << "\"Quit\" did not end the program";
        if (HWND window = program_window())
            PostMessageW(window, WM_CLOSE, 0, 0);
    }
    EXPECT_EQ(finish(), 0);

    // Reader by reader, against the pads in the order the bus saw them: each stick's pad took
    // exactly the reports its reader read from some point on (those read before the insertion
    // are dropped, as they must be), up to the last one it read.
    std::vector<std::vector<uint32_t>> readers(1);
    for (int64_t entry : read_log) {
        if (entry < 0)
            readers.emplace_back();
        else
            readers.back().push_back(static_cast<uint32_t>(entry));
    }
    readers.pop_back(); // after the last end
    std::vector<std::vector<uint32_t>> pads;
    bool plugged = false;
    for (const auto& event : winsim::bus_events(bus)) {
        if (event.kind == winsim::BusEvent::Plugged) {
            ASSERT_FALSE(plugged) << "a second pad while the first was plugged in";
            plugged = true;
            pads.emplace_back();
        } else if (event.kind == winsim::BusEvent::Unplugged) {
            ASSERT_TRUE(plugged);
            plugged = false;
        } else {
            ASSERT_TRUE(plugged) << "a report for no pad";
            GamepadReport report;
            ASSERT_EQ(event.report.size(), sizeof report);
            std::memcpy(&report, event.report.data(), sizeof report);
            auto found = counter_of_x.find(report.left_x);
            ASSERT_NE(found, counter_of_x.end()) << "a report the stick never sent";
            pads.back().push_back(found->second);
        }
    }
    EXPECT_FALSE(plugged) << "a pad stayed after \"Quit\"";
    ASSERT_EQ(pads.size(), readers.size()) << "one pad for every reader";
    uint64_t read = 0, submitted = 0, attached = 0;
    for (size_t i = 0; i < readers.size(); i++) {
        const auto& samples = readers[i];
        const auto& reports = pads[i];
        read += samples.size();
        submitted += reports.size();
        attached += reports.empty() ? 0 : 1;
        ASSERT_LE(reports.size(), samples.size()) << "reader " << i;
        EXPECT_TRUE(
            std::equal(reports.begin(), reports.end(), samples.end() - long(reports.size())))
            << "reader " << i << ": its pad did not take its reports in order up to the last";
    }
    std::printf("soak: %llu cycles in %.1f s; %zu readers, %llu with reports on their pad; "
                "%llu reports sent, %llu read, %llu on pads (%llu read before their stick's "
                "insertion); %llu broadcasts, %llu clicks; longest wait %llu ms\n",
                (unsigned long long)completed, seconds, readers.size(),
                (unsigned long long)attached, (unsigned long long)delivered.load(),
                (unsigned long long)read, (unsigned long long)submitted,
                (unsigned long long)(read - submitted), (unsigned long long)broadcasts,
                (unsigned long long)clicks, (unsigned long long)longest_wait.load());
    std::fflush(stdout);
    EXPECT_LE(longest_wait.load(), 1000u) << "a thread waited a second";
}

} // namespace
