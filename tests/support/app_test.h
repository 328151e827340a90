// The program as a user lives it, on the simulated machine: the program's own start-up, the
// main thread's loop driven by the test, sticks plugged and pulled, the menu clicked, and the
// shutdown that "Quit" leads to. After every test: no pad left on the bus, the table empty, no
// handle open.
#pragma once

#include "program_test.h"

#include "app/startup.h"
#include "bus/bus.h"
#include "hid/hid_device.h"
#include "devices/sample_to_pad.h"
#include "app/app_menu.h"
#include "tray/tray.h"

#include <cstring>

// Readers that ended, for a test that puts count_reader_stop in the reader-stopped slot.
inline std::atomic<int> reader_stops{0};
inline void count_reader_stop(StickReader* reader) {
    reader_stops++;
    on_reader_stopped(reader);
}

class AppTest : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        reset_program_globals();
    }

    void TearDown() override {
        if (running_) {
            if (running_loop_) {
                tray_destroy();
                while (pump_message(0) != -1 && winsim::queued_messages() > 0) {
                }
            }
            shut_down();
        }
        if (bus_ >= 0) {
            EXPECT_TRUE(winsim::bus_pads(bus_).empty()) << "a pad was left on the bus";
        }
        EXPECT_EQ(table_count(), 0);
        reset_program_globals();
        WinsimTest::TearDown();
    }

    enum class Bus {
        None,     // no bus driver installed
        Working,  // installed, connects
        Refusing, // installed, refuses the protocol version: the program runs without pads
    };

    // The program's start-up. `notifications`: the window's registration for HID interface
    // changes succeeds. `options`: how the installed bus driver behaves.
    void start(Bus bus = Bus::Working, bool notifications = true, winsim::BusOptions options = {}) {
        if (bus == Bus::Refusing)
            options.protocol_version = BUS_PROTOCOL_VERSION + 1;
        if (bus != Bus::None)
            bus_ = winsim::bus_add(options);
        if (!notifications)
            winsim::fail_calls("RegisterDeviceNotificationW", 1, ERROR_NOT_ENOUGH_MEMORY);
        ASSERT_EQ(app_start(), 0);
        running_ = true;
        ASSERT_EQ(bus_connected, bus == Bus::Working ? 1 : 0);
    }

    // What follows the loop's end in the program.
    void shut_down() {
        running_ = false;
        app_shutdown();
        bus_client = nullptr;
    }

    // The user chooses "Quit"; the loop ends and the program shuts down.
    void quit() {
        choose({L"Quit"});
        EXPECT_FALSE(running_loop_) << "the loop did not end";
        shut_down();
    }

    // Handles everything waiting in the main thread's queue. False once WM_QUIT came.
    bool pump() {
        while (running_loop_ && winsim::queued_messages() > 0)
            running_loop_ = pump_message(0) != -1;
        if (running_loop_)
            running_loop_ = pump_message(0) != -1;
        return running_loop_;
    }

    // Runs the main thread's loop until `condition` holds, looking every `poll`; false when it
    // never did.
    bool pump_until(const std::function<bool()>& condition,
                    std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
        return wait_for(
            [&] {
                pump();
                return condition();
            },
            std::chrono::seconds(5), poll);
    }

    // The user opens the menu and chooses the item at `path` ({} dismisses it). Returns the
    // menu as it was shown.
    winsim::ShownMenu choose(const std::vector<std::wstring>& path) {
        if (path.empty())
            winsim::dismiss_menu();
        else
            winsim::choose_menu_item(path);
        size_t before = winsim::shown_menus().size();
        EXPECT_TRUE(winsim::click_tray_icon(WM_RBUTTONUP));
        pump();
        auto shown = winsim::shown_menus();
        EXPECT_EQ(shown.size(), before + 1) << "no menu popped up";
        return shown.size() > before ? shown.back() : winsim::ShownMenu{};
    }

    // The menu as the user sees it now, looked at and dismissed.
    std::vector<winsim::MenuEntry> menu() { return choose({}).items; }
    std::wstring status_line() {
        auto items = menu();
        return items.empty() ? L"" : items[0].text;
    }

    // Sticks: plugged in (returns its id), pulled out, plugged in again. The system announces
    // each; the main thread sees it when it next takes its messages.
    int plug_new(int number = 1) {
        int id = winsim::hid_add(winsim::hid_stick(number));
        pump();
        return id;
    }
    // Waits until the stick's reader has gone and its entry with it.
    void unplug(int id) {
        winsim::hid_unplug(id);
        EXPECT_TRUE(pump_until([&] { return winsim::running_threads() == 0; }));
    }
    void replug(int id) {
        winsim::hid_plug(id);
        pump();
    }

  public:
    static std::vector<uint8_t> pad_bytes(const GamepadReport& report) {
        auto* bytes = reinterpret_cast<const uint8_t*>(&report);
        return std::vector<uint8_t>(bytes, bytes + sizeof(report));
    }

  protected:
    // The stick sends a report and the main thread waits until its pad shows it.
    bool deliver_and_see(int id, const std::vector<uint8_t>& input) {
        if (!winsim::hid_deliver(id, input))
            return false;
        return pump_until([&] {
            auto pads = winsim::bus_pads(bus_);
            return pads.size() == 1 && pads[0].report == pad_bytes(pad_report(input));
        });
    }

    // Reports the bus took for its pads since the log was cleared, in order.
    std::vector<GamepadReport> submitted() const {
        std::vector<GamepadReport> reports;
        for (const auto& request : winsim::bus_log(bus_)) {
            if (request.code != BUS_CTL_X360_REPORT || request.input.size() < 20)
                continue;
            GamepadReport report;
            std::memcpy(&report, request.input.data() + 8, sizeof(report));
            reports.push_back(report);
        }
        return reports;
    }

    std::vector<std::wstring> balloon_texts() const {
        std::vector<std::wstring> texts;
        for (const auto& balloon : winsim::balloons())
            texts.push_back(balloon.text);
        return texts;
    }

    static void put_settings(const std::string& bytes) { put_file(SETTINGS_FILE_NAME, bytes); }
    static std::string settings_bytes() { return file_bytes(SETTINGS_FILE_NAME); }

    int bus_ = -1; // the simulated bus, or -1 when none is installed

    // Between rounds of a test that starts the program more than once: the previous round has
    // shut down and left nothing behind; the machine starts afresh.
    void next_round() {
        ASSERT_FALSE(running_);
        EXPECT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
        EXPECT_EQ(winsim::open_handles(), 0u);
        EXPECT_EQ(winsim::invalid_handle_uses(), 0u);
        winsim::reset();
        reset_program_globals();
        running_loop_ = true;
        bus_ = -1;
    }

  private:
    TempFolder folder_;
    bool running_ = false;     // started and not yet shut down
    bool running_loop_ = true; // no WM_QUIT yet
};
