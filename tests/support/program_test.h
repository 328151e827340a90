// The program through its real entry point on the simulated machine: a fresh current directory,
// the process-wide values a new process starts with, `wmain` on a thread of its own playing
// the main thread, and ways to wait until the program has settled and to end it as a user does.
#pragma once

#include "settings_reset.h"
#include "winsim_test.h"

#include "app/app_state.h"
#include "app/entry.h"
#include "app/settings.h"
#include "hid/device_table.h"
#include "hid/stick_reader.h"
#include "translate/translate.h"

#include <winsim/desktop.h>
#include <winsim/hid.h>
#include <winsim/machine.h>

#include <atomic>
#include <filesystem>
#include <system_error>
#include <thread>

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

// The thread that owns the program's hidden window (its main thread), or 0 before it exists.
inline DWORD program_main_thread() {
    for (auto& window : winsim::windows())
        if (window.class_name == L"PelkavornViGEmClass")
            return window.thread;
    return 0;
}

// The program's hidden window while it lives, or null.
inline HWND program_window() {
    for (auto& window : winsim::windows())
        if (window.class_name == L"PelkavornViGEmClass" && window.alive)
            return window.window;
    return nullptr;
}

class ProgramTest : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        previous_ = std::filesystem::current_path();
        char pattern[] = "/tmp/program-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        std::filesystem::current_path(directory_);
        reset_program_globals();
    }
    void TearDown() override {
        if (program_.joinable()) {
            winsim::choose_menu_item({L"Quit"});
            winsim::click_tray_icon(WM_RBUTTONUP);
            program_.join();
        }
        WinsimTest::TearDown();
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    // Runs the entry point on a thread of its own and waits until it has settled (or ended).
    void start() {
        ended_ = false;
        exit_code_ = -1;
        program_ = std::thread([this] {
            wchar_t* none[] = {nullptr};
            exit_code_ = wmain(0, none, none);
            ended_ = true;
        });
        settle();
    }
    // Until the main thread waits for messages with none queued and the stick in `stick_` (if
    // any) has its read outstanding, or the program has ended.
    void settle() {
        ASSERT_TRUE(wait_for([this] {
            if (ended_)
                return true;
            DWORD thread = program_main_thread();
            if (!thread || !winsim::thread_waiting_for_messages(thread))
                return false;
            return stick_ < 0 || winsim::running_threads() == 0 ||
                   winsim::hid_pending_reads(stick_) > 0;
        }));
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

    std::thread program_;
    std::atomic<bool> ended_{false};
    int exit_code_ = -1;
    int stick_ = -1; // a stick whose outstanding read settle() waits for; -1 for none
    std::filesystem::path previous_, directory_;
};
