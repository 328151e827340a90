// The application menu as a user meets it: the seven records and the status line, the check
// marks the settings file gives, each mode item's effect on the modes and on the file, a choice
// made while a stick comes or goes, "Quit", clicks racing the rebuilds that sticks cause, and
// rebuilds that cannot allocate.
#include <app_test.h>
#include <menu_check.h>
#include <refuse_alloc.h>
#include <winsim/disk.h>

namespace {

const wchar_t* const DETECTED = L"Pelkavorn K7 Detected";
const wchar_t* const NOT_DETECTED = L"Pelkavorn K7 Not Detected";

using AppMenu = AppTest;

TEST_F(AppMenu, StatusLineFollowsTheStickAndChoosingItRescans) {
    start(Bus::Working, false); // no device notifications: only a rescan finds a new stick
    // The array holds the seven records, the end record last.
    ASSERT_NE(app_tray.menu, nullptr);
    EXPECT_EQ(app_tray.menu[APP_MENU_END].text, nullptr);
    expect_menu(menu(), NOT_DETECTED, {false, false, false, false});

    int id = winsim::hid_add(winsim::hid_stick(1));
    pump();
    EXPECT_EQ(status_line(), NOT_DETECTED) << "not attached before a rescan";
    choose({NOT_DETECTED});
    expect_menu(menu(), DETECTED, {false, false, false, false});
    EXPECT_EQ(winsim::bus_pads(bus_).size(), 1u);

    // Present and attached: choosing it again changes nothing.
    size_t opens = winsim::calls("CreateFileW");
    choose({DETECTED});
    EXPECT_EQ(winsim::calls("CreateFileW"), opens);
    EXPECT_TRUE(winsim::balloons().empty());
    EXPECT_TRUE(deliver_and_see(id, stick_report(0xC000)));

    unplug(id);
    expect_menu(menu(), NOT_DETECTED, {false, false, false, false});
    quit();
}

TEST_F(AppMenu, CheckMarksComeFromTheFileAtEveryBuild) {
    struct Row {
        const char* file;
        Marks marks;
    } rows[] = {
        {"0\r\n0\r\n0\r\n0", {false, false, false, false}},
        {"1\r\n0\r\n1\r\n0", {false, true, true, false}},
        {"1\r\n1\r\n1\r\n1", {true, true, true, true}},
        // Only exactly 1 switches movement lock on; the others show their value's low byte.
        {"2\n2\n2\n2", {true, true, false, true}},
        {"256\n256\n256\n256", {false, false, false, false}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        put_settings(row.file);
        start();
        expect_menu(menu(), NOT_DETECTED, row.marks);
        int id = plug_new(1); // a rebuild
        expect_menu(menu(), DETECTED, row.marks);
        unplug(id);
        expect_menu(menu(), NOT_DETECTED, row.marks);
        quit();
        next_round();
    }
}

TEST_F(AppMenu, ModeItemsSwitchTheModeTheMarkAndTheFile) {
    const char* const all_256 = "256\n256\n256\n256";
    const std::vector<std::wstring> rotate = {L"Rotate 40-Deg"}, driving = {L"Driving Mode"},
                                    lock = {L"FN Modes", L"76-Deg Movement Lock"},
                                    fast = {L"FN Modes", L"Fast Turns"};
    struct Modes {
        int32_t lock, rotate, driving, fast;
    };
    struct Row {
        const char* before;
        std::vector<std::wstring> item;
        int clicks;
        const char* after;
        Marks marks; // shown after the clicks
        Modes modes;
        double rotations; // the offset, in 40 degrees
        // From the start on, the disk has room for this many more bytes (none: no limit), and
        // the one balloon a failed save shows (none: no balloon).
        std::optional<uint64_t> disk_room;
        const wchar_t* balloon;
    } rows[] = {
        {"0\r\n1\r\n0\r\n1", rotate, 1, "0\r\n0\r\n0\r\n1", {0, 0, 0, 1}, {0, 0, 0, 1}, 0},
        {"0\r\n1\r\n0\r\n1", rotate, 2, "0\r\n1\r\n0\r\n1", {1, 0, 0, 1}, {0, 1, 0, 1}, 1},
        {"0\r\n2\r\n0\r\n1", lock, 1, "1\r\n2\r\n0\r\n1", {1, 0, 1, 1}, {1, 2, 0, 1}, 0},
        {"1\r\n0\r\n0\r\n0", lock, 1, "0\r\n0\r\n0\r\n0", {0, 0, 0, 0}, {0, 0, 0, 0}, 0},
        {"5\r\n0\r\n0\r\n0", lock, 2, "0\r\n0\r\n0\r\n0", {0, 0, 0, 0}, {0, 0, 0, 0}, 0},
        {"0\r\n0\r\n0\r\n0", fast, 1, "0\r\n0\r\n0\r\n1", {0, 0, 0, 1}, {0, 0, 0, 1}, 0},
        {"0\r\n0\r\n1\r\n0", driving, 1, "0\r\n0\r\n0\r\n0", {0, 0, 0, 0}, {0, 0, 0, 0}, 0},
        // A value of 2 shows checked: the click unchecks it and sets its lowest bit.
        {"2\n2\n2\n2", driving, 1, "2\r\n2\r\n3\r\n2", {1, 0, 0, 1}, {0, 2, 3, 2}, 0},
        {"2\n2\n2\n2", rotate, 1, "2\r\n3\r\n2\r\n2", {0, 1, 0, 1}, {0, 3, 2, 2}, 3},
        {"2\n2\n2\n2", fast, 1, "2\r\n2\r\n2\r\n3", {1, 1, 0, 0}, {0, 2, 2, 3}, 0},
        // 256 shows unchecked: the click checks it.
        {all_256, rotate, 1, "256\r\n257\r\n256\r\n256", {1, 0, 0, 0}, {0, 257, 256, 256}, 257},
        // The new text is longer than the file, and the disk is full: the switches hold for the
        // run, the file stays as it was, and the user is told once.
        {"1", driving, 2, "1", {0, 0, 1, 0}, {1, 0, 0, 0}, 0, 0, BALLOON_SETTINGS_DISK_FULL},
        {"1", fast, 1, "1", {0, 0, 1, 1}, {1, 0, 0, 1}, 0, 0, BALLOON_SETTINGS_DISK_FULL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.before);
        SCOPED_TRACE(row.item.back());
        put_settings(row.before);
        start();
        if (row.disk_room)
            winsim::set_disk_room(row.disk_room);
        for (int i = 0; i < row.clicks; i++)
            choose(row.item);
        EXPECT_EQ(settings_bytes(), row.after);
        EXPECT_EQ(balloon_texts(), row.balloon ? std::vector<std::wstring>{row.balloon}
                                               : std::vector<std::wstring>{});
        expect_menu(menu(), NOT_DETECTED, row.marks);
        EXPECT_EQ(mode_settings.movement_lock, row.modes.lock);
        EXPECT_EQ(mode_settings.rotate, row.modes.rotate);
        EXPECT_EQ(mode_settings.driving_mode, row.modes.driving);
        EXPECT_EQ(mode_settings.fast_turns, row.modes.fast);
        EXPECT_DOUBLE_EQ(mode_settings.rotation_offset, row.rotations * ROTATION_40_DEGREES);
        quit();
        next_round();
    }
}

// The menu's loop handles messages while it is open, so a stick can come and go, and the menu
// be rebuilt, between what the user saw and the command their choice sends.
TEST_F(AppMenu, ChoiceMadeWhileTheMenuWasRebuiltRunsTheItemTheUserSaw) {
    start();
    auto seen = choose({}).items;
    ASSERT_EQ(seen.size(), 6u);
    UINT rotate = seen[APP_MENU_ROTATE].id;
    UINT fast = seen[APP_MENU_FN_MODES].submenu[FN_MODES_FAST_TURNS].id;
    int id = plug_new(1);
    unplug(id);
    pump();
    HWND window = winsim::tray_icons().at(0).window;
    SendMessageW(window, WM_COMMAND, rotate, 0);
    SendMessageW(window, WM_COMMAND, fast, 0);
    EXPECT_EQ(settings_bytes(), "0\r\n1\r\n0\r\n1");
    expect_menu(menu(), NOT_DETECTED, {true, false, false, true});
    quit();
}

TEST_F(AppMenu, QuitRescansFirstAndTheShutdownReleasesWhatItFound) {
    start(Bus::Refusing, false);
    int id = winsim::hid_add(winsim::hid_stick(1)); // plugged in, not yet attached
    pump();
    EXPECT_EQ(status_line(), NOT_DETECTED);
    quit();
    // Attached by the rescan while the tray still stood, so its balloon was seen.
    EXPECT_EQ(balloon_texts(),
              (std::vector<std::wstring>{BALLOON_BUS_VERSION, BALLOON_NO_EMULATION}));
    EXPECT_TRUE(winsim::tray_icons().empty());
    EXPECT_EQ(winsim::hid_open_files(id), 0u);
}

// Sticks come and go from the user's hand while the user keeps choosing mode items: every
// choice lands once, on the record of the menu in place, and the file follows the modes.
TEST_F(AppMenu, ClicksRaceTheRebuildsThatSticksCause) {
    start();
    std::atomic<bool> stop{false};
    std::thread hand([&] {
        int id = winsim::hid_add(winsim::hid_stick(1));
        for (int i = 0; !stop; i++) {
            if (i % 2)
                winsim::hid_plug(id);
            else
                winsim::hid_unplug(id);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        winsim::hid_unplug(id);
    });
    const std::vector<std::vector<std::wstring>> items = {
        {L"Rotate 40-Deg"},           {L"Driving Mode"}, {L"FN Modes", L"76-Deg Movement Lock"},
        {L"FN Modes", L"Fast Turns"}, {DETECTED},        {NOT_DETECTED},
    };
    int clicks[4] = {0, 0, 0, 0};
    for (int i = 0; i < 120; i++) {
        const auto& item = items[i % items.size()];
        UINT chosen = choose(item).chosen;
        if (i % items.size() < 4 && chosen != 0)
            clicks[i % items.size()]++;
    }
    stop = true;
    hand.join();
    EXPECT_TRUE(pump_until([] { return winsim::running_threads() == 0; }));
    pump();
    Marks marks{clicks[0] % 2 == 1, clicks[1] % 2 == 1, clicks[2] % 2 == 1, clicks[3] % 2 == 1};
    expect_menu(menu(), NOT_DETECTED, marks);
    std::string file = std::to_string(clicks[2] % 2) + "\r\n" + std::to_string(clicks[0] % 2) +
                       "\r\n" + std::to_string(clicks[1] % 2) + "\r\n" +
                       std::to_string(clicks[3] % 2);
    EXPECT_EQ(settings_bytes(), file);
    quit();
}

// A rebuild whose menu array or status text cannot be allocated keeps the previous ones: the
// menu the user sees stays whole and usable, and the next rebuild that can allocate catches up.
using MenuAllocation = AppTest;

TEST_F(MenuAllocation, FailedRebuildKeepsThePreviousMenuAndTheNextOneCatchesUp) {
    struct Row {
        const char* name;
        std::function<void()> refuse;
        const size_t& pending; // nonzero until the refusal was made
    } rows[] = {
        {"menu array", [] { refuse_calloc(APP_MENU_CAPACITY, sizeof(TrayMenuItem)); },
         refused_calloc_count},
        {"status text", [] { refuse_malloc(sizeof(L"Pelkavorn K7 Not Detected")); },
         refused_malloc_size},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        put_settings("0\r\n0\r\n0\r\n0");
        int id = winsim::hid_add(winsim::hid_stick(1));
        start(Bus::Working, false); // only the reader's end and rescans change the table
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Detected");

        // The stick goes; the rebuild its reader's end posts cannot allocate.
        winsim::hid_unplug(id);
        EXPECT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
        row.refuse();
        pump();
        EXPECT_EQ(row.pending, 0u) << "the rebuild asked for it";
        refuse_malloc(0);
        refuse_calloc(0, 0);
        auto kept = choose({L"Rotate 40-Deg"});
        ASSERT_EQ(kept.items.size(), 6u);
        EXPECT_EQ(kept.items[0].text, L"Pelkavorn K7 Detected") << "the previous status stays";
        EXPECT_EQ(settings_bytes(), "0\r\n1\r\n0\r\n0") << "the kept menu still works";
        EXPECT_TRUE(menu()[APP_MENU_ROTATE].checked);

        // The next change rebuilds as usual.
        winsim::hid_plug(id);
        choose({L"Pelkavorn K7 Detected"});
        winsim::hid_unplug(id);
        EXPECT_TRUE(pump_until([] { return winsim::running_threads() == 0; }));
        pump();
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Not Detected");
        quit();
        next_round();
    }
}

} // namespace
