#include "settings/settings.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

ModeSettings mode_settings;

namespace {

const char* const settings_temp_name = SETTINGS_FILE_NAME ".tmp";
// The two names as paths, made once before the program starts: a path built from a string
// allocates and can throw, and a mode switch writes the file from inside the message loop.
const std::filesystem::path settings_path(SETTINGS_FILE_NAME);
const std::filesystem::path settings_temp_path(settings_temp_name);
// Room for the file's text: four values of at most 11 characters and three line ends.
const size_t settings_text_size = 64;

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads one optionally signed decimal integer after any white space, as the formatted-input
// "%d" does. False where no number starts; the reading of the file then ends, since every
// later read would stop at the same character. A number that does not fit 32 bits is read to
// its end and counts as 0, so it switches nothing on and the next toggle writes a sound value.
bool settings_read_int(FILE* file, int32_t* value) {
    int c = getc(file);
    while (c != EOF && is_space(c))
        c = getc(file);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc(file);
    }
    if (c == EOF || c < '0' || c > '9')
        return false;
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    bool too_large = false;
    for (; c != EOF && c >= '0' && c <= '9'; c = getc(file)) {
        if (!too_large) {
            magnitude = magnitude * 10 + (c - '0');
            too_large = magnitude > limit;
        }
    }
    if (c != EOF)
        ungetc(c, file);
    *value = too_large ? 0 : (int32_t)(negative ? -magnitude : magnitude);
    return true;
}

// Whether every byte reached the system: a full disk can show only at the flush (the runtime's
// buffer then forgets the bytes, so the close alone would report success) or at the close.
bool settings_put(FILE* file, const char* bytes, size_t size) {
    bool written = fwrite(bytes, 1, size, file) == size;
    return fflush(file) == 0 && written;
}

// Rewrites the existing file where it is, for a folder that refuses new files but leaves the
// file itself writable. Its first bytes are read before they are overwritten and put back when
// the new ones cannot all be written, so a failed write still leaves the previous file (putting
// back needs no more room than the file already had). Never creates the file.
bool settings_write_in_place(const char* bytes, size_t size) {
    std::error_code error;
    const uintmax_t previous_size = std::filesystem::file_size(settings_path, error);
    FILE* file = error ? nullptr : fopen(SETTINGS_FILE_NAME, "r+b");
    if (!file)
        return false;
    char previous[settings_text_size];
    const size_t kept = fread(previous, 1, size, file);
    bool written =
        !ferror(file) && fseek(file, 0, SEEK_SET) == 0 && settings_put(file, bytes, size);
    if (!written && fseek(file, 0, SEEK_SET) == 0)
        settings_put(file, previous, kept);
    const bool closed = fclose(file) == 0;
    std::filesystem::resize_file(settings_path, written ? size : previous_size, error);
    return written && closed && !error;
}

// Writes the four values into a file beside the settings file and puts it in the old one's
// place in one step; where that file cannot be made, rewrites the settings file in place. The
// bytes are those of Windows text mode (CR LF between lines, none after the last), written as
// binary so every build writes the same file.
bool settings_write_values(int32_t lock_saved, int32_t rotate, int32_t driving, int32_t fast) {
    char text[settings_text_size];
    const size_t length = (size_t)snprintf(text, sizeof text, "%d\r\n%d\r\n%d\r\n%d",
                                           (int)lock_saved, (int)rotate, (int)driving, (int)fast);
    FILE* file = fopen(settings_temp_name, "wb");
    if (!file)
        return settings_write_in_place(text, length);
    bool written = settings_put(file, text, length);
    written = fclose(file) == 0 && written;
    std::error_code error;
    if (written)
        std::filesystem::rename(settings_temp_path, settings_path, error);
    if (!written || error) {
        std::remove(settings_temp_name);
        return false;
    }
    return true;
}

} // namespace

void load_settings(void) {
    FILE* file = fopen(SETTINGS_FILE_NAME, "rb");
    if (!file) {
        settings_write_values(0, 0, 0, 0);
        return;
    }
    int32_t value = 0;
    if (settings_read_int(file, &value)) {
        mode_settings.movement_lock_saved = value;
        if (settings_read_int(file, &value)) {
            mode_settings.rotate = value;
            if (settings_read_int(file, &value)) {
                mode_settings.driving_mode = value;
                if (settings_read_int(file, &value))
                    mode_settings.fast_turns = value;
            }
        }
    }
    // Derived even from a short file: absent values are still 0.
    mode_settings.movement_lock = mode_settings.movement_lock_saved == 1 ? 1 : 0;
    mode_settings.rotation_offset = mode_settings.rotate == 1 ? ROTATION_40_DEGREES : 0.0;
    fclose(file);
}

bool write_settings_file(void) {
    return settings_write_values(mode_settings.movement_lock_saved, mode_settings.rotate,
                                 mode_settings.driving_mode, mode_settings.fast_turns);
}
