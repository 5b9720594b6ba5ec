// Sending, reading with time-outs, the input count, draining and closing, against a
// pseudo-terminal peer. Every time-out here is tens of milliseconds.
#ifndef _WIN32

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/serial/pty_fixture.h"

namespace {

using serialtest::ms_since;
using serialtest::PtyLink;
using steady = std::chrono::steady_clock;

using SioSend = PtyLink;
using SioRead = PtyLink;
using SioInputCount = PtyLink;
using SioClearBuffer = PtyLink;
using SioCloseLink = PtyLink;

// Waits (briefly, in real time) until the port reports `count` bytes waiting.
bool wait_for_input(sio_handle h, uint32_t count, int limit_ms = 500)
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

std::string all_byte_values()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST_F(SioSend, BytesReachThePeer)
{
    // (A pseudo-terminal has no output queue to watch, so the drain itself cannot be seen.)
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    uint32_t written = 99;
    ASSERT_EQ(sio_send_data(link.handle, "hello", 5, &written), NO_ERROR);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(peer->receive(5, 200), "hello");
    const std::string big(5000, 'z');  // more than the 4096-byte queues
    ASSERT_EQ(sio_send_data(link.handle, big.data(), 5000, &written), NO_ERROR);
    EXPECT_EQ(written, 5000u);
    EXPECT_EQ(peer->receive(5000, 500), big);
}

TEST_F(SioSend, EmptySendAndMissingBuffer)
{
    uint32_t written = 99;
    EXPECT_EQ(sio_send_data(link.handle, nullptr, 0, &written), NO_ERROR);
    EXPECT_EQ(written, 0u);
    written = 99;
    EXPECT_EQ(sio_send_data(link.handle, nullptr, 3, &written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(sio_send_data(link.handle, "x", 1, nullptr), NO_ERROR);  // the count is optional
    EXPECT_EQ(peer->receive(10, 50), "x");
}

TEST_F(SioSend, BinaryBytesPassUnchangedBothWaysWithoutSoftwareFlowControl)
{
    ASSERT_EQ(sio_init(link.handle, nullptr, 0), NO_ERROR);
    set_timeouts(20, 500);
    const std::string bytes = all_byte_values();
    ASSERT_EQ(sio_send_data(link.handle, bytes.data(), 256, nullptr), NO_ERROR);
    EXPECT_EQ(peer->receive(256, 500), bytes);

    ASSERT_TRUE(peer->send(bytes));
    std::string got(256, '\0');
    uint32_t n = 0;
    ASSERT_EQ(sio_read_data(link.handle, got.data(), 256, &n), NO_ERROR);
    EXPECT_EQ(n, 256u);
    EXPECT_EQ(got, bytes);
}

TEST_F(SioSend, XoffFromThePeerHoldsTheOutputUntilXon)
{
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    set_timeouts(20, 50, 40);
    ASSERT_TRUE(peer->send("\x13"));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the system acts on it

    uint32_t written = 99;
    auto start = steady::now();
    EXPECT_EQ(sio_send_data(link.handle, "abc", 3, &written), 1);
    long long took = ms_since(start);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(took, 35);  // the write time-out of 40 ms
    EXPECT_LT(took, 1000);
    EXPECT_EQ(peer->receive(3, 30), "");

    ASSERT_TRUE(peer->send("\x11"));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sio_send_data(link.handle, "abc", 3, &written), NO_ERROR);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(peer->receive(3, 200), "abc");
    // The flow control characters were taken by the port, not passed on as input.
    uint32_t waiting = 99;
    EXPECT_EQ(sio_input_count(link.handle, &waiting), NO_ERROR);
    EXPECT_EQ(waiting, 0u);
}

TEST_F(SioSend, WithoutSoftwareFlowControlXoffIsData)
{
    ASSERT_EQ(sio_init(link.handle, nullptr, 0), NO_ERROR);
    set_timeouts(20, 200, 40);
    ASSERT_TRUE(peer->send("\x13"));
    EXPECT_TRUE(wait_for_input(link.handle, 1));
    EXPECT_EQ(sio_send_data(link.handle, "abc", 3, nullptr), NO_ERROR);
    EXPECT_EQ(peer->receive(3, 200), "abc");
    char c = 0;
    EXPECT_EQ(sio_read_data(link.handle, &c, 1, nullptr), NO_ERROR);
    EXPECT_EQ(c, '\x13');
}

TEST_F(SioRead, SilentPeerTimesOut)
{
    set_timeouts(20, 50);
    peer->stay_silent();
    char buf[4] = {'.', '.', '.', '.'};
    uint32_t got = 99;
    auto start = steady::now();
    EXPECT_EQ(sio_read_data(link.handle, buf, 4, &got), 1);
    long long took = ms_since(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(took, 45);
    EXPECT_LT(took, 1000);
    EXPECT_EQ(std::string(buf, 4), "....");
}

TEST_F(SioRead, MultiplierCountsPerByte)
{
    sio_timeouts t{0, 10, 20, 0, 100};
    ASSERT_EQ(sio_set_timeouts(link.handle, &t), NO_ERROR);
    char buf[5];
    auto start = steady::now();
    EXPECT_EQ(sio_read_data(link.handle, buf, 5, nullptr), 1);
    long long took = ms_since(start);
    EXPECT_GE(took, 65);  // 10 × 5 + 20
    EXPECT_LT(took, 1000);
}

TEST_F(SioRead, ReadCompletesInPieces)
{
    set_timeouts(200, 1000);
    peer->send_in_pieces({"ab", "cd", "ef"}, 20);
    char buf[6];
    uint32_t got = 0;
    auto start = steady::now();
    ASSERT_EQ(sio_read_data(link.handle, buf, 6, &got), NO_ERROR);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    EXPECT_GE(ms_since(start), 35);
}

TEST_F(SioRead, PauseLongerThanTheIntervalCutsTheReadShort)
{
    set_timeouts(30, 2000);
    peer->send_in_pieces({"ab", "cd"}, 300);
    char buf[4];
    uint32_t got = 0;
    auto start = steady::now();
    EXPECT_EQ(sio_read_data(link.handle, buf, 4, &got), 1);
    long long took = ms_since(start);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_LT(took, 250);  // ended by the 30 ms interval, not by the 2000 ms total
    // The rest comes later and is read on its own.
    ASSERT_TRUE(peer->wait_done(1000));
    ASSERT_EQ(sio_read_data(link.handle, buf, 2, &got), NO_ERROR);
    EXPECT_EQ(std::string(buf, 2), "cd");
}

TEST_F(SioRead, LateAnswerWithinTheTimeout)
{
    set_timeouts(20, 500);
    peer->send_late("xyz", 40);
    char buf[3];
    auto start = steady::now();
    ASSERT_EQ(sio_read_data(link.handle, buf, 3, nullptr), NO_ERROR);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    EXPECT_GE(ms_since(start), 35);
}

TEST_F(SioRead, AnswerAfterTheTimeoutIsLeftForTheNextRead)
{
    set_timeouts(20, 30);
    peer->send_late("xyz", 120);
    char buf[3];
    uint32_t got = 99;
    EXPECT_EQ(sio_read_data(link.handle, buf, 3, &got), 1);
    EXPECT_EQ(got, 0u);
    set_timeouts(20, 500);
    ASSERT_EQ(sio_read_data(link.handle, buf, 3, &got), NO_ERROR);
    EXPECT_EQ(std::string(buf, 3), "xyz");
}

TEST_F(SioRead, ShortAnswerIsAFailureWithTheBytesThatCame)
{
    set_timeouts(20, 60);
    ASSERT_TRUE(peer->send("ab"));
    char buf[4] = {'.', '.', '.', '.'};
    uint32_t got = 0;
    EXPECT_EQ(sio_read_data(link.handle, buf, 4, &got), 1);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buf, 4), "ab..");
}

TEST_F(SioRead, ExactCountLeavesTheRestWaiting)
{
    set_timeouts(20, 200);
    ASSERT_TRUE(peer->send("abcdef"));
    char buf[4];
    ASSERT_EQ(sio_read_data(link.handle, buf, 4, nullptr), NO_ERROR);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_TRUE(wait_for_input(link.handle, 2));
}

TEST_F(SioRead, ReturnAtOnceWithWhatIsWaiting)
{
    sio_timeouts t{SIO_MAXDWORD, 0, 0, 0, 100};
    ASSERT_EQ(sio_set_timeouts(link.handle, &t), NO_ERROR);
    char buf[4];
    uint32_t got = 99;
    auto start = steady::now();
    EXPECT_EQ(sio_read_data(link.handle, buf, 4, &got), 1);
    EXPECT_EQ(got, 0u);
    ASSERT_TRUE(peer->send("ab"));
    ASSERT_TRUE(wait_for_input(link.handle, 2));
    EXPECT_EQ(sio_read_data(link.handle, buf, 4, &got), 1);
    EXPECT_EQ(got, 2u);
    EXPECT_LT(ms_since(start), 500);
}

TEST_F(SioRead, FirstBytesEndTheReadInTheWaitForAnyMode)
{
    sio_timeouts t{SIO_MAXDWORD, SIO_MAXDWORD, 300, 0, 100};
    ASSERT_EQ(sio_set_timeouts(link.handle, &t), NO_ERROR);
    peer->send_late("ab", 20);
    char buf[8];
    uint32_t got = 0;
    auto start = steady::now();
    EXPECT_EQ(sio_read_data(link.handle, buf, 8, &got), 1);  // short of the count
    EXPECT_EQ(got, 2u);
    EXPECT_LT(ms_since(start), 250);
}

TEST_F(SioRead, ZeroCountAndMissingBuffer)
{
    uint32_t got = 99;
    EXPECT_EQ(sio_read_data(link.handle, nullptr, 0, &got), NO_ERROR);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(sio_read_data(link.handle, nullptr, 2, &got), 1);
}

TEST_F(SioRead, PeerThatAnswersRequests)
{
    ASSERT_EQ(sio_init(link.handle, nullptr, 0), NO_ERROR);
    set_timeouts(20, 500);
    peer->answer("LO?\r", std::string("\x01\x80\x00\x00\x06", 5), 5);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sio_send_data(link.handle, "LO?\r", 4, nullptr), NO_ERROR);
        char buf[5];
        ASSERT_EQ(sio_read_data(link.handle, buf, 5, nullptr), NO_ERROR);
        EXPECT_EQ(std::string(buf, 5), std::string("\x01\x80\x00\x00\x06", 5));
    }
    peer->stop();
    EXPECT_EQ(peer->received(), "LO?\rLO?\rLO?\r");
}

TEST_F(SioRead, DeviceThatGoesAwayFailsTheReadAtOnce)
{
    set_timeouts(20, 2000);
    peer->hang_up();
    char buf[2];
    uint32_t got = 99;
    auto start = steady::now();
    EXPECT_EQ(sio_read_data(link.handle, buf, 2, &got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_EQ(sio_send_data(link.handle, "ab", 2, nullptr), 1);
}

TEST_F(SioInputCount, CountsWaitingBytes)
{
    set_timeouts(20, 200);
    uint32_t n = 99;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(sio_input_ready(link.handle));

    ASSERT_TRUE(peer->send("1234567"));
    ASSERT_TRUE(wait_for_input(link.handle, 7));
    EXPECT_TRUE(sio_input_ready(link.handle));
    char buf[4];
    ASSERT_EQ(sio_read_data(link.handle, buf, 3, nullptr), NO_ERROR);
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 4u);
    ASSERT_EQ(sio_read_data(link.handle, buf, 4, nullptr), NO_ERROR);
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(sio_input_ready(link.handle));
    EXPECT_EQ(sio_input_count(link.handle, nullptr), 1);
}

TEST_F(SioClearBuffer, QuietLineDrainsAfterOneQuietWait)
{
    sio_timeouts custom{20, 3, 40, 5, 60};
    ASSERT_EQ(sio_set_timeouts(link.handle, &custom), NO_ERROR);
    auto start = steady::now();
    EXPECT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
    long long took = ms_since(start);
    EXPECT_GE(took, 95);  // one read of one byte against the 100 ms constant
    EXPECT_LT(took, 1000);
    sio_timeouts back{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &back), NO_ERROR);
    EXPECT_EQ(back.read_interval, 20u);
    EXPECT_EQ(back.read_total_multiplier, 3u);
    EXPECT_EQ(back.read_total_constant, 40u);
    EXPECT_EQ(back.write_total_multiplier, 5u);
    EXPECT_EQ(back.write_total_constant, 60u);
}

TEST_F(SioClearBuffer, DiscardsWaitingInputAndBytesThatKeepComing)
{
    set_timeouts(20, 50);
    ASSERT_TRUE(peer->send(std::string(300, 'q')));
    ASSERT_TRUE(wait_for_input(link.handle, 300));
    peer->send_in_pieces({"a", "b", "c"}, 30);  // gaps shorter than the 100 ms quiet time
    auto start = steady::now();
    EXPECT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
    EXPECT_GE(ms_since(start), 150);  // past the last piece and a quiet wait
    EXPECT_TRUE(peer->wait_done(100));
    uint32_t n = 99;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
    // Nothing of it is read afterwards.
    char c;
    EXPECT_EQ(sio_read_data(link.handle, &c, 1, nullptr), 1);
    sio_timeouts back{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &back), NO_ERROR);
    EXPECT_EQ(back.read_total_constant, 50u);
}

std::atomic<uint64_t> fake_now{0};
uint64_t fast_clock() { return fake_now += 250; }

TEST_F(SioClearBuffer, GivesUpOnADeviceThatNeverStops)
{
    set_timeouts(20, 50);
    peer->flood("0123456789");
    // The platform clock runs fast: the drain limit passes after a few rounds.
    u_hooks.now_ms = fast_clock;
    auto start = steady::now();
    EXPECT_EQ(sio_clear_buffer(link.handle), 1);
    EXPECT_LT(ms_since(start), 1000);
    u_hooks_reset();
    peer->stop();
    EXPECT_GT(peer->flooded(), 0u);
    sio_timeouts back{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &back), NO_ERROR);
    EXPECT_EQ(back.read_total_constant, 50u);
    // Once the device is quiet, the drain succeeds again.
    EXPECT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
}

TEST_F(SioCloseLink, ClosingTwice)
{
    EXPECT_EQ(sio_close(&link), NO_ERROR);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
    EXPECT_EQ(sio_close(&link), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
}

TEST_F(SioCloseLink, OperationsOnTheClosedLink)
{
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    char buf[2] = {'a', 'b'};
    uint32_t n = 7;
    EXPECT_EQ(sio_send_data(link.handle, buf, 2, &n), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_read_data(link.handle, buf, 2, &n), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_input_count(link.handle, &n), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_clear_buffer(link.handle), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_init_sw_flow(link.handle, nullptr), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_set_baud_rate(link.handle, 38400), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(peer->receive(2, 20), "");
}

TEST_F(SioCloseLink, StaleHandleNeverTouchesADescriptorThatWasReused)
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
    EXPECT_EQ(sio_set_baud_rate(stale, 9600), ERR_CANT_GET_SERIAL);
    int32_t seconds = 0;
    EXPECT_EQ(sio_get_read_timeout(stale, &seconds), ERR_CANT_GET_SERIAL);
    sio_link copy;
    copy.handle = stale;
    EXPECT_EQ(sio_close(&copy), ERR_CANT_CLOSE_SERIAL);
    EXPECT_EQ(copy.handle, stale);  // a failed close leaves the link as it was

    // The other device still works end to end.
    sio_link fresh;
    ASSERT_EQ(sio_open(other.port_name().c_str(), &fresh), NO_ERROR);
    ASSERT_EQ(sio_init(fresh.handle, nullptr, 0), NO_ERROR);
    ASSERT_EQ(sio_send_data(fresh.handle, "ok", 2, nullptr), NO_ERROR);
    EXPECT_EQ(other.receive(2, 200), "ok");
    EXPECT_EQ(sio_close(&fresh), NO_ERROR);
}

TEST_F(SioCloseLink, CloseDiscardsUnreadInputAndThePortOpensAgain)
{
    set_timeouts(20, 50);
    ASSERT_TRUE(peer->send("stale"));
    ASSERT_TRUE(wait_for_input(link.handle, 5));
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    ASSERT_EQ(sio_open(peer->port_name().c_str(), &link), NO_ERROR);
    set_timeouts(20, 50);
    uint32_t n = 99;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
}

}  // namespace

#endif
