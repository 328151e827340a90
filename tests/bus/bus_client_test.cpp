// The bus client against the simulated bus driver: connect, the serial search, remove and
// submit, the bytes of every request record, and each result code.
#include "bus_test.h"

#include <thread>
#include <tuple>

using winsim::BusOptions;

namespace {

TEST_F(BusClientTest, ConnectRefusesNullAndAlreadyOpenClients) {
    EXPECT_EQ(bus_connect(nullptr), BUS_ERR_NULL_CLIENT);
    auto* client = connected();
    HANDLE before = client->bus_handle;
    EXPECT_EQ(bus_connect(client), BUS_ERR_ALREADY_OPEN);
    EXPECT_EQ(client->bus_handle, before);
    EXPECT_EQ(winsim::open_handles("file"), 1u);
    EXPECT_TRUE(winsim::bus_log(bus_).empty()) << "a refused connect sends nothing";
}

TEST_F(BusClientTest, ConnectSendsVersionOneAndKeepsTheHandle) {
    int bus = winsim::bus_add();
    client_ = bus_client_new();
    EXPECT_EQ(client_->bus_handle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(bus_connect(client_), BUS_OK);
    EXPECT_NE(client_->bus_handle, INVALID_HANDLE_VALUE);
    auto log = winsim::bus_log(bus);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0x002AA00Cu);
    EXPECT_EQ(log[0].input, (std::vector<uint8_t>{8, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(log[0].output_length, 0u);
    EXPECT_EQ(winsim::open_handles("devinfo"), 0u) << "the interface set is released";
    EXPECT_EQ(winsim::open_handles("event"), 0u);
}

const BusOptions refuses_version =
    bus_options([](auto& o) { o.version_error = ERROR_NOT_SUPPORTED; });
const BusOptions refuses_open = bus_options([](auto& o) { o.open_error = ERROR_ACCESS_DENIED; });

TEST_F(BusClientTest, ConnectNamesWhatBecameOfTheLastInterfaceTried) {
    const BusOptions other_protocol = bus_options([](auto& o) { o.protocol_version = 2; });
    // The buses found, a call that fails once (or null), and the result.
    const std::tuple<const char*, std::vector<BusOptions>, const char*, _VIGEM_ERRORS> table[] = {
        {"no bus", {}, nullptr, BUS_ERR_NO_BUS},
        {"interface set unbuildable", {{}}, "SetupDiGetClassDevsW", BUS_ERR_NO_BUS},
        {"version refused", {refuses_version}, nullptr, BUS_ERR_VERSION},
        {"other protocol", {other_protocol}, nullptr, BUS_ERR_VERSION},
        {"open fails", {refuses_open}, nullptr, BUS_ERR_OPEN_FAILED},
        {"version then open", {refuses_version, refuses_open}, nullptr, BUS_ERR_OPEN_FAILED},
        {"open then version", {refuses_open, refuses_version}, nullptr, BUS_ERR_VERSION},
    };
    for (const auto& [name, buses, failing, expected] : table) {
        SCOPED_TRACE(name);
        fresh();
        for (auto& options : buses)
            winsim::bus_add(options);
        if (failing)
            winsim::fail_calls(failing, 1, ERROR_NOT_ENOUGH_MEMORY);
        client_ = bus_client_new();
        EXPECT_EQ(bus_connect(client_), expected);
        EXPECT_EQ(client_->bus_handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(winsim::open_handles(), 0u);
    }
}

TEST_F(BusClientTest, FirstAcceptingInterfaceWinsAndLaterOnesAreNotOpened) {
    int first = winsim::bus_add(refuses_version);
    int second = winsim::bus_add();
    int third = winsim::bus_add();
    client_ = bus_client_new();
    ASSERT_EQ(bus_connect(client_), BUS_OK);
    EXPECT_EQ(winsim::bus_log(first).size(), 1u);
    EXPECT_EQ(winsim::bus_log(second).size(), 1u);
    EXPECT_TRUE(winsim::bus_log(third).empty());
    EXPECT_EQ(winsim::calls("CreateFileW"), 2u);
    EXPECT_EQ(winsim::open_handles("file"), 1u) << "the refusing interface's handle is closed";
}

TEST_F(BusClientTest, RefusedVersionLeavesClientClosedSoAnotherConnectSearchesAgain) {
    int bus = winsim::bus_add(refuses_version);
    client_ = bus_client_new();
    EXPECT_EQ(bus_connect(client_), BUS_ERR_VERSION);
    winsim::bus_set_options(bus, {});
    EXPECT_EQ(bus_connect(client_), BUS_OK);
}

TEST_F(BusClientTest, UnreadableInterfaceDetailEndsTheSearchWithNoBus) {
    winsim::bus_add();
    winsim::bus_add();
    // The length query passes; the read of the first interface's path fails.
    winsim::fail_calls("SetupDiGetDeviceInterfaceDetailW", 1, ERROR_GEN_FAILURE, 1);
    client_ = bus_client_new();
    EXPECT_EQ(bus_connect(client_), BUS_ERR_NO_BUS);
    EXPECT_EQ(winsim::calls("CreateFileW"), 0u);
    EXPECT_EQ(winsim::calls("SetupDiDestroyDeviceInfoList"), 1u);
    EXPECT_EQ(winsim::open_handles(), 0u);
}

TEST_F(BusClientTest, DisconnectClosesOnceAndIgnoresNullOrClosedClients) {
    bus_disconnect(nullptr);
    auto* client = connected();
    bus_disconnect(client);
    EXPECT_EQ(client->bus_handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(winsim::open_handles(), 0u);
    bus_disconnect(client);
    EXPECT_EQ(winsim::calls("CloseHandle"), 2u) << "version event and the bus handle only";
}

TEST_F(BusClientTest, NewTargetIsAnXbox360PadInStateNew) {
    auto* target = new_target();
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->size, sizeof(_VIGEM_TARGET_T));
    EXPECT_EQ(target->state, TARGET_NEW);
    EXPECT_EQ(target->type, TARGET_X360);
    EXPECT_EQ(target->vendor_id, 0x045E);
    EXPECT_EQ(target->product_id, 0x028E);
    EXPECT_EQ(target->serial, 0u);
    EXPECT_EQ(target->no_wait_ready, 0);
    EXPECT_EQ(target->feedback_fn.x360, nullptr);
    EXPECT_EQ(target->feedback_fn.ds4, nullptr);
    EXPECT_EQ(target->feedback_event, nullptr);
}

TEST_F(BusClientTest, AddTakesTheLowestFreeSerialAndWaitsForThePad) {
    auto* client = connected();
    winsim::bus_take_serial(bus_, 1);
    winsim::bus_take_serial(bus_, 2);
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(client, target), BUS_OK);
    EXPECT_EQ(target->serial, 3u);
    EXPECT_EQ(target->state, TARGET_PLUGGED);
    EXPECT_EQ(target->no_wait_ready, 0);

    auto log = winsim::bus_log(bus_);
    ASSERT_EQ(log.size(), 4u);
    for (uint32_t serial = 1; serial <= 3; serial++) {
        const auto& plug = log[serial - 1];
        EXPECT_EQ(plug.code, 0x002AA004u);
        // size 16, serial, type 0, vendor 0x045E, product 0x028E, little-endian
        std::vector<uint8_t> expected = {
            16, 0, 0, 0, (uint8_t)serial, 0, 0, 0, 0, 0, 0, 0, 0x5E, 0x04, 0x8E, 0x02};
        EXPECT_EQ(plug.input, expected);
    }
    EXPECT_EQ(log[3].code, 0x002AA010u);
    EXPECT_EQ(log[3].input, (std::vector<uint8_t>{8, 0, 0, 0, 3, 0, 0, 0}));

    auto pad = winsim::bus_pad(bus_, 3);
    ASSERT_TRUE(pad.has_value());
    EXPECT_EQ(pad->type, 0u);
    EXPECT_EQ(pad->vendor_id, 0x045E);
    EXPECT_EQ(pad->product_id, 0x028E);
}

TEST_F(BusClientTest, AddWithEverySerialTakenSearchesThemAll) {
    auto* client = connected();
    for (uint32_t serial = 1; serial <= 0xFFFF; serial++)
        winsim::bus_take_serial(bus_, serial);
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(client, target), BUS_ERR_NO_FREE_SERIAL);
    EXPECT_EQ(target->serial, 65536u);
    EXPECT_EQ(target->state, TARGET_NEW);
    auto log = winsim::bus_log(bus_);
    EXPECT_EQ(count_code(log, 0x002AA004), 65535u);
    EXPECT_EQ(count_code(log, 0x002AA010), 0u);
}

TEST_F(BusClientTest, DriverWithoutWaitReadyStillCountsAsPlugged) {
    auto* client = connected(bus_options([](auto& o) { o.wait_ready = false; }));
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(client, target), BUS_OK);
    EXPECT_EQ(target->state, TARGET_PLUGGED);
    EXPECT_EQ(target->no_wait_ready, 1);
}

TEST_F(BusClientTest, FailedWaitReadyUnplugsThePadAgainAndReportsFailure) {
    auto* client = connected(bus_options([](auto& o) { o.wait_ready_error = ERROR_GEN_FAILURE; }));
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(client, target), BUS_ERR_REQUEST_FAILED);
    EXPECT_TRUE(winsim::bus_pads(bus_).empty()) << "no ghost pad is left on the bus";
    EXPECT_EQ(target->state, TARGET_UNPLUGGED);
    EXPECT_EQ(target->serial, 1u);
    auto log = winsim::bus_log(bus_);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].code, 0x002AA008u);
    EXPECT_EQ(le32(log[2].input, 4), 1u);
    // The owner's teardown remove finds nothing to unplug; a new add searches from 1.
    EXPECT_EQ(bus_target_remove(client, target), BUS_ERR_NOT_PLUGGED);
    winsim::bus_set_options(bus_, {});
    EXPECT_EQ(bus_target_add(client, target), BUS_OK);
    EXPECT_EQ(target->serial, 1u);
}

TEST_F(BusClientTest, FailedWaitReadyWhoseUndoFailsLeavesThePadForTheOwnersRemove) {
    auto* client = connected(
        bus_options([](auto& o) { o.wait_ready_error = o.unplug_error = ERROR_GEN_FAILURE; }));
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(client, target), BUS_ERR_UNPLUG_FAILED);
    EXPECT_EQ(target->state, TARGET_PLUGGED);
    winsim::bus_set_options(bus_, {});
    EXPECT_EQ(bus_target_remove(client, target), BUS_OK);
    EXPECT_TRUE(winsim::bus_pads(bus_).empty());
}

TEST_F(BusClientTest, AddChecksComeInOrderAndSendNothing) {
    auto* client = connected();
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(nullptr, nullptr), BUS_ERR_NULL_CLIENT);
    EXPECT_EQ(bus_target_add(client, nullptr), BUS_ERR_BAD_TARGET);
    EXPECT_EQ(bus_target_add(&closed_, target), BUS_ERR_NO_BUS);
    _VIGEM_TARGET_T blank = {};
    EXPECT_EQ(bus_target_add(client, &blank), BUS_ERR_TARGET_BLANK);
    ASSERT_EQ(bus_target_add(client, target), BUS_OK);
    winsim::bus_clear_log(bus_);
    EXPECT_EQ(bus_target_add(client, target), BUS_ERR_ALREADY_PLUGGED);
    EXPECT_TRUE(winsim::bus_log(bus_).empty());
    EXPECT_EQ(winsim::open_handles("event"), 0u) << "add's two events are closed on every path";
}

TEST_F(BusClientTest, RemoveUnplugsAndKeepsTheSerial) {
    auto* client = connected();
    auto* target = plugged();
    EXPECT_EQ(bus_target_remove(client, target), BUS_OK);
    EXPECT_EQ(target->state, TARGET_UNPLUGGED);
    EXPECT_EQ(target->serial, 1u);
    auto log = winsim::bus_log(bus_);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0x002AA008u);
    EXPECT_EQ(log[0].input, (std::vector<uint8_t>{8, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(winsim::bus_pads(bus_).empty());

    EXPECT_EQ(bus_target_remove(client, target), BUS_ERR_NOT_PLUGGED);
    winsim::bus_take_serial(bus_, 2);
    ASSERT_EQ(bus_target_add(client, target), BUS_OK) << "an unplugged target can be added again";
    EXPECT_EQ(target->serial, 1u) << "searching from 1 anew";
}

TEST_F(BusClientTest, RefusedUnplugLeavesThePadPlugged) {
    auto* client = connected();
    auto* target = plugged();
    winsim::bus_set_options(bus_, bus_options([](auto& o) { o.unplug_error = ERROR_GEN_FAILURE; }));
    EXPECT_EQ(bus_target_remove(client, target), BUS_ERR_UNPLUG_FAILED);
    EXPECT_EQ(target->state, TARGET_PLUGGED);
}

TEST_F(BusClientTest, SubmitCarriesTheReportBytesUnchanged) {
    auto* client = connected();
    auto* target = plugged();
    GamepadReport report = {0x1000, 7, 200, -32767, 32767, 0x1234, -2};
    EXPECT_EQ(bus_x360_submit(client, target, report), BUS_OK);
    auto log = winsim::bus_log(bus_);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0x002AA808u);
    ASSERT_EQ(log[0].input.size(), 20u);
    EXPECT_EQ(le32(log[0].input, 0), 20u);
    EXPECT_EQ(le32(log[0].input, 4), 1u);
    std::vector<uint8_t> bytes = {0x00, 0x10, 7,    200,  0x01, 0x80,
                                  0xFF, 0x7F, 0x34, 0x12, 0xFE, 0xFF};
    EXPECT_EQ(std::vector<uint8_t>(log[0].input.begin() + 8, log[0].input.end()), bytes);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report, bytes) << "what a game reads";
}

TEST_F(BusClientTest, SubmitResults) {
    auto* client = connected();
    auto* target = plugged();
    GamepadReport report = {};
    ASSERT_EQ(bus_target_remove(client, target), BUS_OK);
    EXPECT_EQ(bus_x360_submit(client, target, report), BUS_ERR_BAD_TARGET)
        << "the driver denies reports for a serial it no longer has";

    ASSERT_EQ(bus_target_add(client, target), BUS_OK);
    winsim::bus_set_options(bus_, bus_options([](auto& o) { o.report_error = ERROR_GEN_FAILURE; }));
    EXPECT_EQ(bus_x360_submit(client, target, report), BUS_ERR_REQUEST_FAILED)
        << "a failed report is not success";
}

TEST_F(BusClientTest, RequestThatCannotStartIsAFailureNotASuccess) {
    auto* client = connected();
    auto* target = plugged();
    GamepadReport report = {};
    winsim::fail_calls("DeviceIoControl", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(bus_x360_submit(client, target, report), BUS_ERR_REQUEST_FAILED);
    winsim::fail_calls("CreateEventW", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(bus_x360_submit(client, target, report), BUS_ERR_REQUEST_FAILED);
    winsim::fail_calls("CreateEventW", 1, ERROR_NOT_ENOUGH_MEMORY, 1);
    auto* other = new_target();
    EXPECT_EQ(bus_target_add(client, other), BUS_ERR_REQUEST_FAILED);
    EXPECT_EQ(other->state, TARGET_NEW);
    EXPECT_EQ(winsim::open_handles("event"), 0u);
}

TEST_F(BusClientTest, RequestsCompletingLaterOnAnotherThreadAreWaitedFor) {
    auto* client = connected();
    auto* target = plugged();
    GamepadReport report = {0x1000, 0, 0, 1, 2, 0, 0};
    // A request answered within the call leaves its event signalled; a kept event must still
    // make the next request wait for its own answer.
    HANDLE kept = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(bus_x360_submit_on(client, target, report, kept), BUS_OK);
    winsim::bus_set_options(bus_, bus_options([](auto& o) { o.completion_delay_ms = 5; }));
    EXPECT_EQ(bus_x360_submit(client, target, report), BUS_OK);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report_count, 2u);
    EXPECT_EQ(bus_x360_submit_on(client, target, report, kept), BUS_OK);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report_count, 3u);
    CloseHandle(kept);
    EXPECT_EQ(bus_target_remove(client, target), BUS_OK);
}

TEST_F(BusClientTest, ReportsFromSeveralThreadsOnOneHandleProceedIndependently) {
    auto* client = connected();
    auto* first = plugged();
    auto* second = plugged();
    const int reports = 300;
    // One thread waits on an event it keeps, the other on one made for each request.
    HANDLE kept = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto send = [&](_VIGEM_TARGET_T* target, int16_t x, HANDLE event) {
        for (int i = 0; i < reports; i++) {
            GamepadReport report = {0, 0, 0, x, (int16_t)i, 0, 0};
            EXPECT_EQ(bus_x360_submit_on(client, target, report, event), BUS_OK);
        }
    };
    std::thread a(send, first, 111, kept);
    std::thread b(send, second, 222, nullptr);
    a.join();
    b.join();
    CloseHandle(kept);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report_count, (size_t)reports);
    EXPECT_EQ(winsim::bus_pad(bus_, 2)->report_count, (size_t)reports);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report[4], 111);
    EXPECT_EQ(winsim::bus_pad(bus_, 2)->report[4], 222);
}

TEST_F(BusClientTest, StopFeedbackOnATargetThatNeverRegisteredChangesNothing) {
    auto* target = new_target();
    _VIGEM_TARGET_T before;
    memcpy(&before, target, sizeof before);
    bus_target_stop_feedback(target);
    EXPECT_EQ(memcmp(&before, target, sizeof before), 0);
}

TEST_F(BusClientTest, DeleteIgnoresNull) {
    bus_target_delete(nullptr);
    bus_client_delete(nullptr);
}

} // namespace
