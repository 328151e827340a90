// An input report of the stick as it sends it: report ID 0, X and Y raw and little-endian
// (centre 0x8000), then the button.
#pragma once

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> stick_report(uint16_t x, uint16_t y = 0x8000, uint8_t button = 0) {
    return {0,
            static_cast<uint8_t>(x & 0xFF),
            static_cast<uint8_t>(x >> 8),
            static_cast<uint8_t>(y & 0xFF),
            static_cast<uint8_t>(y >> 8),
            button};
}
