// Reader threads: decoding on the reader thread, the reader's own end, a failed thread
// creation, the idle wake-ups, and a stop asked for by another thread racing the reader's end.
#include "hid_test.h"

#include "hid/stick_reader.h"

#include <winsim/machine.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

namespace {

// A one-slot stand-in for the device table: the reader-stopped callback removes the entry
// under the lock held exclusively and closes the device, as the table's removal does.
struct Table {
    SRWLOCK lock = SRWLOCK_INIT;
    StickReader* reader = nullptr; // guarded by lock
    HidDevice* device = nullptr;   // guarded by lock
};
Table table;

std::mutex seen_lock;
std::vector<StickSample> samples;  // guarded by seen_lock
std::vector<DWORD> sample_threads; // guarded by seen_lock
std::atomic<int> stops{0};
std::atomic<int> removals{0};
std::atomic<StickReader*> last_stopped{nullptr};
std::atomic<bool> stopped_with_thread{false}; // the last stopped reader knew its thread

void record_sample(StickReader*, StickSample* sample) {
    std::lock_guard<std::mutex> held(seen_lock);
    samples.push_back(*sample);
    sample_threads.push_back(GetCurrentThreadId());
}

void remove_entry(StickReader* reader) {
    stops++;
    last_stopped = reader;
    stopped_with_thread = reader->thread != nullptr;
    AcquireSRWLockExclusive(&table.lock);
    if (table.reader == reader) {
        hid_close(table.device);
        hid_free(table.device);
        table.reader = nullptr;
        table.device = nullptr;
        removals++;
    }
    ReleaseSRWLockExclusive(&table.lock);
}

class Reader : public HidTest {
  protected:
    void SetUp() override {
        HidTest::SetUp();
        sample_callback = record_sample;
        reader_stopped_callback = remove_entry;
        samples.clear();
        sample_threads.clear();
        stops = 0;
        removals = 0;
        last_stopped = nullptr;
    }

    // Opens the stick, starts its reader and enters both in the table, as attaching does.
    StickReader* attach(int id) {
        HidDevice* device = hid_open(path(id), 1, 0);
        if (!device)
            return nullptr;
        StickReader* reader = stick_reader_create(device);
        if (!reader) {
            hid_close(device);
            hid_free(device);
            return nullptr;
        }
        AcquireSRWLockExclusive(&table.lock);
        table.reader = reader;
        table.device = device;
        ReleaseSRWLockExclusive(&table.lock);
        return reader;
    }

    // What the shutdown does: under the shared lock ask the reader to stop and to signal its
    // end, then wait for that end with the lock released. True when there was a reader.
    static bool stop_and_wait() {
        HANDLE ended = CreateEventW(NULL, TRUE, FALSE, NULL);
        AcquireSRWLockShared(&table.lock);
        StickReader* reader = table.reader;
        if (reader) {
            stick_reader_notify_end(reader, ended);
            stick_reader_stop(reader);
        }
        ReleaseSRWLockShared(&table.lock);
        if (reader) {
            EXPECT_EQ(WaitForSingleObject(ended, 5000), (DWORD)WAIT_OBJECT_0);
        }
        CloseHandle(ended);
        return reader != nullptr;
    }

    static size_t sample_count() {
        std::lock_guard<std::mutex> held(seen_lock);
        return samples.size();
    }
};

TEST_F(Reader, HandsEachStickReportToTheCallbackOnItsOwnThread) {
    int id = add(winsim::hid_stick(1));
    ASSERT_NE(attach(id), nullptr);
    winsim::hid_deliver(id, {0x00, 0x34, 0x12, 0x78, 0x56, 0x01});
    winsim::hid_deliver(id, {0x01, 0x99, 0x99, 0x99, 0x99, 0x01}); // another report ID
    winsim::hid_deliver(id, {0x00, 0x00, 0x80, 0xFF, 0x7F, 0x00});
    ASSERT_TRUE(wait_for([] { return sample_count() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> held(seen_lock);
        ASSERT_EQ(samples.size(), 2u) << "the report with ID 1 gave no sample";
        EXPECT_EQ(samples[0].button, 1);
        EXPECT_EQ(samples[0].x_low, 0x34);
        EXPECT_EQ(samples[0].x_high, 0x12);
        EXPECT_EQ(samples[0].y_low, 0x78);
        EXPECT_EQ(samples[0].y_high, 0x56);
        EXPECT_EQ(samples[1].button, 0);
        EXPECT_EQ(samples[1].x_high * 256 + samples[1].x_low, 0x8000);
        EXPECT_EQ(samples[1].y_high * 256 + samples[1].y_low, 0x7FFF);
        EXPECT_NE(sample_threads[0], GetCurrentThreadId());
    }
    // Unplugging fails the read: the reader ends itself and its entry goes, once.
    winsim::hid_unplug(id);
    ASSERT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(winsim::open_handles(), 0u);
}

TEST_F(Reader, ReadsAShortReportWithoutReachingPastIt) {
    auto options = winsim::hid_stick(1);
    options.input_report_length = 3; // the input buffer is 3 bytes
    int id = add(options);
    ASSERT_NE(attach(id), nullptr);
    winsim::hid_deliver(id, {0x00, 0x34, 0x12});
    ASSERT_TRUE(wait_for([] { return sample_count() == 1; }));
    {
        std::lock_guard<std::mutex> held(seen_lock);
        EXPECT_EQ(samples[0].x_low, 0x34);
        EXPECT_EQ(samples[0].x_high, 0x12);
        EXPECT_EQ(samples[0].y_low, 0);
        EXPECT_EQ(samples[0].y_high, 0);
        EXPECT_EQ(samples[0].button, 0);
    }
    winsim::hid_deliver(id, {0x00}); // a single byte is a report too, not the end of reading
    EXPECT_TRUE(wait_for([] { return sample_count() == 2; }));
    EXPECT_TRUE(stop_and_wait());
}

TEST_F(Reader, ReleasesAtOnceOnTheCreatingThreadWhenNoThreadCanBeMade) {
    int id = add(winsim::hid_stick(1));
    HidDevice* device = hid_open(path(id), 1, 0);
    ASSERT_NE(device, nullptr);
    winsim::fail_calls("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(stick_reader_create(device), nullptr);
    EXPECT_EQ(stops, 1);
    EXPECT_NE(last_stopped.load(), nullptr);
    EXPECT_EQ(removals, 0) << "the reader was never entered in the table";
    EXPECT_EQ(winsim::open_handles("event"), 2u) << "only the device's own events remain";
    hid_close(device);
    hid_free(device);
}

// The stick pulled between the open and the reader's start: the reader's first read fails and
// it ends at once. It must still have been set up in full, its thread handle included (a
// thread created running would end before CreateThread returned it).
TEST_F(Reader, StickPulledBeforeTheReaderStartsEndsAFullySetUpReader) {
    int id = add(winsim::hid_stick(1));
    HidDevice* device = hid_open(path(id), 1, 0);
    ASSERT_NE(device, nullptr);
    winsim::hid_unplug(id);
    // Already freed when it returns: only compared with null, as attaching does.
    EXPECT_NE(stick_reader_create(device), nullptr);
    ASSERT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(stopped_with_thread) << "the reader ran before its creation had finished";
    hid_close(device);
    hid_free(device);
}

TEST_F(Reader, IdleReaderWakesOnItsTimeOutWithoutNewIo) {
    int id = add(winsim::hid_stick(1));
    ASSERT_NE(attach(id), nullptr);
    // It wakes at every time-out (waited for, not assumed from the clock) and reads on.
    EXPECT_TRUE(wait_for([] { return winsim::calls("WaitForSingleObject") >= 5; }));
    EXPECT_EQ(winsim::calls("ReadFile"), 1u);
    EXPECT_EQ(winsim::hid_pending_reads(id), 1u);
    // A stop from this thread ends it; the release happens once, on the reader's thread.
    EXPECT_TRUE(stop_and_wait());
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(removals, 1);
    EXPECT_EQ(winsim::calls("ReadFile"), 1u);
    EXPECT_EQ(winsim::open_handles(), 0u);
}

TEST_F(Reader, StopWhoseCancelMissesTheReadIsSeenAtTheNextTimeOut) {
    // As when the stop lands just before the reader issues its next read: nothing is there to
    // cancel, and only the cleared flag can end the reader.
    int id = add(winsim::hid_stick(1));
    ASSERT_NE(attach(id), nullptr);
    ASSERT_TRUE(wait_for([&] { return winsim::hid_pending_reads(id) == 1; }));
    winsim::fail_calls("CancelIoEx", 1, ERROR_NOT_FOUND);
    EXPECT_TRUE(stop_and_wait()) << "a reader that ignores the flag would wait on forever";
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(removals, 1);
}

// A stop asked for by another thread while the reader may be ending by itself (its device
// unplugged), be inside the sample callback, or be between two reads. Every reader must be
// released exactly once, with no handle left and no closed handle used; ThreadSanitizer and
// AddressSanitizer watch the record and the device.
TEST_F(Reader, StopFromAnotherThreadRacesTheReadersOwnEnd) {
    const int rounds = 400;
    std::mt19937 random(4);
    int id = add(winsim::hid_stick(1));
    for (int round = 0; round < rounds; round++) {
        ASSERT_NE(attach(id), nullptr) << round;
        int mode = round % 3; // 0: unplug races the stop, 1: reports flow, 2: stop alone
        unsigned delay_us = random() % 300;
        std::atomic<bool> go{false};
        std::thread other([&] {
            while (!go)
                std::this_thread::yield();
            if (mode == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
                winsim::hid_unplug(id);
            } else if (mode == 1) {
                for (int n = 0; n < 20; n++)
                    winsim::hid_deliver(id, {0x00, (uint8_t)n, 0, 0, 0, 1});
            }
        });
        go = true;
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        stop_and_wait();
        other.join();
        ASSERT_TRUE(wait_for([&] { return stops == round + 1; })) << round;
        ASSERT_TRUE(wait_for([] { return winsim::running_threads() == 0; })) << round;
        EXPECT_EQ(removals, round + 1);
        EXPECT_EQ(winsim::open_handles(), 0u) << round;
        EXPECT_EQ(winsim::invalid_handle_uses(), 0u) << round;
        if (mode == 0)
            winsim::hid_plug(id);
    }
    EXPECT_EQ(stops, rounds);
}

} // namespace
