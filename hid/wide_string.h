// Heap copies of wide strings, shared by the HID files.
#pragma once

#include <cstdlib>
#include <cstring>
#include <cwchar>

// A malloc'd copy of (length + 1) characters, or null when the heap is exhausted.
inline wchar_t* wide_string_copy(const wchar_t* text) {
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(malloc(bytes));
    if (copy)
        memcpy(copy, text, bytes);
    return copy;
}
