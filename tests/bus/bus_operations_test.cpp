// The operations beyond the Xbox 360 pad's basics: DualShock 4 targets and their two report
// forms, the user-index query, the accessors, the asynchronous add; the bytes of their records,
// the order of their checks, and what each driver answer becomes, whether the driver fails the
// request at once or after it pended.
#include "bus_test.h"

#include <atomic>
#include <mutex>
#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes counting(size_t n, uint8_t first) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = (uint8_t)(first + i);
    return bytes;
}
const Bytes ds4_bytes = counting(10, 0xA0), ds4_ex_bytes = counting(63, 1);

Ds4Report ds4_report() {
    Ds4Report report;
    memcpy(report.bytes, ds4_bytes.data(), sizeof report.bytes);
    return report;
}

Ds4ReportEx ds4_report_ex() {
    Ds4ReportEx report;
    memcpy(report.bytes, ds4_ex_bytes.data(), sizeof report.bytes);
    return report;
}

Bytes header(uint32_t size, uint32_t serial) {
    return {(uint8_t)size, 0, 0, 0, (uint8_t)serial, 0, 0, 0};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const uint32_t X = TARGET_X360, D = TARGET_DS4;
const uint32_t B = TARGET_BLANK, N = TARGET_NEW, P = TARGET_PLUGGED;

enum class Op {
    Ds4Submit,
    Ds4SubmitEx,
    UserIndex,
    X360Watch,
    Ds4Watch,
    AddAsync,
    Remove,
    X360Submit
};

void ignore_x360(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T*, uint8_t, uint8_t, uint8_t, void*) {}
void ignore_ds4(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T*, uint8_t, uint8_t, BusDs4Light, void*) {}
void done_ignored(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T*, _VIGEM_ERRORS) {}

// One operation; `null` passes a null output or callback where the operation takes one.
_VIGEM_ERRORS call(Op op, _VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, uint32_t* index,
                   bool null = false) {
    switch (op) {
    case Op::Ds4Submit:
        return bus_ds4_submit(client, target, ds4_report());
    case Op::Ds4SubmitEx:
        return bus_ds4_submit_ex(client, target, ds4_report_ex());
    case Op::UserIndex:
        return bus_x360_user_index(client, target, null ? nullptr : index);
    case Op::X360Watch:
        return bus_x360_watch_feedback(client, target, null ? nullptr : ignore_x360, nullptr);
    case Op::Ds4Watch:
        return bus_ds4_watch_feedback(client, target, null ? nullptr : ignore_ds4, nullptr);
    case Op::AddAsync:
        return bus_target_add_async(client, target, null ? nullptr : done_ignored);
    case Op::Remove:
        return bus_target_remove(client, target);
    case Op::X360Submit:
        return bus_x360_submit(client, target, GamepadReport{});
    }
    return BUS_OK;
}

TEST_F(BusClientTest, Ds4TargetIsPluggedInWithItsOwnKindAndIds) {
    connected();
    auto* target = new_target(TARGET_DS4);
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(target->size, sizeof(_VIGEM_TARGET_T));
    EXPECT_EQ(target->state, TARGET_NEW);
    EXPECT_EQ(bus_target_type(target), (uint32_t)TARGET_DS4);
    EXPECT_EQ(bus_target_vendor(target), 0x054C);
    EXPECT_EQ(bus_target_product(target), 0x05C4);
    ASSERT_EQ(bus_target_add(client_, target), BUS_OK);
    auto log = winsim::bus_log(bus_);
    ASSERT_EQ(log.size(), 2u);
    std::vector<uint8_t> kind_and_ids = {2, 0, 0, 0, 0x4C, 0x05, 0xC4, 0x05};
    EXPECT_EQ(log[0].input, header(16, 1) + kind_and_ids);
    auto pad = winsim::bus_pad(bus_, 1);
    ASSERT_TRUE(pad.has_value());
    EXPECT_EQ(pad->type, 2u);
    EXPECT_FALSE(pad->user_index.has_value()) << "only Xbox 360 pads take a slot";
}

TEST_F(BusClientTest, AccessorsReadAndSetTheFields) {
    connected();
    auto* target = new_target();
    bus_target_set_vendor(target, 0x1234);
    bus_target_set_product(target, 0xBEEF);
    EXPECT_EQ(bus_target_vendor(target), 0x1234);
    EXPECT_EQ(bus_target_product(target), 0xBEEF);
    EXPECT_FALSE(bus_target_is_plugged(target));
    EXPECT_TRUE(bus_target_can_wait_ready(target));
    EXPECT_FALSE(bus_target_can_wait_ready(nullptr));
    winsim::bus_take_serial(bus_, 1);
    ASSERT_EQ(bus_target_add(client_, target), BUS_OK);
    EXPECT_EQ(bus_target_serial(target), 2u);
    EXPECT_TRUE(bus_target_is_plugged(target));
    auto pad = winsim::bus_pad(bus_, 2);
    EXPECT_EQ(pad->vendor_id, 0x1234) << "the pad presents the IDs set before the add";
    EXPECT_EQ(pad->product_id, 0xBEEF);
    ASSERT_EQ(bus_target_remove(client_, target), BUS_OK);
    EXPECT_FALSE(bus_target_is_plugged(target));

    winsim::bus_set_options(bus_, bus_options([](auto& o) { o.wait_ready = false; }));
    auto* other = new_target();
    ASSERT_EQ(bus_target_add(client_, other), BUS_OK);
    EXPECT_FALSE(bus_target_can_wait_ready(other));
}

// Every request kind beyond the foundation's: its code, its record's bytes, its output length.
TEST_F(BusClientTest, EachRequestCarriesItsLengthSerialAndBytes) {
    const std::tuple<const char*, Op, uint32_t, DWORD, Bytes, DWORD> table[] = {
        {"ds4 report", Op::Ds4Submit, D, 0x002AA80C, header(20, 3) + ds4_bytes + Bytes{0, 0}, 0},
        {"ds4 report ex", Op::Ds4SubmitEx, D, 0x002AA80C, header(71, 3) + ds4_ex_bytes, 0},
        {"user index", Op::UserIndex, X, 0x002AE81C, header(12, 3) + Bytes(4, 0), 12},
        {"x360 feedback", Op::X360Watch, X, 0x002AE804, header(12, 3) + Bytes(4, 0), 12},
        {"ds4 feedback", Op::Ds4Watch, D, 0x002AA810, header(16, 3) + Bytes(8, 0), 16},
    };
    for (const auto& [name, op, type, code, input, output_length] : table) {
        SCOPED_TRACE(name);
        fresh();
        connected();
        winsim::bus_take_serial(bus_, 1);
        winsim::bus_take_serial(bus_, 2);
        auto* target = plugged(type);
        ASSERT_EQ(target->serial, 3u);
        uint32_t index = 7;
        EXPECT_EQ(call(op, client_, target, &index), BUS_OK);
        EXPECT_EQ(index, op == Op::UserIndex ? 0u : 7u);
        ASSERT_TRUE(wait_for([&] { return !winsim::bus_log(bus_).empty(); }))
            << "a feedback thread's";
        auto log = winsim::bus_log(bus_);
        ASSERT_GE(log.size(), 1u);
        EXPECT_EQ(log[0].code, code);
        EXPECT_EQ(log[0].input, input);
        EXPECT_EQ(log[0].output_length, output_length);
    }
}

TEST_F(BusClientTest, Ds4ReportsReachThePadUnchanged) {
    connected();
    auto* target = plugged(TARGET_DS4);
    ASSERT_EQ(bus_ds4_submit(client_, target, ds4_report()), BUS_OK);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report, ds4_bytes);
    ASSERT_EQ(bus_ds4_submit_ex(client_, target, ds4_report_ex()), BUS_OK);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report, ds4_ex_bytes);
}

// The checks of each operation, in order: most rows make two checks fail at once, so only the
// right order gives the expected result; nothing is sent, no event or thread is made.
TEST_F(BusClientTest, ChecksComeInOrderAndSendNothing) {
    const struct {
        const char* name;
        Op op;
        bool null_client, closed_client, null_target;
        uint32_t type, serial, state;
        bool null_output_or_callback;
        _VIGEM_ERRORS expected;
    } table[] = {
        // name, op, null client, closed, null target, type, serial, state, null output or callback
        {"Ds4NullClient", Op::Ds4Submit, 1, 0, 1, D, 1, P, 0, BUS_ERR_NULL_CLIENT},
        {"Ds4NullTarget", Op::Ds4Submit, 0, 1, 1, D, 1, P, 0, BUS_ERR_BAD_TARGET},
        {"Ds4Closed", Op::Ds4Submit, 0, 1, 0, D, 0, B, 0, BUS_ERR_NO_BUS},
        {"Ds4Serial0", Op::Ds4Submit, 0, 0, 0, D, 0, B, 0, BUS_ERR_BAD_TARGET},
        {"ExNullClient", Op::Ds4SubmitEx, 1, 0, 1, D, 1, P, 0, BUS_ERR_NULL_CLIENT},
        {"ExNullTarget", Op::Ds4SubmitEx, 0, 1, 1, D, 1, P, 0, BUS_ERR_BAD_TARGET},
        {"ExClosed", Op::Ds4SubmitEx, 0, 1, 0, D, 0, B, 0, BUS_ERR_NO_BUS},
        {"ExSerial0", Op::Ds4SubmitEx, 0, 0, 0, D, 0, B, 0, BUS_ERR_BAD_TARGET},
        {"IndexNullClient", Op::UserIndex, 1, 0, 1, X, 1, P, 1, BUS_ERR_NULL_CLIENT},
        {"IndexNullTarget", Op::UserIndex, 0, 1, 1, X, 1, P, 1, BUS_ERR_BAD_TARGET},
        {"IndexClosed", Op::UserIndex, 0, 1, 0, D, 0, B, 1, BUS_ERR_NO_BUS},
        {"IndexSerial0", Op::UserIndex, 0, 0, 0, X, 0, B, 1, BUS_ERR_BAD_TARGET},
        {"IndexDs4", Op::UserIndex, 0, 0, 0, D, 1, P, 1, BUS_ERR_BAD_TARGET},
        {"IndexNullOutput", Op::UserIndex, 0, 0, 0, X, 1, P, 1, BUS_ERR_NULL_OUTPUT},
        {"X360WatchNullClient", Op::X360Watch, 1, 0, 1, X, 1, P, 1, BUS_ERR_NULL_CLIENT},
        {"X360WatchNullTarget", Op::X360Watch, 0, 1, 1, X, 1, P, 1, BUS_ERR_BAD_TARGET},
        {"X360WatchClosed", Op::X360Watch, 0, 1, 0, X, 0, B, 1, BUS_ERR_NO_BUS},
        {"X360WatchSerial0", Op::X360Watch, 0, 0, 0, X, 0, B, 0, BUS_ERR_BAD_TARGET},
        {"X360WatchNoCallback", Op::X360Watch, 0, 0, 0, X, 1, P, 1, BUS_ERR_BAD_TARGET},
        {"Ds4WatchNullClient", Op::Ds4Watch, 1, 0, 1, D, 1, P, 1, BUS_ERR_NULL_CLIENT},
        {"Ds4WatchNullTarget", Op::Ds4Watch, 0, 1, 1, D, 1, P, 1, BUS_ERR_BAD_TARGET},
        {"Ds4WatchClosed", Op::Ds4Watch, 0, 1, 0, D, 0, B, 1, BUS_ERR_NO_BUS},
        {"Ds4WatchSerial0", Op::Ds4Watch, 0, 0, 0, D, 0, B, 0, BUS_ERR_BAD_TARGET},
        {"Ds4WatchNoCallback", Op::Ds4Watch, 0, 0, 0, D, 1, P, 1, BUS_ERR_BAD_TARGET},
        {"AsyncNullClient", Op::AddAsync, 1, 0, 1, X, 0, B, 1, BUS_ERR_NULL_CLIENT},
        {"AsyncNullTarget", Op::AddAsync, 0, 1, 1, X, 0, B, 1, BUS_ERR_BAD_TARGET},
        {"AsyncClosed", Op::AddAsync, 0, 1, 0, X, 0, B, 1, BUS_ERR_NO_BUS},
        {"AsyncBlank", Op::AddAsync, 0, 0, 0, X, 0, B, 1, BUS_ERR_TARGET_BLANK},
        {"AsyncPlugged", Op::AddAsync, 0, 0, 0, X, 1, P, 1, BUS_ERR_ALREADY_PLUGGED},
        {"AsyncNoCallback", Op::AddAsync, 0, 0, 0, X, 0, N, 1, BUS_ERR_BAD_TARGET},
        {"RemoveNullClient", Op::Remove, 1, 0, 1, X, 0, B, 0, BUS_ERR_NULL_CLIENT},
        {"RemoveNullTarget", Op::Remove, 0, 0, 1, X, 0, B, 0, BUS_ERR_BAD_TARGET},
        {"RemoveClosed", Op::Remove, 0, 1, 0, X, 0, B, 0, BUS_ERR_NO_BUS},
        {"RemoveBlank", Op::Remove, 0, 0, 0, X, 0, B, 0, BUS_ERR_TARGET_BLANK},
        {"RemoveNew", Op::Remove, 0, 0, 0, X, 0, N, 0, BUS_ERR_NOT_PLUGGED},
        {"X360NullClient", Op::X360Submit, 1, 0, 0, X, 0, N, 0, BUS_ERR_NULL_CLIENT},
        {"X360NullTarget", Op::X360Submit, 0, 0, 1, X, 0, N, 0, BUS_ERR_BAD_TARGET},
        {"X360Serial0", Op::X360Submit, 0, 0, 0, X, 0, N, 0, BUS_ERR_BAD_TARGET},
    };
    connected();
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        _VIGEM_CLIENT_T* client = row.null_client     ? nullptr
                                  : row.closed_client ? &closed_
                                                      : client_;
        _VIGEM_TARGET_T record = {};
        record.type = row.type;
        record.serial = row.serial;
        record.state = row.state;
        uint32_t index = 0x5A5A5A5A;
        size_t events = winsim::calls("CreateEventW");
        EXPECT_EQ(call(row.op, client, row.null_target ? nullptr : &record, &index,
                       row.null_output_or_callback),
                  row.expected);
        EXPECT_TRUE(winsim::bus_log(bus_).empty());
        EXPECT_EQ(index, 0x5A5A5A5Au);
        EXPECT_EQ(winsim::calls("CreateEventW"), events);
        EXPECT_EQ(winsim::calls("CreateThread"), 0u);
        EXPECT_EQ(record.feedback_fn.x360, nullptr);
        EXPECT_EQ(record.feedback_fn.ds4, nullptr);
    }
}

// What a driver's answer becomes, for each operation, whether the driver fails the request
// within the call or after it pended. A request that failed within the call is never waited for.
TEST_F(BusClientTest, DriverAnswerBecomesTheResultOnEitherPath) {
    const struct {
        const char* name;
        Op op;
        DWORD error; // of the report, or of the user-index query
        _VIGEM_ERRORS expected;
    } table[] = {
        {"Ds4Denied", Op::Ds4Submit, ERROR_ACCESS_DENIED, BUS_ERR_BAD_TARGET},
        {"Ds4OtherError", Op::Ds4Submit, ERROR_GEN_FAILURE, BUS_ERR_REQUEST_FAILED},
        {"ExDenied", Op::Ds4SubmitEx, ERROR_ACCESS_DENIED, BUS_ERR_BAD_TARGET},
        {"ExInvalid", Op::Ds4SubmitEx, ERROR_INVALID_PARAMETER, BUS_ERR_UNSUPPORTED},
        {"ExOtherError", Op::Ds4SubmitEx, ERROR_GEN_FAILURE, BUS_ERR_REQUEST_FAILED},
        {"IndexDenied", Op::UserIndex, ERROR_ACCESS_DENIED, BUS_ERR_BAD_TARGET},
        {"IndexNoSlot", Op::UserIndex, 650, BUS_ERR_INDEX_RANGE},
        {"IndexOtherError", Op::UserIndex, ERROR_GEN_FAILURE, BUS_ERR_REQUEST_FAILED},
    };
    for (const auto& row : table)
        for (bool at_once : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (at_once ? "AtOnce" : "Later"));
            fresh();
            connected();
            auto* target = plugged(row.op == Op::UserIndex ? X : D);
            winsim::bus_set_options(bus_, bus_options([&](auto& o) {
                                        (row.op == Op::UserIndex ? o.user_index_error
                                                                 : o.report_error) = row.error;
                                        o.report_at_once = o.user_index_at_once = at_once;
                                    }));
            size_t waits = winsim::calls("GetOverlappedResult");
            uint32_t index = 0x5A5A5A5A;
            EXPECT_EQ(call(row.op, client_, target, &index), row.expected);
            EXPECT_EQ(index, 0x5A5A5A5Au) << "a failed query leaves the output alone";
            EXPECT_EQ(winsim::calls("GetOverlappedResult") - waits, at_once ? 0u : 1u);
            EXPECT_EQ(winsim::bus_pad(bus_, target->serial)->report_count, 0u);
        }
}

// The foundation's requests, failed within the call: each result as when they fail later.
TEST_F(BusClientTest, RequestsFailedAtOnceAreNotWaitedFor) {
    int refusing = winsim::bus_add(bus_options([](auto& o) {
        o.version_error = ERROR_NOT_SUPPORTED;
        o.version_at_once = true;
    }));
    client_ = bus_client_new();
    EXPECT_EQ(bus_connect(client_), BUS_ERR_VERSION);
    EXPECT_EQ(winsim::calls("GetOverlappedResult"), 0u);
    winsim::bus_set_options(refusing, {});
    ASSERT_EQ(bus_connect(client_), BUS_OK);
    bus_ = refusing;

    winsim::bus_set_options(bus_, bus_options([](auto& o) {
                                o.wait_ready_error = ERROR_GEN_FAILURE;
                                o.wait_ready_at_once = true;
                            }));
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(client_, target), BUS_ERR_REQUEST_FAILED);
    EXPECT_EQ(target->state, TARGET_UNPLUGGED) << "the pad was unplugged again";
    EXPECT_TRUE(winsim::bus_pads(bus_).empty());

    winsim::bus_set_options(bus_, {});
    ASSERT_EQ(bus_target_add(client_, target), BUS_OK);
    winsim::bus_set_options(bus_, bus_options([](auto& o) {
                                o.unplug_error = ERROR_GEN_FAILURE;
                                o.report_error = ERROR_ACCESS_DENIED;
                                o.unplug_at_once = o.report_at_once = true;
                            }));
    size_t waits = winsim::calls("GetOverlappedResult");
    EXPECT_EQ(bus_x360_submit(client_, target, GamepadReport{}), BUS_ERR_BAD_TARGET);
    EXPECT_EQ(bus_target_remove(client_, target), BUS_ERR_UNPLUG_FAILED);
    EXPECT_EQ(winsim::calls("GetOverlappedResult"), waits);
}

TEST_F(BusClientTest, ExtendedReportRefusedByTheDriverIsUnsupported) {
    connected(bus_options([](auto& o) { o.extended_report = false; }));
    auto* target = plugged(TARGET_DS4);
    EXPECT_EQ(bus_ds4_submit_ex(client_, target, ds4_report_ex()), BUS_ERR_UNSUPPORTED);
    EXPECT_EQ(bus_ds4_submit(client_, target, ds4_report()), BUS_OK) << "the short form works";
    EXPECT_EQ(bus_x360_submit(client_, target, GamepadReport{}), BUS_ERR_BAD_TARGET)
        << "the driver denies an Xbox 360 report for a DualShock 4 pad";
}

TEST_F(BusClientTest, UserIndexIsThePadsSlotAndAFifthPadHasNone) {
    connected();
    std::vector<_VIGEM_TARGET_T*> pads;
    for (int i = 0; i < 5; i++)
        pads.push_back(plugged());
    for (uint32_t i = 0; i < 4; i++) {
        uint32_t index = 99;
        EXPECT_EQ(bus_x360_user_index(client_, pads[i], &index), BUS_OK);
        EXPECT_EQ(index, i);
    }
    uint32_t index = 99;
    EXPECT_EQ(bus_x360_user_index(client_, pads[4], &index), BUS_ERR_INDEX_RANGE);
    EXPECT_EQ(index, 99u);
    ASSERT_EQ(bus_target_remove(client_, pads[1]), BUS_OK);
    EXPECT_EQ(bus_x360_user_index(client_, pads[1], &index), BUS_ERR_BAD_TARGET)
        << "the driver no longer knows an unplugged pad";
}

// The asynchronous add: the callback gets the client, the target and the add's own result, once,
// on another thread.
struct AddDone {
    std::mutex lock;
    int calls = 0;
    _VIGEM_CLIENT_T* client = nullptr;
    _VIGEM_TARGET_T* target = nullptr;
    _VIGEM_ERRORS result = BUS_OK;
    uint32_t state_seen = 0;
    DWORD thread = 0;
};
AddDone* add_done = nullptr;

void on_add_done(_VIGEM_CLIENT_T* client, _VIGEM_TARGET_T* target, _VIGEM_ERRORS result) {
    std::lock_guard<std::mutex> held(add_done->lock);
    add_done->calls++;
    add_done->client = client;
    add_done->target = target;
    add_done->result = result;
    add_done->state_seen = target->state;
    add_done->thread = GetCurrentThreadId();
}

class BusAsyncAdd : public BusClientTest {
  protected:
    void SetUp() override {
        BusClientTest::SetUp();
        add_done = &done_;
    }
    void TearDown() override {
        EXPECT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
        add_done = nullptr;
        BusClientTest::TearDown();
    }
    // Waits for the add's thread to end, then returns how often the callback ran.
    int finished() {
        EXPECT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
        std::lock_guard<std::mutex> held(done_.lock);
        return done_.calls;
    }
    AddDone done_;
};

TEST_F(BusAsyncAdd, CallsBackOnceWithTheAddsResult) {
    connected(bus_options([](auto& o) { o.completion_delay_ms = 5; }));
    winsim::bus_take_serial(bus_, 1);
    auto* target = new_target(TARGET_DS4);
    EXPECT_EQ(bus_target_add_async(client_, target, on_add_done), BUS_OK);
    ASSERT_EQ(finished(), 1);
    EXPECT_EQ(done_.client, client_);
    EXPECT_EQ(done_.target, target);
    EXPECT_EQ(done_.result, BUS_OK);
    EXPECT_EQ(done_.state_seen, (uint32_t)TARGET_PLUGGED) << "called after the add, not before";
    EXPECT_NE(done_.thread, GetCurrentThreadId());
    EXPECT_EQ(target->serial, 2u);
    EXPECT_EQ(winsim::bus_pad(bus_, 2)->type, 2u);
}

TEST_F(BusAsyncAdd, HandsOnAFailedAddsResult) {
    connected(bus_options([](auto& o) { o.wait_ready_error = ERROR_GEN_FAILURE; }));
    auto* target = new_target();
    EXPECT_EQ(bus_target_add_async(client_, target, on_add_done), BUS_OK);
    ASSERT_EQ(finished(), 1);
    EXPECT_EQ(done_.result, BUS_ERR_REQUEST_FAILED);
    EXPECT_EQ(done_.state_seen, (uint32_t)TARGET_UNPLUGGED);
}

TEST_F(BusAsyncAdd, ThreadThatCannotStartIsAFailureWithoutACallback) {
    connected();
    auto* target = new_target();
    winsim::fail_calls("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(bus_target_add_async(client_, target, on_add_done), BUS_ERR_REQUEST_FAILED);
    EXPECT_EQ(finished(), 0);
    EXPECT_TRUE(winsim::bus_log(bus_).empty());
    EXPECT_EQ(target->state, TARGET_NEW);
    EXPECT_EQ(target->serial, 0u);
    EXPECT_EQ(bus_target_add_async(client_, target, on_add_done), BUS_OK) << "and may try again";
    EXPECT_EQ(finished(), 1);
}

} // namespace
