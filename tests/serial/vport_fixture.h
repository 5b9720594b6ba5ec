// A serial link opened on a virtual port, with its device peer, on the virtual clock: every
// time-out and pause of these tests is virtual time, asserted exactly and spent in no real time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/serial/sio.h"
#include "vell/sim/serial_peer.h"
#include "tests/support/test_support.h"

namespace serialtest {

class VirtualLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock = std::make_unique<u_virtual_clock>(1000);
        ASSERT_EQ(sim::serial_peer::create("COM7", &peer), NO_ERROR);
        ASSERT_EQ(sio_open("COM7", &link), NO_ERROR);
        ASSERT_NE(link.handle, SIO_INVALID_HANDLE);
    }
    void TearDown() override
    {
        if (peer)
            peer->stop();
        if (link.handle != SIO_INVALID_HANDLE) {
            EXPECT_EQ(sio_close(&link), NO_ERROR);
        }
        peer.reset();
        clock.reset();
        u_hooks_reset();
    }

    void set_timeouts(uint32_t interval, uint32_t total, uint32_t write_total = 200)
    {
        sio_timeouts t{interval, 0, total, 0, write_total};
        ASSERT_EQ(sio_set_timeouts(link.handle, &t), NO_ERROR);
    }

    sio_state state()
    {
        sio_state s{};
        EXPECT_EQ(sio_get_state(link.handle, &s), NO_ERROR);
        return s;
    }

    // Virtual milliseconds since the clock started.
    static uint64_t now() { return u_now_ms() - 1000; }

    std::unique_ptr<u_virtual_clock> clock;
    std::unique_ptr<sim::serial_peer> peer;
    sio_link link;
};

inline bool same_state(const sio_state& a, const sio_state& b)
{
    return a.baud_rate == b.baud_rate && a.byte_size == b.byte_size && a.parity == b.parity &&
           a.stop_bits == b.stop_bits && a.parity_check == b.parity_check && a.binary == b.binary &&
           a.out_x == b.out_x && a.in_x == b.in_x && a.xon_char == b.xon_char && a.xoff_char == b.xoff_char &&
           a.xon_lim == b.xon_lim && a.xoff_lim == b.xoff_lim && a.dtr_control == b.dtr_control &&
           a.rts_control == b.rts_control && a.out_cts_flow == b.out_cts_flow &&
           a.abort_on_error == b.abort_on_error;
}

}  // namespace serialtest
