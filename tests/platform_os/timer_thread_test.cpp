#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/thread.h"
#include "tests/platform_os/os_test_support.h"

using ostest::make_event;

namespace {

class Timers : public ostest::VirtualClockTest {};
class Threads : public ostest::VirtualClockTest {};

u_handle make_timer(bool manual)
{
    u_handle h = nullptr;
    EXPECT_EQ(u_timer_create(manual, nullptr, &h), NO_ERROR);
    return h;
}

}  // namespace

TEST_F(Timers, OneShotManualTimerIsSignalledAtItsDueTimeAndStaysSo)
{
    u_handle timer = make_timer(true);
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_one(timer, 0), U_WAIT_TIMEOUT);  // created not signalled
    ASSERT_EQ(u_timer_set(timer, 2000, 0), NO_ERROR);
    EXPECT_EQ(u_wait_one(timer, 1999), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_wait_one(timer, U_INFINITE), 0);
    EXPECT_EQ(u_now_ms() - t0, 2000u);
    EXPECT_EQ(u_wait_one(timer, 0), 0);
    EXPECT_EQ(u_wait_one(timer, 0), 0);
    // Arming again makes it not signalled until the new due time.
    ASSERT_EQ(u_timer_set(timer, 100, 0), NO_ERROR);
    EXPECT_EQ(u_wait_one(timer, 0), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_wait_one(timer, U_INFINITE), 0);
    EXPECT_EQ(u_now_ms() - t0, 2100u);
    u_close_handle(timer);
}

TEST_F(Timers, PeriodicAutoTimerReleasesOneWaitPerPeriod)
{
    u_handle timer = make_timer(false);
    uint64_t t0 = u_now_ms();
    ASSERT_EQ(u_timer_set(timer, 100, 250), NO_ERROR);
    std::vector<uint64_t> seen;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(u_wait_one(timer, U_INFINITE), 0);
        seen.push_back(u_now_ms() - t0);
        EXPECT_EQ(u_wait_one(timer, 0), U_WAIT_TIMEOUT);  // consumed
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{100, 350, 600, 850}));
    u_close_handle(timer);
}

TEST_F(Timers, PeriodsThatPassUnwatchedDoNotQueueUp)
{
    u_handle timer = make_timer(false);
    uint64_t t0 = u_now_ms();
    ASSERT_EQ(u_timer_set(timer, 100, 100), NO_ERROR);
    u_sleep_ms(450);
    EXPECT_EQ(u_wait_one(timer, 0), 0);
    EXPECT_EQ(u_wait_one(timer, 0), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_wait_one(timer, U_INFINITE), 0);
    EXPECT_EQ(u_now_ms() - t0, 500u);
    u_close_handle(timer);
}

// Timers that come due at the same moment: the lowest index wins a wait-any, whatever order
// they were armed in and whether the wait began before or after they fired; the other one
// stays signalled for the next wait.
TEST_F(Timers, TimersDueTogetherReleaseTheLowestIndexFirst)
{
    for (bool wait_first : {true, false}) {
        SCOPED_TRACE(wait_first ? "wait began before the due time" : "timers already due");
        u_handle first = make_timer(false);
        u_handle second = make_timer(false);
        ASSERT_EQ(u_timer_set(second, 500, 0), NO_ERROR);  // armed first, listed second
        ASSERT_EQ(u_timer_set(first, 500, 0), NO_ERROR);
        uint64_t t0 = u_now_ms();
        if (!wait_first)
            u_sleep_ms(600);
        u_handle objects[2] = {first, second};
        EXPECT_EQ(u_wait_any(objects, 2, U_INFINITE), 0);
        EXPECT_EQ(u_wait_any(objects, 2, 0), 1);
        EXPECT_EQ(u_wait_any(objects, 2, 0), U_WAIT_TIMEOUT);
        EXPECT_EQ(u_now_ms() - t0, wait_first ? 500u : 600u);
        u_close_handle(first);
        u_close_handle(second);
    }
}

TEST_F(Timers, CancelledTimerNeverFires)
{
    u_handle timer = make_timer(true);
    ASSERT_EQ(u_timer_set(timer, 100, 0), NO_ERROR);
    ASSERT_EQ(u_timer_cancel(timer), NO_ERROR);
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_one(timer, 500), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 500u);
    u_close_handle(timer);
}

TEST_F(Timers, TimerArmedByAnotherThreadReleasesAWaitThatBeganEarlier)
{
    u_handle timer = make_timer(true);
    u_handle t = nullptr;
    uint64_t t0 = u_now_ms();
    ASSERT_EQ(u_thread_start(
                  [timer]() -> int32_t {
                      u_sleep_ms(50);
                      return u_timer_set(timer, 200, 0);
                  },
                  &t),
              NO_ERROR);
    EXPECT_EQ(u_wait_one(timer, U_INFINITE), 0);
    EXPECT_EQ(u_now_ms() - t0, 250u);
    u_thread_join(t, U_INFINITE);
    u_close_handle(t);
    u_close_handle(timer);
}

// The inactivity watch of the instrument: every activity restarts a 2000 ms timer; the timer
// fires only 2000 ms after the last activity.
TEST_F(Timers, ActivityThatRestartsTheTimerPostponesItsExpiry)
{
    u_handle exit_event = make_event(true);
    u_handle reset_event = make_event(true);
    u_handle timer = make_timer(true);
    std::atomic<uint64_t> fired_at{0};
    uint64_t t0 = u_now_ms();
    u_handle watcher = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      u_handle objects[3] = {exit_event, reset_event, timer};
                      for (;;) {
                          u_timer_set(timer, 2000, 0);
                          int r = u_wait_any(objects, 3, U_INFINITE);
                          if (r == 0)
                              return 0;
                          if (r == 1) {
                              u_event_reset(reset_event);
                              continue;
                          }
                          if (r == 2 && fired_at == 0)
                              fired_at = u_now_ms() - t0;
                          if (u_wait_one(exit_event, U_INFINITE) == 0)
                              return 0;
                      }
                  },
                  &watcher),
              NO_ERROR);
    for (int i = 0; i < 3; ++i) {
        u_sleep_ms(1000);
        u_event_set(reset_event);
    }
    u_sleep_ms(1999);
    EXPECT_EQ(fired_at.load(), 0u);
    u_sleep_ms(2);  // the watcher notes the expiry at 5000 while this thread still sleeps
    EXPECT_EQ(fired_at.load(), 5000u);
    u_event_set(exit_event);
    int32_t r = -1;
    EXPECT_EQ(u_thread_join(watcher, 1000, &r), 0);
    EXPECT_EQ(r, 0);
    u_close_handle(watcher);
    u_close_handle(timer);
    u_close_handle(reset_event);
    u_close_handle(exit_event);
}

TEST_F(Threads, JoinGivesTheThreadsResult)
{
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start([]() -> int32_t { return 1234; }, &t), NO_ERROR);
    int32_t result = 0;
    EXPECT_EQ(u_thread_join(t, U_INFINITE, &result), 0);
    EXPECT_EQ(result, 1234);
    EXPECT_FALSE(u_thread_running(t));
    EXPECT_EQ(u_wait_one(t, 0), 0);  // an ended thread stays signalled
    EXPECT_EQ(u_close_handle(t), NO_ERROR);
}

namespace {
int32_t add_one(void* arg)
{
    int* value = static_cast<int*>(arg);
    return ++*value;
}
}  // namespace

TEST_F(Threads, FunctionWithArgument)
{
    int value = 41;
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start(add_one, &value, &t), NO_ERROR);
    int32_t result = 0;
    EXPECT_EQ(u_thread_join(t, U_INFINITE, &result), 0);
    EXPECT_EQ(result, 42);
    EXPECT_EQ(value, 42);
    u_close_handle(t);
}

TEST_F(Threads, JoinTimesOutWhileTheThreadRuns)
{
    u_handle go = make_event(true);
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start([go]() -> int32_t { return u_wait_one(go, U_INFINITE) == 0 ? 7 : -1; }, &t), NO_ERROR);
    uint64_t t0 = u_now_ms();
    int32_t result = -99;
    EXPECT_EQ(u_thread_join(t, 5000, &result), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 5000u);
    EXPECT_EQ(result, -99);
    EXPECT_TRUE(u_thread_running(t));
    u_event_set(go);
    EXPECT_EQ(u_thread_join(t, 5000, &result), 0);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(u_now_ms() - t0, 5000u);
    u_close_handle(t);
    u_close_handle(go);
}

TEST_F(Threads, ThreadGoesOnAfterItsHandleIsClosed)
{
    u_handle go = make_event(true);
    u_handle done = make_event(true);
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start(
                  [go, done]() -> int32_t {
                      u_wait_one(go, U_INFINITE);
                      return u_event_set(done);
                  },
                  &t),
              NO_ERROR);
    settle();
    EXPECT_EQ(u_close_handle(t), NO_ERROR);
    u_event_set(go);
    EXPECT_EQ(u_wait_one(done, 1000), 0);
    u_close_handle(go);
    u_close_handle(done);
}

TEST_F(Threads, BadArgumentsAndHandles)
{
    u_handle t = reinterpret_cast<u_handle>(1);
    EXPECT_EQ(u_thread_start(static_cast<u_thread_fn>(nullptr), nullptr, &t), ERR_CREATE_THREAD);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(u_thread_start(std::function<int32_t()>(), &t), ERR_CREATE_THREAD);
    EXPECT_EQ(u_thread_start([]() -> int32_t { return 0; }, nullptr), ERR_INVALID_PARAM);
    u_handle ev = make_event(true, true);
    EXPECT_EQ(u_thread_join(ev, 0), U_WAIT_FAILED);
    EXPECT_EQ(u_thread_join(nullptr, 0), U_WAIT_FAILED);
    EXPECT_FALSE(u_thread_running(ev));
    u_close_handle(ev);
}

TEST_F(Threads, AnExceptionEndsTheThreadWithErrUnknown)
{
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start([]() -> int32_t { throw std::runtime_error("boom"); }, &t), NO_ERROR);
    int32_t result = 0;
    EXPECT_EQ(u_thread_join(t, U_INFINITE, &result), 0);
    EXPECT_EQ(result, ERR_UNKNOWN);
    u_close_handle(t);
}

TEST_F(Threads, WaitForTheFirstOfSeveralThreadsToEnd)
{
    u_handle t[2] = {};
    ASSERT_EQ(u_thread_start([]() -> int32_t {
        u_sleep_ms(900);
        return 1;
    }, &t[0]), NO_ERROR);
    ASSERT_EQ(u_thread_start([]() -> int32_t {
        u_sleep_ms(300);
        return 2;
    }, &t[1]), NO_ERROR);
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_any(t, 2, U_INFINITE), 1);
    EXPECT_EQ(u_now_ms() - t0, 300u);
    EXPECT_EQ(u_wait_any(t, 2, U_INFINITE), 1);  // ended threads stay signalled
    EXPECT_EQ(u_thread_join(t[0], U_INFINITE), 0);
    EXPECT_EQ(u_now_ms() - t0, 900u);
    u_close_handle(t[0]);
    u_close_handle(t[1]);
}
