// The menu description on its own: identifiers, separators and text limits, without a platform;
// the application's own menu for the identifiers.
#include "tray/tray_menu.h"

#include <menu_check.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

bool operator==(const Built& a, const Built& b) {
    return a.menu == b.menu && a.text == b.text && a.id == b.id && a.submenu == b.submenu &&
           a.separator == b.separator;
}
void PrintTo(const Built& b, std::ostream* os) {
    *os << "{menu " << b.menu << ", id " << b.id << ", submenu " << b.submenu << "}";
}

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
        EXPECT_EQ(walk(menu.items, &counter, recorder), expected);
        EXPECT_EQ(counter, 1008u);
    }
}

TEST(TrayMenuIdentifiers, EmptyArraysGiveEmptyMenus) {
    TrayMenuItem only_end[] = {{nullptr, 0, 0, nullptr, 0, nullptr}};
    TrayMenuItem empty_submenu[] = {{L"Nothing inside", 0, 0, nullptr, 0, only_end},
                                    {nullptr, 0, 0, nullptr, 0, nullptr}};
    const std::tuple<const TrayMenuItem*, size_t, uint32_t> table[] = {
        {nullptr, 0, 1000}, {only_end, 0, 1000}, {empty_submenu, 1, 1001}};
    for (auto [items, rows, counter_after] : table) {
        Recorder recorder;
        uint32_t counter = 1000;
        EXPECT_EQ(walk(items, &counter, recorder).size(), rows);
        EXPECT_EQ(counter, counter_after);
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
    const std::tuple<const wchar_t*, bool> table[] = {
        {L"-", true}, {L"--", false}, {L"- ", false}, {L"", false}, {L"Quit", false}};
    for (auto [text, separator] : table) {
        TrayMenuItem item{text, 0, 0, nullptr, 0, nullptr};
        EXPECT_EQ(tray_menu_is_separator(&item), separator) << text;
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
    const std::tuple<const wchar_t*, size_t, std::wstring> table[] = {
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
    for (const auto& [text, capacity, shown] : table) {
        std::vector<wchar_t> field(capacity + 4, L'#');
        size_t copied = tray_copy_text(field.data(), capacity, text);
        EXPECT_EQ(std::wstring(field.data()), shown);
        EXPECT_EQ(copied, shown.size());
        EXPECT_EQ(field[capacity], L'#') << "wrote beyond the field";
    }
}

} // namespace
