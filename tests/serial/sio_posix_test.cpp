// The POSIX backend against a pseudo-terminal peer: what only the system port shows (termios,
// the port lock, descriptors, parity marking) and one pass through each kind of transfer. The
// waits here are real, so the tests assert outcomes, never durations; the transfer rules
// themselves are tested on virtual ports (sio_transfer_test.cpp).
#ifndef _WIN32

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <tuple>

#include <unistd.h>

#include "vell/platform/os.h"
#include "vell/serial/sio_backend.h"
#include "tests/serial/pty_fixture.h"

namespace {

using serialtest::ms_since;
using serialtest::PtyLink;
using serialtest::same_state;
using vptest::LogCapture;
using steady = std::chrono::steady_clock;

using SioPosix = PtyLink;

// Waits (briefly, in real time) until the port reports `count` bytes waiting.
bool wait_for_input(sio_handle h, uint32_t count, int limit_ms = 2000)
{
    auto start = steady::now();
    for (;;) {
        uint32_t n = 0;
        if (sio_input_count(h, &n) == NO_ERROR && n >= count)
            return n == count;
        if (ms_since(start) > limit_ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST_F(SioPosix, PortIsRawAndHasTheOpeningTimeouts)
{
    EXPECT_TRUE(line().raw);
    EXPECT_EQ(state().binary, 1);
    sio_timeouts t{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &t), NO_ERROR);
    EXPECT_EQ(t.read_interval, 100u);
    EXPECT_EQ(t.read_total_constant, 2000u);
    EXPECT_EQ(t.write_total_constant, 1000u);
}

TEST_F(SioPosix, PortIsNotShared)
{
    sio_link second;
    EXPECT_EQ(sio_open(peer->port_name().c_str(), &second), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(second.handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    EXPECT_EQ(sio_close(&link), NO_ERROR);
    EXPECT_EQ(sio_open(peer->port_name().c_str(), &second), NO_ERROR);
    EXPECT_EQ(sio_close(&second), NO_ERROR);
}

// The line settings as the terminal holds them after each sequence of calls.
TEST_F(SioPosix, LineSettingsReachTheTerminal)
{
    struct row {
        const char* name;
        std::function<int32_t(sio_handle)> apply;
        uint32_t speed;
        bool two_stop, inpck, parmrk, ixon, ixoff, crtscts;
    };
    const row rows[] = {
        {"defaults, software flow", [](sio_handle h) { return sio_init_sw_flow(h, nullptr); }, 9600, false,
         false, false, true, true, false},
        // Linux keeps CRTSCTS on a pseudo-terminal, without any effect.
        {"defaults, CTS flow", [](sio_handle h) { return sio_init(h, nullptr, 0); }, 9600, false, false, false,
         false, false, true},
        {"one and a half stop bits as two, parity checked and marked",
         [](sio_handle h) { return sio_init_sw_flow(h, "19200,7,2,1.5"); }, 19200, true, true, true, true, true,
         false},
        {"instrument link",
         [](sio_handle h) {
             int32_t rc = sio_init_sw_flow(h, nullptr);
             if (rc == NO_ERROR)
                 rc = sio_set_baud_rate(h, 38400);
             return rc != NO_ERROR ? rc : sio_disable_sw_flow(h);
         },
         38400, false, false, false, false, false, false},
        {"parity set and cleared again",
         [](sio_handle h) {
             int32_t rc = sio_init(h, "57600,8,1,2", 1);
             return rc != NO_ERROR ? rc : sio_set_parity(h, SIO_NOPARITY);
         },
         57600, true, false, false, true, true, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(r.apply(link.handle), NO_ERROR);
        sim::PtyPeer::line l = line();
        EXPECT_EQ(l.speed, r.speed);
        EXPECT_EQ(l.two_stop, r.two_stop);
        EXPECT_EQ(l.inpck, r.inpck);
        EXPECT_EQ(l.parmrk, r.parmrk);
        EXPECT_EQ(l.ixon, r.ixon);
        EXPECT_EQ(l.ixoff, r.ixoff);
        EXPECT_EQ(l.crtscts, r.crtscts);
        EXPECT_EQ(l.vstart, 17);
        EXPECT_EQ(l.vstop, 19);
        EXPECT_TRUE(l.raw);
    }
}

TEST_F(SioPosix, RefusedSettingsLeaveTheTerminalAsItWas)
{
    ASSERT_EQ(sio_init(link.handle, "38400,7,1,2", 0), NO_ERROR);
    sio_state before = state();
    LogCapture log;
    EXPECT_EQ(sio_init_sw_flow(link.handle, "9600"), ERR_INVALID_PARAM);
    EXPECT_EQ(sio_set_baud_rate(link.handle, 12345), ERR_CANT_SET_SERIAL);
    EXPECT_TRUE(same_state(state(), before));
    EXPECT_EQ(line().speed, 38400u);
    EXPECT_FALSE(line().ixon);
}

TEST_F(SioPosix, TransfersBothWays)
{
    ASSERT_EQ(sio_init(link.handle, nullptr, 0), NO_ERROR);
    set_timeouts(20, 2000);
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    ASSERT_EQ(sio_send_data(link.handle, bytes.data(), 256, nullptr), NO_ERROR);
    EXPECT_EQ(peer->receive(256, 2000), bytes);
    ASSERT_TRUE(peer->send(bytes));
    std::string got(256, '\0');
    ASSERT_EQ(sio_read_data(link.handle, got.data(), 256, nullptr), NO_ERROR);
    EXPECT_EQ(got, bytes);

    peer->answer("LO?\r", "ok", 0, 1);
    ASSERT_EQ(sio_send_data(link.handle, "LO?\r", 4, nullptr), NO_ERROR);
    char buf[2];
    ASSERT_EQ(sio_read_data(link.handle, buf, 2, nullptr), NO_ERROR);
    EXPECT_EQ(std::string(buf, 2), "ok");

    set_timeouts(20, 30);  // a silent device: the read ends short
    uint32_t n = 99;
    EXPECT_EQ(sio_read_data(link.handle, buf, 2, &n), 1);
    EXPECT_EQ(n, 0u);
}

// With the parity check on, the terminal marks line errors in the data and doubles the byte
// 255; the reads take the marks out again.
TEST_F(SioPosix, MarkedInputReadsAsTheBytesSent)
{
    ASSERT_EQ(sio_init_sw_flow(link.handle, "9600,8,2,1"), NO_ERROR);
    ASSERT_TRUE(line().parmrk);
    set_timeouts(20, 2000);
    const std::string sent("a\xFF\xFF" "b\xFF", 5);
    ASSERT_TRUE(peer->send(sent));
    std::string got(5, '.');
    uint32_t n = 0;
    ASSERT_EQ(sio_read_data(link.handle, got.data(), 5, &n), NO_ERROR);
    EXPECT_EQ(got, sent);
    uint32_t flags = 99;
    ASSERT_EQ(sio_line_errors(link.handle, &flags), NO_ERROR);
    EXPECT_EQ(flags, 0u);
}

TEST_F(SioPosix, DeviceThatGoesAwayFailsTheTransfers)
{
    set_timeouts(20, 2000);
    peer->hang_up();
    char buf[2];
    uint32_t got = 99;
    EXPECT_EQ(sio_read_data(link.handle, buf, 2, &got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(sio_send_data(link.handle, "ab", 2, nullptr), 1);
}

TEST_F(SioPosix, StaleHandleNeverTouchesADescriptorThatWasReused)
{
    const sio_handle stale = link.handle;
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    // A new device very likely gets the freed descriptor number.
    sim::PtyPeer other;
    char buf[2] = {'a', 'b'};
    EXPECT_EQ(sio_send_data(stale, buf, 2, nullptr), 1);
    EXPECT_EQ(sio_read_data(stale, buf, 2, nullptr), 1);
    EXPECT_EQ(sio_clear_buffer(stale), 1);
    sio_state s{};
    EXPECT_EQ(sio_get_state(stale, &s), ERR_CANT_GET_SERIAL);
    sio_link copy;
    copy.handle = stale;
    EXPECT_EQ(sio_close(&copy), ERR_CANT_CLOSE_SERIAL);
    EXPECT_EQ(copy.handle, SIO_INVALID_HANDLE);

    sio_link fresh;
    ASSERT_EQ(sio_open(other.port_name().c_str(), &fresh), NO_ERROR);
    ASSERT_EQ(sio_init(fresh.handle, nullptr, 0), NO_ERROR);
    ASSERT_EQ(sio_send_data(fresh.handle, "ok", 2, nullptr), NO_ERROR);
    EXPECT_EQ(other.receive(2, 2000), "ok");
    EXPECT_EQ(sio_close(&fresh), NO_ERROR);
}

TEST_F(SioPosix, CloseDiscardsUnreadInputAndThePortOpensAgain)
{
    set_timeouts(20, 50);
    ASSERT_TRUE(peer->send("stale"));
    ASSERT_TRUE(wait_for_input(link.handle, 5));
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    ASSERT_EQ(sio_open(peer->port_name().c_str(), &link), NO_ERROR);
    uint32_t n = 99;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
}

// A close that the system reports as failed (here: the descriptor was closed behind the layer's
// back, so close answers EBADF) still ends the link and its entry: a retry cannot reach a port
// that was given the same descriptor number since.
TEST_F(SioPosix, AFailedCloseGivesUpTheHandleSoARetryNeverClosesALaterPort)
{
    const sio_handle stale = link.handle;
    ASSERT_EQ(::close(static_cast<int>(stale)), 0);
    EXPECT_EQ(sio_close(&link), ERR_CANT_CLOSE_SERIAL);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
    sio_timeouts t{};
    EXPECT_EQ(sio_get_timeouts(stale, &t), ERR_CANT_GET_SERIAL);  // no entry left

    sim::PtyPeer other;
    sio_link fresh;
    ASSERT_EQ(sio_open(other.port_name().c_str(), &fresh), NO_ERROR);
    ASSERT_EQ(sio_init(fresh.handle, nullptr, 0), NO_ERROR);
    EXPECT_EQ(sio_close(&link), ERR_SERIAL_NOT_OPEN);  // the retry
    ASSERT_EQ(sio_send_data(fresh.handle, "ok", 2, nullptr), NO_ERROR);
    EXPECT_EQ(other.receive(2, 2000), "ok");
    EXPECT_EQ(sio_close(&fresh), NO_ERROR);
}

// The device gets back the terminal settings it had before the port was opened.
TEST_F(SioPosix, CloseRestoresTheTerminalSettingsFoundAtOpen)
{
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    const sim::PtyPeer::line before = line();
    ASSERT_FALSE(before.ixon || before.ixoff);
    ASSERT_EQ(sio_open(peer->port_name().c_str(), &link), NO_ERROR);
    ASSERT_EQ(sio_init_sw_flow(link.handle, "19200,8,0,2"), NO_ERROR);
    const sim::PtyPeer::line open = line();
    ASSERT_TRUE(open.ixon && open.ixoff);
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    const sim::PtyPeer::line after = line();
    auto fields = [](const sim::PtyPeer::line& l) {
        return std::tuple(l.speed, l.data_bits, l.parity, l.two_stop, l.crtscts, l.inpck, l.parmrk, l.ixon, l.ixoff,
                          l.vstart, l.vstop, l.raw);
    };
    EXPECT_EQ(fields(after), fields(before));
}

std::atomic<uint64_t> fake_now{0};
std::atomic<int> platform_clock_reads{0};
uint64_t slow_clock() { return ++fake_now; }  // quiet reads still wait for the flood in real time
uint64_t counted_platform_clock()
{
    ++platform_clock_reads;
    return fake_now += 250;
}

// The drain's quiet reads wait on the port's own clock, and so does its limit: the platform
// clock, which is virtual in tests and in the virtual instrument, and which a real port's chatter
// never lets move, is not asked at all.
TEST_F(SioPosix, DrainGivesUpOnADeviceThatNeverStopsByThePortsOwnClock)
{
    set_timeouts(20, 50);
    peer->flood("0123456789");
    sio_os::clock_ms = slow_clock;
    u_hooks.now_ms = counted_platform_clock;
    platform_clock_reads = 0;
    const uint64_t start = fake_now.load();
    int32_t rc = sio_clear_buffer(link.handle);
    const int asked = platform_clock_reads.load();
    const uint64_t spent = fake_now.load() - start;
    sio_os::clock_ms = os::monotonic_ms;
    u_hooks_reset();
    peer->stop();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(asked, 0);
    EXPECT_GE(spent, SIO_DRAIN_LIMIT_MS);
    EXPECT_GT(peer->flooded(), 0u);
    sio_timeouts back{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &back), NO_ERROR);
    EXPECT_EQ(back.read_total_constant, 50u);
}

#if defined(__linux__)
// The master side of a new pseudo-terminal pair is a terminal that is not treated as a
// pseudo-terminal slave: it is held to every field, and it cannot take 7 data bits or parity.
// It stands in for a port whose driver refuses a setting.
TEST(SioRefusingPort, SettingsTheDriverDoesNotTakeAreReportedAndChangeNothing)
{
    sio_link link;
    ASSERT_EQ(sio_open("/dev/ptmx", &link), NO_ERROR);
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    sio_state before{};
    ASSERT_EQ(sio_get_state(link.handle, &before), NO_ERROR);
    sio_timeouts custom{1, 2, 3, 4, 5};
    ASSERT_EQ(sio_set_timeouts(link.handle, &custom), NO_ERROR);

    LogCapture log;
    EXPECT_EQ(sio_init_sw_flow(link.handle, "19200,7,2,1"), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(log.str(), "Com Settings Parameter: 19200,7,2,1 is Invalid.\n");
    sio_state after{};
    ASSERT_EQ(sio_get_state(link.handle, &after), NO_ERROR);
    EXPECT_TRUE(same_state(after, before));
    // The time-outs are written before the line settings, as on Windows.
    sio_timeouts t{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &t), NO_ERROR);
    EXPECT_EQ(t.read_interval, 100u);
    EXPECT_EQ(t.read_total_constant, 2000u);
    EXPECT_EQ(t.write_total_constant, 1000u);

    log.clear();
    EXPECT_EQ(sio_set_data_bits(link.handle, 7), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(sio_set_parity(link.handle, SIO_EVENPARITY), ERR_CANT_SET_SERIAL);
    EXPECT_EQ(log.str(), "");
    ASSERT_EQ(sio_get_state(link.handle, &after), NO_ERROR);
    EXPECT_TRUE(same_state(after, before));
    // What the driver does take still goes through.
    EXPECT_EQ(sio_set_baud_rate(link.handle, 38400), NO_ERROR);
    EXPECT_EQ(sio_close(&link), NO_ERROR);
}
#endif

}  // namespace

#endif
