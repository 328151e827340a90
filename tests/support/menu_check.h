// The application menu in tests: a copy of the one build_application_menu really builds, and
// a popup menu as the user saw it compared with the expected rows, one row an item.
#pragma once

#include "settings_reset.h"

#include "app/app_menu.h"
#include "tray/tray_menu.h"

#include <gtest/gtest.h>
#include <winsim/desktop.h>

#include <algorithm>

struct MenuRow {
    const wchar_t* text; // a separator's is empty
    UINT id;
    bool separator;
    bool checked;
    bool grayed;
    size_t children; // items of its submenu
};

inline void expect_menu_rows(const std::vector<winsim::MenuEntry>& shown,
                             const std::vector<MenuRow>& expected) {
    ASSERT_EQ(shown.size(), expected.size());
    for (size_t i = 0; i < shown.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(shown[i].text, expected[i].text);
        EXPECT_EQ(shown[i].id, expected[i].id);
        EXPECT_EQ(shown[i].separator, expected[i].separator);
        EXPECT_EQ(shown[i].checked, expected[i].checked);
        EXPECT_EQ(shown[i].grayed, expected[i].grayed);
        EXPECT_EQ(shown[i].submenu.size(), expected[i].children);
    }
}

// Check marks as shown (nonzero: checked): rotate, driving, movement lock, fast turns.
struct Marks {
    int rotate, driving, lock, fast;
};

// The application menu as the user must see it, with this status line and these marks.
inline void expect_menu(const std::vector<winsim::MenuEntry>& shown, const wchar_t* status,
                        Marks m) {
    expect_menu_rows(shown, {
                                {status, 1000, false, false, false, 0},
                                {L"", 1, true, false, false, 0},
                                {L"Rotate 40-Deg", 1002, false, m.rotate != 0, false, 0},
                                {L"Driving Mode", 1003, false, m.driving != 0, false, 0},
                                {L"FN Modes", 1006, false, false, false, 2},
                                {L"Quit", 1007, false, false, false, 0},
                            });
    if (shown.size() == 6)
        expect_menu_rows(shown[4].submenu,
                         {
                             {L"76-Deg Movement Lock", 1004, false, m.lock != 0, false, 0},
                             {L"Fast Turns", 1005, false, m.fast != 0, false, 0},
                         });
}

// The records of the menu that build_application_menu builds with the mode flags as they are
// (the table empty), copied out so that a test can change them and the program keeps none:
// every callback becomes `callback` (or stays the program's when null), the submenu points at
// the copy's own.
struct AppMenuCopy {
    std::wstring status;
    TrayMenuItem fn_modes[FN_MODES_RECORDS];
    TrayMenuItem items[APP_MENU_RECORDS];

    explicit AppMenuCopy(MenuItemCallback callback = nullptr) {
        build_application_menu();
        status = app_tray.menu[APP_MENU_STATUS].text;
        std::copy(app_tray.menu, app_tray.menu + APP_MENU_RECORDS, items);
        std::copy(fn_modes_items, fn_modes_items + 3, fn_modes);
        free_application_menu();
        items[0].text = status.c_str();
        for (TrayMenuItem* item :
             {&items[0], &items[2], &items[3], &items[5], &fn_modes[0], &fn_modes[1]})
            if (callback)
                item->callback = callback;
        items[4].submenu = fn_modes;
    }
    AppMenuCopy(const AppMenuCopy&) = delete;
    AppMenuCopy& operator=(const AppMenuCopy&) = delete;
};
