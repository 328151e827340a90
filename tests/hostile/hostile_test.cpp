// Hostile input from outside the process: any program on the desktop can post or send our
// hidden top-level window any message, and any user can put anything at the settings file's
// name. The program runs through its real entry point; a thread of the test plays the other
// process (a message from another thread reaches the window's thread as one from another
// process does). After every row: still running, nothing called through a pointer taken from a
// message, no balloon, the icon there once, the stick still on its one pad, the settings file
// untouched; and in the end the program still quits through its menu with exit code 0.
#include "program_test.h"

#include "hid/hid_device.h"
#include "app/app_menu.h"
#include "tray/tray.h"

#include <dbt.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace fs = std::filesystem;

namespace {

// A function whose address the other process hands us; calling it is the fault.
std::atomic<int> trap_calls{0};
void trap() {
    trap_calls++;
}
const LPARAM trap_address = reinterpret_cast<LPARAM>(&trap);

// FS_IMMUTABLE_FL: not even root may replace, rename over or write the file; the stand-in for a
// file that Windows refuses to replace (read-only, or held open by another program). On a
// folder: nothing in it can be made, renamed or removed, though its files stay writable. False
// where the file system or the user cannot set it.
std::vector<fs::path> immutable_files; // to be released after the test
bool set_immutable(const fs::path& path, bool on) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    if (done && on)
        immutable_files.push_back(path);
    return done;
}

class Hostile : public ProgramTest {
  protected:
    void SetUp() override {
        ProgramTest::SetUp();
        trap_calls = 0;
    }
    void TearDown() override {
        // Files made immutable would keep the test's directory from going.
        for (const auto& path : immutable_files)
            set_immutable(path, false);
        immutable_files.clear();
        ProgramTest::TearDown();
    }
};

// A DEV_BROADCAST record as the receiving side gets it: Windows copies exactly the record's own
// dbch_size bytes into our process, so reading past them reads what is not there (here: past a
// heap block of that size, which AddressSanitizer watches).
struct Record {
    std::vector<BYTE> bytes;
    LPARAM copy() const {
        auto* block = static_cast<BYTE*>(std::malloc(bytes.size()));
        std::memcpy(block, bytes.data(), bytes.size());
        return reinterpret_cast<LPARAM>(block);
    }
};
Record record(DWORD size, DWORD type, std::vector<BYTE> tail = {}) {
    Record made;
    made.bytes.resize(size);
    std::memcpy(made.bytes.data(), &size, std::min<size_t>(size, 4));
    if (size >= 8)
        std::memcpy(made.bytes.data() + 4, &type, 4);
    for (size_t i = 0; i < tail.size() && 12 + i < size; i++)
        made.bytes[12 + i] = tail[i];
    return made;
}

// Interface records too short for what they claim.
const Record tiny = record(4, DBT_DEVTYP_DEVICEINTERFACE);    // the size field alone
const Record header = record(12, DBT_DEVTYP_DEVICEINTERFACE); // no class, no name
const Record no_name = record(28, DBT_DEVTYP_DEVICEINTERFACE);
const Record unterminated = record(32, DBT_DEVTYP_DEVICEINTERFACE, std::vector<BYTE>(20, 'A'));

TEST_F(Hostile, ForgedMessagesCallNothingAndChangeNothing) {
    int bus = winsim::bus_add();
    winsim::hid_add(winsim::hid_stick(1));
    put_file(SETTINGS_FILE_NAME, "1\r\n0\r\n1\r\n0");
    start();
    HWND window = program_window();
    ASSERT_NE(window, nullptr);
    const UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    // Another program can find the wake message's name in our executable.
    const UINT wake = RegisterWindowMessageW(TRAY_WAKE_MESSAGE_NAME);
    const std::vector<bool> marks = check_marks();
    ASSERT_EQ(marks, (std::vector<bool>{false, true, true, false}));
    const size_t icons = winsim::tray_icons().size();
    const std::wstring tooltip = winsim::tray_icons().at(0).tooltip;

    struct Row {
        const char* name;
        bool send; // a send waits for the answer; records only travel with sends
        UINT message;
        WPARAM wparam;
        LPARAM lparam;
        const Record* record; // sent as a copy of its bytes, instead of `lparam`
    };
    const Record volume = record(20, DBT_DEVTYP_VOLUME);
    const LPARAM lure = trap_address;
    const Row rows[] = {
        // The icon's callback message: only a button's release opens the menu.
        {"tray callback, mouse move", false, TRAY_CALLBACK_MESSAGE, 0, WM_MOUSEMOVE},
        {"tray callback, pointers", false, TRAY_CALLBACK_MESSAGE, WPARAM(lure), lure},
        {"tray callback, double click", true, TRAY_CALLBACK_MESSAGE, 7, WM_LBUTTONDBLCLK},
        {"tray callback, all bits", false, TRAY_CALLBACK_MESSAGE, WPARAM(-1), LPARAM(-1)},
        // Menu commands that are no item of ours, or whose item does nothing.
        {"command 0 with a pointer", false, WM_COMMAND, 0, lure},
        {"command of the separator", false, WM_COMMAND, 1, 0},
        {"command just below the first", true, WM_COMMAND, 999, lure},
        {"command of FN Modes", false, WM_COMMAND, 1006, 0},
        {"command past the last", false, WM_COMMAND, 1008, 0},
        {"command with a notification code", false, WM_COMMAND, WPARAM((1u << 16) | 1002), 0},
        {"command all bits", true, WM_COMMAND, WPARAM(0xFFFFFFFFu), LPARAM(-1)},
        {"command as a pointer", false, WM_COMMAND, WPARAM(lure), lure},
        // Device changes: events that carry no record point nowhere and are not read.
        {"nodes changed, pointer", false, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, lure},
        {"nodes changed, nowhere", false, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, LPARAM(0x10)},
        {"config changed, all bits", false, WM_DEVICECHANGE, DBT_CONFIGCHANGED, LPARAM(-1)},
        {"unknown event, nowhere", true, WM_DEVICECHANGE, 0x1234, LPARAM(0xDEADBEEF)},
        {"query config change, nowhere", true, WM_DEVICECHANGE, DBT_QUERYCHANGECONFIG, 0x20},
        // Events that carry a record: none, or records too short for what they claim.
        {"arrival without record", true, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0},
        {"removal without record", true, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0},
        {"arrival, size field only", true, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, &tiny},
        {"arrival, bare header", true, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, &header},
        {"arrival, no name", true, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, &no_name},
        {"removal, unterminated name", true, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0,
         &unterminated},
        {"custom event, volume", true, WM_DEVICECHANGE, DBT_CUSTOMEVENT, 0, &volume},
        // Private messages: the wake message runs only what this process queued.
        {"wake, pointers", false, wake, WPARAM(lure), lure},
        {"wake sent, all bits", true, wake, WPARAM(-1), LPARAM(-1)},
        {"WM_APP+1, pointers", false, WM_APP + 1, WPARAM(lure), lure},
        {"WM_APP+1 sent, nowhere", true, WM_APP + 1, WPARAM(0x10), LPARAM(0x10)},
        {"WM_USER, pointers", false, WM_USER, WPARAM(lure), lure},
        // The shell's restart message: the icon stays one icon.
        {"TaskbarCreated", false, taskbar_created, 0, 0},
        {"TaskbarCreated sent, pointers", true, taskbar_created, WPARAM(lure), lure},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LPARAM lparam = row.record ? row.record->copy() : row.lparam;
        // The other process posts or sends from a thread of its own.
        std::thread other([&] {
            if (row.send)
                SendMessageW(window, row.message, row.wparam, lparam);
            else
                EXPECT_TRUE(PostMessageW(window, row.message, row.wparam, lparam));
        });
        other.join();
        settle();
        if (row.record)
            std::free(reinterpret_cast<void*>(lparam));
        ASSERT_FALSE(ended_) << "the program ended";
        EXPECT_EQ(trap_calls.load(), 0) << "called through a pointer from a message";
        EXPECT_TRUE(winsim::balloons().empty());
        ASSERT_EQ(winsim::tray_icons().size(), icons);
        EXPECT_EQ(winsim::tray_icons()[0].tooltip, tooltip);
        EXPECT_EQ(winsim::bus_pads(bus).size(), 1u) << "the stick lost or doubled its pad";
        EXPECT_EQ(file_bytes(SETTINGS_FILE_NAME), "1\r\n0\r\n1\r\n0");
    }
    auto items = menu();
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items[0].text, L"Pelkavorn K7 Detected");
    EXPECT_EQ(check_marks(), marks);
    quit();
}

// Another program fills our message queue (Windows takes 10,000 posted messages, then refuses
// more) just as the stick is pulled: the reader's request for the menu's rebuild cannot wake
// the main thread, and must still be carried out once the main thread gets through the flood.
TEST_F(Hostile, AFloodedMessageQueueLosesNoMenuRebuild) {
    winsim::bus_add();
    const int stick = winsim::hid_add(winsim::hid_stick(1));
    start();
    HWND window = program_window();
    ASSERT_NE(window, nullptr);
    // While the menu is open the main thread is busy in this event, so the flood stays queued.
    size_t flood = 0;
    winsim::while_menu_open([&] {
        std::thread other([&] {
            while (PostMessageW(window, WM_NULL, 0, 0))
                flood++;
        });
        other.join();
        winsim::hid_unplug(stick);
        EXPECT_TRUE(wait_for([] { return winsim::running_threads() == 0; }));
    });
    winsim::dismiss_menu();
    ASSERT_TRUE(winsim::click_tray_icon(WM_RBUTTONUP));
    settle();
    EXPECT_GT(flood, 0u);
    auto items = menu();
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items[0].text, L"Pelkavorn K7 Not Detected");
    quit();
}

// What the tray engine hands its device-change callback from such records: a name only when
// the record holds all of it, terminator included, so a callback may read it to its end.
std::vector<std::wstring> names_seen;
int nameless_seen = 0;
void read_name(DeviceChangeKind, const wchar_t* name) {
    if (name)
        names_seen.push_back(name);
    else
        nameless_seen++;
}

std::vector<BYTE> interface_record(const std::wstring& name) {
    const size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    Record made =
        record(DWORD(offset + (name.size() + 1) * sizeof(wchar_t)), DBT_DEVTYP_DEVICEINTERFACE);
    std::memcpy(made.bytes.data() + offset, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return made.bytes;
}

TEST_F(Hostile, DeviceChangeNamesAreTakenOnlyFromInsideTheirRecord) {
    names_seen.clear();
    nameless_seen = 0;
    TrayMenuItem items[] = {{L"Quit", 0, 0, nullptr, 0, nullptr},
                            {nullptr, 0, 0, nullptr, 0, nullptr}};
    TrayDescriptor descriptor{app_tray.icon_name, app_tray.tooltip, items};
    ASSERT_EQ(tray_create(&descriptor), 0);
    tray_register_device_notifications(hid_class_guid(), read_name);
    const std::wstring path = L"\\\\?\\HID#VID_16D0&PID_11A0#1";
    const std::vector<BYTE> whole = interface_record(path);
    std::vector<BYTE> cut = whole;
    cut.resize(whole.size() - sizeof(wchar_t)); // the terminator left out
    const DWORD cut_size = DWORD(cut.size());
    std::memcpy(cut.data(), &cut_size, sizeof(cut_size));
    const std::vector<std::vector<BYTE>> nameless = {tiny.bytes, header.bytes, no_name.bytes,
                                                     unterminated.bytes, cut};
    for (const auto& bytes : nameless)
        winsim::broadcast_device_change(DBT_DEVICEARRIVAL, bytes);
    winsim::broadcast_device_change(DBT_DEVICEARRIVAL, whole);
    while (winsim::queued_messages() > 0)
        pump_message(0);
    EXPECT_EQ(nameless_seen, int(nameless.size()));
    EXPECT_EQ(names_seen, std::vector<std::wstring>{path});
    tray_destroy();
    while (pump_message(0) != -1) {
    }
}

// The settings file as any user can leave it. Loading takes what "%d" would read (a number
// beyond 32 bits is 0) and never rewrites the file; a toggle leaves either the old file whole
// (when it cannot be replaced) or exactly the new four values, never a mix, and no temporary
// file; the switched mode stays in effect either way.
enum class Then {
    Nothing,
    Grow,   // sparsely, to 5 GiB: beyond 32 bits
    Folder, // a folder stands at the name instead
    Sealed, // the folder: no file can be made beside it, as under a folder whose permissions on
            // Windows allow writing files but not creating them; the file stays writable
    ReadOnly,
    Locked, // neither readable nor replaceable by the program's user: what another program's
            // exclusive open does to it on Windows
};
struct FileCase {
    const char* name;
    std::string bytes;
    std::vector<bool> marks;   // rotate, driving, movement lock, fast turns, after loading
    const char* rewritten;     // the file after "Driving Mode" is switched; null: not replaceable
    Then then = Then::Nothing; // done to the file once it holds `bytes`
};

// Puts the file in place; false when this machine cannot make the case.
bool arrange(const FileCase& row, const fs::path& file) {
    if (row.then == Then::Folder)
        return fs::create_directory(file);
    if (!(std::ofstream(file, std::ios::binary) << row.bytes))
        return false;
    std::error_code error;
    if (row.then == Then::Grow)
        fs::resize_file(file, 5ull << 30, error);
    if (row.then == Then::Locked && chmod(file.c_str(), 0) != 0)
        return false;
    if (row.then == Then::Sealed)
        return set_immutable(file.parent_path(), true);
    if (row.then == Then::ReadOnly || row.then == Then::Locked)
        return set_immutable(file, true);
    return !error;
}

std::string noise() {
    std::string bytes = "\xFF\xFE";
    for (int i = 0; i < 4096; i++)
        bytes.push_back(char((i * 7919 + 13) % 256));
    return bytes;
}
const std::string spaces(8 << 20, ' '), nines(8 << 20, '9');
const std::string plain = "0\r\n1\r\n0\r\n1", all_on = "1\r\n1\r\n1\r\n1";

const FileCase file_cases[] = {
    {"huge_whitespace_then_values", spaces + "0 1 0 1", {1, 0, 0, 1}, "0\r\n1\r\n1\r\n1"},
    {"huge_number", "1\n" + nines, {0, 0, 1, 0}, "1\r\n0\r\n1\r\n0"},
    {"huge_sparse_beyond_32_bits", all_on, {1, 1, 1, 1}, "1\r\n1\r\n0\r\n1", Then::Grow},
    {"binary", noise(), {0, 0, 0, 0}, "0\r\n0\r\n1\r\n0"},
    {"truncated_mid_line", "1\r\n1\r\n1\r", {1, 1, 1, 0}, "1\r\n1\r\n0\r\n0"},
    {"truncated_to_a_sign", "1\r\n-", {0, 0, 1, 0}, "1\r\n0\r\n1\r\n0"},
    {"in_a_folder_that_refuses_new_files", plain, {1, 0, 0, 1}, "0\r\n1\r\n1\r\n1", Then::Sealed},
    {"a_directory", "", {0, 0, 0, 0}, nullptr, Then::Folder},
    {"read_only", plain, {1, 0, 0, 1}, nullptr, Then::ReadOnly},
    {"locked", all_on, {0, 0, 0, 0}, nullptr, Then::Locked},
};

void PrintTo(const FileCase& row, std::ostream* out) {
    *out << row.name;
}

class HostileFile : public Hostile, public ::testing::WithParamInterface<FileCase> {};

TEST_P(HostileFile, LoadsWithoutHarmAndNeverLeavesAHalfWrittenFile) {
    const FileCase& row = GetParam();
    winsim::bus_add();
    const fs::path file = folder_.path / SETTINGS_FILE_NAME;
    if (!arrange(row, file))
        GTEST_SKIP() << "this machine cannot make the case (needs root on a file system with "
                        "the immutable flag)";
    const bool directory = fs::is_directory(file);
    const bool unprivileged = row.then == Then::Locked;
    const auto size_before = directory ? 0 : fs::file_size(file);
    const auto time_before = fs::last_write_time(file);
    if (unprivileged) {
        // The program's thread takes this thread's file-system identity: without root's
        // override, the file's permissions count.
        fs::permissions(folder_.path, fs::perms::all);
        setfsuid(65534);
    }
    start();
    if (unprivileged)
        setfsuid(0);
    ASSERT_FALSE(ended_);
    EXPECT_EQ(check_marks(), row.marks);
    EXPECT_EQ(fs::last_write_time(file), time_before) << "the file was rewritten at load";

    click({L"Driving Mode"});
    std::vector<bool> switched = row.marks;
    switched[1] = !switched[1];
    EXPECT_EQ(check_marks(), switched) << "the switch must stay in effect";
    EXPECT_FALSE(fs::exists(folder_.path / SETTINGS_FILE_NAME ".tmp"));
    if (row.rewritten) {
        EXPECT_EQ(file_bytes(file), row.rewritten);
    } else {
        ASSERT_EQ(fs::is_directory(file), directory);
        if (!directory) {
            EXPECT_EQ(fs::file_size(file), size_before);
        }
        EXPECT_EQ(fs::last_write_time(file), time_before) << "the file was touched";
    }
    // A switch that cannot be saved is told, once.
    EXPECT_EQ(winsim::balloons().size(), row.rewritten ? 0u : 1u);
    quit();
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFile, ::testing::ValuesIn(file_cases),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
