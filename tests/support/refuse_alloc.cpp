// Wrappers of the heap's entry points for the test programs linked with
// -Wl,--wrap=malloc -Wl,--wrap=calloc (see tests/CMakeLists.txt); only those programs pull this
// object in. Every call passes through, except the one a test has asked to refuse.
#include "refuse_alloc.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
}

thread_local size_t refused_malloc_size = 0;
thread_local size_t refused_calloc_count = 0;
thread_local size_t refused_calloc_size = 0;

extern "C" void* __wrap_malloc(size_t size) {
    if (size != 0 && size == refused_malloc_size) {
        refused_malloc_size = 0;
        return nullptr;
    }
    return __real_malloc(size);
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
    if (count != 0 && count == refused_calloc_count && size == refused_calloc_size) {
        refused_calloc_count = 0;
        refused_calloc_size = 0;
        return nullptr;
    }
    return __real_calloc(count, size);
}
