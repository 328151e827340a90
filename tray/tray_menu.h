// The tray's plain description: menu items, callbacks, balloon severities, and the walk that
// gives every menu item its command identifier. Nothing here calls the platform.
#pragma once

#include <cstddef>
#include <cstdint>

struct TrayMenuItem;

// Runs on the main thread inside message dispatch, with the chosen record. It may change that
// record (flip `checked`) and call tray_refresh.
typedef void (*MenuItemCallback)(TrayMenuItem* item);

// One menu entry. Arrays end with a record whose `text` is null. A popup menu built from an
// array refers to its records by address, so they must stay put while that menu can be shown.
struct TrayMenuItem {
    const wchar_t* text;       // copied into the menu; exactly "-" makes a separator
    uint8_t disabled;          // nonzero: greyed, cannot be chosen
    uint8_t checked;           // nonzero: shows a check mark
    MenuItemCallback callback; // null: choosing the item does nothing
    uintptr_t context;         // the callback's; the engine never touches it
    TrayMenuItem* submenu;     // array of a nested popup menu, or null
};

// The tray as the application describes it; read again at every refresh.
struct TrayDescriptor {
    const wchar_t* icon_name; // icon resource of the program's own module
    const wchar_t* tooltip;   // at most TRAY_TOOLTIP_CHARS characters are shown
    TrayMenuItem* menu;       // the top-level menu
};

enum DeviceChangeKind : int32_t {
    DEVICE_CHANGE_OTHER = 0,
    DEVICE_CHANGE_ARRIVAL = 1,
    DEVICE_CHANGE_REMOVE_COMPLETE = 2,
};

// Runs on the main thread inside message dispatch. `name` is the device interface's name, or
// null when the system's record names no device interface.
typedef void (*DeviceChangeCallback)(DeviceChangeKind kind, const wchar_t* name);

// Any other value shows a balloon without an icon.
enum BalloonSeverity : int32_t {
    BALLOON_INFO = 0,
    BALLOON_WARNING = 1,
    BALLOON_ERROR = 2,
};

enum : uint32_t {
    FIRST_MENU_ITEM_ID = 1000,
    // Separators all carry this identifier; commands start at FIRST_MENU_ITEM_ID, so no
    // command can ever select one.
    TRAY_SEPARATOR_ID = 1,
};

// Text limits in characters, without the terminator, set by the notification record's fields.
enum : size_t {
    TRAY_TOOLTIP_CHARS = 127,
    TRAY_BALLOON_TITLE_CHARS = 63,
    TRAY_BALLOON_TEXT_CHARS = 255,
};

bool tray_menu_is_separator(const TrayMenuItem* item);

// Whoever makes the actual menus for tray_menu_walk. `menu` values are the sink's own.
struct TrayMenuSink {
    void* context;
    // A new empty menu, or null when none can be made.
    void* (*create_menu)(void* context);
    // Appends a separator; `position` is the counter value it used up.
    void (*append_separator)(void* context, void* menu, uint32_t position);
    // Appends an item with identifier `id` (which is also its insertion position, beyond the
    // last item). `submenu` is the menu already made from item->submenu, or null.
    void (*append_item)(void* context, void* menu, const TrayMenuItem* item, uint32_t id,
                        void* submenu);
};

// Builds the menu of an item array through the sink and returns it (null when the sink could
// not make it). One counter serves every level: each record, separators included, takes the
// counter's value and moves it on by one, and a nested array is walked before the record that
// opens it, so that record gets a higher identifier than all of its children. The same array
// always yields the same identifiers. Pure; any thread.
void* tray_menu_walk(const TrayMenuItem* items, uint32_t* counter, const TrayMenuSink* sink);

// Copies `text` (null: empty) into a field of `capacity` characters, cutting it to fit and
// always terminating it; a cut never leaves half a surrogate pair behind. Returns the number of
// characters copied. `capacity` must be at least 1.
size_t tray_copy_text(wchar_t* field, size_t capacity, const wchar_t* text);
