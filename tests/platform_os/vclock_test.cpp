#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/event.h"
#include "platform/hooks.h"
#include "platform/os.h"
#include "platform/thread.h"
#include "tests/platform_os/os_test_support.h"

using ostest::make_event;

namespace {

class VirtualClock : public ostest::VirtualClockTest {};

u_handle start_thread(std::function<int32_t()> body)
{
    u_handle t = nullptr;
    EXPECT_EQ(u_thread_start(std::move(body), &t), NO_ERROR);
    return t;
}

int32_t join(u_handle t)
{
    int32_t r = -1000;
    EXPECT_EQ(u_thread_join(t, U_INFINITE, &r), 0);
    u_close_handle(t);
    return r;
}

}  // namespace

TEST_F(VirtualClock, SleepsAreRecordedAndZeroTakesNoTime)
{
    EXPECT_TRUE(u_vclock_active());
    EXPECT_EQ(u_now_ms(), 1000u);
    u_sleep_ms(0);
    EXPECT_EQ(u_now_ms(), 1000u);
    u_sleep_ms(2000);
    u_sleep_ms(2000);
    EXPECT_EQ(u_now_ms(), 5000u);
    EXPECT_EQ(u_vclock_sleeps(), (std::vector<uint32_t>{0, 2000, 2000}));
    u_vclock_clear_sleeps();
    EXPECT_TRUE(u_vclock_sleeps().empty());
    EXPECT_LT(real_ms(), 1000);
}

// Two threads sleeping at the same time: the clock runs once for both, not for the sum.
TEST_F(VirtualClock, SleepsOfSeveralThreadsOverlap)
{
    uint64_t t0 = u_now_ms();
    std::atomic<uint64_t> end_a{0}, end_b{0};
    u_handle a = start_thread([&]() -> int32_t {
        u_sleep_ms(300);
        end_a = u_now_ms();
        return 0;
    });
    u_handle b = start_thread([&]() -> int32_t {
        u_sleep_ms(500);
        end_b = u_now_ms();
        return 0;
    });
    join(a);
    join(b);
    EXPECT_EQ(end_a - t0, 300u);
    EXPECT_EQ(end_b - t0, 500u);
    EXPECT_EQ(u_now_ms() - t0, 500u);
    auto sleeps = u_vclock_sleeps();
    std::sort(sleeps.begin(), sleeps.end());
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{300, 500}));
}

// The clock does not move while a taking-part thread is busy, however long that takes.
TEST_F(VirtualClock, ClockWaitsForABusyThread)
{
    u_handle done = make_event(true);
    std::atomic<bool> go{false};
    u_handle worker = start_thread([&]() -> int32_t {
        while (!go.load())
            std::this_thread::yield();  // busy, outside any platform wait
        return u_event_set(done);
    });
    uint64_t t0 = u_now_ms();
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        go = true;
    });
    EXPECT_EQ(u_wait_one(done, 10), 0);  // would time out if the clock moved on
    EXPECT_EQ(u_now_ms(), t0);
    releaser.join();
    join(worker);
    u_close_handle(done);
}

TEST_F(VirtualClock, AdvanceEndsTheWaitsAndFiresTheTimersOnTheWay)
{
    u_handle ev = make_event(true);
    u_handle timer = nullptr;
    ASSERT_EQ(u_timer_create(true, nullptr, &timer), NO_ERROR);
    ASSERT_EQ(u_timer_set(timer, 500, 0), NO_ERROR);
    uint64_t t0 = u_now_ms();
    u_handle waiter = start_thread([ev]() -> int32_t { return u_wait_one(ev, 1000); });
    settle();
    u_vclock_advance(998);
    EXPECT_EQ(u_wait_one(timer, 0), 0);
    EXPECT_EQ(u_thread_join(waiter, 0), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 999u);
    u_vclock_advance(1);
    EXPECT_EQ(join(waiter), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 1000u);
    u_close_handle(timer);
    u_close_handle(ev);
}

TEST_F(VirtualClock, WaitsInProgressKeepTheirRemainingTimeWhenTheClockStops)
{
    u_handle ev = make_event(true);
    u_handle waiter = start_thread([ev]() -> int32_t { return u_wait_one(ev, 100000); });
    settle();
    u_vclock_advance(99996);
    u_vclock_stop();
    EXPECT_FALSE(u_vclock_active());
    // 3 ms are left, now on the real clock.
    EXPECT_EQ(join(waiter), U_WAIT_TIMEOUT);
    EXPECT_LT(real_ms(), 5000);
    u_close_handle(ev);
}

TEST_F(VirtualClock, AThreadThatLeftDoesNotHoldTheClock)
{
    std::promise<void> release;
    auto released = release.get_future();
    u_handle outsider = start_thread([&]() -> int32_t {
        u_vclock_leave();
        released.wait();  // blocked outside the platform
        return 0;
    });
    uint64_t t0 = u_now_ms();
    u_sleep_ms(500);
    EXPECT_EQ(u_now_ms() - t0, 500u);
    EXPECT_LT(real_ms(), 200) << "the clock waited for a thread that had left it";
    release.set_value();
    join(outsider);
}

// A taking-part thread stuck outside the platform (here: in std::thread::join) holds the clock
// only for a moment of real time.
TEST_F(VirtualClock, ClockMovesOnWhenTheRunningThreadsAreStuckOutsideThePlatform)
{
    std::atomic<uint64_t> slept{0};
    std::thread helper([&] {
        u_vclock_enroll();
        uint64_t t0 = u_now_ms();
        u_sleep_ms(100);
        slept = u_now_ms() - t0;
    });
    helper.join();
    EXPECT_EQ(slept.load(), 100u);
}

TEST(ClockHooks, StopPutsBackTheHooksThatWereInstalled)
{
    static uint64_t fake_now = 0;
    auto saved_sleep = u_hooks.sleep_ms;
    auto saved_now = u_hooks.now_ms;
    u_hooks.now_ms = [] { return fake_now; };
    u_hooks.sleep_ms = [](uint32_t ms) { fake_now += ms; };
    auto fake_now_fn = u_hooks.now_ms;
    auto fake_sleep_fn = u_hooks.sleep_ms;

    u_vclock_start(77);
    EXPECT_TRUE(u_vclock_active());
    EXPECT_EQ(u_now_ms(), 77u);
    u_vclock_start(5);  // already running: no change
    EXPECT_EQ(u_now_ms(), 77u);
    u_vclock_stop();
    EXPECT_FALSE(u_vclock_active());
    EXPECT_EQ(u_hooks.now_ms, fake_now_fn);
    EXPECT_EQ(u_hooks.sleep_ms, fake_sleep_fn);
    u_vclock_stop();  // not running: no change
    EXPECT_EQ(u_hooks.now_ms, fake_now_fn);

    u_hooks.sleep_ms = saved_sleep;
    u_hooks.now_ms = saved_now;
}

// With time hooks of a test's own, timed waits still measure through them.
TEST(ClockHooks, TimedWaitsUseACustomClock)
{
    static uint64_t fake_now;
    static uint32_t sleep_calls;
    fake_now = 0;
    sleep_calls = 0;
    auto saved_sleep = u_hooks.sleep_ms;
    auto saved_now = u_hooks.now_ms;
    u_hooks.now_ms = [] { return fake_now; };
    u_hooks.sleep_ms = [](uint32_t ms) {
        fake_now += ms;
        ++sleep_calls;
    };
    u_handle ev = make_event(true);
    EXPECT_EQ(u_wait_one(ev, 50), U_WAIT_TIMEOUT);
    EXPECT_EQ(fake_now, 50u);
    EXPECT_EQ(sleep_calls, 50u);
    u_event_set(ev);
    EXPECT_EQ(u_wait_one(ev, 50), 0);
    EXPECT_EQ(fake_now, 50u);
    u_close_handle(ev);
    u_hooks.sleep_ms = saved_sleep;
    u_hooks.now_ms = saved_now;
}

TEST(ClockHooks, RealClockWaitsAndTimers)
{
    ASSERT_EQ(u_hooks.now_ms, &os::monotonic_ms);
    u_handle ev = make_event(false);
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start([ev]() -> int32_t { return u_event_set(ev); }, &t), NO_ERROR);
    EXPECT_EQ(u_wait_one(ev, U_INFINITE), 0);
    EXPECT_EQ(u_thread_join(t, U_INFINITE), 0);
    u_close_handle(t);

    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_one(ev, 2), U_WAIT_TIMEOUT);
    EXPECT_GE(u_now_ms() - t0, 2u);

    u_handle timer = nullptr;
    ASSERT_EQ(u_timer_create(false, nullptr, &timer), NO_ERROR);
    ASSERT_EQ(u_timer_set(timer, 1, 0), NO_ERROR);
    EXPECT_EQ(u_wait_one(timer, U_INFINITE), 0);
    u_close_handle(timer);
    u_close_handle(ev);
}
