#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/thread.h"
#include "tests/platform_os/os_test_support.h"

using ostest::make_event;

namespace {

class Events : public ostest::VirtualClockTest {};

// Starts n threads that each wait without limit on the event and count themselves when
// released.
std::vector<u_handle> start_waiters(int n, u_handle event, std::atomic<int>& released)
{
    std::vector<u_handle> threads;
    for (int i = 0; i < n; ++i) {
        u_handle t = nullptr;
        EXPECT_EQ(u_thread_start(
                      [event, &released]() -> int32_t {
                          if (u_wait_one(event, U_INFINITE) != 0)
                              return -1;
                          ++released;
                          return 0;
                      },
                      &t),
                  NO_ERROR);
        threads.push_back(t);
    }
    return threads;
}

void join_all(std::vector<u_handle>& threads)
{
    for (u_handle t : threads) {
        int32_t result = -5;
        EXPECT_EQ(u_thread_join(t, U_INFINITE, &result), 0);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(u_close_handle(t), NO_ERROR);
    }
    threads.clear();
}

}  // namespace

TEST_F(Events, AutoResetSignalReleasesExactlyOneWaiter)
{
    u_handle ev = make_event(false);
    std::atomic<int> released{0};
    auto threads = start_waiters(3, ev, released);
    settle();
    EXPECT_EQ(released.load(), 0);
    for (int k = 1; k <= 3; ++k) {
        ASSERT_EQ(u_event_set(ev), NO_ERROR);
        settle();
        EXPECT_EQ(released.load(), k) << "after signal " << k;
    }
    join_all(threads);
    // Each signal was consumed by its waiter: nothing is left pending.
    EXPECT_EQ(u_wait_one(ev, 0), U_WAIT_TIMEOUT);
    u_close_handle(ev);
}

TEST_F(Events, ManualResetSignalReleasesAllWaitersAndStaysSet)
{
    u_handle ev = make_event(true);
    std::atomic<int> released{0};
    auto threads = start_waiters(3, ev, released);
    settle();
    EXPECT_EQ(released.load(), 0);
    ASSERT_EQ(u_event_set(ev), NO_ERROR);
    settle();
    EXPECT_EQ(released.load(), 3);
    join_all(threads);
    EXPECT_EQ(u_wait_one(ev, 0), 0);
    EXPECT_EQ(u_wait_one(ev, 0), 0);
    ASSERT_EQ(u_event_reset(ev), NO_ERROR);
    EXPECT_EQ(u_wait_one(ev, 0), U_WAIT_TIMEOUT);
    u_close_handle(ev);
}

TEST_F(Events, AutoResetSignalWithoutWaiterStaysPendingForOneWait)
{
    u_handle ev = make_event(false);
    ASSERT_EQ(u_event_set(ev), NO_ERROR);
    ASSERT_EQ(u_event_set(ev), NO_ERROR);  // signals do not add up
    EXPECT_EQ(u_wait_one(ev, 0), 0);
    EXPECT_EQ(u_wait_one(ev, 0), U_WAIT_TIMEOUT);
    u_close_handle(ev);
}

TEST_F(Events, InitialState)
{
    u_handle a = make_event(false, true);
    u_handle m = make_event(true, true);
    u_handle off = make_event(true, false);
    EXPECT_EQ(u_wait_one(a, 0), 0);
    EXPECT_EQ(u_wait_one(a, 0), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_wait_one(m, 0), 0);
    EXPECT_EQ(u_wait_one(m, 0), 0);
    EXPECT_EQ(u_wait_one(off, 0), U_WAIT_TIMEOUT);
    u_close_handle(a);
    u_close_handle(m);
    u_close_handle(off);
}

TEST_F(Events, ResetClearsAPendingAutoSignal)
{
    u_handle ev = make_event(false);
    u_event_set(ev);
    ASSERT_EQ(u_event_reset(ev), NO_ERROR);
    EXPECT_EQ(u_wait_one(ev, 0), U_WAIT_TIMEOUT);
    u_close_handle(ev);
}

TEST_F(Events, TimedWaitTimesOutOnTheVirtualClock)
{
    u_handle ev = make_event(true);
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(t0, 1000u);
    EXPECT_EQ(u_wait_one(ev, 2000), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 2000u);
    EXPECT_EQ(u_wait_one(ev, 0), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 2000u);  // a look takes no time
    EXPECT_LT(real_ms(), 1000);
    u_close_handle(ev);
}

TEST_F(Events, SignalFromAnotherThreadEndsTheWaitAtItsTime)
{
    u_handle ev = make_event(false);
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start(
                  [ev]() -> int32_t {
                      u_sleep_ms(750);
                      return u_event_set(ev);
                  },
                  &t),
              NO_ERROR);
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_one(ev, 5000), 0);
    EXPECT_EQ(u_now_ms() - t0, 750u);
    int32_t r = -1;
    EXPECT_EQ(u_thread_join(t, U_INFINITE, &r), 0);
    EXPECT_EQ(r, NO_ERROR);
    u_close_handle(t);
    u_close_handle(ev);
}

// A request/reply exchange with retries: three attempts, each waiting 2000 ms for the reply;
// the peer ignores the first two requests and answers the third after 500 ms.
TEST_F(Events, RetryLoopAcrossThreadsTakesTheExpectedVirtualTime)
{
    u_handle request = make_event(false);
    u_handle reply = make_event(false);
    std::atomic<int> attempts{0};
    u_handle client = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      for (int i = 0; i < 5; ++i) {
                          ++attempts;
                          u_event_set(request);
                          if (u_wait_one(reply, 2000) == 0)
                              return NO_ERROR;
                      }
                      return ERR_UNKNOWN;
                  },
                  &client),
              NO_ERROR);
    uint64_t t0 = u_now_ms();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(u_wait_one(request, U_INFINITE), 0);
    EXPECT_EQ(u_now_ms() - t0, 4000u);  // the third request came after two waits of 2000 ms
    u_sleep_ms(500);
    u_event_set(reply);
    int32_t r = -1;
    ASSERT_EQ(u_thread_join(client, U_INFINITE, &r), 0);
    EXPECT_EQ(r, NO_ERROR);
    EXPECT_EQ(attempts.load(), 3);
    EXPECT_EQ(u_now_ms() - t0, 4500u);
    EXPECT_EQ(u_vclock_sleeps(), std::vector<uint32_t>{500});
    EXPECT_LT(real_ms(), 1000);
    u_close_handle(client);
    u_close_handle(request);
    u_close_handle(reply);
}

TEST_F(Events, WaitAnyReportsTheEventThatWasSignalled)
{
    u_handle ev[3] = {make_event(false), make_event(false), make_event(false)};
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      u_sleep_ms(300);
                      return u_event_set(ev[2]);
                  },
                  &t),
              NO_ERROR);
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_any(ev, 3, 1000), 2);
    EXPECT_EQ(u_now_ms() - t0, 300u);
    u_thread_join(t, U_INFINITE);
    u_close_handle(t);
    for (u_handle h : ev)
        u_close_handle(h);
}

TEST_F(Events, WaitAnyPrefersTheLowestIndexAndConsumesOnlyThatEvent)
{
    u_handle ev[3] = {make_event(false), make_event(false), make_event(false)};
    u_event_set(ev[2]);
    u_event_set(ev[1]);
    EXPECT_EQ(u_wait_any(ev, 3, 0), 1);
    EXPECT_EQ(u_wait_any(ev, 3, 0), 2);
    EXPECT_EQ(u_wait_any(ev, 3, 0), U_WAIT_TIMEOUT);
    for (u_handle h : ev)
        u_close_handle(h);
}

TEST_F(Events, WaitAnyLeavesAManualEventSignalled)
{
    u_handle ev[2] = {make_event(true), make_event(false)};
    u_event_set(ev[0]);
    u_event_set(ev[1]);
    EXPECT_EQ(u_wait_any(ev, 2, 0), 0);
    EXPECT_EQ(u_wait_any(ev, 2, 0), 0);
    u_event_reset(ev[0]);
    EXPECT_EQ(u_wait_any(ev, 2, 0), 1);
    for (u_handle h : ev)
        u_close_handle(h);
}

// A blocked wait on two auto-reset events takes the first signal only; the second stays
// pending for the next wait.
TEST_F(Events, BlockedWaitAnyConsumesOnlyTheSignalThatReleasedIt)
{
    u_handle ev[2] = {make_event(false), make_event(false)};
    u_handle t = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      u_sleep_ms(10);
                      u_event_set(ev[1]);
                      u_event_set(ev[0]);
                      return 0;
                  },
                  &t),
              NO_ERROR);
    EXPECT_EQ(u_wait_any(ev, 2, U_INFINITE), 1);
    u_thread_join(t, U_INFINITE);
    EXPECT_EQ(u_wait_one(ev[0], 0), 0);
    EXPECT_EQ(u_wait_one(ev[1], 0), U_WAIT_TIMEOUT);
    u_close_handle(t);
    for (u_handle h : ev)
        u_close_handle(h);
}

TEST_F(Events, WaitAnyTimesOutAfterItsTime)
{
    u_handle ev[2] = {make_event(false), make_event(true)};
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(u_wait_any(ev, 2, 100), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_now_ms() - t0, 100u);
    for (u_handle h : ev)
        u_close_handle(h);
}

TEST_F(Events, WaitsOnBadArgumentsFail)
{
    u_handle ev = make_event(true, true);
    std::vector<u_handle> many(U_MAX_WAIT_OBJECTS + 1, ev);
    EXPECT_EQ(u_wait_any(many.data(), 0, 0), U_WAIT_FAILED);
    EXPECT_EQ(u_wait_any(nullptr, 1, 0), U_WAIT_FAILED);
    EXPECT_EQ(u_wait_any(many.data(), U_MAX_WAIT_OBJECTS + 1, 0), U_WAIT_FAILED);
    EXPECT_EQ(u_wait_any(many.data(), U_MAX_WAIT_OBJECTS, 0), 0);
    u_handle with_null[2] = {ev, nullptr};
    EXPECT_EQ(u_wait_any(with_null, 2, 0), U_WAIT_FAILED);
    EXPECT_EQ(u_wait_one(nullptr, 0), U_WAIT_FAILED);
    u_handle closed = make_event(true, true);
    u_close_handle(closed);
    EXPECT_EQ(u_wait_one(closed, 0), U_WAIT_FAILED);
    u_close_handle(ev);
}

TEST_F(Events, OperationsOnWrongHandlesGiveTheirCodes)
{
    EXPECT_EQ(u_event_set(nullptr), ERR_SET_EVENT);
    EXPECT_EQ(u_event_reset(nullptr), ERR_RESET_EVENT);
    EXPECT_EQ(u_close_handle(nullptr), ERR_INVALID_PARAM);
    u_handle timer = nullptr;
    ASSERT_EQ(u_timer_create(true, nullptr, &timer), NO_ERROR);
    EXPECT_EQ(u_event_set(timer), ERR_SET_EVENT);
    EXPECT_EQ(u_event_reset(timer), ERR_RESET_EVENT);
    u_handle ev = make_event(true);
    EXPECT_EQ(u_timer_set(ev, 10, 0), ERR_INVALID_PARAM);
    EXPECT_EQ(u_timer_cancel(ev), ERR_INVALID_PARAM);
    EXPECT_EQ(u_close_handle(ev), NO_ERROR);
    EXPECT_EQ(u_close_handle(ev), ERR_CLOSE_EVENT_HANDLE);
    EXPECT_EQ(u_event_set(ev), ERR_SET_EVENT);
    EXPECT_EQ(u_event_create(true, false, nullptr, nullptr), ERR_INVALID_PARAM);
    u_close_handle(timer);
}

TEST_F(Events, NamedEventIsFoundByNameUntilTheLastHandleCloses)
{
    const char* name = "vp_test_named_event";
    bool existed = true;
    u_handle first = nullptr;
    ASSERT_EQ(u_event_create(false, false, name, &first, &existed), NO_ERROR);
    EXPECT_FALSE(existed);

    u_handle opened = nullptr;
    ASSERT_EQ(u_event_open(name, &opened), NO_ERROR);
    ASSERT_NE(opened, first);
    u_event_set(opened);
    EXPECT_EQ(u_wait_one(first, 0), 0);
    EXPECT_EQ(u_wait_one(opened, 0), U_WAIT_TIMEOUT);  // one object: the signal is consumed

    // Creating it again gives the same event; the first creation's kind holds.
    u_handle again = nullptr;
    ASSERT_EQ(u_event_create(true, true, name, &again, &existed), NO_ERROR);
    EXPECT_TRUE(existed);
    EXPECT_EQ(u_wait_one(first, 0), U_WAIT_TIMEOUT);
    u_event_set(again);
    EXPECT_EQ(u_wait_one(again, 0), 0);
    EXPECT_EQ(u_wait_one(again, 0), U_WAIT_TIMEOUT);

    u_event_set(first);
    u_close_handle(first);
    u_close_handle(again);
    ASSERT_EQ(u_event_open(name, &again), NO_ERROR);  // still open through one handle
    u_close_handle(again);
    u_close_handle(opened);

    u_handle none = reinterpret_cast<u_handle>(1);
    EXPECT_EQ(u_event_open(name, &none), ERR_CREATE_EVENT);
    EXPECT_EQ(none, nullptr);

    // A new event of that name starts afresh.
    u_handle fresh = nullptr;
    ASSERT_EQ(u_event_create(false, false, name, &fresh, &existed), NO_ERROR);
    EXPECT_FALSE(existed);
    EXPECT_EQ(u_wait_one(fresh, 0), U_WAIT_TIMEOUT);
    u_close_handle(fresh);
}

TEST_F(Events, NamesAreExactAndSharedWithTimers)
{
    u_handle ev = make_event(true, false, "vp_test_Name");
    u_handle other = nullptr;
    EXPECT_EQ(u_event_open("vp_test_name", &other), ERR_CREATE_EVENT);
    EXPECT_EQ(u_event_open("", &other), ERR_CREATE_EVENT);
    EXPECT_EQ(u_event_open(nullptr, &other), ERR_CREATE_EVENT);

    u_handle timer = nullptr;
    ASSERT_EQ(u_timer_create(true, "vp_test_timer_name", &timer), NO_ERROR);
    EXPECT_EQ(u_event_create(true, false, "vp_test_timer_name", &other), ERR_CREATE_EVENT);
    EXPECT_EQ(u_event_open("vp_test_timer_name", &other), ERR_CREATE_EVENT);
    EXPECT_EQ(u_timer_create(true, "vp_test_Name", &other), ERR_CREATE_EVENT);
    u_close_handle(timer);
    u_close_handle(ev);
}

TEST_F(Events, UnnamedEventsAreDistinct)
{
    u_handle a = make_event(true);
    u_handle b = make_event(true, false, "");
    u_event_set(a);
    EXPECT_EQ(u_wait_one(b, 0), U_WAIT_TIMEOUT);
    EXPECT_EQ(u_wait_one(a, 0), 0);
    u_close_handle(a);
    u_close_handle(b);
}

TEST_F(Events, ClosingAHandleDuringAWaitOfAnotherThreadKeepsTheEventAlive)
{
    u_handle ev = make_event(false, false, "vp_test_closed_during_wait");
    u_handle t = nullptr;
    std::atomic<int> result{-10};
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      result = u_wait_one(ev, 1000);
                      return 0;
                  },
                  &t),
              NO_ERROR);
    settle();
    EXPECT_EQ(u_close_handle(ev), NO_ERROR);
    u_thread_join(t, U_INFINITE);
    EXPECT_EQ(result.load(), U_WAIT_TIMEOUT);
    u_handle gone = nullptr;
    EXPECT_EQ(u_event_open("vp_test_closed_during_wait", &gone), ERR_CREATE_EVENT);
    u_close_handle(t);
}
