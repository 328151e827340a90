// A tray built from the application's own menu, its callbacks recording the choices, driven as
// a user would.
#pragma once

#include "tray/tray.h"

#include <menu_check.h>

#include <winsim/desktop.h>
#include <winsim_test.h>

#include <memory>
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
        // The application's own menu, with "Rotate 40-Deg" and "Fast Turns" checked.
        mode_settings.rotate = 1;
        mode_settings.fast_turns = 1;
        menu_copy_ = std::make_unique<AppMenuCopy>(record_choice);
        menu_ = menu_copy_->items;
        fn_modes_ = menu_copy_->fn_modes;
        reset_mode_settings();
        descriptor_ = {app_tray.icon_name, app_tray.tooltip, menu_};
        main_thread_ = GetCurrentThreadId();
    }

    // A tray still up when the test ends is torn down as "Quit" would, and its loop must end.
    void TearDown() override {
        if (up_)
            destroy();
        WinsimTest::TearDown();
    }

    void create() {
        ASSERT_EQ(tray_create(&descriptor_), 0);
        up_ = true;
    }

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
        up_ = false;
        tray_destroy();
        EXPECT_EQ(pump_idle(), -1);
    }

  public:
    // Open to work that runs on the main thread on a test's behalf.
    std::unique_ptr<AppMenuCopy> menu_copy_;
    TrayMenuItem* fn_modes_ = nullptr;
    TrayMenuItem* menu_ = nullptr;
    TrayDescriptor descriptor_;
    DWORD main_thread_ = 0;
    bool up_ = false; // created and not yet destroyed
};
