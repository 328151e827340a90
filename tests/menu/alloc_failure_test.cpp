// A rebuild whose menu array or status text cannot be allocated keeps the previous ones: the
// menu the user sees stays whole and usable, and the next rebuild that can allocate catches up.
//
// The menu tests link with the heap's entry points wrapped (see tests/CMakeLists.txt), so that
// a test can refuse chosen allocations made on its own thread; every other call passes through.
#include <app_test.h>

#include <cstddef>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);

// The one allocation to refuse next on this thread, by its arguments (zero: none); every
// other call passes through.
thread_local size_t refused_malloc_size = 0;
thread_local size_t refused_calloc_count = 0;

void* __wrap_malloc(size_t size) {
    if (size != 0 && size == refused_malloc_size) {
        refused_malloc_size = 0;
        return nullptr;
    }
    return __real_malloc(size);
}

void* __wrap_calloc(size_t count, size_t size) {
    if (count != 0 && count == refused_calloc_count && size == sizeof(TrayMenuItem)) {
        refused_calloc_count = 0;
        return nullptr;
    }
    return __real_calloc(count, size);
}
}

namespace {

using MenuAllocation = AppTest;

TEST_F(MenuAllocation, FailedRebuildKeepsThePreviousMenuAndTheNextOneCatchesUp) {
    const size_t status_text = sizeof(L"Pelkavorn K7 Not Detected");
    struct Row {
        const char* name;
        size_t* refused;
        size_t value;
    } rows[] = {{"menu array", &refused_calloc_count, APP_MENU_CAPACITY},
                {"status text", &refused_malloc_size, status_text}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        put_settings("0\r\n0\r\n0\r\n0");
        int id = winsim::hid_add(winsim::hid_stick(1));
        start(Bus::Working, false); // only the reader's end and rescans change the table
        EXPECT_EQ(status_line(), L"Pelkavorn K7 Detected");

        // The stick goes; the rebuild its reader's end posts cannot allocate.
        winsim::hid_unplug(id);
        EXPECT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
        *row.refused = row.value;
        pump();
        EXPECT_EQ(*row.refused, 0u) << "the rebuild asked for it";
        *row.refused = 0;
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
