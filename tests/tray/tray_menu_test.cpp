// The menu description on its own: identifiers, separators and text limits, without a platform;
// the application's own menu for the identifiers.
#include "tray/tray_menu.h"

#include <menu_check.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What a sink was asked to build, one row per appended entry, in call order.
struct Built {
    int menu; // which menu, in creation order
    std::wstring text;
    uint32_t id; // the counter value the entry used up
    int submenu; // menu made for it, or -1
    bool separator;
};

struct Recorder {
    std::vector<Built> rows;
    int menus = 0;
    int fail_after = -1; // menus it can make; -1: no limit
};

void* record_create(void* context) {
    auto* r = static_cast<Recorder*>(context);
    if (r->fail_after >= 0 && r->menus >= r->fail_after)
        return nullptr;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(++r->menus));
}

int menu_number(void* menu) {
    return static_cast<int>(reinterpret_cast<uintptr_t>(menu));
}

void record_separator(void* context, void* menu, uint32_t position) {
    static_cast<Recorder*>(context)->rows.push_back({menu_number(menu), L"-", position, -1, true});
}

void record_item(void* context, void* menu, const TrayMenuItem* item, uint32_t id, void* sub) {
    static_cast<Recorder*>(context)->rows.push_back(
        {menu_number(menu), item->text, id, sub ? menu_number(sub) : -1, false});
}

std::vector<Built> walk(const TrayMenuItem* items, uint32_t* counter, Recorder& recorder) {
    TrayMenuSink sink{&recorder, record_create, record_separator, record_item};
    tray_menu_walk(items, counter, &sink);
    return recorder.rows;
}

TEST(TrayMenuIdentifiers, ApplicationMenuGetsItsFixedIdentifiers) {
    // menu 1 is the top level; the submenu (menu 2) is made and filled before "FN Modes".
    const std::vector<Built> expected = {
        {1, L"Pelkavorn K7 Not Detected", 1000, -1, false},
        {1, L"-", 1001, -1, true},
        {1, L"Rotate 40-Deg", 1002, -1, false},
        {1, L"Driving Mode", 1003, -1, false},
        {2, L"76-Deg Movement Lock", 1004, -1, false},
        {2, L"Fast Turns", 1005, -1, false},
        {1, L"FN Modes", 1006, 2, false},
        {1, L"Quit", 1007, -1, false},
    };
    for (int build = 0; build < 2; build++) { // every build numbers alike
        AppMenuCopy menu;
        Recorder recorder;
        uint32_t counter = FIRST_MENU_ITEM_ID;
        auto rows = walk(menu.items, &counter, recorder);
        ASSERT_EQ(rows.size(), expected.size());
        for (size_t i = 0; i < rows.size(); i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(rows[i].menu, expected[i].menu);
            EXPECT_EQ(rows[i].text, expected[i].text);
            EXPECT_EQ(rows[i].id, expected[i].id);
            EXPECT_EQ(rows[i].submenu, expected[i].submenu);
            EXPECT_EQ(rows[i].separator, expected[i].separator);
        }
        EXPECT_EQ(counter, 1008u);
    }
}

TEST(TrayMenuIdentifiers, EmptyArraysGiveEmptyMenus) {
    TrayMenuItem only_end[] = {{nullptr, 0, 0, nullptr, 0, nullptr}};
    TrayMenuItem empty_submenu[] = {{L"Nothing inside", 0, 0, nullptr, 0, only_end},
                                    {nullptr, 0, 0, nullptr, 0, nullptr}};
    struct Row {
        const TrayMenuItem* items;
        size_t rows;
        uint32_t counter_after;
    } table[] = {
        {nullptr, 0, 1000},
        {only_end, 0, 1000},
        {empty_submenu, 1, 1001},
    };
    for (const Row& row : table) {
        Recorder recorder;
        uint32_t counter = 1000;
        EXPECT_EQ(walk(row.items, &counter, recorder).size(), row.rows);
        EXPECT_EQ(counter, row.counter_after);
    }
}

TEST(TrayMenuIdentifiers, NoMenuWhenTheSinkCannotMakeOne) {
    Recorder recorder;
    recorder.fail_after = 0;
    uint32_t counter = 1000;
    TrayMenuSink sink{&recorder, record_create, record_separator, record_item};
    AppMenuCopy menu;
    EXPECT_EQ(tray_menu_walk(menu.items, &counter, &sink), nullptr);
    EXPECT_TRUE(recorder.rows.empty());
}

TEST(TrayMenuSeparator, OnlyASingleDashIsASeparator) {
    struct Row {
        const wchar_t* text;
        bool separator;
    } table[] = {{L"-", true}, {L"--", false}, {L"- ", false}, {L"", false}, {L"Quit", false}};
    for (const Row& row : table) {
        TrayMenuItem item{row.text, 0, 0, nullptr, 0, nullptr};
        EXPECT_EQ(tray_menu_is_separator(&item), row.separator) << row.text;
    }
}

TEST(TrayCopyText, CutsToTheFieldAndAlwaysTerminates) {
    const wchar_t pair[] = {L'a', L'b', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00),
                            L'\0'};
    // The surrogate ranges' edges: the last high and the first low surrogate make a whole
    // pair; the first high surrogate alone at the start is half of one.
    const wchar_t low_edge[] = {L'a', static_cast<wchar_t>(0xDBFF), static_cast<wchar_t>(0xDC00),
                                L'b', L'\0'};
    const wchar_t high_edge[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDC00), L'\0'};
    struct Row {
        const wchar_t* text;
        size_t capacity;
        std::wstring shown;
    } table[] = {
        {nullptr, 8, L""},
        {L"", 8, L""},
        {L"short", 8, L"short"},
        {L"1234567", 8, L"1234567"},  // exactly fits with its terminator
        {L"12345678", 8, L"1234567"}, // one too many
        {L"anything", 1, L""},
        {pair, 5, std::wstring(pair)}, // the pair fits
        {pair, 4, L"ab"},              // half a pair is dropped, not shown broken
        {low_edge, 4, std::wstring(low_edge, 3)},
        {low_edge, 3, L"a"},
        {high_edge, 2, L""},
    };
    for (const Row& row : table) {
        std::vector<wchar_t> field(row.capacity + 4, L'#');
        size_t copied = tray_copy_text(field.data(), row.capacity, row.text);
        EXPECT_EQ(std::wstring(field.data()), row.shown);
        EXPECT_EQ(copied, row.shown.size());
        EXPECT_EQ(field[row.capacity], L'#') << "wrote beyond the field";
    }
}

} // namespace
