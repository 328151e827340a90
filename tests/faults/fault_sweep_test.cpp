// Every Win32 call the program makes while it starts, attaches a stick, streams its reports,
// loses it, switches each mode and quits, failed one at a time at each place it is made, with
// the error it fails with in the field. After each run: no crash and no hang, only the balloons
// that failure calls for, no pad without its stick, no handle beyond what the program holds,
// the settings file whole (old or new), and the program still reachable through its tray icon
// ("Quit" ends it with 0), or ended with its exit code.
//
// The positions come from a clean run of each phase, recorded call by call.
#include "program_test.h"

#include "app/app_menu.h"

#include <shellapi.h>

#include <array>
#include <optional>
#include <set>

namespace {

// Errors the headers of the stand-in do not name.
constexpr DWORD error_proc_not_found = 127;
constexpr DWORD error_not_owner = 288;
constexpr DWORD error_timeout = 1460;
constexpr DWORD error_no_such_devinst = 0xE000020B;

// How each call fails in the field. Calls not listed cannot fail when given what the program
// gives them (its own valid handles, its own module, a send to its own thread's window, a
// thread it just created suspended), or have no failure result; they are not swept. Nor is
// GetOverlappedResult: it reports the request's own result, and a request that fails is swept
// through the call that issued it (failing it afterwards would report a pad the driver did
// plug in as refused, which no driver does).
const std::map<std::string, DWORD> plausible_error = {
    {"CreateFileW", ERROR_SHARING_VIOLATION}, // another program holds the device
    {"ReadFile", ERROR_DEVICE_NOT_CONNECTED},
    {"WriteFile", ERROR_DEVICE_NOT_CONNECTED},
    {"DeviceIoControl", ERROR_GEN_FAILURE},
    {"CancelIo", ERROR_NOT_FOUND}, // it completed just before
    {"CancelIoEx", ERROR_NOT_FOUND},
    {"CreateEventW", ERROR_NOT_ENOUGH_MEMORY},
    {"CreateMutexW", ERROR_ACCESS_DENIED}, // another user's object of that name
    {"ReleaseMutex", error_not_owner},
    {"CreateThread", ERROR_NOT_ENOUGH_MEMORY},
    {"HidD_GetPreparsedData", ERROR_DEVICE_NOT_CONNECTED},
    {"HidP_GetCaps", ERROR_INVALID_DATA},
    {"HidD_GetAttributes", ERROR_DEVICE_NOT_CONNECTED},
    {"HidD_SetFeature", ERROR_DEVICE_NOT_CONNECTED},
    {"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiEnumDeviceInfo", ERROR_NO_MORE_ITEMS}, // the device left meanwhile
    {"SetupDiEnumDeviceInterfaces", ERROR_NO_MORE_ITEMS},
    {"SetupDiGetDeviceInterfaceDetailW", error_no_such_devinst},
    {"SetupDiGetDevicePropertyW", ERROR_NOT_FOUND},
    {"SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA},
    {"SetupDiSetClassInstallParamsW", ERROR_ACCESS_DENIED},
    {"SetupDiCallClassInstaller", ERROR_ACCESS_DENIED},
    {"CM_Get_Device_Interface_PropertyW", ERROR_NOT_FOUND},
    {"LoadLibraryExW", ERROR_MOD_NOT_FOUND},
    {"LoadLibraryW", ERROR_MOD_NOT_FOUND},
    {"GetProcAddress", error_proc_not_found},
    {"RegisterClassExW", ERROR_NOT_ENOUGH_MEMORY},
    {"UnregisterClassW", ERROR_CLASS_HAS_WINDOWS},
    {"CreateWindowExW", ERROR_NOT_ENOUGH_MEMORY},
    {"DestroyWindow", ERROR_ACCESS_DENIED},
    {"UpdateWindow", ERROR_NOT_ENOUGH_MEMORY},
    {"PostMessageW", ERROR_NOT_ENOUGH_QUOTA}, // the queue is full
    {"RegisterWindowMessageW", ERROR_NOT_ENOUGH_MEMORY},
    {"ChangeWindowMessageFilterEx", ERROR_ACCESS_DENIED},
    {"CreatePopupMenu", ERROR_NOT_ENOUGH_MEMORY},
    {"InsertMenuW", ERROR_NOT_ENOUGH_MEMORY},
    {"InsertMenuItemW", ERROR_NOT_ENOUGH_MEMORY},
    {"GetMenuItemInfoW", ERROR_MENU_ITEM_NOT_FOUND},
    {"GetMenuItemCount", ERROR_INVALID_MENU_HANDLE},
    {"TrackPopupMenu", ERROR_POPUP_ALREADY_ACTIVE},
    {"GetCursorPos", ERROR_ACCESS_DENIED}, // the secure desktop is up
    {"SetForegroundWindow", ERROR_ACCESS_DENIED},
    {"LoadIconW", ERROR_NOT_ENOUGH_MEMORY},
    {"Shell_NotifyIconW", error_timeout}, // the shell is busy
    {"RegisterDeviceNotificationW", ERROR_NOT_ENOUGH_MEMORY},
    {"UnregisterDeviceNotification", ERROR_INVALID_HANDLE},
};

enum class Phase { StartUp, Attach, Stream, Remove, Rotate, Driving, Lock, Fast, Shutdown };

// The settings before each run: lock saved 0, rotate 1, driving 0, fast turns 1.
const std::string old_settings = "0\r\n1\r\n0\r\n1";

// Each phase, in order: whether a stick is there before it, and for a mode's switch, the menu
// path and the settings after it.
struct PhaseRow {
    Phase phase;
    const char* name;
    bool stick_first;
    std::vector<std::wstring> toggle;
    std::string settings_after = old_settings;
};
const PhaseRow phases[] = {
    // A stick present, the bus installed: the program starts and attaches it.
    {Phase::StartUp, "start-up", true, {}},
    {Phase::Attach, "attach", false, {}}, // the program runs; a stick is plugged in
    {Phase::Stream, "stream", true, {}},  // the stick sends three reports
    {Phase::Remove, "remove", true, {}},  // the stick is pulled out
    {Phase::Rotate, "toggle rotate", false, {L"Rotate 40-Deg"}, "0\r\n0\r\n0\r\n1"},
    {Phase::Driving, "toggle driving", false, {L"Driving Mode"}, "0\r\n1\r\n1\r\n1"},
    {Phase::Lock, "toggle lock", false, {L"FN Modes", L"76-Deg Movement Lock"}, "1\r\n1\r\n0\r\n1"},
    {Phase::Fast, "toggle fast turns", false, {L"FN Modes", L"Fast Turns"}, "0\r\n1\r\n0\r\n0"},
    {Phase::Shutdown, "shutdown", true, {}}, // "Quit" with a stick attached
};

const PhaseRow& row_of(Phase phase) {
    return phases[static_cast<int>(phase)];
}
const char* phase_name(Phase phase) {
    return row_of(phase).name;
}

const std::set<std::wstring> connection_balloons = {BALLOON_BUS_NOT_INSTALLED, BALLOON_BUS_VERSION,
                                                    BALLOON_BUS_CONNECT};
const std::set<std::wstring> attach_balloons = {BALLOON_OPEN_FAILED, BALLOON_INIT_FAILED};

struct Fault {
    std::string call;
    int position;
};

class FaultSweep : public ProgramTest {
  protected:
    // One run of the program through `phase`, with `fault` injected from the phase's start.
    // Returns what went wrong (nothing when all is as it should be); fills `log` with the
    // phase's calls when recording.
    std::vector<std::string> run(Phase phase, const std::optional<Fault>& fault,
                                 std::vector<std::string>* log = nullptr, bool* fired = nullptr);

    // Runs every phase clean, then every (call, position) of it failed once; prints the table.
    void sweep();

  private:
    // The user clicks the icon; `choice` scripted unless an earlier one is still waiting for a
    // menu that really opened. Returns the menu that opened, if one did.
    std::optional<winsim::ShownMenu> click(const std::vector<std::wstring>& choice) {
        if (pending_choices_ == 0) {
            if (choice.empty())
                winsim::dismiss_menu();
            else
                winsim::choose_menu_item(choice);
            pending_choices_++;
        }
        winsim::click_tray_icon(WM_RBUTTONUP);
        settle();
        std::optional<winsim::ShownMenu> opened;
        auto shown = winsim::shown_menus();
        for (size_t i = menus_seen_; i < shown.size(); i++)
            if (!shown[i].vanished) {
                opened = shown[i];
                if (pending_choices_ > 0)
                    pending_choices_--;
            }
        menus_seen_ = shown.size();
        return opened;
    }

    int stick_ = -1;
    int pending_choices_ = 0; // scripted menu actions no menu has used yet
    size_t menus_seen_ = 0;
};

std::vector<std::string> FaultSweep::run(Phase phase, const std::optional<Fault>& fault,
                                         std::vector<std::string>* log, bool* fired) {
    std::vector<std::string> problems;
    auto problem_if = [&](bool wrong, const std::string& what) {
        if (wrong)
            problems.push_back(what);
    };
    winsim::reset();
    reset_program_globals();
    pending_choices_ = 0;
    menus_seen_ = 0;
    if (table_count() != 0)
        return {"a stick was left in the table by the run before"};
    put_file(SETTINGS_FILE_NAME, old_settings);
    int bus = winsim::bus_add();
    bool stick_first = row_of(phase).stick_first;
    stick_ = stick_first ? winsim::hid_add(winsim::hid_stick(1)) : -1;

    size_t balloons_before = 0;
    size_t calls_before = 0;
    auto arm = [&] {
        balloons_before = winsim::balloons().size();
        if (log)
            winsim::record_calls(true);
        if (fault) {
            calls_before = winsim::calls(fault->call.c_str());
            winsim::fail_calls(fault->call.c_str(), 1, plausible_error.at(fault->call),
                               fault->position);
        }
    };
    bool capture = phase == Phase::StartUp;
    if (capture) {
        testing::internal::CaptureStdout();
        arm();
        launch();
    } else {
        launch();
        if (!settle() || ended_ || table_count() != (stick_first ? 1 : 0) ||
            winsim::bus_pads(bus).size() != (stick_first ? 1u : 0u)) {
            // Nothing has failed yet, so this is the harness's own mistake.
            ADD_FAILURE() << phase_name(phase) << ": the clean start did not go as expected";
        }
        arm();
    }

    // The phase itself.
    bool hung = false;
    switch (phase) {
    case Phase::Stream:
        for (uint16_t k = 1; k <= 3 && !hung; k++) {
            size_t issued = winsim::hid_reads_issued(stick_);
            winsim::hid_deliver(stick_, stick_report(uint16_t(0x8000 + k * 0x1000), 0x9000));
            hung = !wait_for(
                [&] {
                    return winsim::hid_reads_issued(stick_) > issued ||
                           winsim::hid_open_files(stick_) == 0;
                },
                std::chrono::seconds(2));
            hung = hung || !settle();
        }
        break;
    case Phase::Shutdown:
        click({L"Quit"});
        hung = !wait_for([&] { return ended_.load(); }, std::chrono::seconds(2)) && !settle();
        break;
    default: // start-up, a stick plugged in or pulled out, or a toggle
        if (phase == Phase::Attach)
            stick_ = winsim::hid_add(winsim::hid_stick(1));
        if (phase == Phase::Remove)
            winsim::hid_unplug(stick_);
        if (!row_of(phase).toggle.empty())
            click(row_of(phase).toggle);
        hung = !settle();
        break;
    }
    if (log) {
        winsim::record_calls(false);
        *log = winsim::call_log();
    }
    if (fired)
        *fired = fault && winsim::calls(fault->call.c_str()) - calls_before >
                              static_cast<size_t>(fault->position);
    winsim::clear_faults();
    problem_if(hung, "did not settle after the phase (a hang)");

    // What the phase left: balloons, pads, the table.
    std::vector<winsim::Balloon> balloons = winsim::balloons();
    balloons.erase(balloons.begin(), balloons.begin() + long(balloons_before));
    size_t errors = 0;
    for (const auto& balloon : balloons) {
        bool connection = connection_balloons.count(balloon.text) > 0;
        bool attach = attach_balloons.count(balloon.text) > 0;
        // Without a connection the stick is attached all the same, and says so.
        bool unconnected = balloon.text == BALLOON_NO_EMULATION && !bus_connected;
        bool allowed = (phase == Phase::StartUp && (connection || attach || unconnected)) ||
                       (phase == Phase::Attach && attach);
        problem_if(!allowed || balloon.title != BALLOON_TITLE ||
                       balloon.icon != DWORD(connection ? NIIF_ERROR : NIIF_WARNING),
                   "balloon \"" + std::string(balloon.text.begin(), balloon.text.end()) + "\"");
        errors += connection ? 1 : 0;
    }
    bool balloon_lost = fault && fault->call == "Shell_NotifyIconW";
    if (phase == Phase::StartUp && !ended_) {
        size_t expected = bus_connected ? 0 : 1;
        problem_if(errors > expected || (errors < expected && !balloon_lost),
                   "the connection's balloon was " + std::to_string(errors) + " for a " +
                       (bus_connected ? "working" : "failed") + " connection");
    }
    if (!ended_ || phase == Phase::Shutdown) {
        int32_t count = table_count();
        problem_if(count == 0 && !winsim::bus_pads(bus).empty(),
                   "a pad on the bus without its stick");
        problem_if(winsim::bus_pads(bus).size() > 1, "more than one pad");
        problem_if(phase == Phase::Remove && (count != 0 || winsim::hid_open_files(stick_) != 0),
                   "the pulled stick is still held");
    }
    problem_if(ended_ && phase != Phase::Shutdown && phase != Phase::StartUp,
               "the program ended by itself");

    // Still reachable: the icon is there (or comes back when the shell restarts, as it does
    // for a shell that lost it), its menu opens with the status line the table calls for,
    // and "Quit" ends the program.
    if (!ended_ && !hung) {
        if (winsim::tray_icons().empty()) {
            problem_if(!balloon_lost, "the tray icon is gone");
            winsim::restart_shell();
            settle();
        }
        // A choice the phase scripted and no menu took (its menu failed to show) goes first,
        // as the user would make it again.
        for (int attempt = 0; attempt < 3 && pending_choices_ > 0 && !ended_; attempt++)
            click({});
        std::optional<winsim::ShownMenu> menu;
        std::wstring expected;
        for (int attempt = 0; attempt < 3 && !menu && !ended_; attempt++) {
            expected = table_count() > 0 ? L"Pelkavorn K7 Detected" : L"Pelkavorn K7 Not Detected";
            menu = click({});
        }
        problem_if(!menu && !ended_, "no menu opens");
        if (menu) {
            auto& items = menu->items;
            problem_if(items.size() != 6 || items[0].text != expected || items[5].text != L"Quit" ||
                           items[4].submenu.size() != 2,
                       "the menu is not whole or its status line is wrong");
        }
        for (int attempt = 0; attempt < 3 && !ended_; attempt++) {
            click({L"Quit"});
            wait_for([&] { return ended_.load(); }, std::chrono::milliseconds(500));
        }
        problem_if(!ended_, "\"Quit\" does not end the program");
    }
    if (!ended_) {
        // Last resort, so that the sweep goes on: a close request.
        if (HWND window = program_window())
            PostMessageW(window, WM_CLOSE, 0, 0);
        if (!wait_for([&] { return ended_.load(); }, std::chrono::seconds(2))) {
            std::fprintf(stderr, "fault sweep: %s, %s#%d: the program cannot be ended\n",
                         phase_name(phase), fault ? fault->call.c_str() : "clean",
                         fault ? fault->position : 0);
            std::fflush(stderr);
            std::_Exit(2);
        }
    }
    program_.join();
    std::string printed = capture ? testing::internal::GetCapturedStdout() : "";

    // What the ended program left.
    wait_for([] { return winsim::running_threads() == 0; }, std::chrono::seconds(2));
    problem_if(winsim::running_threads() != 0, "a thread still runs");
    if (exit_code_ == 1) {
        static const std::set<std::string> tray_calls = {"CreateMutexW", "RegisterClassExW",
                                                         "CreateWindowExW"};
        problem_if(phase != Phase::StartUp || !fault || !tray_calls.count(fault->call),
                   "exit code 1");
        problem_if(printed != "Failed to create tray\n", "printed \"" + printed + "\"");
        problem_if(!winsim::balloons().empty() || !winsim::bus_log(bus).empty(),
                   "a failed tray went on");
        // Nothing made before the failure is released on this path; the mutex is all.
        problem_if(winsim::open_handles() != winsim::open_handles("mutex") ||
                       winsim::open_handles() > 1,
                   "handles left: " + std::to_string(winsim::open_handles()));
    } else {
        problem_if(exit_code_ != 0, "exit code " + std::to_string(exit_code_));
        problem_if(!printed.empty(), "printed \"" + printed + "\"");
        problem_if(winsim::open_handles() != 0,
                   "handles left: " + std::to_string(winsim::open_handles()));
        problem_if(!winsim::tray_icons().empty() && !balloon_lost, "the icon stays after \"Quit\"");
        problem_if(!winsim::bus_pads(bus).empty(), "a pad stays after \"Quit\"");
        problem_if(stick_ >= 0 && winsim::hid_open_files(stick_) != 0,
                   "the stick stays open after \"Quit\"");
    }
    problem_if(table_count() != 0, "the table is not empty at the end");
    problem_if(winsim::invalid_handle_uses() != 0, "a closed handle was used");
    problem_if(winsim::would_hang() != 0, "a call would have waited forever on Windows");
    std::string settings = file_bytes(SETTINGS_FILE_NAME);
    problem_if(settings != old_settings && settings != row_of(phase).settings_after,
               "the settings file holds \"" + settings + "\"");
    problem_if(winsim::hid_preparsed_outstanding() != 0, "preparsed data not freed");
    return problems;
}

void FaultSweep::sweep() {
    // Per phase, then in total: distinct calls swept, (call, position) pairs, runs, failures.
    enum { CALLS, POSITIONS, RUNS, FAILURES };
    std::vector<std::array<size_t, 4>> rows;
    std::array<size_t, 4> total{};
    std::vector<std::string> found;
    for (const PhaseRow& phase_row : phases) {
        Phase phase = phase_row.phase;
        std::array<size_t, 4> row{};
        std::vector<std::string> log;
        auto clean = run(phase, std::nullopt, &log);
        row[RUNS]++;
        for (auto& what : clean)
            found.push_back(std::string(phase_name(phase)) + ", clean: " + what);
        row[FAILURES] += clean.empty() ? 0 : 1;
        std::map<std::string, int> positions;
        for (auto& call : log)
            if (plausible_error.count(call))
                positions[call]++;
        for (auto& [call, count] : positions) {
            row[CALLS]++;
            for (int position = 0; position < count; position++) {
                row[POSITIONS]++;
                auto problems = run(phase, Fault{call, position});
                row[RUNS]++;
                if (problems.empty())
                    continue;
                row[FAILURES]++;
                std::string line = std::string(phase_name(phase)) + ", " + call + " #" +
                                   std::to_string(position) + ":";
                for (auto& what : problems)
                    line += " " + what + ";";
                found.push_back(line);
            }
        }
        rows.push_back(row);
        for (size_t i = 0; i < 4; i++)
            total[i] += row[i];
    }
    rows.push_back(total);
    std::printf("\n%-18s %6s %10s %6s %9s\n", "phase", "calls", "positions", "runs", "failures");
    for (size_t i = 0; i < rows.size(); i++)
        std::printf("%-18s %6zu %10zu %6zu %9zu\n",
                    i < std::size(phases) ? phases[i].name : "total", rows[i][0], rows[i][1],
                    rows[i][2], rows[i][3]);
    for (auto& line : found)
        std::printf("  %s\n", line.c_str());
    std::fflush(stdout);
    EXPECT_TRUE(found.empty()) << found.size() << " runs went wrong (listed above)";
}

// Faults the sweep found, each failed where it was found.
struct Regression {
    Phase phase;
    const char* call;
    int position;
    const char* was; // what the program did before its fix
};
const Regression regressions[] = {
    {Phase::Rotate, "CreatePopupMenu", 0, "no menu ever opened again: the program could not quit"},
    {Phase::Rotate, "InsertMenuItemW", 6, "the menu lacked \"Quit\" until the next rebuild"},
    {Phase::Remove, "CreateEventW", 0, "the pad stayed on the bus without its stick"},
    {Phase::Shutdown, "DeviceIoControl", 0, "the pad stayed on the bus after \"Quit\""},
};

TEST_F(FaultSweep, FaultsFoundBefore) {
    for (const Regression& row : regressions) {
        bool fired = false;
        auto problems = run(row.phase, Fault{row.call, row.position}, nullptr, &fired);
        EXPECT_TRUE(fired) << phase_name(row.phase) << ", " << row.call << " #" << row.position
                           << ": the call is no longer made there";
        std::string all;
        for (auto& what : problems)
            all += what + "; ";
        EXPECT_TRUE(problems.empty()) << phase_name(row.phase) << ", " << row.call << " #"
                                      << row.position << " (was: " << row.was << "): " << all;
    }
}

TEST_F(FaultSweep, EveryCallFailedAtEveryPosition) {
    sweep();
}

} // namespace
