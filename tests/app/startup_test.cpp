// The whole program through its entry point on the simulated machine: start-up in its order, the
// loop, and the shutdown that "Quit" or a close request leads to.
#include "program_test.h"

#include "app/app_menu.h"
#include "tray/tray.h"

#include <shellapi.h>

#include <algorithm>

namespace {

using Program = ProgramTest;

// Where `call` was first made in the call log from `from` on; the log's size when never.
size_t first(const std::vector<std::string>& log, const char* call, size_t from = 0) {
    return std::find(log.begin() + (std::ptrdiff_t)from, log.end(), call) - log.begin();
}

TEST_F(Program, StartsInOrderAndQuitsWithEverythingReleased) {
    // A copy of the program that runs already holds the tray's named mutex: this one starts
    // all the same, with its own icon.
    for (bool another_copy : {false, true}) {
        SCOPED_TRACE(another_copy ? "another copy runs" : "alone");
        winsim::reset();
        reset_program_globals();
        std::filesystem::remove("pelkavorn.config"); // made afresh in each pass
        int bus = winsim::bus_add();
        int stick = winsim::hid_add(winsim::hid_stick(1));
        if (another_copy)
            winsim::hold_named_mutex(TRAY_MUTEX_NAME);
        winsim::record_calls(true);
        start();
        auto log = winsim::call_log();
        // The settings file (made and moved into place), the tray (mutex, window, icon), then
        // the bus connection, then the first scan attaching the stick present at start, then the
        // device notifications, then the loop; each looked for after the one before it, since
        // the settings file is opened with the same call as the bus.
        const char* const order[] = {"MoveFileExW", "CreateMutexW", "Shell_NotifyIconW",
                                     "CreateFileW", "CreateThread", "RegisterDeviceNotificationW",
                                     "GetMessageW"};
        size_t at = 0;
        for (const char* call : order) {
            const size_t found = first(log, call, at);
            EXPECT_LT(found, log.size())
                << call << " missing, or before the call listed ahead of it";
            at = std::min(found, log.size());
        }
        EXPECT_GT(first(log, "CreateThread"), first(log, "Shell_NotifyIconW"))
            << "no reader before the tray";
        EXPECT_TRUE(std::filesystem::exists("pelkavorn.config")) << "the settings came first";
        ASSERT_EQ(winsim::bus_pads(bus).size(), 1u);
        ASSERT_EQ(winsim::tray_icons().size(), 1u);
        EXPECT_EQ(menu().at(0).text, L"Pelkavorn K7 Detected")
            << "the stick present at start is attached before the menu is first opened";
        EXPECT_TRUE(winsim::balloons().empty());

        quit();
        EXPECT_TRUE(winsim::bus_pads(bus).empty()) << "the pad leaves the bus with the program";
        EXPECT_EQ(winsim::hid_open_files(stick), 0u);
        EXPECT_TRUE(winsim::tray_icons().empty());
        EXPECT_EQ(device_table.count, 0);
    }
}

// The stick present at start fails its first read, so its reader ends inside the first scan:
// the bus holds the pad's plug-in, and with it the scan, until the reader has gone. Its end
// must find the reader-stopped callback in place, and the scan must then let the stick go.
TEST_F(Program, StickWhoseReaderEndsDuringTheFirstScanIsLetGo) {
    winsim::BusOptions holding;
    holding.hold_plug_in = true;
    int bus = winsim::bus_add(holding);
    int stick = winsim::hid_add(winsim::hid_stick(1));
    winsim::fail_calls("ReadFile", 1, ERROR_DEVICE_NOT_CONNECTED);
    launch();
    ASSERT_TRUE(wait_for([&] {
        return winsim::bus_held_plug_ins(bus) == 1 && winsim::calls("ReadFile") == 1 &&
               winsim::running_threads() == 0;
    })) << "the scan did not reach the pad's plug-in with the reader gone";
    winsim::bus_set_options(bus, {});
    EXPECT_EQ(winsim::bus_release_plug_ins(bus), 1u);
    ASSERT_TRUE(settle());

    EXPECT_TRUE(winsim::bus_pads(bus).empty());
    EXPECT_EQ(winsim::hid_open_files(stick), 0u);
    EXPECT_EQ(menu().at(0).text, L"Pelkavorn K7 Not Detected");
    quit();
    EXPECT_EQ(device_table.count, 0);
}

TEST_F(Program, ConnectionFailuresAreToldOnceAndTheProgramRunsOn) {
    struct Case {
        const char* name;
        bool installed;
        uint32_t protocol_version; // 0: the one the program speaks
        DWORD open_error;
        const wchar_t* balloon;
    };
    const Case cases[] = {
        {"no bus", false, 0, 0, BALLOON_BUS_NOT_INSTALLED},
        {"another protocol version", true, 2, 0, BALLOON_BUS_VERSION},
        {"bus refuses the open", true, 0, ERROR_ACCESS_DENIED, BALLOON_BUS_CONNECT},
    };
    for (const Case& c : cases) {
        winsim::reset();
        winsim::BusOptions options;
        if (c.protocol_version)
            options.protocol_version = c.protocol_version;
        options.open_error = c.open_error;
        if (c.installed)
            winsim::bus_add(options);
        start();
        auto balloons = winsim::balloons();
        ASSERT_EQ(balloons.size(), 1u) << c.name;
        EXPECT_EQ(balloons[0].text, c.balloon) << c.name;
        EXPECT_EQ(balloons[0].title, BALLOON_TITLE) << c.name;
        EXPECT_EQ(balloons[0].icon, (DWORD)NIIF_ERROR) << c.name;
        EXPECT_EQ(bus_connected, 0) << c.name;
        EXPECT_FALSE(winsim::tray_icons().empty()) << c.name << ": runs on";
        quit();
    }
}

TEST_F(Program, FailedTraySaysSoOnStandardOutputAndEndsWithOne) {
    for (const char* call : {"CreateMutexW", "RegisterClassExW", "CreateWindowExW"}) {
        winsim::reset();
        int bus = winsim::bus_add();
        winsim::fail_calls(call, 1, ERROR_NOT_ENOUGH_MEMORY);
        testing::internal::CaptureStdout();
        start();
        EXPECT_EQ(finish(), 1) << call;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to create tray\n") << call;
        EXPECT_TRUE(winsim::balloons().empty()) << call;
        EXPECT_TRUE(winsim::bus_log(bus).empty()) << call << ": no connection attempted";
        EXPECT_TRUE(std::filesystem::exists("pelkavorn.config")) << call;
    }
    // What the failed start made stays made, as the process ends at once.
    allow_open_handles();
}

TEST_F(Program, CloseRequestEndsTheLoopAndRunsTheSameShutdown) {
    int bus = winsim::bus_add();
    int stick = winsim::hid_add(winsim::hid_stick(1));
    start();
    ASSERT_EQ(winsim::bus_pads(bus).size(), 1u);
    PostMessageW(program_window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(winsim::bus_pads(bus).empty());
    EXPECT_EQ(winsim::hid_open_files(stick), 0u);
    EXPECT_FALSE(winsim::tray_icons().empty()) << "on this path the icon is not deleted";
    // Left to the process's end on this path: the mutex and the popup menu with its submenu.
    EXPECT_EQ(winsim::open_handles("mutex"), 1u);
    EXPECT_EQ(winsim::open_handles("menu"), 2u);
    EXPECT_EQ(winsim::open_handles(), 3u);
    allow_open_handles();
}

} // namespace
