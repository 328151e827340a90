// Listing the present HID device interfaces whose path contains one of a set of filter
// strings, compared without regard to ASCII case.
#pragma once

#include <cstddef>

// One listed interface. The caller owns the list and frees every node with
// device_list_node_free.
struct DeviceListNode {
    wchar_t* path;        // interface path, length + 1 characters
    wchar_t* description; // the bus-reported description, else the registry one, else null
    DeviceListNode* next; // the following interface in enumeration order, or null
};

// The present HID interfaces whose path contains one of `filters` (an array of wide strings
// ended by a null pointer; the first hit decides), in enumeration order: devices as the system
// lists them, within a device its interfaces. A null `filters` lists every interface. Null when
// nothing matches or the device set cannot be built; an interface whose details cannot be read
// is skipped. Main thread (it uses the cached HID class GUID). Blocks on the setup API.
DeviceListNode* hid_enumerate(const wchar_t* const* filters);

// Frees the node's description, its path and the node, not the nodes after it. Null is ignored.
void device_list_node_free(DeviceListNode* node);

// Whether a node of `list` has exactly this path (paths from one enumeration compare exactly).
// Pure; any thread.
bool device_list_has_path(const DeviceListNode* list, const wchar_t* path);

// The first occurrence of `needle` in `haystack`, folding only the ASCII capitals A-Z to a-z
// (every other code unit compares as it is), or null. An empty needle matches at the start.
// Pure; any thread.
const wchar_t* wcs_find_nocase(const wchar_t* haystack, const wchar_t* needle);
