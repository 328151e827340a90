#include "tray/tray_menu.h"

#include <cwchar>

bool tray_menu_is_separator(const TrayMenuItem* item) {
    return item->text[0] == L'-' && item->text[1] == L'\0';
}

void* tray_menu_walk(const TrayMenuItem* items, uint32_t* counter, const TrayMenuSink* sink) {
    void* menu = sink->create_menu(sink->context);
    if (!menu)
        return nullptr;
    for (const TrayMenuItem* item = items; item && item->text; ++item) {
        if (tray_menu_is_separator(item)) {
            sink->append_separator(sink->context, menu, *counter);
        } else {
            void* submenu = item->submenu ? tray_menu_walk(item->submenu, counter, sink) : nullptr;
            sink->append_item(sink->context, menu, item, *counter, submenu);
        }
        ++*counter;
    }
    return menu;
}

size_t tray_copy_text(wchar_t* field, size_t capacity, const wchar_t* text) {
    size_t n = 0;
    if (text)
        while (n + 1 < capacity && text[n])
            n++;
    // A high surrogate whose partner did not fit would show as a broken glyph.
    if (text && text[n] && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF)
        n--;
    for (size_t i = 0; i < n; i++)
        field[i] = text[i];
    field[n] = L'\0';
    return n;
}
