// The races of attaching and detaching, for real: a stick pulled at every point between its
// reader's start and its entry's insertion, reports read before the insertion, the program
// quitting while a reader is inside the translation and the bus submit, and a stick plugged,
// pulled and plugged again a thousand times while its reports stream and the main thread
// rescans.
#include <app_test.h>

#include <dbt.h>

namespace {

size_t requests(int bus, DWORD code) {
    size_t n = 0;
    for (const auto& request : winsim::bus_log(bus))
        n += request.code == code ? 1 : 0;
    return n;
}

using Hotplug = AppTest;

// Where the main thread is, inside the attach, when the user pulls the stick. The bus answers
// slowly, so each point lasts long enough for the pulled stick's reader to end there.
struct PullCase {
    const char* name;
    std::function<bool(int bus, int id)> reached;
};

TEST_F(Hotplug, StickPulledBeforeItsEntryIsInsertedLeavesNothingBehind) {
    const PullCase cases[] = {
        {"reader started, pad not yet asked for",
         [](int, int id) { return winsim::hid_pending_reads(id) > 0; }},
        {"pad being plugged in", [](int bus, int) { return requests(bus, BUS_CTL_PLUG_IN) > 0; }},
        {"pad being made ready",
         [](int bus, int) { return requests(bus, BUS_CTL_WAIT_READY) > 0; }},
    };
    for (const PullCase& c : cases) {
        SCOPED_TRACE(c.name);
        winsim::BusOptions slow;
        slow.completion_delay_ms = 60;
        start(Bus::Working, true, slow);
        reader_stops = 0;
        reader_stopped_callback = count_reader_stop;
        int id = -1;
        std::atomic<bool> pulled{false};
        std::thread hand([&] {
            id = winsim::hid_add(winsim::hid_stick(1));
            while (!c.reached(bus_, id))
                std::this_thread::yield();
            winsim::hid_unplug(id);
            pulled = true;
        });
        EXPECT_TRUE(pump_until([&] { return pulled && winsim::running_threads() == 0; }));
        hand.join();
        pump();
        EXPECT_EQ(reader_stops, 1);
        EXPECT_TRUE(winsim::bus_pads(bus_).empty()) << "the pad was unplugged";
        EXPECT_EQ(winsim::hid_open_files(id), 0u) << "the device was closed";
        EXPECT_TRUE(winsim::balloons().empty());
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");

        replug(id);
        EXPECT_TRUE(pump_until([&] { return winsim::bus_pads(bus_).size() == 1; }));
        EXPECT_TRUE(deliver_and_see(id, stick_report(0xB000)));
        quit();
        next_round();
    }
}

// Without a bus the attach has no slow step: the reader's first read fails at once and its end
// races the insertion, landing on either side of it.
TEST_F(Hotplug, ReaderEndingAroundTheInsertionIsRemovedEitherWay) {
    start(Bus::Refusing);
    reader_stops = 0;
    reader_stopped_callback = count_reader_stop;
    int id = -1;
    for (int round = 0; round < 40; round++) {
        SCOPED_TRACE(round);
        winsim::fail_calls("ReadFile", 1, ERROR_DEVICE_NOT_CONNECTED);
        if (round == 0)
            id = winsim::hid_add(winsim::hid_stick(1));
        else
            device_rescan(); // as the status line does
        pump();
        EXPECT_TRUE(pump_until([&] { return winsim::running_threads() == 0; }));
        pump();
        EXPECT_EQ(reader_stops, round + 1);
        EXPECT_EQ(winsim::hid_open_files(id), 0u);
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");
    }
    quit();
}

TEST_F(Hotplug, ReportsReadBeforeTheInsertionAreDroppedNotQueued) {
    // The pad's plug-in, and with it the insertion, waits until the report has been read.
    winsim::BusOptions holding;
    holding.hold_plug_in = true;
    start(Bus::Working, true, holding);
    auto early = stick_report(0x1000, 0x1000, 1);
    bool before_insertion = false;
    std::atomic<bool> read{false};
    int id = -1;
    std::thread hand([&] {
        id = winsim::hid_add(winsim::hid_stick(1));
        while (winsim::hid_pending_reads(id) == 0)
            std::this_thread::yield();
        winsim::hid_deliver(id, early);
        while (winsim::hid_pending_reads(id) == 0) // taken, and the next read is out
            std::this_thread::yield();
        // The insertion follows the pad's wait-ready; not yet asked for means not yet inserted.
        before_insertion = requests(bus_, BUS_CTL_WAIT_READY) == 0;
        while (winsim::bus_held_plug_ins(bus_) == 0)
            std::this_thread::yield();
        winsim::bus_set_options(bus_, {});
        winsim::bus_release_plug_ins(bus_);
        read = true;
    });
    EXPECT_TRUE(pump_until([&] { return read && winsim::bus_pads(bus_).size() == 1; }));
    hand.join();
    ASSERT_TRUE(before_insertion) << "the report was not read before the insertion";
    auto late = stick_report(0xF000);
    ASSERT_TRUE(deliver_and_see(id, late));
    auto reports = submitted();
    ASSERT_EQ(reports.size(), 1u) << "only the report read after the insertion";
    EXPECT_EQ(pad_bytes(reports[0]), pad_bytes(pad_report(late)));
    quit();
}

// Quitting while the reader waits for the bus to take a report: the shutdown waits for the
// reader's end before anything it uses is freed.
TEST_F(Hotplug, QuitWhileTheReaderIsInsideTheSubmit) {
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE(round);
        winsim::BusOptions slow;
        slow.completion_delay_ms = 3;
        start(Bus::Working, true, slow);
        int id = plug_new(1);
        std::atomic<bool> stop{false};
        std::thread stick([&] {
            for (uint16_t x = 0x9000; !stop; x++) {
                winsim::hid_deliver(id, stick_report(x));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        EXPECT_TRUE(pump_until([&] { return submitted().size() >= 3u + round % 4; }));
        quit();
        stop = true;
        stick.join();
        EXPECT_TRUE(winsim::bus_pads(bus_).empty());
        EXPECT_EQ(winsim::hid_open_files(id), 0u);
        next_round();
    }
}

// Polling often: a thousand rounds of a few short waits each.
using Stress = AppTest;
constexpr std::chrono::microseconds often(20);

TEST_F(Stress, PlugPullAndReplugAThousandTimesWhileReportsStream) {
    constexpr int rounds = 1000;
    const std::map<int16_t, uint32_t> counter_of_x = counter_of_pad_x();
    ASSERT_EQ(counter_of_x.size(), COUNTED_SPAN);

    start();
    size_t idle_handles = winsim::open_handles();
    winsim::HidDeviceOptions options = winsim::hid_stick(1);
    options.queue_limit = 1u << 20; // nothing the reader has not read is lost on the way
    std::atomic<int> id{-1};
    std::atomic<bool> stop{false};
    std::thread stick([&] {
        uint32_t k = 0;
        while (!stop) {
            bool sent = id >= 0 && winsim::hid_deliver(id, counted_report(k));
            if (sent && ++k % 97 == 0) // the system's catch-all notice, as it sends now and then
                winsim::broadcast_device_change(DBT_DEVNODES_CHANGED, {});
            std::this_thread::sleep_for(std::chrono::microseconds(sent ? 100 : 400));
        }
    });

    for (int round = 0; round < rounds && !HasFailure(); round++) {
        SCOPED_TRACE(round);
        winsim::bus_clear_log(bus_);
        if (round == 0)
            id = winsim::hid_add(options);
        else
            winsim::hid_plug(id);
        ASSERT_TRUE(pump_until(
            [&] {
                auto pads = winsim::bus_pads(bus_);
                return pads.size() == 1 && pads[0].report_count >= 2;
            },
            often))
            << "attached and streaming";
        winsim::hid_unplug(id);
        // The main thread rescans, as a user clicking the status line would, while the reader
        // ends.
        device_rescan();
        ASSERT_TRUE(pump_until(
            [&] { return winsim::running_threads() == 0 && winsim::bus_pads(bus_).empty(); },
            often))
            << "detached";
        pump();

        // Between plug-in and unplug, the reports read while in the table, in the order read:
        // a run of consecutive counters, since only those read before the insertion are left
        // out.
        auto log = winsim::bus_log(bus_);
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log.front().code, static_cast<DWORD>(BUS_CTL_PLUG_IN));
        EXPECT_EQ(log.back().code, static_cast<DWORD>(BUS_CTL_UNPLUG));
        auto reports = submitted();
        ASSERT_GE(reports.size(), 2u);
        uint32_t previous = counter_of_x.at(reports[0].left_x);
        for (size_t i = 1; i < reports.size(); i++) {
            uint32_t k = counter_of_x.at(reports[i].left_x);
            ASSERT_EQ(k, (previous + 1) % COUNTED_SPAN) << "report " << i;
            previous = k;
        }
        ASSERT_EQ(winsim::open_handles(), idle_handles) << "a handle leaked";
    }
    stop = true;
    stick.join();
    EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");
    quit();
}

} // namespace
