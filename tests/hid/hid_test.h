// Helpers shared by the HID tests: a fresh simulated machine with sticks and other HID devices.
#pragma once

#include "winsim_test.h"

#include "hid/hid_device.h"

#include <winsim/hid.h>

#include <string>
#include <vector>

class HidTest : public WinsimTest {
  protected:
    // Adds a stick and returns its id; its first interface path is in path(id).
    int add(const winsim::HidDeviceOptions& options) {
        int id = winsim::hid_add(options);
        paths_.resize(id + 1);
        paths_[id] = options.paths.at(0);
        return id;
    }
    const wchar_t* path(int id) const { return paths_.at(id).c_str(); }

    static std::vector<uint8_t> bytes(const uint8_t* data, size_t length) {
        return std::vector<uint8_t>(data, data + length);
    }

  private:
    std::vector<std::wstring> paths_;
};
