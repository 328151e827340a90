// A rebuild whose menu array or status text cannot be allocated keeps the previous ones: the
// menu the user sees stays whole and usable, and the next rebuild that can allocate catches up.
//
#include <app_test.h>
#include <refuse_alloc.h>

namespace {

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
        EXPECT_TRUE(menu()[2].checked);

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
