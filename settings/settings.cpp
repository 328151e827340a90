#include "settings/settings.h"

#include <windows.h>

#include <cstdio>

ModeSettings mode_settings;

namespace {

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

const wchar_t settings_name[] = L"" SETTINGS_FILE_NAME;
const wchar_t settings_temp_name[] = L"" SETTINGS_FILE_NAME ".tmp";

// What the user is told of a failed write, from the system's error.
SettingsWriteResult settings_result_of(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return SETTINGS_READ_ONLY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return SETTINGS_DISK_FULL;
    case ERROR_SHARING_VIOLATION:
        return SETTINGS_FILE_IN_USE;
    default:
        return SETTINGS_NOT_WRITTEN;
    }
}

// Writes all the bytes at the handle's position. False, with the error set, otherwise; a short
// write is the disk filling up.
bool settings_put(HANDLE file, const char* bytes, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr))
        return false;
    if (written != size)
        SetLastError(ERROR_DISK_FULL);
    return written == size;
}

bool settings_seek(HANDLE file, DWORD offset) {
    return SetFilePointer(file, (LONG)offset, nullptr, FILE_BEGIN) == offset;
}

// Writes the text into a new file beside the settings file, flushed to the disk before the new
// file takes the settings file's name in one step, so that no crash or power cut can leave a
// settings file without its data. 0 when done, else the error, with the new file removed again.
DWORD settings_replace(const char* text, DWORD length) {
    HANDLE file = CreateFileW(settings_temp_name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    const bool written = settings_put(file, text, length) && FlushFileBuffers(file);
    DWORD error = written ? 0 : GetLastError();
    CloseHandle(file);
    if (written && MoveFileExW(settings_temp_name, settings_name,
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    if (written)
        error = GetLastError();
    DeleteFileW(settings_temp_name);
    return error;
}

// Rewrites the existing settings file through one handle: the new text from its start, the
// old tail cut off through the same handle before it is closed, then flushed. When the text or
// the cut fails, the previous bytes are put back the same way (only the first `length` bytes
// and the size can have changed, and putting them back needs no more room than the file had);
// `*kept` says whether that worked. 0 when the file holds the new text, else the error.
DWORD settings_rewrite(const char* text, DWORD length, bool* kept) {
    *kept = true;
    HANDLE file =
        CreateFileW(settings_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    char previous[settings_text_size];
    DWORD previous_length = 0;
    LARGE_INTEGER previous_size;
    if (!GetFileSizeEx(file, &previous_size) ||
        !ReadFile(file, previous, length, &previous_length, nullptr)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        return error;
    }
    const bool written =
        settings_seek(file, 0) && settings_put(file, text, length) && SetEndOfFile(file);
    const DWORD error = written ? 0 : GetLastError();
    if (written) {
        // The text is in the file; a flush that fails leaves it to the system's own writing.
        FlushFileBuffers(file);
    } else {
        const bool grown = (LONGLONG)length > previous_size.QuadPart;
        *kept = settings_seek(file, 0) && settings_put(file, previous, previous_length) &&
                (!grown || (settings_seek(file, previous_length) && SetEndOfFile(file)));
        FlushFileBuffers(file);
    }
    CloseHandle(file);
    return error;
}

// Writes the four values as Windows text (CR LF between lines, none after the last), written
// as binary so every build writes the same bytes.
SettingsWrite settings_write_values(int32_t lock_saved, int32_t rotate, int32_t driving,
                                    int32_t fast) {
    char text[settings_text_size];
    const auto length = (DWORD)snprintf(text, sizeof text, "%d\r\n%d\r\n%d\r\n%d", (int)lock_saved,
                                        (int)rotate, (int)driving, (int)fast);
    const DWORD attributes = GetFileAttributesW(settings_name);
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    // Windows refuses to write to a read-only file or to replace it; so does this program, on
    // every system, rather than replace it where the system would let it.
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY))
        return {SETTINGS_READ_ONLY, true};
    // Replacing a link would put a plain file in its place, and leave the file it leads to with
    // the old values: a link is written through.
    const bool link = exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const DWORD replace_error = link ? ERROR_NOT_SUPPORTED : settings_replace(text, length);
    if (replace_error == 0)
        return {SETTINGS_WRITTEN, true};
    bool kept = true;
    const DWORD error = settings_rewrite(text, length, &kept);
    if (error == 0)
        return {SETTINGS_WRITTEN, true};
    // No file to rewrite: the replacement's failure is the one to tell.
    if (error == ERROR_FILE_NOT_FOUND)
        return {settings_result_of(replace_error), true};
    return {settings_result_of(error), kept};
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

SettingsWrite write_settings_file(void) {
    return settings_write_values(mode_settings.movement_lock_saved, mode_settings.rotate,
                                 mode_settings.driving_mode, mode_settings.fast_turns);
}
