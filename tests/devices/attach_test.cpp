// Sticks coming and going as a user lives it: present at start, pulled out and plugged in
// again, a second stick, a stick another program holds, opens and readers that fail, a bus
// that does not connect, and device changes that concern other devices.
#include <app_test.h>
#include <refuse_alloc.h>

#include "devices/device_attach.h"
#include "devices/device_state.h"

#include <dbt.h>
#include <shellapi.h>

namespace {

class Attach : public AppTest {
  protected:
    // Plugs a stick in from the user's side of the machine, and lets `arrange` prepare it
    // (another program grabbing it, say) before the main thread hears of the arrival.
    int plug_arranged(int number, const std::function<void(int id)>& arrange) {
        int id = -1;
        std::thread hand([&] {
            id = winsim::hid_add(winsim::hid_stick(number));
            arrange(id);
        });
        hand.join();
        pump();
        return id;
    }
};

// Ways a stick present at start leaves the program and comes back.
struct LeaveCase {
    const char* name;
    void (*leave)(int id);
    bool still_reads; // its reads succeed after it left
};
const LeaveCase leave_cases[] = {
    {"pulled out", winsim::hid_unplug, false},
    // Only the rescan that its notice brings can tell: its reader would read on for ever.
    {"withdrawn from the enumeration", winsim::hid_withdraw, true},
};

TEST_F(Attach, StickPresentAtStartLeavesAndComesBack) {
    for (const LeaveCase& c : leave_cases) {
        SCOPED_TRACE(c.name);
        int id = winsim::hid_add(winsim::hid_stick(1));
        start();
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Detected");
        EXPECT_EQ(winsim::bus_pads(bus_).size(), 1u);
        EXPECT_EQ(winsim::hid_open_files(id), 1u);
        EXPECT_TRUE(deliver_and_see(id, stick_report(0xC000)));

        if (!c.still_reads)
            winsim::fail_calls("DeviceIoControl", 1, ERROR_GEN_FAILURE); // the pad's unplug, once
        c.leave(id);
        EXPECT_EQ(winsim::hid_deliver(id, stick_report(0x9000)), c.still_reads);
        EXPECT_TRUE(pump_until([&] { return winsim::running_threads() == 0; }))
            << "the reader did not end";
        EXPECT_TRUE(winsim::bus_pads(bus_).empty());
        EXPECT_EQ(winsim::hid_open_files(id), 0u);
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");

        replug(id);
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Detected");
        EXPECT_TRUE(deliver_and_see(id, stick_report(0x4000, 0x2000, 1)));
        EXPECT_TRUE(winsim::balloons().empty()) << "attaching and removing show no balloon";
        quit();
        EXPECT_EQ(winsim::hid_open_files(id), 0u);
        next_round();
    }
}

TEST_F(Attach, SecondStickIsRefusedWhileTheFirstKeepsWorking) {
    start();
    int first = plug_new(1);
    int second = plug_new(2);
    auto balloons = winsim::balloons();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].title, BALLOON_TITLE);
    EXPECT_EQ(balloons[0].text, BALLOON_DEVICE_LIMIT);
    EXPECT_EQ(balloons[0].icon, static_cast<DWORD>(NIIF_WARNING));
    EXPECT_EQ(winsim::hid_open_files(second), 0u) << "nothing is opened";
    EXPECT_TRUE(deliver_and_see(first, stick_report(0xD000)));

    // Every rescan tells again, and still leaves the first alone.
    choose({L"Pelkavorn K7 Detected"});
    EXPECT_EQ(balloon_texts().back(), BALLOON_DEVICE_LIMIT);
    EXPECT_EQ(winsim::balloons().size(), 2u);
    EXPECT_EQ(winsim::hid_open_files(first), 1u);
    EXPECT_TRUE(deliver_and_see(first, stick_report(0xD100)));

    // With the first removed, a rescan takes the second: the one its removal led to, if the
    // removal came first, or the next one.
    winsim::hid_unplug(first);
    EXPECT_TRUE(pump_until(
        [&] { return winsim::bus_pads(bus_).empty() || winsim::hid_open_files(second) == 1; }));
    device_rescan(); // as the status line does, whatever it reads
    EXPECT_EQ(winsim::hid_open_files(second), 1u);
    EXPECT_TRUE(deliver_and_see(second, stick_report(0x3000)));
    quit();
}

struct HeldCase {
    const char* name;
    std::function<void(int id)> refuse_restart; // null: the restart is allowed
    bool exclusive;                             // we end up as the only holder
};

void PrintTo(const HeldCase& c, std::ostream* out) {
    *out << c.name;
}

class HeldByAnotherProgram : public Attach, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(HeldByAnotherProgram, StickIsOpenedOnceAndWorksWithoutABalloon) {
    const HeldCase& c = GetParam();
    start();
    size_t restarts_before = winsim::calls("SetupDiCallClassInstaller");
    size_t announced = winsim::interface_changes().size();
    int id = plug_arranged(1, [&](int stick) {
        winsim::hid_hold(stick, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (c.refuse_restart)
            c.refuse_restart(stick);
    });
    pump(); // whatever the restart announced
    EXPECT_TRUE(winsim::balloons().empty());
    EXPECT_EQ(winsim::hid_open_files(id), 1u);
    EXPECT_EQ(status_line(), L"Pelkavorn K7 Detected");
    EXPECT_TRUE(deliver_and_see(id, stick_report(0xE000)));
    if (!c.refuse_restart) {
        // One restart (disable, enable), announced as a removal and an arrival, and no second.
        EXPECT_EQ(winsim::calls("SetupDiCallClassInstaller") - restarts_before, 2u);
        EXPECT_EQ(winsim::interface_changes().size() - announced, 3u);
    }
    std::wstring stick = winsim::hid_stick(1).paths.at(0);
    HidDevice* other = hid_open(stick.c_str(), 1, 1);
    EXPECT_EQ(other != nullptr, !c.exclusive);
    if (other) {
        hid_close(other);
        hid_free(other);
    }
    quit();
}

// Refused, and refused to a 32-bit program on 64-bit Windows.
const HeldCase held_cases[] = {
    {"Allowed", nullptr, true},
    {"Refused", [](int id) { winsim::hid_allow_restart(id, false); }, false},
    {"Wow64", [](int) { winsim::set_wow64(true); }, false},
};
INSTANTIATE_TEST_SUITE_P(Restart, HeldByAnotherProgram, ::testing::ValuesIn(held_cases),
                         [](const auto& row) { return std::string(row.param.name); });

std::atomic<bool> removal_may_go{true};
void gated_reader_stop(StickReader* reader) {
    while (!removal_may_go)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    on_reader_stopped(reader);
}

TEST_F(Attach, SecondStickTakesOverWhenTheFirstGoesWhateverFinishesFirst) {
    start();
    int first = plug_new(1);
    int second = plug_new(2);
    size_t told = winsim::balloons().size();
    // The rescan that the unplug brings runs while the first stick's entry is still in the
    // table: its reader's end is held back until the rescan is over.
    removal_may_go = false;
    reader_stopped_callback = gated_reader_stop;
    winsim::hid_unplug(first);
    pump();
    EXPECT_EQ(winsim::balloons().size(), told) << "no \"Device count limit reached\" now";
    removal_may_go = true;
    EXPECT_TRUE(pump_until([&] { return winsim::hid_open_files(second) == 1; }))
        << "the second stick is attached once the first has gone";
    EXPECT_TRUE(deliver_and_see(second, stick_report(0x7000)));
    quit();
}

// Sticks that stay unopenable whatever the restart does (their preparsed data cannot be read),
// up to the restart memory's size and past it, and one whose path cannot be copied.
struct UnopenableCase {
    const char* name;
    int sticks;
    bool refuse_path_copy; // the first stick's path cannot be copied for the memory
};
const UnopenableCase unopenable_cases[] = {
    {"OneStick", 1, false},
    {"AsManyAsTheMemoryHolds", DEVICE_RESTART_MEMORY, false},
    {"OneMoreThanTheMemoryHolds", DEVICE_RESTART_MEMORY + 1, false},
    {"PathThatCannotBeCopied", 1, true},
};

class Unopenable : public Attach, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(Unopenable, SticksAreNotRestartedAgainAndAgain) {
    const UnopenableCase& c = GetParam();
    start();
    winsim::fail_calls("HidD_GetPreparsedData", -1, ERROR_GEN_FAILURE);
    if (c.refuse_path_copy)
        refuse_malloc((std::wcslen(winsim::hid_stick(1).paths[0].c_str()) + 1) * sizeof(wchar_t));
    // The plug-ins' notices, then what each restart announces, one message at a time and a
    // bounded number of them: restarts that never stop fail the test instead of hanging it.
    auto take_messages = [] {
        for (int i = 0; i < 1000 && winsim::queued_messages() > 0; i++)
            pump_message(0);
    };
    std::vector<int> ids;
    for (int number = 1; number <= c.sticks; number++)
        ids.push_back(winsim::hid_add(winsim::hid_stick(number)));
    take_messages();
    refuse_malloc(0);
    const size_t installer_calls = winsim::calls("SetupDiCallClassInstaller");
    EXPECT_LE(installer_calls, 2u * c.sticks) << "at most one restart a stick: disable, enable";
    EXPECT_EQ(winsim::queued_messages(), 0u) << "the restarts have stopped";
    for (const auto& text : balloon_texts())
        EXPECT_EQ(text, BALLOON_OPEN_FAILED);
    // Pulled out and plugged in again, the first is worth one more restart.
    winsim::hid_unplug(ids[0]);
    take_messages();
    winsim::hid_plug(ids[0]);
    take_messages();
    EXPECT_EQ(winsim::calls("SetupDiCallClassInstaller"), installer_calls + 2);
    EXPECT_EQ(winsim::queued_messages(), 0u);
    winsim::clear_faults();
    quit();
}

INSTANTIATE_TEST_SUITE_P(RestartMemory, Unopenable, ::testing::ValuesIn(unopenable_cases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(Attach, OpenThatFailsEveryWayIsToldAndALaterRescanSucceeds) {
    start();
    int id = plug_arranged(1, [](int stick) {
        winsim::hid_hold(stick, GENERIC_READ | GENERIC_WRITE, 0);
        winsim::hid_allow_restart(stick, false);
    });
    EXPECT_EQ(balloon_texts(), std::vector<std::wstring>{BALLOON_OPEN_FAILED});
    EXPECT_EQ(winsim::hid_open_files(id), 0u);
    EXPECT_TRUE(winsim::bus_pads(bus_).empty());
    EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");

    winsim::hid_release(id);
    choose({L"Pelkavorn K7 Not Detected"});
    EXPECT_EQ(winsim::hid_open_files(id), 1u);
    EXPECT_TRUE(deliver_and_see(id, stick_report(0x9000)));
    EXPECT_EQ(winsim::balloons().size(), 1u);
    quit();
}

TEST_F(Attach, ReaderThatCannotStartIsToldAndNothingIsRebuilt) {
    start();
    reader_stops = 0;
    reader_stopped_callback = count_reader_stop;
    size_t menus = winsim::calls("CreatePopupMenu");
    winsim::fail_calls("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
    int id = plug_new(1);
    EXPECT_EQ(balloon_texts(), std::vector<std::wstring>{BALLOON_INIT_FAILED});
    EXPECT_EQ(reader_stops, 1);
    EXPECT_EQ(winsim::calls("CreatePopupMenu"), menus) << "no rebuild, no refresh";
    EXPECT_EQ(winsim::hid_open_files(id), 0u);
    EXPECT_TRUE(winsim::bus_pads(bus_).empty());
    EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");

    choose({L"Pelkavorn K7 Not Detected"});
    EXPECT_TRUE(deliver_and_see(id, stick_report(0x8800)));
    quit();
}

TEST_F(Attach, WithoutTheBusTheStickIsReadButNoPadAppearsAndNoBusCallIsMade) {
    start(Bus::Refusing);
    winsim::bus_clear_log(bus_);
    int id = plug_new(1);
    EXPECT_EQ(status_line(), L"Pelkavorn K7 Detected");
    auto balloons = winsim::balloons();
    ASSERT_EQ(balloons.size(), 2u);
    EXPECT_EQ(balloons[0].text, BALLOON_BUS_VERSION);
    EXPECT_EQ(balloons[1].text, BALLOON_NO_EMULATION);
    EXPECT_EQ(balloons[1].icon, static_cast<DWORD>(NIIF_WARNING));
    EXPECT_EQ(winsim::hid_open_files(id), 1u);
    EXPECT_TRUE(winsim::hid_deliver(id, stick_report(0xA000)));
    EXPECT_TRUE(pump_until([&] { return winsim::hid_pending_reads(id) == 1; }));

    unplug(id);
    EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");
    EXPECT_TRUE(winsim::bus_log(bus_).empty()) << "no bus call for the stick, attached or gone";
    EXPECT_TRUE(winsim::bus_pads(bus_).empty());
    quit();
}

TEST_F(Attach, ChangeOfAnUnrelatedDeviceLeavesTheStickAlone) {
    start();
    int id = plug_new(1);
    size_t opens = winsim::calls("CreateFileW");
    size_t menus = winsim::calls("CreatePopupMenu");
    winsim::hid_add(winsim::hid_mouse(1));
    pump();
    winsim::broadcast_device_change(DBT_DEVNODES_CHANGED, {});
    pump();
    EXPECT_EQ(winsim::calls("CreateFileW"), opens) << "no reopen";
    EXPECT_EQ(winsim::calls("CreatePopupMenu"), menus) << "no rebuild";
    EXPECT_TRUE(winsim::balloons().empty());
    EXPECT_EQ(winsim::hid_open_files(id), 1u);
    EXPECT_TRUE(deliver_and_see(id, stick_report(0x7000)));
    quit();
}

// The pad's record cannot be allocated: the stick is attached and read without a pad, and
// neither its removal nor the shutdown's emptying hands the missing pad to the bus.
TEST_F(Attach, StickWithoutAPadForWantOfMemoryIsReleasedWithoutBusCalls) {
    for (bool pulled : {true, false}) {
        SCOPED_TRACE(pulled ? "pulled out" : "still in at quit");
        start();
        winsim::bus_clear_log(bus_);
        refuse_calloc(1, sizeof(_VIGEM_TARGET_T));
        int id = plug_new(1);
        EXPECT_EQ(refused_calloc_count, 0u) << "the attach asked for a pad";
        refuse_calloc(0, 0);
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Detected");
        EXPECT_TRUE(winsim::hid_deliver(id, stick_report(0xA000)));
        EXPECT_TRUE(pump_until([&] { return winsim::hid_pending_reads(id) == 1; }));
        if (pulled) {
            unplug(id);
            EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");
        }
        quit();
        EXPECT_TRUE(winsim::bus_log(bus_).empty());
        EXPECT_EQ(winsim::hid_open_files(id), 0u);
        next_round();
    }
}

// The table's record for the stick cannot be allocated: a warning, and the opened stick is let
// go again instead of being read by nobody.
TEST_F(Attach, StickWithoutAnEntryForWantOfMemoryIsClosedWithAWarning) {
    start();
    refuse_calloc(1, sizeof(DeviceEntry));
    int id = plug_new(1);
    EXPECT_EQ(refused_calloc_count, 0u) << "the attach asked for the entry";
    refuse_calloc(0, 0);
    EXPECT_EQ(balloon_texts(), std::vector<std::wstring>{BALLOON_INIT_FAILED});
    EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");
    EXPECT_EQ(winsim::hid_open_files(id), 0u);
    quit();
}

} // namespace
