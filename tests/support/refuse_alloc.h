// Refusing one chosen heap allocation of the program's code, in test programs linked with the
// heap's entry points wrapped. A refusal is made by the calling thread's next call with exactly
// these arguments, once; nothing else is affected.
#pragma once

#include <cstddef>

// The next malloc of this size on this thread returns null (0: none).
extern thread_local size_t refused_malloc_size;
// The next calloc of this count and size on this thread returns null (count 0: none).
extern thread_local size_t refused_calloc_count;
extern thread_local size_t refused_calloc_size;

inline void refuse_malloc(size_t size) {
    refused_malloc_size = size;
}
inline void refuse_calloc(size_t count, size_t size) {
    refused_calloc_count = count;
    refused_calloc_size = size;
}
