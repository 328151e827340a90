// The forced restart: disable then enable the device behind an interface path, and each way
// it can fail.
#include "hid_test.h"

#include <winsim/machine.h>

#include <functional>

namespace {

class Restart : public HidTest {
  protected:
    // Interface announcements after the stick's own arrival.
    std::vector<winsim::InterfaceChange> changes_since_plug() {
        auto all = winsim::interface_changes();
        return std::vector<winsim::InterfaceChange>(all.begin() + plugged_, all.end());
    }
    int add_stick() {
        int id = add(winsim::hid_stick(1));
        plugged_ = winsim::interface_changes().size();
        return id;
    }

  private:
    size_t plugged_ = 0;
};

TEST_F(Restart, FreesADeviceAnotherProcessHoldsAndDropsOurPendingIo) {
    int id = add_stick();
    winsim::hid_hold(id, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(hid_open(path(id), 1, 0), nullptr);
    HidDevice* shared = hid_open(path(id), 1, 1);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(hid_read(shared, 10), 0);

    EXPECT_EQ(hid_restart_device(path(id)), 1);
    EXPECT_TRUE(winsim::hid_enabled(id));
    EXPECT_EQ(hid_read(shared, 10), -1) << "the restart ends every open handle's I/O";
    hid_close(shared);
    hid_free(shared);
    auto changes = changes_since_plug();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_FALSE(changes[0].arrival);
    EXPECT_TRUE(changes[1].arrival);
    EXPECT_EQ(changes[1].path, path(id));

    HidDevice* exclusive = hid_open(path(id), 1, 0);
    ASSERT_NE(exclusive, nullptr) << "the other process let go";
    hid_close(exclusive);
    hid_free(exclusive);
}

TEST_F(Restart, RetriesAFailedEnableAFewTimes) {
    int id = add_stick();
    // The disable passes; the next two enables fail.
    winsim::fail_calls("SetupDiCallClassInstaller", 2, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(hid_restart_device(path(id)), 1);
    EXPECT_TRUE(winsim::hid_enabled(id));
    EXPECT_EQ(winsim::calls("SetupDiCallClassInstaller"), 4u);
}

TEST_F(Restart, GivesUpOnAnEnableThatKeepsFailingWithinBounds) {
    int id = add_stick();
    winsim::fail_calls("SetupDiCallClassInstaller", -1, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(hid_restart_device(path(id)), 0);
    EXPECT_FALSE(winsim::hid_enabled(id));
    size_t attempts = winsim::calls("SetupDiCallClassInstaller") - 1;
    EXPECT_GT(attempts, 1u);
    EXPECT_LE(attempts, 5u);
}

struct FailureCase {
    const char* name;
    std::function<void(int id)> arrange;
    size_t installer_calls; // disable attempts that reached the class installer
};

TEST_F(Restart, FailsAndChangesNothingWhenAStepBeforeTheEnableFails) {
    const FailureCase cases[] = {
        {"no restart rights", [](int id) { winsim::hid_allow_restart(id, false); }, 1},
        {"instance ID unreadable",
         [](int) { winsim::fail_calls("CM_Get_Device_Interface_PropertyW", -1, 0); }, 0},
        {"device set not built",
         [](int) { winsim::fail_calls("SetupDiGetClassDevsW", 1, ERROR_GEN_FAILURE); }, 0},
        {"no device in the set",
         [](int) { winsim::fail_calls("SetupDiEnumDeviceInfo", 1, ERROR_NO_MORE_ITEMS); }, 0},
        {"two devices with the instance ID",
         [](int) {
             auto twin = winsim::hid_stick(1);
             twin.paths[0] += L"&twin";
             winsim::hid_add(twin);
         },
         0},
        {"disable parameters refused",
         [](int) { winsim::fail_calls("SetupDiSetClassInstallParamsW", 1, ERROR_GEN_FAILURE); }, 0},
        {"disable refused",
         [](int) { winsim::fail_calls("SetupDiCallClassInstaller", 1, ERROR_GEN_FAILURE); }, 1},
        {"32-bit program on 64-bit Windows", [](int) { winsim::set_wow64(true); }, 1},
    };
    for (const FailureCase& c : cases) {
        winsim::reset();
        int id = add_stick();
        c.arrange(id);
        size_t announced = winsim::interface_changes().size();
        EXPECT_EQ(hid_restart_device(path(id)), 0) << c.name;
        EXPECT_TRUE(winsim::hid_enabled(id)) << c.name;
        EXPECT_EQ(winsim::interface_changes().size(), announced) << c.name;
        EXPECT_EQ(winsim::calls("SetupDiCallClassInstaller"), c.installer_calls) << c.name;
        EXPECT_EQ(winsim::open_handles(), 0u) << c.name;
    }
    winsim::reset();
    EXPECT_EQ(hid_restart_device(L"\\\\?\\HID#VID_16D0&PID_11A0#unplugged"), 0);
}

// Where the system lacks the interface property query, the restart fails. The query is looked
// up once per process, so this runs in a process of its own.
TEST_F(Restart, FailsWhereTheSystemLacksTheInterfacePropertyQuery) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const char* missing : {"LoadLibraryExW", "GetProcAddress"}) {
        EXPECT_EXIT(
            {
                winsim::reset();
                int id = add_stick();
                winsim::fail_calls(missing, -1, 127);
                bool refused = hid_restart_device(path(id)) == 0 && winsim::hid_enabled(id) &&
                               winsim::calls("SetupDiGetClassDevsW") == 0;
                std::_Exit(refused ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << missing;
    }
}

} // namespace
