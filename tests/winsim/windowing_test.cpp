// The windowing stand-in behaves as Windows does where a program could tell: system messages
// arrive only when the window's thread retrieves messages, the menu's modal loop, device-change
// traffic, shared icons, creation parameters, message filters, the posted-message quota and the
// message filter of an elevated process.
#include "hid/hid_device.h"

#include <winsim/desktop.h>
#include <winsim/hid.h>
#include <winsim_test.h>

#include <dbt.h>
#include <shellapi.h>

#include <thread>
#include <tuple>

namespace {

const GUID hid_class{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const std::wstring stick_path = L"\\\\?\\HID#VID_16D0&PID_11A0#7&1&0000#{4d1e55b2-f16f-11cf}";
const UINT icon_message = WM_APP + 40;

// What a window procedure saw; procedures run on the test's thread only.
struct Seen {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    std::wstring path; // of a device-interface record
    bool in_menu;      // while the test's TrackPopupMenu was open
};
std::vector<Seen> seen;
bool in_menu = false;

// Creation parameters as WM_NCCREATE and WM_CREATE showed them.
struct Created {
    UINT message;
    CREATESTRUCTW create;
    std::wstring class_name;
};
std::vector<Created> created;

std::wstring record_path(UINT message, WPARAM event, LPARAM lparam) {
    if (message != WM_DEVICECHANGE || !lparam || event == DBT_DEVNODES_CHANGED)
        return L"";
    auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lparam);
    return record->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE ? record->dbcc_name : L"";
}

LRESULT CALLBACK record_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE || message == WM_CREATE) {
        auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        created.push_back({message, *create, create->lpszClass});
    }
    seen.push_back(
        {window, message, wparam, lparam, record_path(message, wparam, lparam), in_menu});
    return DefWindowProcW(window, message, wparam, lparam);
}

class Windowing : public WinsimTest {
  protected:
    void SetUp() override {
        WinsimTest::SetUp();
        seen.clear();
        created.clear();
        in_menu = false;
        WNDCLASSEXW window_class = {};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = record_procedure;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = L"WindowingTest";
        ASSERT_NE(RegisterClassExW(&window_class), 0);
    }

    void TearDown() override {
        drain();
        WinsimTest::TearDown();
    }

    static HWND make_window(HWND parent = nullptr, void* parameter = nullptr) {
        HWND window = CreateWindowExW(0, L"WindowingTest", L"title", 0, 1, 2, 3, 4, parent, nullptr,
                                      GetModuleHandleW(nullptr), parameter);
        EXPECT_NE(window, nullptr);
        return window;
    }

    // Retrieves and dispatches everything waiting, WM_QUIT included.
    static void drain() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }

    // The messages of one window that a procedure saw since `from`.
    static std::vector<UINT> messages_of(HWND window, UINT only = 0, size_t from = 0) {
        std::vector<UINT> found;
        for (size_t i = from; i < seen.size(); i++)
            if (seen[i].window == window && (!only || seen[i].message == only))
                found.push_back(seen[i].message);
        return found;
    }

    static void register_for_hid(HWND window) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = hid_class;
        EXPECT_NE(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE),
                  nullptr);
    }

    static NOTIFYICONDATAW icon_of(HWND window) {
        NOTIFYICONDATAW data = {};
        data.cbSize = sizeof(data);
        data.hWnd = window;
        return data;
    }

    static void add_icon(HWND window) {
        NOTIFYICONDATAW data = icon_of(window);
        data.uFlags = NIF_MESSAGE;
        data.uCallbackMessage = icon_message;
        ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
    }

    static void delete_icon(HWND window) {
        NOTIFYICONDATAW data = icon_of(window);
        Shell_NotifyIconW(NIM_DELETE, &data);
    }

    static HMENU two_item_menu() {
        HMENU menu = CreatePopupMenu();
        InsertMenuW(menu, 0, MF_BYPOSITION, 10, L"A");
        InsertMenuW(menu, 1, MF_BYPOSITION, 11, L"B");
        return menu;
    }

    static UINT track(HMENU menu, HWND owner) {
        in_menu = true;
        UINT chosen =
            static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, owner, nullptr));
        in_menu = false;
        return chosen;
    }
};

TEST_F(Windowing, SystemMessagesWaitUntilTheWindowThreadRetrievesMessages) {
    // The message the action brings; 0: the registered "TaskbarCreated".
    const std::tuple<const char*, void (*)(), UINT> table[] = {
        {"interface arrival", [] { winsim::device_interface_changed(true, hid_class, stick_path); },
         WM_DEVICECHANGE},
        {"broadcast", [] { winsim::broadcast_device_change(DBT_DEVNODES_CHANGED, {}); },
         WM_DEVICECHANGE},
        {"shell restart", [] { winsim::restart_shell(); }, 0},
        {"icon click", [] { winsim::click_tray_icon(WM_LBUTTONUP); }, icon_message},
        {"stick plugged in", [] { winsim::hid_add(winsim::hid_stick(2)); }, WM_DEVICECHANGE},
        // The device's restart through the class installer, as the program makes it.
        {"class installer restart",
         [] { EXPECT_EQ(hid_restart_device(winsim::hid_stick(2).paths[0].c_str()), 1); },
         WM_DEVICECHANGE},
    };
    HWND window = make_window();
    register_for_hid(window);
    UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    for (auto [action, act, message] : table) {
        SCOPED_TRACE(action);
        add_icon(window);
        size_t before = seen.size();
        act(); // on the window's own thread
        EXPECT_EQ(seen.size(), before) << "handled inside the call that caused it";
        drain();
        EXPECT_FALSE(messages_of(window, message ? message : taskbar_created, before).empty());
        delete_icon(window);
    }
}

TEST_F(Windowing, MenuLoopHandlesTheOwnerThreadsMessagesWhileTheMenuIsOpen) {
    static HWND window;
    // The message the menu loop dispatched (0: none); whether the scripted choice is not made.
    const std::tuple<const char*, void (*)(), UINT, bool> table[] = {
        {"posted by another thread",
         [] { std::thread([] { PostMessageW(window, WM_APP + 1, 0, 0); }).join(); }, WM_APP + 1,
         false},
        {"device change", [] { winsim::device_interface_changed(false, hid_class, stick_path); },
         WM_DEVICECHANGE, false},
        {"posted to the thread, lost in the modal loop",
         [] { PostMessageW(nullptr, WM_APP + 2, 0, 0); }, 0, false},
        {"quit", [] { PostQuitMessage(3); }, 0, true},
    };
    window = make_window();
    register_for_hid(window);
    for (auto [event_name, event, handled, dismissed] : table) {
        SCOPED_TRACE(event_name);
        HMENU menu = two_item_menu();
        size_t before = seen.size();
        winsim::while_menu_open(event);
        winsim::choose_menu_item({L"B"});
        EXPECT_EQ(track(menu, window), dismissed ? 0u : 11u);
        std::vector<UINT> in_loop;
        for (size_t i = before; i < seen.size(); i++)
            if (seen[i].in_menu)
                in_loop.push_back(seen[i].message);
        if (handled) {
            EXPECT_NE(std::find(in_loop.begin(), in_loop.end(), handled), in_loop.end());
        } else {
            EXPECT_TRUE(in_loop.empty());
        }
        MSG msg;
        bool quit = PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message == WM_QUIT;
        EXPECT_EQ(quit, dismissed) << "a quit closes the menu and stays for the main loop";
        EXPECT_EQ(winsim::queued_messages(), 0u);
        drain();
        PostMessageW(window, WM_NULL, 0, 0); // lets the next menu stay open
        drain();
        DestroyMenu(menu);
    }
}

TEST_F(Windowing, MenuChoiceIsResolvedAgainstTheMenuAsShown) {
    static HMENU menu;
    HWND window = make_window();
    menu = two_item_menu();
    // While the menu is open, the program puts another "B" in front of it.
    winsim::while_menu_open([] { InsertMenuW(menu, 0, MF_BYPOSITION, 99, L"B"); });
    winsim::choose_menu_item({L"B"});
    EXPECT_EQ(track(menu, window), 11u);
    EXPECT_EQ(winsim::shown_menus().back().items.size(), 2u);
    DestroyMenu(menu);
}

TEST_F(Windowing, MenuOpenAlreadyOrDestroyedWhileOpenIsAFault) {
    static HWND window;
    static HMENU menu;
    static DWORD nested_error;
    window = make_window();
    menu = two_item_menu();
    winsim::while_menu_open([] {
        EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, window, nullptr), FALSE);
        nested_error = GetLastError();
        DestroyMenu(menu);
    });
    track(menu, window);
    EXPECT_EQ(nested_error, static_cast<DWORD>(ERROR_POPUP_ALREADY_ACTIVE));
    EXPECT_EQ(winsim::invalid_handle_uses(), 1u) << "the menu loop still uses the menu";
    winsim::reset(); // the fault is this test's subject
}

TEST_F(Windowing, MenuShownAgainVanishesUnlessTheOwnerPostedItselfAMessage) {
    const std::tuple<const char*, bool, void (*)(HWND window), bool> table[] = {
        {"nothing", true, [](HWND) {}, true},
        {"the program posts to its window", true,
         [](HWND window) { PostMessageW(window, WM_NULL, 0, 0); }, false},
        {"the program posts to its thread", true,
         [](HWND) { PostMessageW(nullptr, WM_NULL, 0, 0); }, false},
        {"the shell posts a click", true, [](HWND) { winsim::click_tray_icon(WM_LBUTTONUP); },
         true},
        {"another thread posts", true,
         [](HWND window) { std::thread([=] { PostMessageW(window, WM_NULL, 0, 0); }).join(); },
         true},
        {"nothing, owner in the background", false, [](HWND) {}, false},
    };
    for (auto [between, foreground, act, vanishes] : table) {
        SCOPED_TRACE(between);
        winsim::reset();
        SetUp();
        HWND window = make_window();
        add_icon(window);
        HMENU menu = two_item_menu();
        if (foreground)
            SetForegroundWindow(window);
        winsim::choose_menu_item({L"A"});
        EXPECT_EQ(track(menu, window), 10u);
        act(window);
        winsim::choose_menu_item({L"B"});
        EXPECT_EQ(track(menu, window), vanishes ? 0u : 11u);
        EXPECT_EQ(winsim::shown_menus().back().vanished, vanishes);
        drain();
        DestroyMenu(menu);
    }
}

TEST_F(Windowing, DeviceChangeTrafficAsWindowsSendsIt) {
    HWND registered = make_window();
    HWND other = make_window();
    HWND child = make_window(registered);
    register_for_hid(registered);
    using Expected = std::tuple<HWND, WPARAM, bool>; // window, event, whether it has a record
    const std::tuple<bool, std::vector<Expected>> table[] = {
        {true,
         {{registered, DBT_DEVNODES_CHANGED, false},
          {other, DBT_DEVNODES_CHANGED, false},
          {registered, DBT_DEVICEARRIVAL, true}}},
        {false,
         {{registered, DBT_DEVICEREMOVECOMPLETE, true},
          {registered, DBT_DEVNODES_CHANGED, false},
          {other, DBT_DEVNODES_CHANGED, false}}},
    };
    for (const auto& [arrival, expected] : table) {
        SCOPED_TRACE(arrival);
        size_t before = seen.size();
        winsim::device_interface_changed(arrival, hid_class, stick_path);
        drain();
        std::vector<Expected> changes;
        std::vector<std::wstring> paths;
        for (size_t i = before; i < seen.size(); i++)
            if (seen[i].message == WM_DEVICECHANGE) {
                changes.emplace_back(seen[i].window, seen[i].wparam, seen[i].lparam != 0);
                paths.push_back(seen[i].path);
            }
        EXPECT_EQ(changes, expected) << "none for the child window";
        for (size_t i = 0; i < paths.size() && i < expected.size(); i++)
            EXPECT_EQ(paths[i], std::get<2>(expected[i]) ? stick_path : L"") << i;
    }
    EXPECT_TRUE(messages_of(child, WM_DEVICECHANGE).empty());
}

TEST_F(Windowing, HeldDeviceChangesGoOutDuplicatedAndReordered) {
    // The order of release, and the events as the window sees them.
    const std::tuple<std::vector<size_t>, std::vector<WPARAM>> table[] = {
        {{0, 1}, {DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL}},
        {{1, 0, 0}, {DBT_DEVICEARRIVAL, DBT_DEVNODES_CHANGED, DBT_DEVNODES_CHANGED}},
        {{1, 1}, {DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL}},
        {{}, {}},
    };
    HWND window = make_window();
    register_for_hid(window);
    for (const auto& [order, expected] : table) {
        size_t before = seen.size();
        winsim::hold_device_changes();
        winsim::device_interface_changed(true, hid_class, stick_path);
        drain();
        EXPECT_EQ(seen.size(), before) << "held";
        auto held = winsim::held_device_changes();
        ASSERT_EQ(held.size(), 2u);
        EXPECT_EQ(held[0].event, static_cast<WPARAM>(DBT_DEVNODES_CHANGED));
        EXPECT_EQ(held[1].path, stick_path);
        winsim::release_device_changes(order);
        drain();
        std::vector<WPARAM> events;
        for (size_t i = before; i < seen.size(); i++) {
            events.push_back(seen[i].wparam);
            // Each copy of a record is the recipient's own and complete.
            if (seen[i].wparam == DBT_DEVICEARRIVAL) {
                EXPECT_EQ(seen[i].path, stick_path);
            }
        }
        EXPECT_EQ(events, expected);
        EXPECT_TRUE(winsim::held_device_changes().empty());
    }
}

TEST_F(Windowing, IconLoadedTwiceIsOneSharedHandleThatDestroyIconLeaves) {
    HWND window = make_window();
    HICON first = LoadIconW(GetModuleHandleW(nullptr), L"APP_ICON");
    HICON second = LoadIconW(GetModuleHandleW(nullptr), L"app_icon");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(DestroyIcon(first));
    EXPECT_TRUE(DestroyIcon(second));
    NOTIFYICONDATAW data = icon_of(window);
    data.uFlags = NIF_ICON;
    data.hIcon = first;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
    EXPECT_EQ(winsim::tray_icons()[0].image, L"APP_ICON") << "still valid after DestroyIcon";
    EXPECT_EQ(winsim::open_handles(), 0u) << "a shared icon is no handle to close";
    Shell_NotifyIconW(NIM_DELETE, &data);
}

TEST_F(Windowing, CreationMessagesCarryTheCreationParameters) {
    int parameter = 0;
    HWND parent = make_window();
    created.clear();
    HWND window = make_window(parent, &parameter);
    ASSERT_EQ(created.size(), 2u);
    UINT order[] = {WM_NCCREATE, WM_CREATE};
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(order[i]);
        EXPECT_EQ(created[i].message, order[i]);
        EXPECT_EQ(created[i].create.lpCreateParams, &parameter);
        EXPECT_EQ(created[i].create.hwndParent, parent);
        EXPECT_EQ(created[i].class_name, L"WindowingTest");
        EXPECT_EQ(created[i].create.x, 1);
        EXPECT_EQ(created[i].create.cy, 4);
    }
    EXPECT_TRUE(IsWindow(window));
}

TEST_F(Windowing, RetrievalHonoursTheWindowAndRangeFilters) {
    HWND a = make_window();
    HWND b = make_window();
    HWND thread_only = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
    // Filter: window, lowest and highest message; what it takes, WM_QUIT last when it does.
    const std::tuple<const char*, HWND, UINT, UINT, std::vector<UINT>> table[] = {
        {"none", nullptr, 0, 0, {WM_APP + 1, WM_APP + 2, WM_APP + 3, WM_USER + 1, WM_QUIT}},
        {"window a", a, 0, 0, {WM_APP + 1, WM_USER + 1}},
        {"thread messages", thread_only, 0, 0, {WM_APP + 3, WM_QUIT}},
        {"range", nullptr, WM_APP + 1, WM_APP + 2, {WM_APP + 1, WM_APP + 2, WM_QUIT}},
        {"window b and range", b, WM_APP + 2, WM_APP + 2, {WM_APP + 2}},
    };
    for (const auto& [filter, window, low, high, expected] : table) {
        SCOPED_TRACE(filter);
        PostMessageW(a, WM_APP + 1, 0, 0);
        PostMessageW(b, WM_APP + 2, 0, 0);
        PostMessageW(nullptr, WM_APP + 3, 0, 0);
        PostMessageW(a, WM_USER + 1, 0, 0);
        PostQuitMessage(0);
        std::vector<UINT> taken;
        MSG msg;
        while (PeekMessageW(&msg, window, low, high, PM_REMOVE))
            taken.push_back(msg.message);
        EXPECT_EQ(taken, expected);
        drain();
    }
    // A message sent from another thread is handled whatever the filter.
    std::thread sender([=] { SendMessageW(a, WM_APP + 9, 0, 0); });
    MSG msg;
    while (messages_of(a, WM_APP + 9).empty())
        PeekMessageW(&msg, b, WM_APP + 1, WM_APP + 1, PM_NOREMOVE);
    sender.join();
    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(0x7777), 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(Windowing, PostedQueueHoldsTenThousandMessages) {
    HWND window = make_window();
    add_icon(window);
    for (int i = 0; i < 10000; i++)
        ASSERT_TRUE(PostMessageW(window, WM_APP, 0, 0)) << i;
    EXPECT_FALSE(PostMessageW(window, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    EXPECT_FALSE(winsim::click_tray_icon(WM_LBUTTONUP)) << "the shell's posts count too";
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(PostMessageW(window, WM_APP, 0, 0));
    delete_icon(window);
}

TEST_F(Windowing, ShellRestartReachesAnElevatedProcessOnlyThroughTheMessageFilter) {
    // The actions are ChangeWindowMessageFilterEx's on "TaskbarCreated".
    const std::tuple<const char*, bool, std::vector<DWORD>, bool> table[] = {
        {"not elevated", false, {}, true},
        {"elevated", true, {}, false},
        {"elevated, allowed", true, {MSGFLT_ALLOW}, true},
        {"elevated, allowed then disallowed", true, {MSGFLT_ALLOW, MSGFLT_DISALLOW}, false},
        {"elevated, allowed then reset", true, {MSGFLT_ALLOW, MSGFLT_RESET}, false},
    };
    UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    for (const auto& [case_name, elevated, actions, reaches] : table) {
        SCOPED_TRACE(case_name);
        winsim::set_elevated(elevated);
        HWND window = make_window();
        register_for_hid(window);
        for (DWORD action : actions)
            EXPECT_TRUE(ChangeWindowMessageFilterEx(window, taskbar_created, action, nullptr));
        size_t before = seen.size();
        winsim::restart_shell();
        winsim::device_interface_changed(true, hid_class, stick_path);
        drain();
        EXPECT_EQ(messages_of(window, taskbar_created, before).size(), reaches ? 1u : 0u);
        EXPECT_EQ(messages_of(window, WM_DEVICECHANGE, before).size(), 2u)
            << "the system's own broadcasts always pass";
        DestroyWindow(window);
    }
}

TEST_F(Windowing, MessageFilterIsFoundInUser32AndChecksItsArguments) {
    HWND window = make_window();
    HMODULE user32 = GetModuleHandleW(L"USER32");
    ASSERT_NE(user32, nullptr);
    EXPECT_EQ(
        GetProcAddress(user32, "ChangeWindowMessageFilterEx"),
        reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&ChangeWindowMessageFilterEx)));
    const DWORD full = sizeof(CHANGEFILTERSTRUCT);
    const HWND none = reinterpret_cast<HWND>(0x7777);
    // Window, action, record size; the result, and the status it reports or the error it sets.
    const std::tuple<const char*, HWND, DWORD, DWORD, BOOL, DWORD> table[] = {
        {"allow", window, MSGFLT_ALLOW, full, TRUE, MSGFLTINFO_NONE},
        {"allow again", window, MSGFLT_ALLOW, full, TRUE, MSGFLTINFO_ALREADYALLOWED_FORWND},
        {"disallow", window, MSGFLT_DISALLOW, full, TRUE, MSGFLTINFO_NONE},
        {"disallow again", window, MSGFLT_DISALLOW, full, TRUE,
         MSGFLTINFO_ALREADYDISALLOWED_FORWND},
        {"record too small", window, MSGFLT_ALLOW, 4, FALSE, ERROR_INVALID_PARAMETER},
        {"unknown action", window, 7, full, FALSE, ERROR_INVALID_PARAMETER},
        {"no window", none, MSGFLT_ALLOW, full, FALSE, ERROR_INVALID_WINDOW_HANDLE},
    };
    for (auto [case_name, target, action, size, result, error_or_status] : table) {
        SCOPED_TRACE(case_name);
        CHANGEFILTERSTRUCT change{size, 0xFFFF};
        EXPECT_EQ(ChangeWindowMessageFilterEx(target, WM_APP + 7, action, &change), result);
        EXPECT_EQ(result ? change.ExtStatus : GetLastError(), error_or_status);
    }
}

} // namespace
