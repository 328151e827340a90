// The program through its real entry point on the simulated machine: a fresh current directory,
// the process-wide values a new process starts with, `wmain` on a thread of its own playing
// the main thread, and ways to wait until the program has settled and to end it as a user does.
#pragma once

#include "settings_reset.h"
#include "settle.h"
#include "stick_report.h"
#include "temp_folder.h"
#include "winsim_test.h"

#include "bus/bus_connection.h"
#include "app/app_menu.h"
#include "app/entry.h"
#include "settings/settings.h"
#include "devices/device_rescan.h"
#include "devices/device_table.h"
#include "hid/stick_reader.h"
#include "translate/translate.h"

#include <winsim/desktop.h>
#include <winsim/hid.h>

#include <atomic>
#include <map>
#include <vector>

// The values the program's process-wide records have when a process starts.
inline void reset_program_globals() {
    reset_mode_settings();
    driving_state = DrivingState{};
    bus_client = nullptr;
    bus_connected = 0;
    sample_callback = nullptr;
    reader_stopped_callback = nullptr;
    device_table_reset();
}

// Sticks in the device table, read as the program's lookups read it.
inline int32_t table_count() {
    AcquireSRWLockShared(&device_table.lock);
    int32_t count = device_table.count;
    ReleaseSRWLockShared(&device_table.lock);
    return count;
}

// The pad report a game sees for this input with every mode off.
inline GamepadReport pad_report(const std::vector<uint8_t>& input) {
    StickSample sample{};
    stick_report_decode(input.data(), input.size(), &sample);
    TranslateModes off{0.0, 0, 0, 0};
    DrivingState state{};
    return translate_compute(&sample, &off, &state, translate_system_seconds);
}

// Report k of a stick that counts its reports: k travels in X, away from the centre and the
// clamp, so that with every mode off (driving mode without a press changes nothing) each k
// below COUNTED_SPAN gives its own pad X, and counter_of_pad_x finds k again.
constexpr uint32_t COUNTED_SPAN = 30000;
inline std::vector<uint8_t> counted_report(uint32_t k) {
    return stick_report(static_cast<uint16_t>(0x8001 + k % COUNTED_SPAN));
}
inline std::map<int16_t, uint32_t> counter_of_pad_x() {
    std::map<int16_t, uint32_t> counters;
    for (uint32_t k = 0; k < COUNTED_SPAN; k++)
        counters[pad_report(counted_report(k)).left_x] = k;
    return counters;
}

class ProgramTest : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        reset_program_globals();
    }
    void TearDown() override {
        if (program_.joinable()) {
            winsim::choose_menu_item({L"Quit"});
            winsim::click_tray_icon(WM_RBUTTONUP);
            program_.join();
        }
        WinsimTest::TearDown();
    }

    // Runs the entry point on a thread of its own.
    void launch() {
        ended_ = false;
        exit_code_ = -1;
        program_ = std::thread([this] {
            wchar_t* none[] = {nullptr};
            exit_code_ = wmain(0, none, none);
            ended_ = true;
        });
    }
    // Runs the entry point and waits until it has settled (or ended).
    void start() {
        launch();
        ASSERT_TRUE(settle());
    }
    // Until the program has done all it will do until the next outside event; false when it
    // hangs.
    bool settle() const {
        return settle_program([this] { return !ended_; });
    }
    // Waits for the entry point to return; its exit code.
    int finish() {
        program_.join();
        return exit_code_;
    }
    // "Quit" from the tray menu, which must end the program with exit code 0.
    void quit() {
        winsim::choose_menu_item({L"Quit"});
        EXPECT_TRUE(winsim::click_tray_icon(WM_RBUTTONUP)) << "the icon is gone";
        EXPECT_EQ(finish(), 0);
    }

    // The menu as the user sees it, opened from the icon and dismissed; empty when none opened.
    std::vector<winsim::MenuEntry> menu() {
        winsim::dismiss_menu();
        size_t before = winsim::shown_menus().size();
        EXPECT_TRUE(winsim::click_tray_icon(WM_RBUTTONUP));
        EXPECT_TRUE(settle());
        auto shown = winsim::shown_menus();
        return shown.size() > before ? shown.back().items : std::vector<winsim::MenuEntry>{};
    }
    // The check marks of "Rotate 40-Deg", "Driving Mode", "76-Deg Movement Lock", "Fast Turns".
    std::vector<bool> check_marks() {
        auto items = menu();
        if (items.size() <= APP_MENU_FN_MODES ||
            items[APP_MENU_FN_MODES].submenu.size() <= FN_MODES_FAST_TURNS)
            return {};
        return {items[APP_MENU_ROTATE].checked, items[APP_MENU_DRIVING].checked,
                items[APP_MENU_FN_MODES].submenu[FN_MODES_MOVEMENT_LOCK].checked,
                items[APP_MENU_FN_MODES].submenu[FN_MODES_FAST_TURNS].checked};
    }
    // The user opens the menu and chooses the item at `path`.
    void click(const std::vector<std::wstring>& path) {
        winsim::choose_menu_item(path);
        EXPECT_TRUE(winsim::click_tray_icon(WM_RBUTTONUP));
        EXPECT_TRUE(settle());
    }

    TempFolder folder_;
    std::thread program_;
    std::atomic<bool> ended_{false};
    int exit_code_ = -1;
};
