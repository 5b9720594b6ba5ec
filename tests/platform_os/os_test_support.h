// Helpers of the OS layer tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "vell/platform/event.h"
#include "vell/platform/hooks.h"

namespace ostest {

// Runs each test on the virtual clock, starting at 1000 ms, and checks that the test closed
// every handle it opened.
class VirtualClockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        handles_ = u_open_handle_count();
        real_start_ = std::chrono::steady_clock::now();
        u_vclock_start(1000);
    }
    void TearDown() override
    {
        u_vclock_stop();
        EXPECT_EQ(u_open_handle_count(), handles_) << "handles left open";
    }
    // Real time the test has taken so far.
    long long real_ms() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - real_start_)
            .count();
    }
    // Returns once every other thread taking part in the clock is blocked or has ended
    // (the clock moves by 1 ms).
    static void settle() { u_sleep_ms(1); }

private:
    std::size_t handles_ = 0;
    std::chrono::steady_clock::time_point real_start_;
};

inline u_handle make_event(bool manual, bool initial = false, const char* name = nullptr)
{
    u_handle h = nullptr;
    EXPECT_EQ(u_event_create(manual, initial, name, &h), 0);
    return h;
}

}  // namespace ostest
