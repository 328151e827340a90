// Enumeration: order and filtering of HID interfaces, and the description fallbacks.
#include "hid_test.h"

#include "hid/hid_enum.h"

#include <setupapi.h>
#include <winsim/machine.h>

#include <optional>

namespace {

const wchar_t* const stick_filter[] = {L"VID_16D0&PID_11A0", nullptr};

struct Listed {
    std::wstring path;
    std::optional<std::wstring> description;
};

// Enumerates, copies the list out and frees every node.
std::vector<Listed> enumerate(const wchar_t* const* filters) {
    std::vector<Listed> listed;
    DeviceListNode* node = hid_enumerate(filters);
    while (node) {
        Listed entry{node->path, std::nullopt};
        if (node->description)
            entry.description = node->description;
        listed.push_back(entry);
        DeviceListNode* next = node->next;
        device_list_node_free(node);
        node = next;
    }
    return listed;
}

std::vector<std::wstring> paths_of(const std::vector<Listed>& listed) {
    std::vector<std::wstring> paths;
    for (auto& entry : listed)
        paths.push_back(entry.path);
    return paths;
}

class Enumerate : public HidTest {};

TEST_F(Enumerate, ListsMatchingInterfacesInDeviceThenInterfaceOrder) {
    auto mouse = winsim::hid_mouse(1);
    auto stick = winsim::hid_stick(1);
    stick.paths.push_back(stick.paths[0] + L"&col02"); // a second collection of the same stick
    auto lower = winsim::hid_stick(2, true);
    winsim::bus_add(); // another class entirely
    winsim::hid_add(mouse);
    winsim::hid_add(stick);
    winsim::hid_add(lower);

    EXPECT_EQ(paths_of(enumerate(stick_filter)),
              (std::vector<std::wstring>{stick.paths[0], stick.paths[1], lower.paths[0]}));
    EXPECT_EQ(paths_of(enumerate(nullptr)),
              (std::vector<std::wstring>{mouse.paths[0], stick.paths[0], stick.paths[1],
                                         lower.paths[0]}));
    const wchar_t* const two[] = {L"vid_1a2c", L"PID_11A0#7&2A4F1B3&0&0002", nullptr};
    EXPECT_EQ(paths_of(enumerate(two)),
              (std::vector<std::wstring>{mouse.paths[0], lower.paths[0]}));
}

TEST_F(Enumerate, LeavesOutDevicesThatAreNotRunning) {
    int gone = winsim::hid_add(winsim::hid_stick(1));
    auto present = winsim::hid_stick(2);
    winsim::hid_add(present);
    winsim::hid_unplug(gone);
    EXPECT_EQ(paths_of(enumerate(stick_filter)), std::vector<std::wstring>{present.paths[0]});
}

TEST_F(Enumerate, GivesNothingWhenNothingMatchesOrTheSetCannotBeBuilt) {
    winsim::hid_add(winsim::hid_mouse(1));
    EXPECT_EQ(hid_enumerate(stick_filter), nullptr);
    winsim::hid_add(winsim::hid_stick(1));
    winsim::fail_calls("SetupDiGetClassDevsW", 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(hid_enumerate(stick_filter), nullptr);
}

TEST_F(Enumerate, SkipsAnInterfaceWhoseDetailCannotBeRead) {
    auto first = winsim::hid_stick(1);
    auto second = winsim::hid_stick(2);
    winsim::hid_add(first);
    winsim::hid_add(second);
    // The first call per interface only asks for the size; the second fetches the detail.
    winsim::fail_calls("SetupDiGetDeviceInterfaceDetailW", 1, ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(paths_of(enumerate(stick_filter)), std::vector<std::wstring>{second.paths[0]});
}

struct DescriptionCase {
    const char* name;
    std::optional<std::wstring> bus;
    std::optional<std::wstring> registry;
    const char* failing_call; // or null
    std::optional<std::wstring> expected;
};

TEST_F(Enumerate, DescribesByBusThenRegistryDescription) {
    const DescriptionCase cases[] = {
        {"both", L"Pelkavorn K7", L"HID-compliant game controller", nullptr, L"Pelkavorn K7"},
        {"no bus description", std::nullopt, L"HID-compliant game controller", nullptr,
         L"HID-compliant game controller"},
        {"empty bus description", L"", L"HID-compliant game controller", nullptr,
         L"HID-compliant game controller"},
        {"bus property call fails", L"Pelkavorn K7", L"HID-compliant game controller",
         "SetupDiGetDevicePropertyW", L"HID-compliant game controller"},
        {"neither", std::nullopt, std::nullopt, nullptr, std::nullopt},
        {"registry call fails", std::nullopt, L"HID-compliant game controller",
         "SetupDiGetDeviceRegistryPropertyW", std::nullopt},
    };
    for (const DescriptionCase& c : cases) {
        winsim::reset();
        auto stick = winsim::hid_stick(1);
        stick.bus_description = c.bus;
        stick.registry_description = c.registry;
        winsim::hid_add(stick);
        if (c.failing_call)
            winsim::fail_calls(c.failing_call, -1, ERROR_GEN_FAILURE);
        auto listed = enumerate(stick_filter);
        ASSERT_EQ(listed.size(), 1u) << c.name;
        EXPECT_EQ(listed[0].path, stick.paths[0]) << c.name;
        EXPECT_EQ(listed[0].description, c.expected) << c.name;
        EXPECT_EQ(winsim::open_handles(), 0u) << c.name;
    }
}

} // namespace
