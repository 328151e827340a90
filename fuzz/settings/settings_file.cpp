// Settings files of any bytes through loading, each of the four mode toggles of the application
// menu, and the rewrite. Runs in a directory of its own (the file is relative to the current
// directory).
//
// Stops on: a crash or a sanitizer report; loaded values other than those the formatted input
// of four "%d" would give (a number beyond 32 bits counts as 0); a live value not derived as
// documented; a rewritten file that is not the four values of the record in the program's
// format ("%d" CR LF "%d" CR LF "%d" CR LF "%d") or that does not load back to the same
// record; a temporary file left behind.
#include "settings/settings.h"
#include "settings_reset.h"
#include "temp_folder.h"
#include "app/app_menu.h"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

// What loading must make of the bytes: up to four integers read as the C library's "%d" reads
// them, the reading ending at the first that is not one.
struct Expected {
    int32_t values[4] = {0, 0, 0, 0};
};

Expected expected_values(const std::string& bytes) {
    Expected expected;
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        while (at < bytes.size() && std::strchr(" \t\n\v\f\r", bytes[at]) && bytes[at] != '\0')
            at++;
        size_t start = at;
        if (at < bytes.size() && bytes[at] == '+')
            start = ++at;
        else if (at < bytes.size() && bytes[at] == '-')
            at++;
        size_t digits = at;
        while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9')
            at++;
        if (at == digits)
            break;
        int64_t value = 0;
        auto result = std::from_chars(bytes.data() + start, bytes.data() + at, value);
        bool fits = result.ec == std::errc() && value >= INT32_MIN && value <= INT32_MAX;
        expected.values[i] = fits ? (int32_t)value : 0;
    }
    return expected;
}

std::string record_text() {
    char text[64];
    std::snprintf(text, sizeof text, "%d\r\n%d\r\n%d\r\n%d", (int)mode_settings.movement_lock_saved,
                  (int)mode_settings.rotate, (int)mode_settings.driving_mode,
                  (int)mode_settings.fast_turns);
    return text;
}

void check_derived(const char* when) {
    int32_t lock = mode_settings.movement_lock;
    if (lock != (mode_settings.movement_lock_saved == 1 ? 1 : 0))
        fail("movement lock not derived from its saved value", when);
}

// The file on disk is exactly the record, in the program's format, and loads back to it.
void check_file(const char* when) {
    if (std::filesystem::exists(SETTINGS_FILE_NAME ".tmp"))
        fail("temporary file left behind", when);
    std::string written = file_bytes(SETTINGS_FILE_NAME);
    std::string expected = record_text();
    if (written != expected)
        fail("rewritten file is not the record", std::string(when) + ": '" + written + "'");
    Expected back = expected_values(written);
    if (back.values[0] != mode_settings.movement_lock_saved ||
        back.values[1] != mode_settings.rotate || back.values[2] != mode_settings.driving_mode ||
        back.values[3] != mode_settings.fast_turns)
        fail("rewritten file loads back differently", when);
}

} // namespace

// The directory is entered once libFuzzer has its arguments: give it absolute corpus paths.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where the machine has it: on a disk every replacing rename waits for the data
    // to be written out, which made the target a hundred times slower.
    static TempFolder folder({"/dev/shm/fuzz-settings-XXXXXX", "/tmp/fuzz-settings-XXXXXX"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(SETTINGS_FILE_NAME, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), (std::streamsize)bytes.size());
    }
    reset_mode_settings();
    load_settings();

    Expected expected = expected_values(bytes);
    if (mode_settings.movement_lock_saved != expected.values[0] ||
        mode_settings.rotate != expected.values[1] ||
        mode_settings.driving_mode != expected.values[2] ||
        mode_settings.fast_turns != expected.values[3])
        fail("loaded values differ from formatted input's", record_text());
    check_derived("load");
    double offset = mode_settings.rotation_offset;
    if (offset != (mode_settings.rotate == 1 ? ROTATION_40_DEGREES : 0.0))
        fail("rotation offset not derived at load", record_text());
    if (file_bytes(SETTINGS_FILE_NAME) != bytes)
        fail("an existing file was rewritten at load", "");

    // The toggles as the menu runs them: the first two on copies in the menu array, the
    // "FN Modes" ones on the submenu's records.
    build_application_menu();
    TrayMenuItem* menu = app_tray.menu;
    if (!menu)
        std::abort();
    struct Toggle {
        const char* name;
        TrayMenuItem* item;
    };
    const Toggle toggles[] = {{"rotate", &menu[APP_MENU_ROTATE]},
                              {"driving", &menu[APP_MENU_DRIVING]},
                              {"movement lock", &fn_modes_items[FN_MODES_MOVEMENT_LOCK]},
                              {"fast turns", &fn_modes_items[FN_MODES_FAST_TURNS]}};
    // Each toggle twice: on, and back.
    for (int round = 0; round < 2; round++) {
        for (const Toggle& toggle : toggles) {
            int32_t rotate = mode_settings.rotate;
            toggle.item->callback(toggle.item);
            check_derived(toggle.name);
            check_file(toggle.name);
            if (toggle.item == &menu[APP_MENU_ROTATE]) {
                if (mode_settings.rotate != (rotate ^ 1))
                    fail("rotate did not flip its lowest bit", record_text());
                double now = mode_settings.rotation_offset;
                if (now != (double)mode_settings.rotate * ROTATION_40_DEGREES)
                    fail("rotation offset not derived after the toggle", record_text());
            }
        }
    }
    free_application_menu();
    return 0;
}
