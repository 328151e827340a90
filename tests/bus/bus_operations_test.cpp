// The operations beyond the Xbox 360 pad's basics: DualShock 4 targets and their two report
// forms, the user-index query, the accessors, the asynchronous add; the bytes of their records,
// the order of their checks, and what each driver answer becomes, whether the driver fails the
// request at once or after it pended.
#include "bus_test.h"

#include <atomic>
#include <functional>
#include <mutex>

using winsim::BusOptions;

namespace {

Ds4Report ds4_report() {
    Ds4Report report;
    for (int i = 0; i < 10; i++)
        report.bytes[i] = (uint8_t)(0xA0 + i);
    return report;
}

Ds4ReportEx ds4_report_ex() {
    Ds4ReportEx report;
    for (int i = 0; i < 63; i++)
        report.bytes[i] = (uint8_t)(i + 1);
    return report;
}

std::vector<uint8_t> header(uint32_t size, uint32_t serial) {
    return {(uint8_t)size, 0, 0, 0, (uint8_t)serial, 0, 0, 0};
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
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

    BusOptions options;
    options.wait_ready = false;
    winsim::bus_set_options(bus_, options);
    auto* other = new_target();
    ASSERT_EQ(bus_target_add(client_, other), BUS_OK);
    EXPECT_FALSE(bus_target_can_wait_ready(other));
}

// Every request kind beyond the foundation's: its code, its record's bytes, its output length.
struct RecordCase {
    const char* name;
    uint32_t type;
    std::function<void(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T*)> send;
    DWORD code;
    std::vector<uint8_t> input;
    DWORD output_length;
};

void PrintTo(const RecordCase& c, std::ostream* os) {
    *os << c.name;
}

class BusRecord : public BusClientTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(BusRecord, CarriesItsLengthSerialAndBytes) {
    const RecordCase& c = GetParam();
    connected();
    winsim::bus_take_serial(bus_, 1);
    winsim::bus_take_serial(bus_, 2);
    auto* target = plugged(c.type);
    ASSERT_EQ(target->serial, 3u);
    c.send(client_, target);
    ASSERT_TRUE(wait_for([&] { return !winsim::bus_log(bus_).empty(); })) << "a feedback thread's";
    auto log = winsim::bus_log(bus_);
    ASSERT_GE(log.size(), 1u);
    EXPECT_EQ(log[0].code, c.code);
    EXPECT_EQ(log[0].input, c.input);
    EXPECT_EQ(log[0].output_length, c.output_length);
}

std::vector<uint8_t> ds4_bytes() {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 10; i++)
        bytes.push_back((uint8_t)(0xA0 + i));
    return bytes;
}

std::vector<uint8_t> ds4_ex_bytes() {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 63; i++)
        bytes.push_back((uint8_t)(i + 1));
    return bytes;
}

void ignore_x360(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T*, uint8_t, uint8_t, uint8_t, void*) {}
void ignore_ds4(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T*, uint8_t, uint8_t, BusDs4Light, void*) {}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BusRecord,
    ::testing::Values(
        RecordCase{"Ds4Report", TARGET_DS4,
                   [](auto* client, auto* target) {
                       EXPECT_EQ(bus_ds4_submit(client, target, ds4_report()), BUS_OK);
                   },
                   0x002AA80C, header(20, 3) + ds4_bytes() + std::vector<uint8_t>{0, 0}, 0},
        RecordCase{"Ds4ReportEx", TARGET_DS4,
                   [](auto* client, auto* target) {
                       EXPECT_EQ(bus_ds4_submit_ex(client, target, ds4_report_ex()), BUS_OK);
                   },
                   0x002AA80C, header(71, 3) + ds4_ex_bytes(), 0},
        RecordCase{"UserIndex", TARGET_X360,
                   [](auto* client, auto* target) {
                       uint32_t index = 7;
                       EXPECT_EQ(bus_x360_user_index(client, target, &index), BUS_OK);
                       EXPECT_EQ(index, 0u);
                   },
                   0x002AE81C, header(12, 3) + std::vector<uint8_t>{0, 0, 0, 0}, 12},
        RecordCase{"X360Feedback", TARGET_X360,
                   [](auto* client, auto* target) {
                       EXPECT_EQ(bus_x360_watch_feedback(client, target, ignore_x360, nullptr),
                                 BUS_OK);
                   },
                   0x002AE804, header(12, 3) + std::vector<uint8_t>{0, 0, 0, 0}, 12},
        RecordCase{"Ds4Feedback", TARGET_DS4,
                   [](auto* client, auto* target) {
                       EXPECT_EQ(bus_ds4_watch_feedback(client, target, ignore_ds4, nullptr),
                                 BUS_OK);
                   },
                   0x002AA810, header(16, 3) + std::vector<uint8_t>(8, 0), 16}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(BusClientTest, Ds4ReportsReachThePadUnchanged) {
    connected();
    auto* target = plugged(TARGET_DS4);
    ASSERT_EQ(bus_ds4_submit(client_, target, ds4_report()), BUS_OK);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report, ds4_bytes());
    ASSERT_EQ(bus_ds4_submit_ex(client_, target, ds4_report_ex()), BUS_OK);
    EXPECT_EQ(winsim::bus_pad(bus_, 1)->report, ds4_ex_bytes());
}

// The checks of each operation, in order: every row makes two checks fail at once, so only the
// right order gives the expected result; nothing is sent, no event or thread is made.
enum class Op { Ds4Submit, Ds4SubmitEx, UserIndex, X360Watch, Ds4Watch, AddAsync };

struct CheckCase {
    const char* name;
    Op op;
    bool null_client;
    bool closed_client;
    bool null_target;
    uint32_t type;
    uint32_t serial;
    uint32_t state;
    bool null_output_or_callback;
    _VIGEM_ERRORS expected;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class BusChecks : public BusClientTest, public ::testing::WithParamInterface<CheckCase> {};

void done_ignored(_VIGEM_CLIENT_T*, _VIGEM_TARGET_T*, _VIGEM_ERRORS) {}

TEST_P(BusChecks, ComeInOrderAndSendNothing) {
    const CheckCase& c = GetParam();
    connected();
    _VIGEM_CLIENT_T closed = {INVALID_HANDLE_VALUE};
    _VIGEM_CLIENT_T* client = c.null_client ? nullptr : c.closed_client ? &closed : client_;
    _VIGEM_TARGET_T record = {};
    record.type = c.type;
    record.serial = c.serial;
    record.state = c.state;
    _VIGEM_TARGET_T* target = c.null_target ? nullptr : &record;
    uint32_t index = 0x5A5A5A5A;
    bool null = c.null_output_or_callback;
    size_t events = winsim::calls("CreateEventW");
    _VIGEM_ERRORS result = BUS_OK;
    switch (c.op) {
    case Op::Ds4Submit:
        result = bus_ds4_submit(client, target, ds4_report());
        break;
    case Op::Ds4SubmitEx:
        result = bus_ds4_submit_ex(client, target, ds4_report_ex());
        break;
    case Op::UserIndex:
        result = bus_x360_user_index(client, target, null ? nullptr : &index);
        break;
    case Op::X360Watch:
        result = bus_x360_watch_feedback(client, target, null ? nullptr : ignore_x360, nullptr);
        break;
    case Op::Ds4Watch:
        result = bus_ds4_watch_feedback(client, target, null ? nullptr : ignore_ds4, nullptr);
        break;
    case Op::AddAsync:
        result = bus_target_add_async(client, target, null ? nullptr : done_ignored);
        break;
    }
    EXPECT_EQ(result, c.expected);
    EXPECT_TRUE(winsim::bus_log(bus_).empty());
    EXPECT_EQ(index, 0x5A5A5A5Au);
    EXPECT_EQ(winsim::calls("CreateEventW"), events);
    EXPECT_EQ(winsim::calls("CreateThread"), 0u);
    EXPECT_EQ(record.feedback_fn.x360, nullptr);
    EXPECT_EQ(record.feedback_fn.ds4, nullptr);
}

const uint32_t X = TARGET_X360, D = TARGET_DS4;
const uint32_t B = TARGET_BLANK, N = TARGET_NEW, P = TARGET_PLUGGED;

INSTANTIATE_TEST_SUITE_P(
    Operations, BusChecks,
    ::testing::Values(
        // name, op, null client, closed, null target, type, serial, state, null output or callback
        CheckCase{"Ds4NullClient", Op::Ds4Submit, 1, 0, 1, D, 1, P, 0, BUS_ERR_NULL_CLIENT},
        CheckCase{"Ds4NullTarget", Op::Ds4Submit, 0, 1, 1, D, 1, P, 0, BUS_ERR_BAD_TARGET},
        CheckCase{"Ds4Closed", Op::Ds4Submit, 0, 1, 0, D, 0, B, 0, BUS_ERR_NO_BUS},
        CheckCase{"Ds4Serial0", Op::Ds4Submit, 0, 0, 0, D, 0, B, 0, BUS_ERR_BAD_TARGET},
        CheckCase{"ExNullClient", Op::Ds4SubmitEx, 1, 0, 1, D, 1, P, 0, BUS_ERR_NULL_CLIENT},
        CheckCase{"ExNullTarget", Op::Ds4SubmitEx, 0, 1, 1, D, 1, P, 0, BUS_ERR_BAD_TARGET},
        CheckCase{"ExClosed", Op::Ds4SubmitEx, 0, 1, 0, D, 0, B, 0, BUS_ERR_NO_BUS},
        CheckCase{"ExSerial0", Op::Ds4SubmitEx, 0, 0, 0, D, 0, B, 0, BUS_ERR_BAD_TARGET},
        CheckCase{"IndexNullClient", Op::UserIndex, 1, 0, 1, X, 1, P, 1, BUS_ERR_NULL_CLIENT},
        CheckCase{"IndexNullTarget", Op::UserIndex, 0, 1, 1, X, 1, P, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"IndexClosed", Op::UserIndex, 0, 1, 0, D, 0, B, 1, BUS_ERR_NO_BUS},
        CheckCase{"IndexSerial0", Op::UserIndex, 0, 0, 0, X, 0, B, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"IndexDs4", Op::UserIndex, 0, 0, 0, D, 1, P, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"IndexNullOutput", Op::UserIndex, 0, 0, 0, X, 1, P, 1, BUS_ERR_NULL_OUTPUT},
        CheckCase{"X360WatchNullClient", Op::X360Watch, 1, 0, 1, X, 1, P, 1, BUS_ERR_NULL_CLIENT},
        CheckCase{"X360WatchNullTarget", Op::X360Watch, 0, 1, 1, X, 1, P, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"X360WatchClosed", Op::X360Watch, 0, 1, 0, X, 0, B, 1, BUS_ERR_NO_BUS},
        CheckCase{"X360WatchSerial0", Op::X360Watch, 0, 0, 0, X, 0, B, 0, BUS_ERR_BAD_TARGET},
        CheckCase{"X360WatchNoCallback", Op::X360Watch, 0, 0, 0, X, 1, P, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"Ds4WatchNullClient", Op::Ds4Watch, 1, 0, 1, D, 1, P, 1, BUS_ERR_NULL_CLIENT},
        CheckCase{"Ds4WatchNullTarget", Op::Ds4Watch, 0, 1, 1, D, 1, P, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"Ds4WatchClosed", Op::Ds4Watch, 0, 1, 0, D, 0, B, 1, BUS_ERR_NO_BUS},
        CheckCase{"Ds4WatchSerial0", Op::Ds4Watch, 0, 0, 0, D, 0, B, 0, BUS_ERR_BAD_TARGET},
        CheckCase{"Ds4WatchNoCallback", Op::Ds4Watch, 0, 0, 0, D, 1, P, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"AsyncNullClient", Op::AddAsync, 1, 0, 1, X, 0, B, 1, BUS_ERR_NULL_CLIENT},
        CheckCase{"AsyncNullTarget", Op::AddAsync, 0, 1, 1, X, 0, B, 1, BUS_ERR_BAD_TARGET},
        CheckCase{"AsyncClosed", Op::AddAsync, 0, 1, 0, X, 0, B, 1, BUS_ERR_NO_BUS},
        CheckCase{"AsyncBlank", Op::AddAsync, 0, 0, 0, X, 0, B, 1, BUS_ERR_TARGET_BLANK},
        CheckCase{"AsyncPlugged", Op::AddAsync, 0, 0, 0, X, 1, P, 1, BUS_ERR_ALREADY_PLUGGED},
        CheckCase{"AsyncNoCallback", Op::AddAsync, 0, 0, 0, X, 0, N, 1, BUS_ERR_BAD_TARGET}),
    [](const auto& test) { return std::string(test.param.name); });

// What a driver's answer becomes, for each operation, whether the driver fails the request
// within the call or after it pended. A request that failed within the call is never waited for.
struct AnswerCase {
    const char* name;
    Op op;
    std::function<void(BusOptions&)> fail; // how the driver fails it
    _VIGEM_ERRORS expected;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class BusAnswer : public BusClientTest,
                  public ::testing::WithParamInterface<std::tuple<AnswerCase, bool>> {};

TEST_P(BusAnswer, BecomesTheResultOnEitherPath) {
    const AnswerCase& c = std::get<0>(GetParam());
    bool at_once = std::get<1>(GetParam());
    connected();
    auto* target = plugged(c.op == Op::UserIndex ? TARGET_X360 : TARGET_DS4);
    BusOptions options;
    c.fail(options);
    options.report_at_once = options.user_index_at_once = at_once;
    winsim::bus_set_options(bus_, options);
    size_t waits = winsim::calls("GetOverlappedResult");
    uint32_t index = 0x5A5A5A5A;
    _VIGEM_ERRORS result = BUS_OK;
    if (c.op == Op::Ds4Submit)
        result = bus_ds4_submit(client_, target, ds4_report());
    else if (c.op == Op::Ds4SubmitEx)
        result = bus_ds4_submit_ex(client_, target, ds4_report_ex());
    else
        result = bus_x360_user_index(client_, target, &index);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(index, 0x5A5A5A5Au) << "a failed query leaves the output alone";
    EXPECT_EQ(winsim::calls("GetOverlappedResult") - waits, at_once ? 0u : 1u);
    EXPECT_EQ(winsim::bus_pad(bus_, target->serial)->report_count, 0u);
}

std::function<void(BusOptions&)> report_fails(DWORD error) {
    return [error](BusOptions& o) { o.report_error = error; };
}
std::function<void(BusOptions&)> index_fails(DWORD error) {
    return [error](BusOptions& o) { o.user_index_error = error; };
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BusAnswer,
    ::testing::Combine(
        ::testing::Values(AnswerCase{"Ds4Denied", Op::Ds4Submit, report_fails(ERROR_ACCESS_DENIED),
                                     BUS_ERR_BAD_TARGET},
                          AnswerCase{"Ds4OtherError", Op::Ds4Submit,
                                     report_fails(ERROR_GEN_FAILURE), BUS_ERR_REQUEST_FAILED},
                          AnswerCase{"ExDenied", Op::Ds4SubmitEx, report_fails(ERROR_ACCESS_DENIED),
                                     BUS_ERR_BAD_TARGET},
                          AnswerCase{"ExInvalid", Op::Ds4SubmitEx,
                                     report_fails(ERROR_INVALID_PARAMETER), BUS_ERR_UNSUPPORTED},
                          AnswerCase{"ExOtherError", Op::Ds4SubmitEx,
                                     report_fails(ERROR_GEN_FAILURE), BUS_ERR_REQUEST_FAILED},
                          AnswerCase{"IndexDenied", Op::UserIndex, index_fails(ERROR_ACCESS_DENIED),
                                     BUS_ERR_BAD_TARGET},
                          AnswerCase{"IndexNoSlot", Op::UserIndex, index_fails(650),
                                     BUS_ERR_INDEX_RANGE},
                          AnswerCase{"IndexOtherError", Op::UserIndex,
                                     index_fails(ERROR_GEN_FAILURE), BUS_ERR_REQUEST_FAILED}),
        ::testing::Bool()),
    [](const auto& test) {
        return std::string(std::get<0>(test.param).name) +
               (std::get<1>(test.param) ? "AtOnce" : "Later");
    });

// The foundation's requests, failed within the call: each result as when they fail later.
TEST_F(BusClientTest, RequestsFailedAtOnceAreNotWaitedFor) {
    BusOptions options;
    options.version_error = ERROR_NOT_SUPPORTED;
    options.version_at_once = true;
    int refusing = winsim::bus_add(options);
    client_ = bus_client_new();
    EXPECT_EQ(bus_connect(client_), BUS_ERR_VERSION);
    EXPECT_EQ(winsim::calls("GetOverlappedResult"), 0u);
    winsim::bus_set_options(refusing, {});
    ASSERT_EQ(bus_connect(client_), BUS_OK);
    bus_ = refusing;

    options = {};
    options.wait_ready_error = ERROR_GEN_FAILURE;
    options.wait_ready_at_once = true;
    winsim::bus_set_options(bus_, options);
    auto* target = new_target();
    EXPECT_EQ(bus_target_add(client_, target), BUS_ERR_REQUEST_FAILED);
    EXPECT_EQ(target->state, TARGET_UNPLUGGED) << "the pad was unplugged again";
    EXPECT_TRUE(winsim::bus_pads(bus_).empty());

    options = {};
    winsim::bus_set_options(bus_, options);
    ASSERT_EQ(bus_target_add(client_, target), BUS_OK);
    options.unplug_error = ERROR_GEN_FAILURE;
    options.unplug_at_once = true;
    options.report_error = ERROR_ACCESS_DENIED;
    options.report_at_once = true;
    winsim::bus_set_options(bus_, options);
    size_t waits = winsim::calls("GetOverlappedResult");
    EXPECT_EQ(bus_x360_submit(client_, target, GamepadReport{}), BUS_ERR_BAD_TARGET);
    EXPECT_EQ(bus_target_remove(client_, target), BUS_ERR_UNPLUG_FAILED);
    EXPECT_EQ(winsim::calls("GetOverlappedResult"), waits);
}

TEST_F(BusClientTest, ExtendedReportRefusedByTheDriverIsUnsupported) {
    BusOptions options;
    options.extended_report = false;
    connected(options);
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
    BusOptions options;
    options.completion_delay_ms = 5;
    connected(options);
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
    BusOptions options;
    options.wait_ready_error = ERROR_GEN_FAILURE;
    connected(options);
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
