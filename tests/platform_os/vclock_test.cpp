#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/os.h"
#include "vell/platform/thread.h"
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

// An enrolled thread that computes for 2 s of real time holds the clock: the 5000 ms wait
// beside it does not time out, and no virtual time passes.
TEST_F(VirtualClock, ABusyEnrolledThreadHoldsTheClockHoweverLong)
{
    u_handle done = make_event(true);
    std::atomic<uint64_t> result{0};
    u_handle worker = start_thread([&]() -> int32_t {  // enrolled from here on
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        uint64_t x = 1;
        while (std::chrono::steady_clock::now() < until)
            for (int i = 0; i < 10000; ++i)
                x = x * 6364136223846793005u + 1442695040888963407u;
        result = x;
        return u_event_set(done);
    });
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_one(done, 5000), 0);
    EXPECT_EQ(u_now_ms(), t0);
    EXPECT_EQ(join(worker), NO_ERROR);
    EXPECT_NE(result.load(), 0u);
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

// The waits of a thread that is not enrolled end on the virtual clock, but the clock neither
// stops at their end nor waits for the thread while it runs.
TEST_F(VirtualClock, AThreadThatIsNotEnrolledNeitherHoldsNorMovesTheClock)
{
    u_handle ev = make_event(false);
    std::atomic<int> timed{-5}, signalled{-5};
    std::atomic<uint64_t> woke{0};
    std::promise<void> release;
    auto released = release.get_future();
    std::atomic<bool> enrolled{true};
    uint64_t t0 = u_now_ms();
    const std::size_t others = u_vclock_blocked_waits();  // of threads that earlier tests left
    std::thread raw([&] {
        enrolled = u_vclock_enrolled();
        timed = u_wait_one(ev, 300);
        woke = u_now_ms();
        signalled = u_wait_one(ev, U_INFINITE);
        released.wait();  // busy outside the platform
    });
    while (u_vclock_blocked_waits() == others)
        std::this_thread::yield();
    u_sleep_ms(1000);  // the raw thread's 300 ms do not stop the clock on the way
    while (woke == 0 || u_vclock_blocked_waits() == others)
        std::this_thread::yield();
    EXPECT_EQ(woke - t0, 1000u);
    EXPECT_EQ(timed.load(), U_WAIT_TIMEOUT);
    ASSERT_EQ(u_event_set(ev), NO_ERROR);
    u_sleep_ms(500);  // the raw thread now runs outside the platform: it does not hold the clock
    EXPECT_EQ(u_now_ms() - t0, 1500u);
    release.set_value();
    raw.join();
    EXPECT_FALSE(enrolled.load());
    EXPECT_EQ(signalled.load(), 0);
    u_close_handle(ev);
}

// A foreign thread (a bus library's callback thread, say) takes part while it holds a guard.
TEST_F(VirtualClock, AForeignThreadTakesPartWhileItHoldsAnEnrolGuard)
{
    u_handle ev = make_event(false);
    std::promise<void> enrolled;
    auto is_enrolled = enrolled.get_future();
    std::atomic<bool> during{false}, after{true};
    std::thread foreign([&] {
        {
            u_vclock_enroll_guard guard;
            during = u_vclock_enrolled();
            enrolled.set_value();
            u_sleep_ms(300);
            u_event_set(ev);
        }
        after = u_vclock_enrolled();
    });
    is_enrolled.wait();
    uint64_t t0 = u_now_ms();
    // Not enrolled, the foreign thread's sleep would leave this wait alone on the clock, and
    // it would time out at 1000 ms.
    EXPECT_EQ(u_wait_one(ev, 1000), 0);
    EXPECT_EQ(u_now_ms() - t0, 300u);
    foreign.join();
    EXPECT_TRUE(during.load());
    EXPECT_FALSE(after.load());
    {
        u_vclock_enroll_guard nested;  // already enrolled: stays so afterwards
        EXPECT_TRUE(u_vclock_enrolled());
    }
    EXPECT_TRUE(u_vclock_enrolled());
    u_close_handle(ev);
}

namespace {

std::promise<void>* stall_release = nullptr;
std::string stall_text;
int stall_reports = 0;

}  // namespace

// An enrolled thread stuck outside the platform holds the clock: the stall watch reports it
// and runs its action; the clock does not move on its own.
TEST_F(VirtualClock, AStallIsReportedAndTheClockHoldsStill)
{
    std::promise<void> release;
    auto released = release.get_future();
    stall_release = &release;
    stall_text.clear();
    stall_reports = 0;
    uint32_t saved_limit = u_vclock_set_stall_limit(50);
    u_vclock_stall_fn saved_action = u_vclock_set_stall_action([](const char* message) {
        stall_text = message;
        ++stall_reports;
        stall_release->set_value();
    });
    u_handle stuck = start_thread([&]() -> int32_t {
        released.wait();
        return 0;
    });
    uint64_t t0 = u_now_ms();
    u_sleep_ms(100);  // ends only after the report released the stuck thread
    EXPECT_EQ(u_now_ms() - t0, 100u);
    EXPECT_EQ(join(stuck), 0);
    EXPECT_EQ(stall_reports, 1);
    EXPECT_NE(stall_text.find("virtual clock stalled at 1000 ms"), std::string::npos) << stall_text;
    EXPECT_NE(stall_text.find("the nearest ending at 1100 ms"), std::string::npos) << stall_text;
    u_vclock_set_stall_action(saved_action);
    u_vclock_set_stall_limit(saved_limit);
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
