// The fixture every test of the simulated machine derives from: a fresh machine before each
// test, and after it no handle left open, no closed handle used, no thread still running and
// no call made that would never have returned on Windows.
#pragma once

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <chrono>
#include <functional>
#include <thread>

class WinsimTest : public ::testing::Test {
  protected:
    void SetUp() override { winsim::reset(); }

    void TearDown() override {
        EXPECT_TRUE(wait_for([] { return winsim::running_threads() == 0; }))
            << "a thread was left running";
        if (check_handles_) {
            EXPECT_EQ(winsim::open_handles(), 0u) << "a handle was left open";
        }
        EXPECT_EQ(winsim::invalid_handle_uses(), 0u) << "a closed or unknown handle was used";
        EXPECT_EQ(winsim::would_hang(), 0u) << "a call would have waited forever on Windows";
        winsim::reset();
    }

    // For tests whose subject leaves handles open on purpose.
    void allow_open_handles() { check_handles_ = false; }

    // Polls `condition` every `poll` for up to five seconds; true when it came true.
    static bool wait_for(const std::function<bool()>& condition,
                         std::chrono::milliseconds limit = std::chrono::seconds(5),
                         std::chrono::microseconds poll = std::chrono::milliseconds(1)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(poll);
        }
        return true;
    }

  private:
    bool check_handles_ = true;
};
