// Stick translation: the arithmetic against a table of positions and modes, driving mode's
// engage and release over time, and the sample callback through the device table to the pad a
// game sees.
#include "translate/translate.h"
#include "devices/sample_to_pad.h"

#include "bus/bus_connection.h"
#include "settings/settings.h"
#include "devices/device_table.h"

#include "settings_reset.h"
#include "winsim_test.h"

#include <atomic>
#include <cmath>
#include <thread>

namespace {

StickSample sample_of(uint16_t x_raw, uint16_t y_raw, int32_t button = 0) {
    StickSample s;
    s.button = button;
    s.x_low = (uint8_t)(x_raw & 0xFF);
    s.x_high = (uint8_t)(x_raw >> 8);
    s.y_low = (uint8_t)(y_raw & 0xFF);
    s.y_high = (uint8_t)(y_raw >> 8);
    return s;
}

// Raw words for an axis value as the decoders return it (Y is inverted).
uint16_t x_raw(int v) {
    return (uint16_t)(v + 32768);
}
uint16_t y_raw(int v) {
    return (uint16_t)(32768 - v);
}

const double rot40 = 0.6981317;

// The rotation that turns full right to exactly `degrees` as the translation counts them
// (radians x 57.2958), so that a row sits on a bound of a mode window, not merely near it.
double turned(double degrees) {
    double offset = degrees / 57.2958;
    while (offset * 57.2958 < degrees)
        offset = std::nextafter(offset, 4.0);
    while (offset * 57.2958 > degrees)
        offset = std::nextafter(offset, -4.0);
    return offset;
}

TranslateModes modes(double offset = 0.0, int fast = 0, int lock = 0, int driving = 0) {
    return TranslateModes{offset, fast, lock, driving};
}

int64_t fake_now = 0;
int clock_calls = 0;
int64_t fake_clock() {
    clock_calls++;
    return fake_now;
}

TEST(Decode, Axis16IsSymmetricAndInvertible) {
    struct Row {
        uint8_t low, high;
        int invert;
        int16_t expected;
    } rows[] = {
        {0x00, 0x80, 0, 0},      {0xFF, 0xFF, 0, 32767},  {0x00, 0x00, 0, -32767},
        {0x01, 0x00, 0, -32767}, {0x02, 0x00, 0, -32766}, {0x00, 0x00, 1, 32767},
        {0xFF, 0xFF, 1, -32767}, {0x34, 0x92, 0, 0x1234}, {0x01, 0x80, 1, -1},
    };
    for (auto& r : rows)
        EXPECT_EQ(decode_axis16(r.low, r.high, r.invert), r.expected)
            << std::hex << (int)r.high << (int)r.low << " invert " << r.invert;
}

TEST(Decode, Axis8ScalesToTheFullRange) {
    struct Row {
        uint8_t value;
        int invert;
        int32_t expected;
    } rows[] = {
        {128, 0, 0},   {128, 1, 0},      {255, 0, 32767}, {0, 0, -32767},  {1, 0, -32767},
        {0, 1, 32767}, {255, 1, -32767}, {129, 0, 258},   {192, 0, 16512}, {12, 0, -29928},
    };
    for (auto& r : rows)
        EXPECT_EQ(decode_axis8(r.value, r.invert), r.expected) << (int)r.value;
}

struct Position {
    const char* name;
    uint16_t x, y;
    TranslateModes modes;
    int16_t left_x, left_y;
};

void PrintTo(const Position& p, std::ostream* os) {
    *os << p.name;
}

class Positions : public ::testing::TestWithParam<Position> {};

TEST_P(Positions, GiveTheLeftStick) {
    const Position& p = GetParam();
    DrivingState state = {};
    StickSample s = sample_of(p.x, p.y);
    GamepadReport r = translate_compute(&s, &p.modes, &state, fake_clock);
    EXPECT_EQ(r.left_x, p.left_x);
    EXPECT_EQ(r.left_y, p.left_y);
    EXPECT_EQ(r.buttons, 0);
    EXPECT_EQ(r.left_trigger, 0);
    EXPECT_EQ(r.right_trigger, 0);
    EXPECT_EQ(r.right_x, 0);
    EXPECT_EQ(r.right_y, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Positions,
    ::testing::Values(
        Position{"Centre", 0x8000, 0x8000, modes(), 0, 0},
        Position{"FullRight", 0xFFFF, 0x8000, modes(), 32767, 0},
        Position{"FullLeftWrapsJustPastPi", 0x0000, 0x8000, modes(), -32766, 0},
        Position{"FullUp", 0x8000, 0x0000, modes(), 0, 32767},
        Position{"FullDown", 0x8000, 0xFFFF, modes(), 0, -32767},
        Position{"FullDiagonalUpRight", 0xFFFF, 0x0000, modes(), 23169, 23169},
        Position{"RotatedRight", 0xFFFF, 0x8000, modes(rot40), 25100, 21062},
        Position{"RotatedLeft", 0x0000, 0x8000, modes(rot40), -25100, -21062},
        Position{"RotatedUp", 0x8000, 0x0000, modes(rot40), -21062, 25100},
        Position{"BelowThresholdUntouched", x_raw(28571), 0x8000, modes(0, 1, 1), 29999, 0},
        Position{"AboveThresholdLocked", x_raw(28572), 0x8000, modes(0, 0, 1), 31779, 7982},
        Position{"LockRight", 0xFFFF, 0x8000, modes(0, 0, 1), 31779, 7982},
        Position{"LockLeft", 0x0000, 0x8000, modes(0, 0, 1), -31779, 7982},
        Position{"AboveThresholdLockedBack", x_raw(-28572), 0x8000, modes(0, 0, 1), -31779, 7982},
        Position{"LockLeavesDiagonal", 0xFFFF, 0x0000, modes(0, 0, 1), 23169, 23169},
        Position{"LockBelowHorizontal", 0xFFFF, y_raw(-5000), modes(0, 0, 1), 31779, 7982},
        Position{"FastTurnUpRight", 0xFFFF, 0x0000, modes(0, 1), 29696, 13847},
        Position{"FastTurnUpLeft", 0x0000, 0x0000, modes(0, 1), -29696, 13847},
        Position{"FastTurnLeavesLowerHalf", 0xFFFF, 0xFFFF, modes(0, 1), 23169, -23169},
        Position{"FastTurnLeavesStraightUp", 0x8000, 0x0000, modes(0, 1), 0, 32767},
        Position{"FastTurnJustPast102Degrees", x_raw(-7000), 0x0000, modes(0, 1), -17392, 27770},
        Position{"FastTurnNotAt78Point5Degrees", x_raw(6665), 0x0000, modes(0, 1), 6531, 32109},
        Position{"FastTurnFrom20Point5Degrees", x_raw(30000), y_raw(11218), modes(0, 1), 32765,
                 287},
        Position{"FastTurnThenLock", x_raw(28377), y_raw(16384), modes(0, 1, 1), 31779, 7982},
        Position{"ModesOnlyWhenExactlyOne", 0xFFFF, 0x0000, modes(0, 2, 2), 23169, 23169},
        // Every edge of the mode windows, at the bound and 0.01 degrees either side, at full
        // deflection turned there (rows named by their degrees, M for minus, p for the point).
        Position{"FastTurnAtM0p01", 0xFFFF, 0x8000, modes(turned(-0.01), 1), 32766, -5},
        // The window opens above 0, but a turn just inside it is clamped back to 0: 0 and
        // 0.01 give the same, so whether 0 itself is inside cannot show.
        Position{"FastTurnAt0", 0xFFFF, 0x8000, modes(turned(0.0), 1), 32767, 0},
        Position{"FastTurnAt0p01", 0xFFFF, 0x8000, modes(turned(0.01), 1), 32767, 0},
        Position{"FastTurnAt19p99", 0xFFFF, 0x8000, modes(turned(19.99), 1), 32767, 0},
        Position{"FastTurnAt20", 0xFFFF, 0x8000, modes(turned(20.0), 1), 32767, 0}, // lands on 0
        Position{"FastTurnAt20p01", 0xFFFF, 0x8000, modes(turned(20.01), 1), 32766, 5},
        Position{"FastTurnAt77p99", 0xFFFF, 0x8000, modes(turned(77.99), 1), 17368, 27784},
        Position{"FastTurnAt78", 0xFFFF, 0x8000, modes(turned(78.0), 1), 6812, 32050},
        Position{"FastTurnAt78p01", 0xFFFF, 0x8000, modes(turned(78.01), 1), 6807, 32052},
        Position{"FastTurnAt101p99", 0xFFFF, 0x8000, modes(turned(101.99), 1), -6807, 32052},
        Position{"FastTurnAt102", 0xFFFF, 0x8000, modes(turned(102.0), 1), -6812, 32050},
        Position{"FastTurnAt102p01", 0xFFFF, 0x8000, modes(turned(102.01), 1), -17368, 27784},
        Position{"FastTurnAt159p99", 0xFFFF, 0x8000, modes(turned(159.99), 1), -32766, 5},
        // 160 lands on 180 and 160.01 is clamped to it: the same output.
        Position{"FastTurnAt160", 0xFFFF, 0x8000, modes(turned(160.0), 1), -32766, 0},
        Position{"FastTurnAt160p01", 0xFFFF, 0x8000, modes(turned(160.01), 1), -32766, 0},
        Position{"FastTurnAt179p99", 0xFFFF, 0x8000, modes(turned(179.99), 1), -32766, 0},
        Position{"FastTurnBelowThreshold", x_raw(20203), y_raw(20203), modes(0, 1), 21213, 21213},
        Position{"FastTurnAboveThreshold", x_raw(20204), y_raw(20204), modes(0, 1), 27190, 12679},
        Position{"LockAtM10p01", 0xFFFF, 0x8000, modes(turned(-10.01), 0, 1), 32268, -5695},
        Position{"LockAtM10", 0xFFFF, 0x8000, modes(turned(-10.0), 0, 1), 31779, 7982},
        Position{"LockAtM9p99", 0xFFFF, 0x8000, modes(turned(-9.99), 0, 1), 31779, 7982},
        Position{"LockAtM0p01", 0xFFFF, 0x8000, modes(turned(-0.01), 0, 1), 31779, 7982},
        Position{"LockAt0p01", 0xFFFF, 0x8000, modes(turned(0.01), 0, 1), 31779, 7982},
        Position{"LockAt14p99", 0xFFFF, 0x8000, modes(turned(14.99), 0, 1), 31779, 7982},
        Position{"LockAt15", 0xFFFF, 0x8000, modes(turned(15.0), 0, 1), 31779, 7982},
        Position{"LockAt15p01", 0xFFFF, 0x8000, modes(turned(15.01), 0, 1), 31649, 8486},
        Position{"LockAt164p99", 0xFFFF, 0x8000, modes(turned(164.99), 0, 1), -31649, 8486},
        Position{"LockAt165", 0xFFFF, 0x8000, modes(turned(165.0), 0, 1), -31779, 7982},
        Position{"LockAt165p01", 0xFFFF, 0x8000, modes(turned(165.01), 0, 1), -31779, 7982},
        Position{"LockAtM169p99", 0xFFFF, 0x8000, modes(turned(-169.99), 0, 1), -32268, -5695},
        Position{"LockAtM170", 0xFFFF, 0x8000, modes(turned(-170.0), 0, 1), -31779, 7982},
        Position{"LockAtM170p01", 0xFFFF, 0x8000, modes(turned(-170.01), 0, 1), -31779, 7982},
        // Both: fast turns runs first and moves 35 onto the lock's 15, and 145 onto its 165.
        Position{"BothAtM10p01", 0xFFFF, 0x8000, modes(turned(-10.01), 1, 1), 32268, -5695},
        Position{"BothAtM10", 0xFFFF, 0x8000, modes(turned(-10.0), 1, 1), 31779, 7982},
        Position{"BothAt34p99", 0xFFFF, 0x8000, modes(turned(34.99), 1, 1), 31779, 7982},
        Position{"BothAt35", 0xFFFF, 0x8000, modes(turned(35.0), 1, 1), 31779, 7982},
        Position{"BothAt35p01", 0xFFFF, 0x8000, modes(turned(35.01), 1, 1), 31649, 8486},
        Position{"BothAt144p99", 0xFFFF, 0x8000, modes(turned(144.99), 1, 1), -31649, 8486},
        Position{"BothAt145", 0xFFFF, 0x8000, modes(turned(145.0), 1, 1), -31779, 7982},
        Position{"BothAt145p01", 0xFFFF, 0x8000, modes(turned(145.01), 1, 1), -31779, 7982},
        Position{"BothBelowThreshold", x_raw(20203), y_raw(20203), modes(0, 1, 1), 21213, 21213},
        Position{"BothAboveThreshold", x_raw(20204), y_raw(20204), modes(0, 1, 1), 27190, 12679},
        // Rotated by 40 degrees, raw angles past 139.99985 wrap to -180 and below: near that
        // wrap, and where the wrapped angles meet the lock's -170 (raw 150), and its 165 (raw
        // 125) and -165 (raw 155) on either side of the wrap.
        Position{"Rot179p99Fast", x_raw(-24427), y_raw(20504), modes(rot40, 1), -32766, 0},
        Position{"RotM179p99Fast", x_raw(-24144), y_raw(20252), modes(rot40, 1), -32766, -5},
        Position{"RotM170p01Lock", x_raw(-27210), y_raw(15716), modes(rot40, 0, 1), -31779, 7982},
        Position{"RotM169p99Lock", x_raw(-28256), y_raw(16307), modes(rot40, 0, 1), -32268, -5695},
        Position{"Rot164p99Lock", x_raw(-18123), y_raw(25892), modes(rot40, 0, 1), -31649, 8486},
        Position{"Rot165p01Lock", x_raw(-18182), y_raw(25957), modes(rot40, 0, 1), -31779, 7982},
        Position{"RotM165Lock", x_raw(-28878), y_raw(13466), modes(rot40, 0, 1), -31650, -8480}),
    [](const auto& test) { return std::string(test.param.name); });

struct Driving {
    const char* name;
    uint16_t x, y;
    int16_t left_x;
    uint8_t left_trigger, right_trigger;
};

void PrintTo(const Driving& d, std::ostream* os) {
    *os << d.name;
}

class EngagedDriving : public ::testing::TestWithParam<Driving> {};

TEST_P(EngagedDriving, TurnsTravelIntoTriggers) {
    const Driving& d = GetParam();
    DrivingState state = {1, 0, 0};
    TranslateModes m = modes(0, 0, 0, 1);
    StickSample s = sample_of(d.x, d.y);
    GamepadReport r = translate_compute(&s, &m, &state, fake_clock);
    EXPECT_EQ(r.left_x, d.left_x);
    EXPECT_EQ(r.left_y, 0);
    EXPECT_EQ(r.left_trigger, d.left_trigger);
    EXPECT_EQ(r.right_trigger, d.right_trigger);
    EXPECT_EQ(r.buttons, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EngagedDriving,
    ::testing::Values(Driving{"FullUp", 0x8000, 0x0000, 0, 0, 255},
                      Driving{"FullDiagonalUpRight", 0xFFFF, 0x0000, 23169, 0, 255},
                      Driving{"FullDown", 0x8000, 0xFFFF, 0, 255, 0},
                      Driving{"FullDiagonalDownRight", 0xFFFF, 0xFFFF, 23169, 181, 0},
                      Driving{"ForwardAtThreshold", 0x8000, y_raw(4762), 0, 0, 0},
                      Driving{"ForwardPastThreshold", 0x8000, y_raw(4763), 0, 0, 39},
                      // Braking starts just below centre, not below the forward threshold.
                      Driving{"BackwardOutYMinus1", 0x8000, y_raw(-1), 0, 0, 0},
                      Driving{"BackwardOutYMinus128", 0x8000, y_raw(-122), 0, 1, 0},
                      Driving{"BackwardOutYMinus5000", 0x8000, y_raw(-4762), 0, 39, 0},
                      Driving{"Centre", 0x8000, 0x8000, 0, 0, 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(DrivingMode, RightTriggerFollowsTheLockedLength) {
    DrivingState state = {1, 0, 0};
    TranslateModes m = modes(0, 0, 1, 1);
    StickSample s = sample_of(x_raw(28572), 0x8000); // locked to 14.1 degrees, full length
    GamepadReport r = translate_compute(&s, &m, &state, fake_clock);
    EXPECT_EQ(r.left_x, 31779);
    EXPECT_EQ(r.right_trigger, 255);
}

TEST(DrivingMode, ButtonPressesEngageAndReleaseByWholeSeconds) {
    DrivingState state = {};
    TranslateModes m = modes(0, 0, 0, 1);
    StickSample pressed = sample_of(0x8000, 0x0000, 1);
    clock_calls = 0;

    fake_now = 1000;
    GamepadReport r = translate_compute(&pressed, &m, &state, fake_clock);
    EXPECT_EQ(state.engaged, 1) << "the first press after start-up engages";
    EXPECT_EQ(r.buttons, 0) << "the engaging report carries no A button";
    EXPECT_EQ(r.right_trigger, 255);

    fake_now = 1001;
    r = translate_compute(&pressed, &m, &state, fake_clock);
    EXPECT_EQ(state.engaged, 1) << "a press one second later does not toggle";
    EXPECT_EQ(state.previous_button_time, 1000);
    EXPECT_EQ(state.last_button_time, 1001);

    r = translate_compute(&pressed, &m, &state, fake_clock);
    EXPECT_EQ(state.engaged, 1) << "holding the button does not toggle";
    EXPECT_EQ(r.buttons, 0);

    fake_now = 1003;
    r = translate_compute(&pressed, &m, &state, fake_clock);
    EXPECT_EQ(state.engaged, 0);
    EXPECT_EQ(r.buttons, 0x1000) << "the releasing report carries the A button";
    EXPECT_EQ(r.right_trigger, 0);
    EXPECT_EQ(r.left_y, 32767);
    EXPECT_EQ(clock_calls, 4);
}

// A press toggles only more than one whole second after the last report with the button down.
struct PressGap {
    int32_t engaged;
    int64_t last, now;
    int32_t engaged_after;
};

TEST(DrivingMode, PressTogglesOnlyAfterAGapOfTwoSeconds) {
    const PressGap rows[] = {
        {0, 1000, 999, 0},  {0, 1000, 1000, 0}, {0, 1000, 1001, 0}, {0, 1000, 1002, 1},
        {0, 1000, 1003, 1}, {1, 1000, 1001, 1}, {1, 1000, 1002, 0}, {0, 0, 1, 0},
        {0, 0, 2, 1}, // the first press after start-up, its clock still near 0
    };
    TranslateModes m = modes(0, 0, 0, 1);
    StickSample pressed = sample_of(0x8000, 0x8000, 1);
    for (const PressGap& r : rows) {
        DrivingState state = {r.engaged, r.last, 0};
        fake_now = r.now;
        GamepadReport report = translate_compute(&pressed, &m, &state, fake_clock);
        EXPECT_EQ(state.engaged, r.engaged_after) << r.last << " to " << r.now;
        EXPECT_EQ(report.buttons, r.engaged_after ? 0 : 0x1000) << r.last << " to " << r.now;
        EXPECT_EQ(state.previous_button_time, r.last);
        EXPECT_EQ(state.last_button_time, r.now);
    }
}

TEST(DrivingMode, ClockIsReadOnlyWithDrivingOnAndTheButtonDown) {
    DrivingState state = {};
    StickSample pressed = sample_of(0x8000, 0x8000, 1);
    StickSample released = sample_of(0x8000, 0x8000, 0);
    TranslateModes off = modes();
    TranslateModes on = modes(0, 0, 0, 1);
    clock_calls = 0;
    fake_now = 50;
    GamepadReport r = translate_compute(&pressed, &off, &state, fake_clock);
    EXPECT_EQ(r.buttons, 0x1000);
    translate_compute(&released, &on, &state, fake_clock);
    EXPECT_EQ(clock_calls, 0);
    EXPECT_EQ(state.last_button_time, 0) << "button reports with driving off leave the times";
    EXPECT_EQ(state.engaged, 0);
}

TEST(DrivingMode, SwitchingDrivingOffKeepsTheEngagedState) {
    DrivingState state = {};
    StickSample pressed = sample_of(0x8000, 0x0000, 1);
    TranslateModes on = modes(0, 0, 0, 1);
    TranslateModes off = modes();
    fake_now = 10;
    translate_compute(&pressed, &on, &state, fake_clock);
    ASSERT_EQ(state.engaged, 1);
    GamepadReport r = translate_compute(&pressed, &off, &state, fake_clock);
    EXPECT_EQ(r.buttons, 0x1000) << "with driving off the stick is a stick again";
    EXPECT_EQ(r.left_y, 32767);
    StickSample idle = sample_of(0x8000, 0x0000, 0);
    r = translate_compute(&idle, &on, &state, fake_clock);
    EXPECT_EQ(r.right_trigger, 255) << "switched back on, it is still engaged";
}

TEST(DrivingMode, FailedClockDoesNotToggle) {
    DrivingState state = {0, 5, 4};
    StickSample pressed = sample_of(0x8000, 0x8000, 1);
    TranslateModes on = modes(0, 0, 0, 1);
    fake_now = -1;
    translate_compute(&pressed, &on, &state, fake_clock);
    EXPECT_EQ(state.engaged, 0);
    EXPECT_EQ(state.last_button_time, -1);
}

TEST(Buttons, OnlyBitZeroPressesA) {
    DrivingState state = {};
    TranslateModes m = modes();
    StickSample s = sample_of(0x8000, 0x8000, 3);
    EXPECT_EQ(translate_compute(&s, &m, &state, fake_clock).buttons, 0x1000);
    s.button = 2;
    EXPECT_EQ(translate_compute(&s, &m, &state, fake_clock).buttons, 0);
}

// The sample callback through the device table to the simulated bus.
class SampleCallbackTest : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        bus_ = winsim::bus_add();
        bus_client = bus_client_new();
        ASSERT_EQ(bus_connect(bus_client), BUS_OK);
        bus_connected = 1;
        entry_ = {};
        entry_.reader = reader();
        entry_.submit_event = CreateEventW(nullptr, FALSE, FALSE, nullptr); // as attaching makes
        entry_.target = bus_target_new_x360();
        ASSERT_EQ(bus_target_add(bus_client, entry_.target), BUS_OK);
        entry_.report = {};
        insert(&entry_);
        reset_mode_settings();
        driving_state = {};
    }

    void TearDown() override {
        remove_entry();
        bus_target_remove(bus_client, entry_.target);
        bus_target_delete(entry_.target);
        if (entry_.submit_event)
            CloseHandle(entry_.submit_event);
        bus_disconnect(bus_client);
        bus_client_delete(bus_client);
        bus_client = nullptr;
        bus_connected = 0;
        reset_mode_settings();
        WinsimTest::TearDown();
    }

    static StickReader* reader() {
        static StickReader stand_in = {};
        return &stand_in;
    }

    static void insert(DeviceEntry* entry) {
        AcquireSRWLockExclusive(&device_table.lock);
        device_table.entries[device_table.count++] = entry;
        ReleaseSRWLockExclusive(&device_table.lock);
    }

    static void remove_entry() {
        AcquireSRWLockExclusive(&device_table.lock);
        device_table.count = 0;
        device_table.entries[0] = nullptr;
        ReleaseSRWLockExclusive(&device_table.lock);
    }

    size_t reports_seen() { return winsim::bus_pad(bus_, 1)->report_count; }

    int bus_;
    DeviceEntry entry_;
};

TEST_F(SampleCallbackTest, GameSeesTheTranslatedPad) {
    mode_settings.rotation_offset = 0.6981317;
    StickSample s = sample_of(0xFFFF, 0x8000, 1);
    translate_stick_sample(reader(), &s);
    auto pad = winsim::bus_pad(bus_, 1);
    ASSERT_EQ(pad->report_count, 1u);
    // buttons 0x1000, triggers 0, X 25100 (0x620C), Y 21062 (0x5246), right stick 0
    std::vector<uint8_t> expected = {0x00, 0x10, 0, 0, 0x0C, 0x62, 0x46, 0x52, 0, 0, 0, 0};
    EXPECT_EQ(pad->report, expected);
    EXPECT_EQ(entry_.report.left_x, 25100);
}

// A stick's reports wait on the event its entry keeps, not on one made for each of hundreds of
// reports a second; an entry without one (none could be had when the stick was attached) still
// reaches its pad.
TEST_F(SampleCallbackTest, ReportsWaitOnTheEntrysEventElseOnOneOfTheirOwn) {
    StickSample s = sample_of(0xFFFF, 0x8000, 1);
    for (bool kept : {true, false}) {
        SCOPED_TRACE(kept ? "kept" : "none");
        if (!kept) {
            CloseHandle(entry_.submit_event);
            entry_.submit_event = nullptr;
        }
        size_t before = reports_seen(), events = winsim::calls("CreateEventW");
        for (int i = 0; i < 3; i++)
            translate_stick_sample(reader(), &s);
        EXPECT_EQ(reports_seen() - before, 3u);
        EXPECT_EQ(winsim::calls("CreateEventW") - events, kept ? 0u : 3u);
        EXPECT_EQ(winsim::open_handles("event"), kept ? 1u : 0u);
    }
}

TEST_F(SampleCallbackTest, SampleOfAnUnknownReaderIsDropped) {
    entry_.report.left_x = 77;
    StickReader other = {};
    StickSample s = sample_of(0xFFFF, 0x8000);
    translate_stick_sample(&other, &s);
    EXPECT_EQ(reports_seen(), 0u);
    EXPECT_EQ(entry_.report.left_x, 77);

    remove_entry();
    translate_stick_sample(reader(), &s);
    EXPECT_EQ(reports_seen(), 0u) << "a removed entry gets no reports";
}

TEST_F(SampleCallbackTest, NothingIsSubmittedWithoutABus) {
    bus_connected = 0;
    entry_.report.left_x = 77;
    mode_settings.driving_mode = 1;
    StickSample s = sample_of(0xFFFF, 0x8000, 1);
    translate_stick_sample(reader(), &s);
    EXPECT_EQ(reports_seen(), 0u);
    EXPECT_EQ(entry_.report.left_x, 77);
    EXPECT_EQ(driving_state.engaged, 0) << "a dropped sample does not touch driving";
}

// Mode switches on the main thread while a reader thread translates, and table changes
// while it looks its entry up: run under ThreadSanitizer, any unguarded access is reported.
// The reader goes on until reports have gone through, not for a number of samples: this thread
// may be preempted between a removal and the insertion, and the reader's whole time slice then
// finds no entry.
TEST_F(SampleCallbackTest, ModeSwitchesAndTableChangesRaceTheReaderSafely) {
    std::atomic<bool> done{false};
    std::thread reader_thread([&] {
        StickSample s = sample_of(0xFFFF, 0x0000, 0);
        while (reports_seen() < 500)
            translate_stick_sample(reader(), &s);
        done = true;
    });
    for (unsigned i = 0; !done; i++) {
        mode_settings.fast_turns = i & 1;
        mode_settings.movement_lock = (i >> 1) & 1;
        mode_settings.rotation_offset = (i & 4) ? 0.6981317 : 0.0;
        if (i % 50 == 0) {
            remove_entry();
            insert(&entry_);
        }
    }
    reader_thread.join();
    EXPECT_EQ(reports_seen(), 500u);
}

} // namespace
