// A tray built from a copy of the application menu's shape, driven as a user would.
#pragma once

#include "tray/tray.h"

#include <winsim/desktop.h>
#include <winsim_test.h>

#include <string>
#include <vector>

// Every menu callback that ran: which record, on which thread.
struct Choice {
    TrayMenuItem* item;
    DWORD thread;
};
extern std::vector<Choice> choices;
void record_choice(TrayMenuItem* item);

class TrayTest : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        choices.clear();
        fn_modes_[0] = {L"76-Deg Movement Lock", 0, 0, record_choice, 0, nullptr};
        fn_modes_[1] = {L"Fast Turns", 0, 1, record_choice, 0, nullptr};
        fn_modes_[2] = {nullptr, 0, 0, nullptr, 0, nullptr};
        menu_[0] = {L"Pelkavorn K7 Not Detected", 0, 0, record_choice, 0, nullptr};
        menu_[1] = {L"-", 0, 0, nullptr, 0, nullptr};
        menu_[2] = {L"Rotate 40-Deg", 0, 1, record_choice, 0, nullptr};
        menu_[3] = {L"Driving Mode", 0, 0, record_choice, 0, nullptr};
        menu_[4] = {L"FN Modes", 0, 0, nullptr, 0, fn_modes_};
        menu_[5] = {L"Quit", 0, 0, record_choice, 0, nullptr};
        menu_[6] = {nullptr, 0, 0, nullptr, 0, nullptr};
        descriptor_ = {L"APP_ICON", L"Pelkavorn K7 v1.2.5.0", menu_};
        main_thread_ = GetCurrentThreadId();
    }

    void create() { ASSERT_EQ(tray_create(&descriptor_), 0); }

    HWND window() const {
        auto all = winsim::windows();
        return all.empty() ? nullptr : all.back().window;
    }

    // Handles what is waiting in this thread's queue; -1 when WM_QUIT came.
    static int pump_idle() {
        while (winsim::queued_messages() > 0)
            if (pump_message(0) == -1)
                return -1;
        return pump_message(0);
    }

    // The user clicks the icon and does `act` in the menu; returns the menu as it was shown.
    winsim::ShownMenu click(UINT button = WM_RBUTTONUP) {
        size_t before = winsim::shown_menus().size();
        EXPECT_TRUE(winsim::click_tray_icon(button));
        pump_idle();
        auto shown = winsim::shown_menus();
        EXPECT_EQ(shown.size(), before + 1) << "no menu popped up";
        return shown.empty() ? winsim::ShownMenu{} : shown.back();
    }

    // Tears down as "Quit" would and lets the loop end.
    void destroy() {
        tray_destroy();
        EXPECT_EQ(pump_idle(), -1);
    }

  public:
    // Open to work that runs on the main thread on a test's behalf.
    TrayMenuItem fn_modes_[3];
    TrayMenuItem menu_[7];
    TrayDescriptor descriptor_;
    DWORD main_thread_ = 0;
};
