// A serial link opened on the slave side of a pseudo-terminal peer: the system port of the POSIX
// backend, for its conformance tests.
#pragma once

#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/serial/sio.h"
#include "tests/serial/vport_fixture.h"
#include "tests/sim/pty_peer.h"
#include "tests/support/test_support.h"

namespace serialtest {

class PtyLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        peer = std::make_unique<sim::PtyPeer>();
        ASSERT_EQ(sio_open(peer->port_name().c_str(), &link), NO_ERROR);
        ASSERT_NE(link.handle, SIO_INVALID_HANDLE);
    }
    void TearDown() override
    {
        if (peer)
            peer->stop();
        if (link.handle != SIO_INVALID_HANDLE) {
            EXPECT_EQ(sio_close(&link), NO_ERROR);
        }
        u_hooks_reset();
    }

    // Short time-outs so that every waiting test ends within tens of milliseconds.
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

    sim::PtyPeer::line line()
    {
        sim::PtyPeer::line l{};
        EXPECT_TRUE(peer->slave_line(l));
        return l;
    }

    std::unique_ptr<sim::PtyPeer> peer;
    sio_link link;
};

// Milliseconds since `start`.
inline long long ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace serialtest

#endif
