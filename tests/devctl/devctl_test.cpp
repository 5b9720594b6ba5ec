// The device-control table and its poller, on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_devready.h"
#include "vell/can/can_events.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/serial/devctl.h"
#include "vell/serial/sio_vport.h"
#include "tests/support/test_support.h"

namespace {

// A motion controller whose library's has-event function answers true from its n-th call on, or
// from a virtual time on.
struct counted_mc {
    dev_mc_link link;
    std::atomic<int> calls{0};
    int ready_on_call = 0;        // 0: never by count
    uint64_t ready_at_ms = ~0ull; // virtual time from which it is ready
    static bool has_event(void* ctx)
    {
        auto* self = static_cast<counted_mc*>(ctx);
        int n = ++self->calls;
        return (self->ready_on_call > 0 && n >= self->ready_on_call) || u_now_ms() >= self->ready_at_ms;
    }
    counted_mc()
    {
        link.link_kind = DEV_MC_LINK_LIBRARY;
        link.has_event = has_event;
        link.context = this;
    }
};

std::atomic<int> can_calls{0};
bool can_always(sio_handle, void*)
{
    ++can_calls;
    return true;
}

class DevCtl : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock = std::make_unique<u_virtual_clock>(0);
        log = std::make_unique<vptest::LogCapture>();
        ASSERT_EQ(dev_init_cntrl(true), NO_ERROR);
        log->clear();
    }
    void TearDown() override
    {
        dev_release_cntrl();
        dev_set_can_test(nullptr);
        log.reset();
        clock.reset();
    }
    std::unique_ptr<u_virtual_clock> clock;
    std::unique_ptr<vptest::LogCapture> log;
};

TEST_F(DevCtl, TableRefusals)
{
    counted_mc mc;
    dev_mc_link bad_kind;
    bad_kind.link_kind = 4;
    struct row {
        int32_t type;
        sio_handle handle;
        void* record;
        int32_t err;
        const char* line;
    } rows[] = {
        {3, 50, nullptr, ERR_DEV_CNTRL, "dev_type_valid: dev_type=3 is invalid\n"},
        {128, 50, nullptr, ERR_DEV_CNTRL, "dev_type_valid: dev_type=128 is invalid\n"},
        {2, -1, nullptr, ERR_INVALID_PARAM, "dev_add_device failed: err=ERR_INVALID_PARAM\n"},
        {1, 51, nullptr, ERR_INVALID_PARAM, "dev_add_device failed: err=ERR_INVALID_PARAM\n"},
        {1, 51, &bad_kind, ERR_MC_NOT_AVAIL, "dev_add_device failed: err=ERR_MC_NOT_AVAIL\n"},
    };
    for (const row& r : rows) {
        log->clear();
        EXPECT_EQ(dev_add_device(r.type, r.handle, r.record), r.err) << r.type;
        EXPECT_EQ(log->str(), r.line);
        EXPECT_EQ(gl_DevInfo.count, 0);
    }

    // Ten fit, in the lowest free entries; the eleventh and a duplicate do not.
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(dev_add_device(i == 0 ? DEV_TYPE_MC : DEV_TYPE_SERIAL_8, 100 + i, i == 0 ? &mc.link : nullptr),
                  NO_ERROR);
    log->clear();
    EXPECT_EQ(dev_add_device(DEV_TYPE_SERIAL, 200, nullptr), ERR_DEV_CNTRL);
    EXPECT_EQ(log->str(), "gl_DevInfo table is full\n");
    EXPECT_EQ(gl_DevInfo.count, 10);
    EXPECT_EQ(dev_remove_device(103), NO_ERROR);
    log->clear();
    EXPECT_EQ(dev_add_device(DEV_TYPE_SERIAL, 105, nullptr), ERR_DEV_CNTRL);
    EXPECT_EQ(log->str(), "dev_add_device failed: err=ERR_DEV_CNTRL\n");
    ASSERT_EQ(dev_add_device(DEV_TYPE_KEYBOARD, 300, nullptr), NO_ERROR);
    EXPECT_EQ(gl_DevInfo.entries[3].handle, 300);
    EXPECT_EQ(gl_DevInfo.entries[3].test, nullptr);
    EXPECT_EQ(gl_DevInfo.entries[3].enabled, 1);

    EXPECT_TRUE(dev_registered(300));
    EXPECT_FALSE(dev_registered(103));
    EXPECT_FALSE(dev_registered(-1));
    log->clear();
    EXPECT_EQ(dev_remove_device(-1), ERR_INVALID_PARAM);
    EXPECT_EQ(dev_remove_device(999), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(dev_set_event_state(300, 2), ERR_INVALID_PARAM);
    EXPECT_EQ(dev_set_event_state(-1, 1), ERR_INVALID_PARAM);
    EXPECT_EQ(dev_set_event_state(999, 0), ERR_PARAM_OUT_OF_RANGE);
    EXPECT_EQ(log->str(), "dev_remove_device failed: err=ERR_INVALID_PARAM\n"
                          "dev_remove_device failed: err=ERR_PARAM_OUT_OF_RANGE\n"
                          "dev_set_event_state failed: err=ERR_INVALID_PARAM\n"
                          "dev_set_event_state failed: err=ERR_INVALID_PARAM\n"
                          "dev_set_event_state failed: err=ERR_PARAM_OUT_OF_RANGE\n");

    // A forced initialisation clears the table; without force it keeps it.
    EXPECT_EQ(dev_init_cntrl(false), NO_ERROR);
    EXPECT_EQ(gl_DevInfo.count, 10);
    EXPECT_EQ(dev_init_cntrl(true), NO_ERROR);
    EXPECT_EQ(gl_DevInfo.count, 0);
    EXPECT_FALSE(dev_registered(300));

    // Everything is refused once released.
    dev_release_cntrl();
    log->clear();
    EXPECT_EQ(dev_add_device(DEV_TYPE_SERIAL, 5, nullptr), ERR_DEV_CNTRL);
    EXPECT_EQ(dev_remove_device(5), ERR_DEV_CNTRL);
    EXPECT_EQ(dev_set_event_state(5, 1), ERR_DEV_CNTRL);
    EXPECT_FALSE(dev_registered(5));
    dev_entry out;
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), 0);
    EXPECT_EQ(log->str(), "dev_add_device failed: err=ERR_DEV_CNTRL\n"
                          "dev_remove_device failed: err=ERR_DEV_CNTRL\n"
                          "dev_set_event_state failed: err=ERR_DEV_CNTRL\n"
                          "dev_data_read: ERR_DEV_CNTRL\n");
}

TEST_F(DevCtl, PollTiming)
{
    dev_entry out;
    // Empty table, single pass: at once.
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
    EXPECT_EQ(u_now_ms(), 0u);
    // A refused mask.
    EXPECT_EQ(dev_data_read(3, &out, false), 0);
    EXPECT_EQ(log->str(), "dev_type_valid: dev_type=3 is invalid\ndev_data_read: ERR_DEV_CNTRL\n");

    counted_mc never;
    ASSERT_EQ(dev_add_device(DEV_TYPE_MC, 10, &never.link), NO_ERROR);
    // Nothing ready, wait false: one test, no time.
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
    EXPECT_EQ(never.calls.load(), 1);
    EXPECT_EQ(u_now_ms(), 0u);

    // Ready on the second test: the second pass, 50 ms later.
    counted_mc second;
    second.ready_on_call = 2;
    ASSERT_EQ(dev_add_device(DEV_TYPE_MC, 11, &second.link), NO_ERROR);
    never.calls = 0;
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, true), DEV_TYPE_MC);
    EXPECT_EQ(u_now_ms(), 50u);
    EXPECT_EQ(out.handle, 11);
    EXPECT_EQ(out.record, &second.link);
    EXPECT_EQ(out.in_use, 1);
    EXPECT_EQ(gl_DevInfo.ready_index, 1);
    EXPECT_EQ(never.calls.load(), 2);

    // Removing the entry last reported clears the result.
    ASSERT_EQ(dev_remove_device(11), NO_ERROR);
    EXPECT_EQ(gl_DevInfo.ready_index, -1);
    EXPECT_EQ(gl_DevInfo.ready_type, 0);

    // Wait true keeps polling in 100 ms windows, two or three passes each, until ready.
    counted_mc later;
    later.ready_at_ms = 1000;
    ASSERT_EQ(dev_add_device(DEV_TYPE_MC, 12, &later.link), NO_ERROR);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, true), DEV_TYPE_MC);
    // Windows start at 50, 150, ... 950; the second pass of the last one finds it.
    EXPECT_EQ(u_now_ms(), 1000u);
    EXPECT_EQ(out.handle, 12);
    EXPECT_GE(later.calls.load(), 2 * 9 + 2);
    EXPECT_LE(later.calls.load(), 3 * 9 + 2);

    // Disabled: never reported although ready.
    ASSERT_EQ(dev_set_event_state(12, 0), NO_ERROR);
    int calls = later.calls;
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
    EXPECT_EQ(later.calls.load(), calls);
    ASSERT_EQ(dev_set_event_state(12, 1), NO_ERROR);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_TYPE_MC);
}

// A device whose signal the poller takes just after the reader's window has closed is still
// reported (its test has already consumed the signal).
std::atomic<int> slow_calls{0};
bool slow_once(void*)
{
    int n = ++slow_calls;
    if (n == 1)
        return false;
    if (n == 2) {
        u_sleep_ms(60);  // a slow query: the 50 ms pass plus this ends past the 100 ms window
        return true;
    }
    return n >= 10;  // a lost signal would show as a later answer, not as a hang
}

TEST_F(DevCtl, ReadyJustAfterTheWindowIsNotLost)
{
    dev_mc_link mc;
    mc.link_kind = DEV_MC_LINK_LIBRARY;
    mc.has_event = slow_once;
    slow_calls = 0;
    ASSERT_EQ(dev_add_device(DEV_TYPE_MC, 9, &mc), NO_ERROR);
    dev_entry out;
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, true), DEV_TYPE_MC);
    EXPECT_EQ(u_now_ms(), 110u);
    EXPECT_EQ(slow_calls.load(), 2);
    EXPECT_EQ(out.handle, 9);
}

TEST_F(DevCtl, MaskSelectsTypes)
{
    dev_set_can_test(can_always);
    can_calls = 0;
    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, 70, nullptr), NO_ERROR);
    dev_entry out;
    uint64_t t0 = u_now_ms();
    EXPECT_EQ(dev_data_read(DEV_TYPE_SERIAL, &out, false), DEV_NONE_READY);
    EXPECT_EQ(can_calls.load(), 0);
    // No candidate at all and wait true: the poller never signals, the window runs out each
    // time; the CAN device is picked up once the mask selects it.
    EXPECT_EQ(dev_data_read(DEV_TYPE_CAN, &out, false), DEV_TYPE_CAN);
    EXPECT_EQ(can_calls.load(), 1);
    EXPECT_EQ(u_now_ms(), t0);
    // Without a CAN test installed, a CAN entry is never ready.
    dev_set_can_test(nullptr);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
}

TEST_F(DevCtl, SerialAndEventReadiness)
{
    std::unique_ptr<sio_vport> port;
    ASSERT_EQ(sio_vport::create("COM7", &port), NO_ERROR);
    sio_link link;
    ASSERT_EQ(sio_open("COM7", &link), NO_ERROR);
    ASSERT_EQ(dev_add_device(DEV_TYPE_SERIAL_4, link.handle, &link), NO_ERROR);
    dev_entry out;
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
    ASSERT_EQ(port->send("x", 1, 0), 1u);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_TYPE_SERIAL_4);
    EXPECT_EQ(out.handle, link.handle);
    EXPECT_EQ(out.record, &link);
    char c;
    ASSERT_EQ(sio_read_data(link.handle, &c, 1, nullptr), 0);
    // A byte with a framing error: the query reports (and clears) the error, so not ready now.
    ASSERT_TRUE(port->send_with_error('y', SIO_CE_FRAME));
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);

    // A controller signalling an event object; the test resets it.
    dev_mc_link ev;
    ev.link_kind = DEV_MC_LINK_EVENT;
    ASSERT_EQ(u_event_create(true, false, nullptr, &ev.event), NO_ERROR);
    ASSERT_EQ(dev_remove_device(link.handle), NO_ERROR);
    ASSERT_EQ(dev_add_device(DEV_TYPE_MC, 20, &ev), NO_ERROR);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
    ASSERT_EQ(u_event_set(ev.event), NO_ERROR);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_TYPE_MC);
    EXPECT_EQ(u_wait_one(ev.event, 0), U_WAIT_TIMEOUT);

    // A library controller whose has-event function is not bound is never ready.
    dev_mc_link unbound;
    unbound.link_kind = DEV_MC_LINK_LIBRARY;
    ASSERT_EQ(dev_add_device(DEV_TYPE_MC, 21, &unbound), NO_ERROR);
    EXPECT_EQ(dev_data_read(DEV_TYPE_MC, &out, false), DEV_NONE_READY);
    EXPECT_EQ(u_close_handle(ev.event), NO_ERROR);
    EXPECT_EQ(sio_close(&link), NO_ERROR);
}

TEST_F(DevCtl, CanReadinessRunsThePump)
{
    can_dev_ready_install();
    SysInfo info;
    // No CAN locks or queues yet: not ready, and the test does not create them.
    EXPECT_FALSE(can_dev_ready(64, &info));
    u_handle h = nullptr;
    EXPECT_NE(u_event_open(CAN_EVENT_MUTEX, &h), NO_ERROR);
    EXPECT_FALSE(can_dev_ready(64, nullptr));

    ASSERT_EQ(dev_add_device(DEV_TYPE_CAN, 64, &info), NO_ERROR);
    dev_entry out;
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
    ASSERT_EQ(CanCreateSyncObjects(), NO_ERROR);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
    can_pd_event_record r;
    r.code = CAN_EV_SLEEP;
    can_post_pd_event(r);
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_TYPE_CAN);
    EXPECT_EQ(out.record, &info);
    can_events_reset();
    EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, false), DEV_NONE_READY);
}

TEST_F(DevCtl, ReleaseAndReinitialiseLoop)
{
    dev_release_cntrl();
    std::size_t handles = u_open_handle_count();
    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(dev_init_cntrl(false), NO_ERROR);
        EXPECT_EQ(u_open_handle_count(), handles + 5);
        counted_mc mc;
        mc.ready_on_call = 1 + i % 3;
        ASSERT_EQ(dev_add_device(DEV_TYPE_MC, 1, &mc.link), NO_ERROR);
        dev_entry out;
        uint64_t t0 = u_now_ms();
        EXPECT_EQ(dev_data_read(DEV_TYPE_ALL, &out, true), DEV_TYPE_MC);
        EXPECT_EQ(u_now_ms() - t0, 50u * (i % 3));
        dev_release_cntrl();
        EXPECT_EQ(u_open_handle_count(), handles);
        EXPECT_EQ(gl_DevInfo.initialised, 0);
    }
}

}  // namespace
