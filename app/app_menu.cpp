// The application's menu and its callbacks.
#include "app/app_menu.h"

#include "settings/settings.h"
#include "devices/device_rescan.h"
#include "devices/device_table.h"
#include "tray/tray.h"

#include "pelkavorn_version.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

const wchar_t BALLOON_TITLE[] = L"Pelkavorn error";
const wchar_t BALLOON_BUS_NOT_INSTALLED[] = L"ViGEmBus not installed";
const wchar_t BALLOON_BUS_VERSION[] = L"ViGEmBus incompatible version";
const wchar_t BALLOON_BUS_CONNECT[] = L"Error connecting to ViGEmBus";
const wchar_t BALLOON_DEVICE_LIMIT[] = L"Device count limit reached";
const wchar_t BALLOON_OPEN_FAILED[] = L"Error opening new device";
const wchar_t BALLOON_INIT_FAILED[] = L"Error initializing new device";
const wchar_t BALLOON_NO_EMULATION[] =
    L"Device added, but emulation doesn't work due to ViGEmBus problem";
const wchar_t BALLOON_SETTINGS_READ_ONLY[] =
    L"Mode changes cannot be saved: the settings file or its folder is read-only";
const wchar_t BALLOON_SETTINGS_DISK_FULL[] = L"Mode changes cannot be saved: the disk is full";
const wchar_t BALLOON_SETTINGS_IN_USE[] =
    L"Mode changes cannot be saved: another program holds the settings file";
const wchar_t BALLOON_SETTINGS_NOT_SAVED[] = L"Mode changes cannot be saved";

TrayDescriptor app_tray = {L"APP_ICON", L"Pelkavorn K7 v" PELKAVORN_VERSION_TEXT, nullptr};

TrayMenuItem status_item = {nullptr, 0, 0, on_status_refresh, 0, nullptr};

TrayMenuItem fn_modes_items[FN_MODES_RECORDS] = {
    {L"76-Deg Movement Lock", 0, 0, toggle_movement_lock, 0, nullptr},
    {L"Fast Turns", 0, 0, toggle_fast_turns, 0, nullptr},
    {nullptr, 0, 0, nullptr, 0, nullptr},
};

namespace {

// Copied into every array; their check marks are set from the flags at each build. Main
// thread only, like everything the menu is made of.
TrayMenuItem rotate_item = {L"Rotate 40-Deg", 0, 0, toggle_rotate, 0, nullptr};
TrayMenuItem driving_item = {L"Driving Mode", 0, 0, toggle_driving_mode, 0, nullptr};

const TrayMenuItem separator_item = {L"-", 0, 0, nullptr, 0, nullptr};
const TrayMenuItem quit_item = {L"Quit", 0, 0, on_quit, 0, nullptr};
const TrayMenuItem end_item = {nullptr, 0, 0, nullptr, 0, nullptr};

const wchar_t STATUS_DETECTED[] = L"Pelkavorn K7 Detected";
const wchar_t STATUS_NOT_DETECTED[] = L"Pelkavorn K7 Not Detected";

// A check mark shows the low byte of the mode's value, so 2 is checked and 256 is not.
uint8_t check_mark(int32_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}

uint8_t flipped(uint8_t checked) {
    return checked == 0 ? 1 : 0;
}

// Whether this run has told the user that a mode switch could not be saved. Main thread only.
bool save_failure_told = false;

// Saves the modes after a switch. A failure is a switch the user would find gone at the next
// start, so the first of a run is told; the switch stays in effect for the run either way.
void save_modes(void) {
    const SettingsWrite write = write_settings_file();
    if (write.result == SETTINGS_WRITTEN || save_failure_told)
        return;
    save_failure_told = true;
    const wchar_t* text = BALLOON_SETTINGS_NOT_SAVED;
    switch (write.result) {
    case SETTINGS_READ_ONLY:
        text = BALLOON_SETTINGS_READ_ONLY;
        break;
    case SETTINGS_DISK_FULL:
        text = BALLOON_SETTINGS_DISK_FULL;
        break;
    case SETTINGS_FILE_IN_USE:
        text = BALLOON_SETTINGS_IN_USE;
        break;
    case SETTINGS_WRITTEN:
    case SETTINGS_NOT_WRITTEN:
        break;
    }
    tray_show_balloon(BALLOON_WARNING, BALLOON_TITLE, text);
}

} // namespace

void build_application_menu(void) {
    AcquireSRWLockShared(&device_table.lock);
    int32_t count = device_table.count;
    ReleaseSRWLockShared(&device_table.lock);
    const wchar_t* literal = count != 0 ? STATUS_DETECTED : STATUS_NOT_DETECTED;
    size_t length = std::wcslen(literal);

    // Both blocks first: when either is missing, nothing has changed yet and the previous
    // array and text stay in use.
    auto* array = static_cast<TrayMenuItem*>(std::calloc(APP_MENU_CAPACITY, sizeof(TrayMenuItem)));
    auto* text = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (!array || !text) {
        std::free(array);
        std::free(text);
        return;
    }
    std::wmemcpy(text, literal, length + 1);

    wchar_t* old_text = const_cast<wchar_t*>(status_item.text);
    status_item.text = text;
    status_item.callback = on_status_refresh;
    std::free(old_text);

    array[APP_MENU_STATUS] = status_item;
    array[APP_MENU_SEPARATOR] = separator_item;
    rotate_item.checked = check_mark(mode_settings.rotate);
    array[APP_MENU_ROTATE] = rotate_item;
    driving_item.checked = check_mark(mode_settings.driving_mode);
    array[APP_MENU_DRIVING] = driving_item;
    fn_modes_items[FN_MODES_MOVEMENT_LOCK].checked = check_mark(mode_settings.movement_lock);
    fn_modes_items[FN_MODES_FAST_TURNS].checked = check_mark(mode_settings.fast_turns);
    array[APP_MENU_FN_MODES] = {L"FN Modes", 0, 0, nullptr, 0, fn_modes_items};
    array[APP_MENU_QUIT] = quit_item;
    array[APP_MENU_END] = end_item;

    TrayMenuItem* old_array = app_tray.menu;
    app_tray.menu = array;
    std::free(old_array);
}

void app_menu_update(void) {
    build_application_menu();
    tray_refresh(&app_tray);
}

void app_menu_warn(DeviceWarning warning) {
    const wchar_t* text = nullptr;
    switch (warning) {
    case DEVICE_WARNING_TABLE_FULL:
        text = BALLOON_DEVICE_LIMIT;
        break;
    case DEVICE_WARNING_OPEN_FAILED:
        text = BALLOON_OPEN_FAILED;
        break;
    case DEVICE_WARNING_INIT_FAILED:
        text = BALLOON_INIT_FAILED;
        break;
    case DEVICE_WARNING_NO_EMULATION:
        text = BALLOON_NO_EMULATION;
        break;
    }
    if (text)
        tray_show_balloon(BALLOON_WARNING, BALLOON_TITLE, text);
}

void free_application_menu(void) {
    std::free(app_tray.menu);
    app_tray.menu = nullptr;
    std::free(const_cast<wchar_t*>(status_item.text));
    status_item.text = nullptr;
    save_failure_told = false;
}

void on_status_refresh(TrayMenuItem*) {
    // Standard output is the process's only console channel. Whatever is buffered there (the
    // simulator's lines, say, when it hosts the program) goes out before a rescan that may
    // block for seconds on a device restart.
    std::fflush(stdout);
    device_rescan();
}

// The movement-lock item takes its mark from the flag; the other three flip their own mark and
// their flag side by side, so a value such as 2 from the file stays checked until switched.
void toggle_movement_lock(TrayMenuItem* item) {
    mode_settings.movement_lock = mode_settings.movement_lock == 0 ? 1 : 0;
    item->checked = check_mark(mode_settings.movement_lock);
    tray_refresh(&app_tray);
    mode_settings.movement_lock_saved = mode_settings.movement_lock == 1 ? 1 : 0;
    save_modes();
}

void toggle_rotate(TrayMenuItem* item) {
    item->checked = flipped(item->checked);
    tray_refresh(&app_tray);
    mode_settings.rotate ^= 1;
    save_modes();
    mode_settings.rotation_offset = static_cast<double>(mode_settings.rotate) * ROTATION_40_DEGREES;
}

void toggle_driving_mode(TrayMenuItem* item) {
    item->checked = flipped(item->checked);
    tray_refresh(&app_tray);
    mode_settings.driving_mode ^= 1;
    save_modes();
}

void toggle_fast_turns(TrayMenuItem* item) {
    item->checked = flipped(item->checked);
    tray_refresh(&app_tray);
    mode_settings.fast_turns ^= 1;
    save_modes();
}

void on_quit(TrayMenuItem*) {
    device_rescan();
    // Out before the tray goes and the process ends, for the same reason.
    std::fflush(stdout);
    tray_destroy();
}
