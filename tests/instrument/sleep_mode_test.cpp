// Sleep-mode service on the virtual clock: idle timer, posting of code 10, reset by CAN
// transfers, start/stop life cycle.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_bus.h"
#include "vell/can/can_events.h"
#include "vell/can/can_sdo.h"
#include "vell/instrument/sleep_mode.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/thread.h"
#include "vell/sim/canbridge/vcan_bridge.h"
#include "tests/support/test_support.h"

namespace {

constexpr uint8_t NODE = CAN_NODE_ID_LED;
constexpr uint16_t INDEX = 0x2000;

class SleepMode : public ::testing::Test {
protected:
    void SetUp() override
    {
        vcan::reset();
        can_bus_use(vcan::table(), vcan::version_high);
        vcan::bridge_info b;
        vcan::add_bridge(b);
        uint32_t address = 0;
        std::memcpy(&address, b.ip, 4);
        ASSERT_EQ(can_bus().CAN_Connect(address), CAN_OK);
        vcan::set_node(NODE);
        vcan::set_object_uint(NODE, INDEX, 0, 1, 1);
        sysinfo_reset_all_slots();
        info_ = sysinfo_slot(0);
        info_->instrBdType = BD_CAN;
        info_->sysType = SYS_MODEL19;
        info_->sleepTimeout = 2;
        ASSERT_EQ(CanCreateSyncObjects(), NO_ERROR);
        can_events_reset();
        handles_ = u_open_handle_count();
    }
    void TearDown() override
    {
        sleep_mode_stop();
        EXPECT_EQ(u_open_handle_count(), handles_);
        can_events_reset();
        vcan::reset();
        can_bus_unload();
        sysinfo_reset_all_slots();
    }
    static void transfer()
    {
        uint8_t b = 0;
        ASSERT_EQ(can_sdo_read2(NODE, INDEX, 0, &b, 1, true, ERR_CAN_ERROR, "test"), NO_ERROR);
    }
    // Sleeps to the absolute virtual time and returns the number of code-10 events queued.
    std::size_t posts_at(uint64_t t)
    {
        if (t > u_now_ms())
            u_sleep_ms(uint32_t(t - u_now_ms()));
        return can_pd_event_count();
    }

    u_virtual_clock clock_;
    vptest::LogCapture log_;
    SysInfo* info_ = nullptr;
    std::size_t handles_ = 0;
};

TEST_F(SleepMode, AppliesToCanModelsWithATimeout)
{
    struct row {
        int32_t board;
        int32_t sys;
        uint16_t timeout;
        bool applies;
    };
    const std::vector<row> rows = {
        {BD_CAN, SYS_MODEL17, 1, true},   {BD_CAN, SYS_MODEL19, 14400, true}, {BD_CAN, SYS_MODEL24, 5, true},
        {BD_CAN, SYS_MODEL26, 5, true},   {BD_CAN, SYS_MODEL20, 5, false},    {BD_CAN, SYS_MODEL28, 5, false},
        {BD_CAN, SYS_MODEL19, 0, false},  {BD_HXI, SYS_MODEL19, 5, false},    {BD_CAN, SYS_HXI, 5, false},
    };
    for (const row& r : rows) {
        info_->instrBdType = r.board;
        info_->sysType = r.sys;
        info_->sleepTimeout = r.timeout;
        EXPECT_EQ(sleep_mode_applies(info_), r.applies) << r.board << " " << r.sys << " " << r.timeout;
    }
    EXPECT_FALSE(sleep_mode_applies(nullptr));
}

TEST_F(SleepMode, PostsAfterTheTimeoutThenEverySecondUntilStopped)
{
    sleep_mode_start(info_);
    EXPECT_EQ(posts_at(1999), 0u);
    EXPECT_EQ(posts_at(2001), 1u);
    EXPECT_EQ(posts_at(2999), 1u);
    EXPECT_EQ(posts_at(3001), 2u);
    EXPECT_EQ(posts_at(7001), 6u);
    can_pd_event_record r;
    ASSERT_TRUE(can_take_pd_event(&r));
    EXPECT_EQ(r.code, CAN_EV_SLEEP);
    EXPECT_EQ(r.cobId, 0u);
    EXPECT_EQ(r.length, 0u);
    // A transfer does not end the posting once it has begun.
    transfer();
    EXPECT_EQ(posts_at(8001), 6u);
    EXPECT_TRUE(sleep_mode_stop());
    EXPECT_EQ(posts_at(20000), 6u);
    EXPECT_EQ(log_.str(), "");
}

TEST_F(SleepMode, ATransferEverySecondKeepsItAwake)
{
    sleep_mode_start(info_);
    for (int i = 0; i < 30; ++i) {
        u_sleep_ms(1000);
        transfer();
    }
    EXPECT_EQ(can_pd_event_count(), 0u);
    // Idle from the last transfer on: the timeout counts from there.
    const uint64_t last = u_now_ms();
    EXPECT_EQ(posts_at(last + 1999), 0u);
    EXPECT_EQ(posts_at(last + 2001), 1u);
    // A transfer that does not count as activity does not reset it.
    uint8_t b = 0;
    ASSERT_EQ(can_sdo_read2(NODE, INDEX, 0, &b, 1, false, ERR_CAN_ERROR, "test"), NO_ERROR);
    EXPECT_EQ(posts_at(last + 3001), 2u);
}

TEST_F(SleepMode, ATimeoutChangedWhileRunningTakesEffectAtTheNextRestart)
{
    sleep_mode_start(info_);
    u_sleep_ms(1000);
    info_->sleepTimeout = 0;
    transfer();  // re-arms with 0: nothing armed, only a transfer or a stop ends the wait
    EXPECT_EQ(posts_at(60000), 0u);
    info_->sleepTimeout = 5;
    transfer();
    const uint64_t t = u_now_ms();
    EXPECT_EQ(posts_at(t + 4999), 0u);
    EXPECT_EQ(posts_at(t + 5001), 1u);
}

TEST_F(SleepMode, StartTwiceGivesOneThreadAndStopReleasesEverything)
{
    EXPECT_FALSE(sleep_mode_stop());
    sleep_mode_start(info_);
    const std::size_t running = u_open_handle_count();
    EXPECT_EQ(running, handles_ + 6);  // thread, timer, four events
    sleep_mode_start(info_);
    EXPECT_EQ(u_open_handle_count(), running);
    // One thread posts once a second.
    EXPECT_EQ(posts_at(4001), 3u);
    EXPECT_TRUE(sleep_mode_stop());
    EXPECT_EQ(u_open_handle_count(), handles_);
    EXPECT_FALSE(sleep_mode_stop());
    // Transfers after the stop signal nothing and do not fail.
    transfer();
    // A new start begins afresh.
    can_events_reset();
    const uint64_t t = u_now_ms();
    sleep_mode_start(info_);
    EXPECT_EQ(posts_at(t + 1999), 0u);
    EXPECT_EQ(posts_at(t + 2001), 1u);
    EXPECT_EQ(log_.str(), "");
}

TEST_F(SleepMode, AStopThatOutwaitsItsLimitStillJoinsTheThread)
{
    // Hold the CAN event lock so that the thread's first post blocks; another thread lets it
    // go at 9 s, long after the stop's 5000 ms are over.
    u_handle lock = nullptr;
    ASSERT_EQ(u_event_open(CAN_EVENT_MUTEX, &lock), NO_ERROR);
    ASSERT_EQ(u_wait_one(lock, 0), 0);
    u_handle releaser = nullptr;
    ASSERT_EQ(u_thread_start(
                  [lock]() -> int32_t {
                      u_sleep_ms(9000);
                      return u_event_set(lock);
                  },
                  &releaser),
              NO_ERROR);
    sleep_mode_start(info_);
    u_sleep_ms(3000);
    EXPECT_TRUE(sleep_mode_stop());
    EXPECT_EQ(u_now_ms(), 9000u);
    EXPECT_EQ(log_.str(), "Sleep Mode thread did not end within 5000 ms; waiting for it\n");
    EXPECT_EQ(can_pd_event_count(), 1u);
    EXPECT_EQ(u_thread_join(releaser, U_INFINITE), 0);
    u_close_handle(releaser);
    u_close_handle(lock);
}

TEST_F(SleepMode, StartThenStopAtOnceLeavesNothingBehind)
{
    // Transfers from another thread race the start/stop cycles.
    u_handle worker = nullptr;
    u_handle done = nullptr;
    ASSERT_EQ(u_event_create(true, false, nullptr, &done), NO_ERROR);
    ASSERT_EQ(u_thread_start(
                  [done]() -> int32_t {
                      while (u_wait_one(done, 0) != 0) {
                          uint8_t b = 0;
                          can_sdo_read2(NODE, INDEX, 0, &b, 1, true, ERR_CAN_ERROR, "worker");
                          u_sleep_ms(1);
                      }
                      return 0;
                  },
                  &worker),
              NO_ERROR);
    for (int i = 0; i < 200; ++i) {
        sleep_mode_start(info_);
        if (i % 3 == 0)
            u_sleep_ms(1);
        ASSERT_TRUE(sleep_mode_stop());
    }
    u_event_set(done);
    EXPECT_EQ(u_thread_join(worker, U_INFINITE), 0);
    u_close_handle(worker);
    u_close_handle(done);
    EXPECT_EQ(can_pd_event_count(), 0u);
    EXPECT_EQ(log_.str(), "");
}

}  // namespace
