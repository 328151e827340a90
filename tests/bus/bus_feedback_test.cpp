// Feedback registrations and their threads: what reaches the callback and in which order, a
// second registration, the ways a feedback thread ends, a thread that cannot start, and stop and
// delete racing a feedback thread that waits or calls back.
#include "bus_test.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <tuple>

using winsim::BusOptions;

namespace {

struct Call {
    int callback; // which of the callbacks below
    _VIGEM_CLIENT_T* client;
    _VIGEM_TARGET_T* target;
    std::vector<uint8_t> values; // as handed over: motors (and LED or light bytes)
};

// What the callbacks saw. A callback that runs once `closed` is set counts as late.
struct Recorder {
    std::mutex lock;
    std::vector<Call> calls;
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    bool stop_inside = false; // the callback stops its own target's feedback

    void record(int callback, _VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target,
                std::vector<uint8_t> values) {
        if (closed)
            late++;
        values.push_back((uint8_t)target->serial); // the target must still be there
        std::lock_guard<std::mutex> held(lock);
        calls.push_back({callback, client, target, values});
    }
    size_t count() {
        std::lock_guard<std::mutex> held(lock);
        return calls.size();
    }
    void clear() {
        calls.clear();
        closed = false;
        late = 0;
    }
};

void x360_first(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, uint8_t large, uint8_t small,
                uint8_t led, void* context) {
    auto* recorder = static_cast<Recorder*>(context);
    recorder->record(1, client, target, {large, small, led});
    if (recorder->stop_inside)
        bus_target_stop_feedback(target);
}

void x360_second(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, uint8_t large, uint8_t small,
                 uint8_t led, void* context) {
    static_cast<Recorder*>(context)->record(2, client, target, {large, small, led});
}

void ds4_first(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, uint8_t large, uint8_t small,
               BusDs4Light light, void* context) {
    static_cast<Recorder*>(context)->record(
        3, client, target, {large, small, light.bytes[0], light.bytes[1], light.bytes[2]});
}

class BusFeedbackTest : public BusClientTest {
  protected:
    bool pending(uint32_t serial, size_t n = 1) {
        return wait_for([&] { return winsim::bus_pending_feedback(bus_, serial) == n; });
    }
    // Makes the pad rumble once a request is out, and waits for the callback.
    void rumble(_VIGEM_TARGET_T* target, const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(pending(target->serial));
        size_t before = recorder_.count();
        ASSERT_TRUE(winsim::bus_send_feedback(bus_, target->serial, bytes));
        ASSERT_TRUE(wait_for([&] { return recorder_.count() == before + 1; }));
    }
    bool threads_ended() {
        return wait_for([] { return winsim::running_threads() == 0; });
    }
    // Registers the first callback of the target's kind, recording into `recorder_`.
    _VIGEM_ERRORS watch(_VIGEM_TARGET_T* target) {
        return target->type == TARGET_DS4
                   ? bus_ds4_watch_feedback(client_, target, ds4_first, &recorder_)
                   : bus_x360_watch_feedback(client_, target, x360_first, &recorder_);
    }
    // A target of that kind on a newly connected client, plugged in and watched.
    _VIGEM_TARGET_T* watched(uint32_t type = TARGET_X360, const BusOptions& options = {}) {
        connected(options);
        auto* target = plugged(type);
        EXPECT_EQ(watch(target), BUS_OK);
        return target;
    }
    void fresh() {
        BusClientTest::fresh();
        recorder_.clear();
    }
    Recorder recorder_;
};

TEST_F(BusFeedbackTest, DeliveryIsInOrderWithEachPadsByteMapping) {
    const struct {
        const char* name;
        uint32_t type;
        std::vector<std::vector<uint8_t>> sent;     // bytes the driver writes from offset 8
        std::vector<std::vector<uint8_t>> received; // values the callback is handed, in order
        DWORD code;
    } table[] = {
        {"X360",
         TARGET_X360,
         {{1, 2, 3}, {0xF0, 0x0F, 0x80}},
         {{1, 2, 3}, {0xF0, 0x0F, 0x80}},
         0x002AE804},
        // Bytes 9 and 8 swap places; 10 to 12 travel as one value, in order.
        {"Ds4",
         TARGET_DS4,
         {{0x11, 0x22, 0xA1, 0xB2, 0xC3}, {0x33, 0x44, 1, 2, 3}},
         {{0x22, 0x11, 0xA1, 0xB2, 0xC3}, {0x44, 0x33, 1, 2, 3}},
         0x002AA810},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        fresh();
        auto* target = watched(row.type);
        for (auto& bytes : row.sent)
            rumble(target, bytes);
        ASSERT_EQ(recorder_.count(), row.received.size());
        for (size_t i = 0; i < row.received.size(); i++) {
            std::vector<uint8_t> expected = row.received[i];
            expected.push_back(1); // the target's serial, read in the callback
            EXPECT_EQ(recorder_.calls[i].values, expected) << "call " << i;
            EXPECT_EQ(recorder_.calls[i].client, client_);
            EXPECT_EQ(recorder_.calls[i].target, target);
        }
        // Each request goes out as the driver last left it, the same length in as out.
        ASSERT_TRUE(pending(target->serial));
        auto log = winsim::bus_log(bus_);
        ASSERT_EQ(log.size(), row.sent.size() + 1);
        for (size_t i = 1; i < log.size(); i++) {
            EXPECT_EQ(log[i].code, row.code);
            EXPECT_EQ(log[i].output_length, log[i].input.size());
            std::vector<uint8_t> carried(log[i].input.begin() + 8,
                                         log[i].input.begin() + 8 + row.sent[i - 1].size());
            EXPECT_EQ(carried, row.sent[i - 1]) << "request " << i;
        }
    }
}

TEST_F(BusFeedbackTest, SameCallbackAgainIsRefusedAndADifferentOneTakesOver) {
    auto* target = watched();
    Recorder other;
    HANDLE event = target->feedback_event;
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(bus_x360_watch_feedback(&closed_, target, x360_first, &other), BUS_ERR_NO_BUS);
    EXPECT_EQ(bus_x360_watch_feedback(client_, target, x360_first, &other), BUS_ERR_SAME_CALLBACK);
    EXPECT_EQ(target->feedback_ctx, &recorder_) << "a refused registration changes nothing";
    EXPECT_EQ(winsim::calls("CreateThread"), 1u);

    ASSERT_EQ(bus_x360_watch_feedback(client_, target, x360_second, &other), BUS_OK);
    EXPECT_EQ(target->feedback_event, event) << "the event is reset, not made anew";
    EXPECT_EQ(winsim::calls("CreateThread"), 2u) << "one more thread";
    ASSERT_TRUE(pending(target->serial, 2));
    // Both threads now hand every completion to the new callback.
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(pending(target->serial, 2));
        ASSERT_TRUE(winsim::bus_send_feedback(bus_, target->serial, {9, 9, 9}));
        ASSERT_TRUE(wait_for([&] { return other.count() == (size_t)i + 1; }));
    }
    EXPECT_EQ(recorder_.count(), 0u);
    EXPECT_EQ(other.calls[0].callback, 2);
    bus_target_stop_feedback(target); // before `other` goes
}

TEST_F(BusFeedbackTest, StopWhileARequestPendsEndsTheThreadBeforeReturning) {
    auto* target = watched();
    ASSERT_TRUE(pending(target->serial));
    bus_target_stop_feedback(target);
    recorder_.closed = true;
    EXPECT_EQ(target->feedback_fn.x360, nullptr);
    EXPECT_EQ(target->feedback_ctx, nullptr);
    EXPECT_EQ(target->feedback_event, nullptr);
    EXPECT_EQ(winsim::bus_pending_feedback(bus_, target->serial), 0u) << "its request cancelled";
    EXPECT_FALSE(winsim::bus_send_feedback(bus_, target->serial, {1, 2, 3}));
    EXPECT_TRUE(threads_ended());
    EXPECT_EQ(winsim::open_handles("event"), 0u);
    EXPECT_EQ(recorder_.count(), 0u);

    recorder_.closed = false;
    ASSERT_EQ(watch(target), BUS_OK) << "a stopped target can register again";
    rumble(target, {4, 5, 6});
}

TEST_F(BusFeedbackTest, StopFromInsideTheCallbackDoesNotWaitForItself) {
    recorder_.stop_inside = true;
    auto* target = watched();
    rumble(target, {1, 2, 3});
    ASSERT_TRUE(threads_ended());
    EXPECT_EQ(target->feedback_fn.x360, nullptr);
    EXPECT_EQ(target->feedback_event, nullptr);
    EXPECT_EQ(winsim::bus_pending_feedback(bus_, target->serial), 0u);
}

// How a feedback thread ends, or goes on, after the driver fails its request: at once or after
// it pended.
TEST_F(BusFeedbackTest, ThreadEndsOnlyWhenThePadWent) {
    const struct {
        const char* name;
        DWORD error;
        unsigned failures;
        bool ends;
    } table[] = {{"Denied", ERROR_ACCESS_DENIED, 1, true},
                 {"Aborted", ERROR_OPERATION_ABORTED, 1, true},
                 {"OtherError", ERROR_GEN_FAILURE, 3, false}};
    for (const auto& row : table)
        for (bool at_once : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (at_once ? "AtOnce" : "Later"));
            fresh();
            auto* target = watched(TARGET_DS4, bus_options([&](auto& o) {
                                       o.feedback_error = row.error;
                                       o.feedback_failures = row.failures;
                                       o.feedback_at_once = at_once;
                                   }));
            if (row.ends) {
                ASSERT_TRUE(threads_ended());
                EXPECT_EQ(winsim::bus_log(bus_).size(), 1u) << "not asked again";
                EXPECT_EQ(target->feedback_fn.ds4, ds4_first)
                    << "the registration stays until stopped";
            } else {
                rumble(target, {1, 2, 3, 4, 5}); // asked again until a request pends
                ASSERT_TRUE(pending(target->serial));
                EXPECT_EQ(count_code(winsim::bus_log(bus_), 0x002AA810), row.failures + 2);
            }
            EXPECT_EQ(recorder_.count(), row.ends ? 0u : 1u);
        }
}

TEST_F(BusFeedbackTest, StopEndsAThreadThatAsksAgainAndAgain) {
    // Every request fails, within the call.
    auto* target = watched(TARGET_X360, bus_options([](auto& o) {
                               o.feedback_error = ERROR_GEN_FAILURE;
                               o.feedback_at_once = true;
                           }));
    ASSERT_TRUE(wait_for([&] { return winsim::bus_log(bus_).size() >= 10; }));
    bus_target_stop_feedback(target);
    size_t asked = winsim::bus_log(bus_).size();
    EXPECT_TRUE(threads_ended());
    EXPECT_EQ(winsim::bus_log(bus_).size(), asked) << "nothing is sent once stop returned";
}

TEST_F(BusFeedbackTest, UnpluggingThePadEndsItsThread) {
    auto* target = watched();
    ASSERT_TRUE(pending(target->serial));
    ASSERT_EQ(bus_target_remove(client_, target), BUS_OK);
    EXPECT_TRUE(threads_ended());
    EXPECT_EQ(recorder_.count(), 0u);
}

// A registration whose thread (or an event for it) cannot be made fails and leaves the
// registration as it was: none, or the earlier callback still served.
TEST_F(BusFeedbackTest, StartFailureLeavesTheRegistrationAsItWas) {
    // The function that fails, after how many calls of it passed in a first registration.
    const std::tuple<const char*, const char*, int> table[] = {{"Thread", "CreateThread", 0},
                                                               {"FirstEvent", "CreateEventW", 0},
                                                               {"SecondEvent", "CreateEventW", 1},
                                                               {"ThirdEvent", "CreateEventW", 2}};
    for (auto [name, function, skip] : table) {
        SCOPED_TRACE(name);
        fresh();
        connected();
        auto* target = plugged();
        size_t handles = winsim::open_handles();
        winsim::fail_calls(function, 1, ERROR_NOT_ENOUGH_MEMORY, skip);
        EXPECT_EQ(watch(target), BUS_ERR_REQUEST_FAILED);
        EXPECT_EQ(target->feedback_fn.x360, nullptr);
        EXPECT_EQ(target->feedback_ctx, nullptr);
        EXPECT_EQ(target->feedback_event, nullptr);
        EXPECT_EQ(target->feedback_link, nullptr);
        EXPECT_EQ(winsim::open_handles(), handles);
        EXPECT_TRUE(winsim::bus_log(bus_).empty());

        Recorder other;
        ASSERT_EQ(watch(target), BUS_OK);
        // A second registration makes only its thread and that thread's event.
        winsim::fail_calls(function, 1, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(bus_x360_watch_feedback(client_, target, x360_second, &other),
                  BUS_ERR_REQUEST_FAILED);
        EXPECT_EQ(target->feedback_ctx, &recorder_);
        rumble(target, {1, 2, 3});
        EXPECT_EQ(recorder_.calls[0].callback, 1);
        EXPECT_EQ(other.count(), 0u);
        bus_target_stop_feedback(target);
    }
}

// A callback held inside until the test lets it go, which notes whether the stop (or delete)
// that began meanwhile had already returned.
struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> returned{false};
    std::atomic<int> late{0};
};

void x360_held(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T* target, uint8_t, uint8_t, uint8_t,
               void* context) {
    auto* gate = static_cast<Gate*>(context);
    gate->entered = true;
    while (!gate->release)
        std::this_thread::yield();
    if (gate->returned)
        gate->late++;
    EXPECT_NE(target->serial, 0u); // the target must still be there
}

TEST_F(BusFeedbackTest, StopOrDeleteWaitsForACallbackThatIsRunning) {
    for (bool by_delete : {false, true}) {
        SCOPED_TRACE(by_delete ? "Delete" : "Stop");
        fresh();
        connected();
        auto* target = plugged();
        Gate gate;
        ASSERT_EQ(bus_x360_watch_feedback(client_, target, x360_held, &gate), BUS_OK);
        ASSERT_TRUE(pending(target->serial));
        ASSERT_TRUE(winsim::bus_send_feedback(bus_, target->serial, {1, 2, 3}));
        ASSERT_TRUE(wait_for([&] { return gate.entered.load(); }));
        std::thread ender([&] {
            if (by_delete)
                delete_target(target);
            else
                bus_target_stop_feedback(target);
            gate.returned = true;
        });
        // One that does not wait for the callback returns meanwhile.
        EXPECT_FALSE(wait_for([&] { return gate.returned.load(); }, std::chrono::milliseconds(50)));
        gate.release = true;
        ender.join();
        EXPECT_EQ(gate.late, 0);
        EXPECT_TRUE(threads_ended());
    }
}

// Stop and delete race a feedback thread that waits for its request or is calling back, with
// real threads, many times over: no callback may run once they returned, and nothing may touch
// the freed target (AddressSanitizer) or race on it (ThreadSanitizer).
TEST_F(BusFeedbackTest, StopAndDeleteWhileTheFeedbackThreadWaitsOrCallsBack) {
    connected();
    for (int round = 0; round < 200; round++) {
        auto* target = new_target(round % 2 ? TARGET_DS4 : TARGET_X360);
        ASSERT_EQ(bus_target_add(client_, target), BUS_OK);
        uint32_t serial = target->serial;
        recorder_.closed = false;
        ASSERT_EQ(watch(target), BUS_OK);
        ASSERT_TRUE(pending(serial));
        std::atomic<bool> done{false};
        std::thread rumbler([&] {
            while (!done)
                if (!winsim::bus_send_feedback(bus_, serial, {1, 2, 3, 4, 5}))
                    std::this_thread::yield();
        });
        if (round % 3 == 1)
            std::this_thread::yield();
        switch (round % 3) {
        case 0: // the thread still waits for its request
            delete_target(target);
            break;
        case 1:
            bus_target_stop_feedback(target);
            delete_target(target);
            break;
        case 2: // the order the program's teardown uses
            bus_target_stop_feedback(target);
            EXPECT_EQ(bus_target_remove(client_, target), BUS_OK);
            delete_target(target);
            break;
        }
        recorder_.closed = true;
        done = true;
        rumbler.join();
        ASSERT_TRUE(threads_ended()) << "round " << round;
        ASSERT_EQ(recorder_.late, 0) << "round " << round;
    }
    EXPECT_EQ(winsim::open_handles("event"), 0u);
}

} // namespace
