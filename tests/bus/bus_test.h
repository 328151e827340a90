// Helpers shared by the bus client's tests: a simulated bus, a connected client, targets that
// are deleted (ending their feedback) before the client is disconnected.
#pragma once

#include "winsim_test.h"

#include "bus/bus.h"

#include <cstring>
#include <vector>

inline uint32_t le32(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           (uint32_t)bytes[offset + 3] << 24;
}

inline size_t count_code(const std::vector<winsim::BusRequest>& log, DWORD code) {
    size_t n = 0;
    for (auto& request : log)
        n += request.code == code;
    return n;
}

// Driver options in one expression: bus_options([](auto& o) { o.wait_ready = false; }).
template <typename Set> winsim::BusOptions bus_options(Set set) {
    winsim::BusOptions options;
    set(options);
    return options;
}

class BusClientTest : public WinsimTest {
  protected:
    void TearDown() override {
        for (auto* target : targets_)
            bus_target_delete(target);
        bus_disconnect(client_);
        bus_client_delete(client_);
        WinsimTest::TearDown();
    }

    // Between the rows of a table: the checks that end a test, then a fresh machine.
    void fresh() {
        TearDown();
        targets_.clear();
        client_ = nullptr;
        SetUp();
    }

    _VIGEM_CLIENT_T* connected(const winsim::BusOptions& options = {}) {
        bus_ = winsim::bus_add(options);
        client_ = bus_client_new();
        EXPECT_EQ(bus_connect(client_), BUS_OK);
        winsim::bus_clear_log(bus_);
        return client_;
    }

    _VIGEM_TARGET_T* new_target(uint32_t type = TARGET_X360) {
        targets_.push_back(type == TARGET_DS4 ? bus_target_new_ds4() : bus_target_new_x360());
        return targets_.back();
    }

    // A target of that kind, plugged in; the log is cleared after the add.
    _VIGEM_TARGET_T* plugged(uint32_t type = TARGET_X360) {
        auto* target = new_target(type);
        EXPECT_EQ(bus_target_add(client_, target), BUS_OK);
        winsim::bus_clear_log(bus_);
        return target;
    }

    // Deletes a target now rather than at the end of the test.
    void delete_target(_VIGEM_TARGET_T* target) {
        for (auto& held : targets_)
            if (held == target)
                held = nullptr;
        bus_target_delete(target);
    }

    int bus_ = 0;
    _VIGEM_CLIENT_T* client_ = nullptr;
    _VIGEM_CLIENT_T closed_ = {INVALID_HANDLE_VALUE}; // a client whose bus is not open
    std::vector<_VIGEM_TARGET_T*> targets_;
};
