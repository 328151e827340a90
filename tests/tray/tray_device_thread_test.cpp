// Device changes reaching the callback, and other threads handing work to the main thread.
#include "tray_test.h"

#include "bus/bus.h"
#include "hid/hid_device.h"

#include <dbt.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

namespace {

const GUID hid_class = hid_class_guid();
const GUID other_class = BUS_INTERFACE_GUID;

struct Change {
    DeviceChangeKind kind;
    bool named;
    std::wstring name;
    DWORD thread;
};
std::vector<Change> changes;

bool operator==(const Change& a, const Change& b) {
    return a.kind == b.kind && a.named == b.named && a.name == b.name && a.thread == b.thread;
}
void PrintTo(const Change& c, std::ostream* os) {
    *os << "{kind " << c.kind << ", named " << c.named << ", thread " << c.thread << "}";
}

void record_change(DeviceChangeKind kind, const wchar_t* name) {
    changes.push_back({kind, name != nullptr, name ? name : L"", GetCurrentThreadId()});
}

std::vector<BYTE> volume_record() {
    DEV_BROADCAST_VOLUME volume;
    std::memset(&volume, 0, sizeof(volume));
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << 4;
    auto* bytes = reinterpret_cast<BYTE*>(&volume);
    return std::vector<BYTE>(bytes, bytes + sizeof(volume));
}

std::vector<BYTE> interface_record(const std::wstring& path) {
    size_t size =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(WCHAR);
    std::vector<BYTE> bytes(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(bytes.size());
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = hid_class;
    std::memcpy(record->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return bytes;
}

class TrayDevices : public TrayTest {
  protected:
    void SetUp() override {
        TrayTest::SetUp();
        changes.clear();
    }
};

const std::wstring stick_path = L"\\\\?\\HID#VID_16D0&PID_11A0#7&1&0000#{4d1e55b2-f16f-11cf}";

TEST_F(TrayDevices, InterfaceArrivalAndRemovalReachTheCallbackWithTheName) {
    create();
    tray_register_device_notifications(hid_class, record_change);
    ASSERT_EQ(winsim::device_registrations().size(), 1u);
    EXPECT_EQ(winsim::device_registrations()[0].window, window());
    EXPECT_TRUE(winsim::device_registrations()[0].class_guid == hid_class);

    winsim::device_interface_changed(true, hid_class, stick_path);
    winsim::device_interface_changed(true, other_class, L"\\\\?\\ROOT#SYSTEM#0001#{96e42b22}");
    winsim::device_interface_changed(false, hid_class, stick_path);
    pump_idle();
    // Every change also brings the record-less broadcast to all top-level windows; only the
    // registered class brings its interface's name.
    const Change other = {DEVICE_CHANGE_OTHER, false, L"", main_thread_};
    EXPECT_EQ(changes,
              (std::vector<Change>{other,
                                   {DEVICE_CHANGE_ARRIVAL, true, stick_path, main_thread_},
                                   other,
                                   {DEVICE_CHANGE_REMOVE_COMPLETE, true, stick_path, main_thread_},
                                   other}));
    auto handled = winsim::default_handled();
    ASSERT_FALSE(handled.empty());
    EXPECT_EQ(handled.back().message, static_cast<UINT>(WM_DEVICECHANGE));
}

TEST_F(TrayDevices, BroadcastsGiveAKindAndANameOnlyForInterfaceRecords) {
    const std::tuple<WPARAM, std::vector<BYTE>, DeviceChangeKind, bool> table[] = {
        {DBT_DEVNODES_CHANGED, {}, DEVICE_CHANGE_OTHER, false},
        {DBT_DEVICEARRIVAL, volume_record(), DEVICE_CHANGE_ARRIVAL, false},
        {DBT_DEVICEREMOVECOMPLETE, volume_record(), DEVICE_CHANGE_REMOVE_COMPLETE, false},
        {DBT_DEVICEQUERYREMOVE, interface_record(stick_path), DEVICE_CHANGE_OTHER, true},
        {DBT_DEVICEREMOVEPENDING, interface_record(stick_path), DEVICE_CHANGE_OTHER, true},
        {DBT_DEVICEARRIVAL, interface_record(stick_path), DEVICE_CHANGE_ARRIVAL, true},
        // Events without a record: the second parameter is not one, whatever it points at.
        {DBT_DEVNODES_CHANGED, interface_record(stick_path), DEVICE_CHANGE_OTHER, false},
        {DBT_CONFIGCHANGED, interface_record(stick_path), DEVICE_CHANGE_OTHER, false},
    };
    create();
    tray_register_device_notifications(hid_class, record_change);
    for (const auto& [event, record, kind, named] : table) {
        SCOPED_TRACE(event);
        changes.clear();
        winsim::broadcast_device_change(event, record);
        pump_idle();
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(changes[0].kind, kind);
        EXPECT_EQ(changes[0].named, named);
        if (named) {
            EXPECT_EQ(changes[0].name, stick_path);
        }
    }
}

TEST_F(TrayDevices, NoCallbackWithoutASuccessfulRegistration) {
    tray_register_device_notifications(hid_class, record_change); // no tray yet
    EXPECT_TRUE(winsim::device_registrations().empty());
    create();
    winsim::fail_calls("RegisterDeviceNotificationW", 1, ERROR_NOT_ENOUGH_MEMORY);
    tray_register_device_notifications(hid_class, record_change);
    EXPECT_TRUE(winsim::device_registrations().empty());
    winsim::broadcast_device_change(DBT_DEVNODES_CHANGED, {});
    winsim::device_interface_changed(true, hid_class, stick_path);
    pump_idle();
    EXPECT_TRUE(changes.empty());
}

TEST_F(TrayDevices, ChangesFromAnotherThreadRunTheCallbackOnTheMainThread) {
    create();
    tray_register_device_notifications(hid_class, record_change);
    std::thread system([] { winsim::device_interface_changed(true, hid_class, stick_path); });
    system.join();
    EXPECT_TRUE(changes.empty()) << "delivered only when the main thread pumps";
    pump_idle();
    ASSERT_EQ(changes.size(), 2u); // the record-less broadcast, then the interface's arrival
    EXPECT_EQ(changes[1], (Change{DEVICE_CHANGE_ARRIVAL, true, stick_path, main_thread_}));
}

using TrayThreads = TrayTest;

// What a device-removal path does: a reader thread asks for the menu to be rebuilt and the tray
// refreshed, handing over the new status text; the main thread does both while it pumps.
struct Request {
    std::wstring status; // written by the worker before posting, read on the main thread
    TrayTest* test;
};
std::vector<int> handled_order;

void refresh_on_main(void* context) {
    auto* request = static_cast<Request*>(context);
    TrayTest* test = request->test;
    test->menu_[0].text = request->status.c_str();
    tray_refresh(&test->descriptor_);
    handled_order.push_back(std::stoi(request->status.substr(7)));
}

TEST_F(TrayThreads, RefreshRequestedFromAnotherThreadRunsOnTheMainThreadInOrder) {
    constexpr int requests = 200;
    std::vector<Request> slots(requests);
    handled_order.clear();
    create();
    std::atomic<int> refused{0};
    std::atomic<bool> finished{false};
    HWND hidden = window();
    std::thread reader([&] {
        for (int i = 0; i < requests; i++) {
            slots[i].status = L"Status " + std::to_wstring(i);
            slots[i].test = this;
            if (!tray_post_to_main(refresh_on_main, &slots[i]))
                refused++;
        }
        finished = true;
        PostMessageW(hidden, WM_NULL, 0, 0); // so that a lost request cannot hang the loop
    });
    // The user keeps using the menu meanwhile; the loop blocks in GetMessageW as the real one.
    int clicks = 0;
    while (!finished || winsim::queued_messages() > 0) {
        if (clicks < 20 && winsim::click_tray_icon(WM_RBUTTONUP))
            clicks++;
        pump_message(TRAY_WAIT_FOR_MESSAGE);
    }
    reader.join();
    pump_idle();
    EXPECT_EQ(refused, 0);
    ASSERT_EQ(handled_order.size(), static_cast<size_t>(requests));
    for (int i = 0; i < requests; i++)
        EXPECT_EQ(handled_order[i], i);
    EXPECT_EQ(click().items[0].text, L"Status 199");
    EXPECT_EQ(winsim::open_handles("menu"), 2u);
    destroy(); // before the requests it refers to go
}

TEST_F(TrayThreads, MessagesPostedFromOutsideRunNothingButQueuedWork) {
    static int queued_ran, forged_ran;
    queued_ran = forged_ran = 0;
    create();
    ASSERT_EQ(tray_post_to_main([](void*) { queued_ran++; }, nullptr), 1);
    MSG wake;
    ASSERT_TRUE(PeekMessageW(&wake, window(), 0, 0, PM_NOREMOVE));
    // Another process posts the wake message, and the one that once carried a function, with
    // a function of its choosing.
    TrayMainWork forged = [](void*) { forged_ran++; };
    for (UINT message : {wake.message, UINT(WM_APP + 1)})
        ASSERT_TRUE(PostMessageW(window(), message, reinterpret_cast<WPARAM>(forged), 0));
    pump_idle();
    EXPECT_EQ(queued_ran, 1);
    EXPECT_EQ(forged_ran, 0);
}

TEST_F(TrayThreads, NothingIsPostedWithoutATray) {
    static int ran;
    ran = 0;
    EXPECT_EQ(tray_post_to_main([](void*) { ran++; }, nullptr), 0);
    create();
    EXPECT_EQ(tray_post_to_main(nullptr, nullptr), 0);
    // The main thread's own request that cannot wake it (its queue full of another program's
    // messages) is refused, so that it does the work itself; another thread's is kept (below).
    winsim::fail_calls("PostMessageW", 1, ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(tray_post_to_main([](void*) { ran++; }, nullptr), 0);
    destroy();
    EXPECT_EQ(ran, 0);
}

// A full queue refuses the wake of another thread's work: the work waits and runs before the
// next message, the quit included, rather than being lost.
TEST_F(TrayThreads, WorkWhoseWakeCannotBePostedRunsAtTheNextMessage) {
    static int ran;
    ran = 0;
    create();
    winsim::fail_calls("PostMessageW", 1, ERROR_NOT_ENOUGH_QUOTA);
    int queued = -1;
    std::thread reader([&] { queued = tray_post_to_main([](void*) { ran++; }, nullptr); });
    reader.join();
    EXPECT_EQ(queued, 1);
    EXPECT_EQ(winsim::queued_messages(), 0u);
    EXPECT_EQ(ran, 0);
    destroy();
    EXPECT_EQ(ran, 1);
}

TEST_F(TrayThreads, CommandSentFromAnotherThreadWaitsForTheMainThread) {
    create();
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        SendMessageW(window(), WM_COMMAND, 1003, 0);
        returned = true;
    });
    // The sender stays blocked until the main thread takes the message.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
    EXPECT_TRUE(choices.empty());
    while (!returned)
        pump_message(0);
    sender.join();
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].item, &menu_[3]);
    EXPECT_EQ(choices[0].thread, main_thread_);
}

} // namespace
