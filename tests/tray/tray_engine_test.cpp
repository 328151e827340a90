// The tray as a user meets it: the icon, its menu, balloons, closing, shell restarts.
#include "tray_test.h"

#include <menu_check.h>

#include <shellapi.h>

#include <thread>
#include <tuple>

std::vector<Choice> choices;
void record_choice(TrayMenuItem* item) {
    choices.push_back({item, GetCurrentThreadId()});
}

namespace {

using TrayIcon = TrayTest;

TEST_F(TrayIcon, CreateShowsOneIconWithImageTooltipAndHiddenWindow) {
    create();
    auto icons = winsim::tray_icons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].tooltip, app_tray.tooltip);
    EXPECT_EQ(icons[0].image, app_tray.icon_name);
    EXPECT_EQ(icons[0].callback_message, UINT(TRAY_CALLBACK_MESSAGE));
    EXPECT_EQ(icons[0].id, 0u);
    auto windows = winsim::windows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0].class_name, L"PelkavornViGEmClass");
    EXPECT_TRUE(windows[0].alive && windows[0].top_level);
    EXPECT_EQ(icons[0].window, windows[0].window);
    EXPECT_EQ(winsim::open_handles("mutex"), 1u);
}

TEST_F(TrayIcon, DestroyRemovesIconEndsLoopAndLeavesOnlyTheWindow) {
    create();
    GUID any{1, 2, 3, {4}};
    tray_register_device_notifications(any, [](DeviceChangeKind, const wchar_t*) {});
    destroy(); // the loop's last pass sees WM_QUIT
    EXPECT_TRUE(winsim::tray_icons().empty());
    EXPECT_EQ(winsim::open_handles(), 0u); // no mutex, icon or menu left
    ASSERT_EQ(winsim::windows().size(), 1u);
    EXPECT_TRUE(winsim::windows()[0].alive) << "the window is left to the process's end";
    EXPECT_EQ(winsim::device_registrations().size(), 1u);
    EXPECT_EQ(winsim::window_classes().size(), 1u) << "refused: its window still exists";
}

TEST_F(TrayIcon, IconWithoutImageWhenTheResourceIsMissing) {
    winsim::set_icon_resources({});
    create();
    ASSERT_EQ(winsim::tray_icons().size(), 1u);
    EXPECT_EQ(winsim::tray_icons()[0].image, L"");
    EXPECT_EQ(winsim::tray_icons()[0].tooltip, app_tray.tooltip);
}

// A failure after the mutex leaves it created and owned; the next create starts clean.
TEST_F(TrayIcon, CreateFailsWithoutMutexClassOrWindowAndTheNextOneStartsClean) {
    const std::tuple<const char*, size_t> table[] = {
        {"CreateMutexW", 0}, {"RegisterClassExW", 1}, {"CreateWindowExW", 1}};
    for (auto [call, mutexes_left] : table) {
        SCOPED_TRACE(call);
        winsim::reset();
        winsim::fail_calls(call, 1, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(tray_create(&descriptor_), -1);
        EXPECT_TRUE(winsim::tray_icons().empty());
        EXPECT_EQ(winsim::open_handles("mutex"), mutexes_left);
        EXPECT_EQ(winsim::open_handles(), mutexes_left);
        winsim::reset();
        create();
        EXPECT_EQ(winsim::tray_icons().size(), 1u);
        destroy();
    }
}

TEST_F(TrayIcon, LongTextsAreCutToWhatTheFieldsHold) {
    std::wstring tooltip(200, L't'), title(100, L'h'), text(300, L'x');
    descriptor_.tooltip = tooltip.c_str();
    create();
    tray_show_balloon(BALLOON_WARNING, title.c_str(), text.c_str());
    EXPECT_EQ(winsim::tray_icons()[0].tooltip, std::wstring(127, L't'));
    ASSERT_EQ(winsim::balloons().size(), 1u);
    EXPECT_EQ(winsim::balloons()[0].title, std::wstring(63, L'h'));
    EXPECT_EQ(winsim::balloons()[0].text, std::wstring(255, L'x'));
}

TEST_F(TrayIcon, RefreshShowsNewTooltipAndReplacesMenuWithoutLeaks) {
    create();
    for (int i = 0; i < 5; i++)
        tray_refresh(&descriptor_);
    descriptor_.tooltip = L"Changed";
    tray_refresh(&descriptor_);
    EXPECT_EQ(winsim::tray_icons()[0].tooltip, L"Changed");
    EXPECT_EQ(winsim::open_handles("menu"), 2u); // the menu and its "FN Modes" submenu
}

TEST_F(TrayIcon, RefreshAnnouncesTheNewMenuToTheWindowBeforeItIsShown) {
    create();
    tray_refresh(&descriptor_);
    auto handled = winsim::default_handled();
    std::vector<WPARAM> announced;
    for (const auto& m : handled)
        if (m.message == WM_INITMENUPOPUP && m.window == window())
            announced.push_back(m.wparam);
    ASSERT_EQ(announced.size(), 2u); // create's refresh and this one
    EXPECT_NE(announced[0], announced[1]) << "every refresh builds a new menu";
    EXPECT_EQ(reinterpret_cast<WPARAM>(click().menu), announced[1]);
}

TEST_F(TrayIcon, ShellRestartAddsTheIconAgainAsLastRefreshed) {
    create();
    menu_[0].text = L"Pelkavorn K7 Detected";
    descriptor_.tooltip = L"After refresh";
    tray_refresh(&descriptor_);
    winsim::restart_shell();
    pump_idle();
    auto icons = winsim::tray_icons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].tooltip, L"After refresh");
    EXPECT_EQ(icons[0].image, app_tray.icon_name);
    EXPECT_EQ(icons[0].callback_message, UINT(TRAY_CALLBACK_MESSAGE));
    winsim::choose_menu_item({L"Pelkavorn K7 Detected"});
    click();
    ASSERT_EQ(choices.size(), 1u) << "the menu works on the re-added icon";
    EXPECT_EQ(choices[0].item, &menu_[0]);
    EXPECT_TRUE(winsim::balloons().empty());
}

TEST_F(TrayIcon, ShellRestartBringsTheIconBackToAnElevatedProgram) {
    const std::tuple<const char*, bool, bool, bool> table[] = {
        {"not elevated", false, true, true},
        {"elevated", true, true, true},
        {"not elevated, older system", false, false, true},
        {"elevated, older system", true, false, false},
    };
    // An older system has no call for the message filter.
    for (auto [name, elevated, filter_call_exists, icon_back] : table) {
        SCOPED_TRACE(name);
        winsim::reset();
        winsim::set_elevated(elevated);
        if (!filter_call_exists)
            winsim::fail_calls("GetProcAddress", -1, 127 /* ERROR_PROC_NOT_FOUND */);
        create();
        winsim::restart_shell();
        pump_idle();
        EXPECT_EQ(winsim::tray_icons().size(), icon_back ? 1u : 0u);
        destroy();
    }
}

// Without a tray, before it is made or once it is destroyed, nothing shows and nothing is used.
TEST_F(TrayIcon, NothingHappensWithoutATray) {
    const std::tuple<const char*, void (*)(TrayTest&)> table[] = {
        {"refresh", [](TrayTest& t) { tray_refresh(&t.descriptor_); }},
        {"shell restart", [](TrayTest&) { winsim::restart_shell(), pump_idle(); }},
        {"balloon", [](TrayTest&) { tray_show_balloon(BALLOON_ERROR, BALLOON_TITLE, L"after"); }},
    };
    for (auto [name, act] : table) {
        SCOPED_TRACE(name);
        winsim::reset();
        tray_show_balloon(BALLOON_ERROR, BALLOON_TITLE, L"before");
        create();
        destroy();
        act(*this);
        EXPECT_TRUE(winsim::tray_icons().empty());
        EXPECT_TRUE(winsim::balloons().empty());
        EXPECT_EQ(winsim::open_handles(), 0u);
        EXPECT_EQ(winsim::invalid_handle_uses(), 0u);
    }
}

using TrayMenu = TrayTest;

TEST_F(TrayMenu, ClickShowsTheApplicationMenuTree) {
    create();
    winsim::set_cursor_pos(1500, 1040);
    auto shown = click();
    expect_menu(shown.items, L"Pelkavorn K7 Not Detected", {true, false, false, true});
    EXPECT_EQ(shown.items[2].data, reinterpret_cast<ULONG_PTR>(&menu_[2]));
    EXPECT_EQ(shown.items[4].submenu[1].data, reinterpret_cast<ULONG_PTR>(&fn_modes_[1]));
    EXPECT_EQ(shown.flags, 0x182u); // return the command, no notifications, right button
    EXPECT_EQ(shown.x, 1500);
    EXPECT_EQ(shown.y, 1040);
    EXPECT_EQ(shown.owner, window());
    EXPECT_TRUE(shown.owner_in_foreground);
}

TEST_F(TrayMenu, ChoosingAnItemRunsItsCallbackWithItsRecord) {
    // The item is an index into menu_, or 10 + an index into fn_modes_; -1: nothing runs.
    const std::tuple<std::vector<std::wstring>, UINT, int> table[] = {
        {{L"Pelkavorn K7 Not Detected"}, WM_RBUTTONUP, 0},
        {{L"Rotate 40-Deg"}, WM_LBUTTONUP, 2},
        {{L"Driving Mode"}, WM_RBUTTONUP, 3},
        {{L"FN Modes", L"76-Deg Movement Lock"}, WM_RBUTTONUP, 10},
        {{L"FN Modes", L"Fast Turns"}, WM_LBUTTONUP, 11},
        {{L"Quit"}, WM_RBUTTONUP, 5},
        {{L"FN Modes"}, WM_RBUTTONUP, -1}, // opens the submenu, gives no command
        {{}, WM_RBUTTONUP, -1},            // dismissed
    };
    create();
    for (const auto& [path, button, item] : table) {
        SCOPED_TRACE(item);
        choices.clear();
        if (path.empty())
            winsim::dismiss_menu();
        else
            winsim::choose_menu_item(path);
        size_t defaults = winsim::default_handled().size();
        click(button);
        if (item < 0) {
            EXPECT_TRUE(choices.empty());
            auto handled = winsim::default_handled();
            std::vector<WPARAM> commands;
            for (size_t i = defaults; i < handled.size(); i++)
                if (handled[i].message == WM_COMMAND)
                    commands.push_back(handled[i].wparam);
            EXPECT_EQ(commands, std::vector<WPARAM>{0}) << "a dismissal sends command 0";
            continue;
        }
        TrayMenuItem* expected = item >= 10 ? &fn_modes_[item - 10] : &menu_[item];
        ASSERT_EQ(choices.size(), 1u);
        EXPECT_EQ(choices[0].item, expected);
        EXPECT_EQ(choices[0].thread, main_thread_);
    }
}

TEST_F(TrayMenu, MenuOpensForTheUserEveryTime) {
    create();
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        winsim::choose_menu_item({L"Driving Mode"});
        auto shown = click();
        EXPECT_FALSE(shown.vanished) << "shown again before the program posted itself a message";
        EXPECT_EQ(shown.chosen, 1003u);
    }
    EXPECT_EQ(choices.size(), 3u);
}

TEST_F(TrayMenu, RefreshWhileTheMenuIsOpenKeepsTheShownMenuUntilItCloses) {
    static TrayTest* test;
    test = this;
    create();
    // A reader thread asks for a refresh while the user has the menu open; the menu's loop
    // runs it, then the user chooses from the menu on screen.
    winsim::while_menu_open([] {
        std::thread([] {
            tray_post_to_main([](void*) { tray_refresh(&test->descriptor_); }, nullptr);
        }).join();
    });
    winsim::choose_menu_item({L"FN Modes", L"Fast Turns"});
    click();
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].item, &fn_modes_[1]);
    EXPECT_EQ(winsim::invalid_handle_uses(), 0u) << "the shown menu was destroyed while open";
    EXPECT_EQ(winsim::open_handles("menu"), 2u);
}

TEST_F(TrayMenu, GreyedItemsAndItemsWithoutCallbackDoNothing) {
    menu_[3].disabled = 1;
    menu_[5].callback = nullptr;
    create();
    winsim::choose_menu_item({L"Driving Mode"});
    auto shown = click();
    EXPECT_TRUE(shown.items[3].grayed);
    EXPECT_EQ(shown.chosen, 0u);
    winsim::choose_menu_item({L"Quit"});
    EXPECT_EQ(click().chosen, 1007u);
    EXPECT_TRUE(choices.empty());
}

TEST_F(TrayMenu, CallbackThatFlipsItsCheckAndRefreshesShowsItNextTime) {
    static TrayDescriptor* descriptor;
    descriptor = &descriptor_;
    menu_[3].callback = [](TrayMenuItem* item) {
        item->checked = !item->checked;
        tray_refresh(descriptor);
    };
    create();
    winsim::choose_menu_item({L"Driving Mode"});
    EXPECT_FALSE(click().items[3].checked);
    EXPECT_TRUE(click().items[3].checked);
    EXPECT_EQ(winsim::open_handles("menu"), 2u);
}

TEST_F(TrayMenu, OnlyButtonReleasesOpenTheMenu) {
    create();
    for (UINT mouse : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MOUSEMOVE, WM_LBUTTONDBLCLK,
                       WM_RBUTTONDBLCLK, WM_MBUTTONUP}) {
        SCOPED_TRACE(mouse);
        EXPECT_TRUE(winsim::click_tray_icon(mouse));
        pump_idle();
        EXPECT_TRUE(winsim::shown_menus().empty());
        auto handled = winsim::default_handled();
        ASSERT_FALSE(handled.empty());
        EXPECT_EQ(handled.back().message, UINT(TRAY_CALLBACK_MESSAGE));
        EXPECT_EQ(static_cast<UINT>(handled.back().lparam), mouse);
    }
}

TEST_F(TrayMenu, CommandsOutsideTheMenuAreIgnoredOrDefaultHandled) {
    create();
    const std::tuple<WPARAM, bool> table[] = {{0, true},     {999, true},   {1, true},
                                              {1001, false}, {1008, false}, {65535, false}};
    for (auto [command, default_handled] : table) {
        SCOPED_TRACE(command);
        size_t before = winsim::default_handled().size();
        EXPECT_EQ(SendMessageW(window(), WM_COMMAND, command, 0), 0);
        EXPECT_EQ(winsim::default_handled().size() > before, default_handled);
    }
    EXPECT_TRUE(choices.empty());
}

TEST_F(TrayMenu, EmptyArrayGivesAnEmptyMenu) {
    menu_[0].text = nullptr;
    create();
    EXPECT_TRUE(click().items.empty());
}

using TrayBalloon = TrayTest;

TEST_F(TrayBalloon, SeverityPicksTheBalloonIcon) {
    const std::tuple<int, DWORD> table[] = {
        {0, NIIF_INFO}, {1, NIIF_WARNING}, {2, NIIF_ERROR}, {3, NIIF_NONE}, {-1, NIIF_NONE}};
    create();
    for (auto [severity, icon] : table) {
        SCOPED_TRACE(severity);
        tray_show_balloon(BalloonSeverity(severity), BALLOON_TITLE, BALLOON_BUS_NOT_INSTALLED);
        auto shown = winsim::balloons();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back().icon, icon);
        EXPECT_EQ(shown.back().title, BALLOON_TITLE);
        EXPECT_EQ(shown.back().text, BALLOON_BUS_NOT_INSTALLED);
        EXPECT_EQ(shown.back().timeout_ms, 10000u);
    }
    EXPECT_EQ(winsim::balloons().size(), std::size(table));
    EXPECT_EQ(winsim::tray_icons()[0].tooltip, app_tray.tooltip);
    EXPECT_EQ(winsim::tray_icons()[0].image, app_tray.icon_name);
}

TEST_F(TrayBalloon, RefreshAfterABalloonDoesNotShowItAgain) {
    create();
    tray_show_balloon(BALLOON_WARNING, BALLOON_TITLE, BALLOON_DEVICE_LIMIT);
    tray_refresh(&descriptor_);
    tray_refresh(&descriptor_);
    EXPECT_EQ(winsim::balloons().size(), 1u);
}

using TrayWindow = TrayTest;

TEST_F(TrayWindow, CloseRequestDestroysWindowEndsLoopAndLeavesTheIcon) {
    create();
    tray_register_device_notifications(GUID{7, 7, 7, {7}}, [](DeviceChangeKind, const wchar_t*) {});
    ASSERT_TRUE(PostMessageW(window(), WM_CLOSE, 0, 0));
    EXPECT_EQ(pump_idle(), -1);
    EXPECT_FALSE(winsim::windows()[0].alive);
    EXPECT_TRUE(winsim::device_registrations().empty());
    EXPECT_EQ(winsim::tray_icons().size(), 1u) << "the program does not delete it";
    // Left as they are on this path: the mutex and the menus.
    EXPECT_EQ(winsim::open_handles("mutex"), 1u);
    EXPECT_EQ(winsim::open_handles("menu"), 2u);
    EXPECT_EQ(tray_post_to_main([](void*) {}, nullptr), 0);
    allow_open_handles();
    up_ = false; // the loop has ended; there is nothing for "Quit" to do
}

TEST_F(TrayWindow, QuitEndsThePumpAfterWhatWasPostedBefore) {
    create();
    static int ran;
    ran = 0;
    EXPECT_EQ(tray_post_to_main([](void*) { ran++; }, nullptr), 1);
    tray_destroy();
    up_ = false;
    EXPECT_EQ(pump_message(TRAY_WAIT_FOR_MESSAGE), 0);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(pump_message(TRAY_WAIT_FOR_MESSAGE), -1);
    EXPECT_EQ(tray_post_to_main([](void*) { ran++; }, nullptr), 0);
    EXPECT_EQ(pump_message(0), 0);
    EXPECT_EQ(ran, 1);
}

} // namespace
