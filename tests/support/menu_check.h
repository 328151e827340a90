// Compares a popup menu as the user saw it with the expected rows, one row an item.
#pragma once

#include <gtest/gtest.h>
#include <winsim/desktop.h>

#include <vector>

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
