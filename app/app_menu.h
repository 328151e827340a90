// The application's tray: its descriptor, the menu with the status line and the four mode
// items, their callbacks, and the texts of every balloon the program shows.
//
// Threads: everything here runs on the main thread; the menu array, the status text and the
// mode items have no lock. The device table reaches the menu through the two slots start-up
// fills with app_menu_update and app_menu_warn; a reader thread's removal posts its rebuild
// to the main thread.
//
// A choice made while the menu is open is looked up by its identifier in the menu of the
// latest refresh, and identifiers never change between builds, so a rebuild meanwhile (a stick
// coming or going while the menu's loop runs) still runs the item the user saw, in the new
// array. The old array is freed at the rebuild.
#pragma once

#include "devices/device_table.h"
#include "tray/tray_menu.h"

// The application's tray: icon "APP_ICON", tooltip "Pelkavorn K7 v" and the project's version
// (CMakeLists.txt), and the menu array of the latest build (null before the first). Main
// thread.
extern TrayDescriptor app_tray;

// The status line's record; `text` is the status text of the latest build in a heap block of
// its own (null before the first). Main thread.
extern TrayMenuItem status_item;

// Where each record stands in the array a build fills, the end record included.
enum : size_t {
    APP_MENU_STATUS = 0,
    APP_MENU_SEPARATOR = 1,
    APP_MENU_ROTATE = 2,
    APP_MENU_DRIVING = 3,
    APP_MENU_FN_MODES = 4,
    APP_MENU_QUIT = 5,
    APP_MENU_END = 6,
    APP_MENU_RECORDS = 7,   // records a build fills
    APP_MENU_CAPACITY = 15, // records the array has room for
};

// Where each record of the "FN Modes" submenu stands.
enum : size_t {
    FN_MODES_MOVEMENT_LOCK = 0,
    FN_MODES_FAST_TURNS = 1,
    FN_MODES_END = 2,
    FN_MODES_RECORDS = 3,
};

// The "FN Modes" submenu: "76-Deg Movement Lock", "Fast Turns", end record. The menu uses these
// records themselves, so their toggles flip these check marks. Main thread.
extern TrayMenuItem fn_modes_items[FN_MODES_RECORDS];

// Builds a new menu array and status text from the table's count and the mode flags and
// installs them in app_tray; frees the previous ones. When either cannot be allocated the
// previous array and text stay, so the menu shows the last state it could. Does not refresh
// the tray. Main thread only (the engine's current popup menu refers to the array freed here);
// takes the table lock shared, which the caller must not hold. Does not block beyond the lock.
void build_application_menu(void);

// Rebuilds the menu and refreshes the tray: the device table's DeviceTableChangedCallback,
// after every insertion and removal. Main thread; no lock held.
void app_menu_update(void);

// Shows the warning balloon of a failure while attaching a stick: the device table's
// DeviceWarningCallback. Main thread; no lock held.
void app_menu_warn(DeviceWarning warning);

// Frees the menu array and the status text and forgets them, and whether a failed save was
// told. Shutdown, main thread, once the loop has ended and no menu can be shown.
void free_application_menu(void);

// Menu callbacks (MenuItemCallback): main thread, inside the menu's command handling, no lock
// held. No results.
// The status line: flushes standard output, then rescans (blocks on enumeration and attaching).
void on_status_refresh(TrayMenuItem* item);
// The mode items: switch the mode, update the chosen record's check mark, refresh the tray and
// rewrite the settings file (blocks on the file). A switch that cannot be saved stays in effect
// for the run; the first such failure of a run is told in a warning balloon. Movement lock takes
// its mark from the flag; the other three flip their own mark and their flag's lowest bit side by
// side.
void toggle_rotate(TrayMenuItem* item);
void toggle_driving_mode(TrayMenuItem* item);
void toggle_movement_lock(TrayMenuItem* item);
void toggle_fast_turns(TrayMenuItem* item);
// "Quit": rescans, flushes standard output and tears the tray down, which ends the loop.
void on_quit(TrayMenuItem* item);

// Balloons: every one has this title; start-up's are errors, attaching a stick's warnings, and
// so is the one that says, once a run, that a mode switch could not be saved (and why).
extern const wchar_t BALLOON_TITLE[];
extern const wchar_t BALLOON_BUS_NOT_INSTALLED[];
extern const wchar_t BALLOON_BUS_VERSION[];
extern const wchar_t BALLOON_BUS_CONNECT[];
extern const wchar_t BALLOON_DEVICE_LIMIT[];
extern const wchar_t BALLOON_OPEN_FAILED[];
extern const wchar_t BALLOON_INIT_FAILED[];
extern const wchar_t BALLOON_NO_EMULATION[];
extern const wchar_t BALLOON_SETTINGS_READ_ONLY[];
extern const wchar_t BALLOON_SETTINGS_DISK_FULL[];
extern const wchar_t BALLOON_SETTINGS_IN_USE[];
extern const wchar_t BALLOON_SETTINGS_NOT_SAVED[];
