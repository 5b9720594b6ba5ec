// Sending, reading with time-outs, error flags, the input count, draining and closing, against a
// virtual port and its device peer on the virtual clock. Every duration asserted here is virtual.
#include <string>
#include <vector>

#include "vell/platform/thread.h"
#include "tests/serial/vport_fixture.h"

namespace {

using serialtest::VirtualLink;

using SioSend = VirtualLink;
using SioRead = VirtualLink;
using SioLineErrors = VirtualLink;
using SioInputCount = VirtualLink;
using SioClearBuffer = VirtualLink;
using SioCloseLink = VirtualLink;

std::string all_byte_values()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    return bytes;
}

TEST_F(SioSend, BytesReachThePeer)
{
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    uint32_t written = 99;
    ASSERT_EQ(sio_send_data(link.handle, "hello", 5, &written), NO_ERROR);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(peer->unread(), 5u);
    EXPECT_EQ(peer->receive(5, 200), "hello");
    const std::string big(5000, 'z');  // more than the 4096-byte queues
    ASSERT_EQ(sio_send_data(link.handle, big.data(), 5000, &written), NO_ERROR);
    EXPECT_EQ(written, 5000u);
    EXPECT_EQ(peer->receive(5000, 500), big);
    EXPECT_EQ(now(), 0u);
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

TEST_F(SioSend, CharactersCarryTheDataBitsOfTheLine)
{
    const std::string bytes("\xC1\xFF\x7F", 3);
    struct row {
        const char* settings;
        std::string carried;
    };
    const row rows[] = {{"9600,8,0,1", bytes}, {"9600,7,0,1", "\x41\x7F\x7F"}, {"9600,5,0,1", "\x01\x1F\x1F"}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.settings);
        ASSERT_EQ(sio_init(link.handle, r.settings, 0), NO_ERROR);
        ASSERT_EQ(sio_send_data(link.handle, bytes.data(), 3, nullptr), NO_ERROR);
        EXPECT_EQ(peer->receive(3, 0), r.carried);
        ASSERT_TRUE(peer->send(bytes));
        std::string got(3, '.');
        ASSERT_EQ(sio_read_data(link.handle, got.data(), 3, nullptr), NO_ERROR);
        EXPECT_EQ(got, r.carried);
    }
}

TEST_F(SioSend, HeldOutputFailsTheWriteAtItsTimeoutUntilReleased)
{
    struct row {
        const char* name;
        int32_t sw_flow;
        std::string hold, release;  // bytes from the device; empty: CTS
    };
    const row rows[] = {{"XOFF", 1, "\x13", "\x11"}, {"CTS", 0, "", ""}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(sio_init(link.handle, nullptr, r.sw_flow), NO_ERROR);
        sio_timeouts t{20, 0, 50, 10, 40};
        ASSERT_EQ(sio_set_timeouts(link.handle, &t), NO_ERROR);
        if (r.hold.empty())
            peer->hold_output(true);
        else
            ASSERT_TRUE(peer->send(r.hold));

        uint32_t written = 99;
        uint64_t start = now();
        EXPECT_EQ(sio_send_data(link.handle, "abc", 3, &written), 1);
        EXPECT_EQ(now() - start, 70u);  // 10 × 3 + 40
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(peer->unread(), 0u);

        if (r.release.empty())
            peer->hold_output(false);
        else
            ASSERT_TRUE(peer->send(r.release));
        EXPECT_EQ(sio_send_data(link.handle, "abc", 3, &written), NO_ERROR);
        EXPECT_EQ(written, 3u);
        EXPECT_EQ(peer->receive(3, 200), "abc");  // the timed-out bytes were not sent later
        // Flow control characters are taken by the port, not passed on as input.
        uint32_t waiting = 99;
        EXPECT_EQ(sio_input_count(link.handle, &waiting), NO_ERROR);
        EXPECT_EQ(waiting, 0u);
    }
}

TEST_F(SioSend, WithoutSoftwareFlowControlXoffIsData)
{
    ASSERT_EQ(sio_init(link.handle, nullptr, 0), NO_ERROR);
    set_timeouts(20, 200, 40);
    ASSERT_TRUE(peer->send("\x13"));
    EXPECT_EQ(sio_send_data(link.handle, "abc", 3, nullptr), NO_ERROR);
    EXPECT_EQ(peer->receive(3, 200), "abc");
    char c = 0;
    EXPECT_EQ(sio_read_data(link.handle, &c, 1, nullptr), NO_ERROR);
    EXPECT_EQ(c, '\x13');
}

// The read time-out rules, one row per case: what the device sends and when, what the read
// gives back and how much virtual time it took.
TEST_F(SioRead, TimeoutRules)
{
    constexpr uint32_t M = SIO_MAXDWORD;
    struct row {
        const char* name;
        sio_timeouts t;
        uint32_t count;
        std::string waiting;              // in the input queue before the read
        uint32_t delay;                   // then the device sends the pieces from this time on
        std::vector<std::string> pieces;  // gap apart
        uint32_t gap;
        int32_t rc;
        std::string got;
        uint64_t took;
    };
    const row rows[] = {
        {"silent device: the total time-out", {20, 0, 50, 0, 0}, 4, "", 0, {}, 0, 1, "", 50},
        {"multiplier counts per byte", {0, 10, 20, 0, 0}, 5, "", 0, {}, 0, 1, "", 70},
        {"a 10 s silence", {0, 0, 10000, 0, 0}, 1, "", 0, {}, 0, 1, "", 10000},
        {"pieces within the interval", {200, 0, 1000, 0, 0}, 6, "", 0, {"ab", "cd", "ef"}, 20, 0, "abcdef", 40},
        {"a pause longer than the interval", {30, 0, 2000, 0, 0}, 4, "", 0, {"ab", "cd"}, 300, 1, "ab", 30},
        {"the interval waits for the first byte", {30, 0, 2000, 0, 0}, 3, "", 500, {"xyz"}, 0, 0, "xyz", 500},
        {"late answer within the total", {20, 0, 500, 0, 0}, 3, "", 40, {"xyz"}, 0, 0, "xyz", 40},
        {"answer after the total", {20, 0, 30, 0, 0}, 3, "", 120, {"xyz"}, 0, 1, "", 30},
        {"short answer", {20, 0, 60, 0, 0}, 4, "ab", 0, {}, 0, 1, "ab", 20},
        {"short answer, no interval", {0, 0, 60, 0, 0}, 4, "ab", 0, {}, 0, 1, "ab", 60},
        {"no time-outs: waits for the count", {0, 0, 0, 0, 0}, 2, "", 5000, {"ok"}, 0, 0, "ok", 5000},
        {"interval alone: no limit before the first byte", {30, 0, 0, 0, 0}, 4, "", 5000, {"ab", "cd"}, 100, 1,
         "ab", 5030},
        {"at once: nothing waiting", {M, 0, 0, 0, 0}, 4, "", 0, {}, 0, 1, "", 0},
        {"at once: what is waiting", {M, 0, 0, 0, 0}, 4, "ab", 0, {}, 0, 1, "ab", 0},
        {"first bytes end the read", {M, M, 300, 0, 0}, 8, "", 20, {"ab", "cd"}, 5, 1, "ab", 20},
        {"first bytes: nothing comes", {M, M, 300, 0, 0}, 8, "", 0, {}, 0, 1, "", 300},
        {"first bytes: waiting bytes at once", {M, M, 300, 0, 0}, 8, "abc", 0, {}, 0, 1, "abc", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
        ASSERT_EQ(sio_set_timeouts(link.handle, &r.t), NO_ERROR);
        if (!r.waiting.empty()) {
            ASSERT_TRUE(peer->send(r.waiting));
        }
        if (!r.pieces.empty()) {
            peer->run([&r](sim::serial_peer& p) {
                if (!p.pause(r.delay))
                    return;
                for (std::size_t i = 0; i < r.pieces.size(); ++i)
                    if ((i > 0 && !p.pause(r.gap)) || !p.send(r.pieces[i]))
                        return;
            });
        }
        std::string buf(r.count, '.');
        uint32_t got = 99;
        const uint64_t start = now();
        EXPECT_EQ(sio_read_data(link.handle, buf.data(), r.count, &got), r.rc);
        EXPECT_EQ(now() - start, r.took);
        EXPECT_EQ(buf.substr(0, got), r.got);
        EXPECT_EQ(buf.substr(got), std::string(r.count - got, '.'));  // nothing past what came
        peer->stop();
    }
}

TEST_F(SioRead, RestOfAnAnswerIsLeftForTheNextRead)
{
    set_timeouts(30, 2000);
    peer->send_in_pieces({"ab", "cd"}, 300);
    char buf[4];
    uint32_t got = 0;
    EXPECT_EQ(sio_read_data(link.handle, buf, 4, &got), 1);
    EXPECT_EQ(got, 2u);
    ASSERT_TRUE(peer->wait_done(1000));
    EXPECT_EQ(now(), 300u);
    ASSERT_EQ(sio_read_data(link.handle, buf, 2, &got), NO_ERROR);
    EXPECT_EQ(std::string(buf, 2), "cd");

    ASSERT_TRUE(peer->send("abcdef"));
    ASSERT_EQ(sio_read_data(link.handle, buf, 4, nullptr), NO_ERROR);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    uint32_t n = 0;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 2u);
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
    const std::string reply("\x01\x80\x00\x00\x06", 5);
    peer->answer("LO?\r", reply, 5);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sio_send_data(link.handle, "LO?\r", 4, nullptr), NO_ERROR);
        char buf[5];
        ASSERT_EQ(sio_read_data(link.handle, buf, 5, nullptr), NO_ERROR);
        EXPECT_EQ(std::string(buf, 5), reply);
    }
    EXPECT_EQ(now(), 15u);  // three answers, 5 ms late each
    peer->stop();
    EXPECT_EQ(peer->received(), "LO?\rLO?\rLO?\r");
}

TEST_F(SioRead, DeviceThatGoesAwayFailsEveryTransferAtOnce)
{
    set_timeouts(20, 2000);
    ASSERT_TRUE(peer->send("x"));
    peer->hang_up();
    char buf[2];
    uint32_t got = 99;
    EXPECT_EQ(sio_read_data(link.handle, buf, 2, &got), 1);
    EXPECT_EQ(now(), 0u);
    EXPECT_EQ(sio_send_data(link.handle, "ab", 2, nullptr), 1);
    uint32_t n = 0;
    EXPECT_EQ(sio_input_count(link.handle, &n), 1);
    EXPECT_FALSE(sio_input_ready(link.handle));
    EXPECT_EQ(sio_clear_buffer(link.handle), 1);
    EXPECT_EQ(sio_set_baud_rate(link.handle, 9600), ERR_CANT_GET_SERIAL);
    EXPECT_EQ(sio_close(&link), NO_ERROR);  // closing is still possible
    EXPECT_EQ(sio_open("COM7", &link), ERR_CANT_OPEN_SERIAL);
}

TEST_F(SioRead, DeviceThatDiesInTheMiddleOfAnAnswer)
{
    set_timeouts(0, 2000);
    peer->run([](sim::serial_peer& p) {
        if (p.receive(4, 1000) == "LO?\r" && p.send("\x01\x80") && p.pause(40))
            p.hang_up();
    });
    ASSERT_EQ(sio_send_data(link.handle, "LO?\r", 4, nullptr), NO_ERROR);
    char buf[5];
    uint32_t got = 0;
    EXPECT_EQ(sio_read_data(link.handle, buf, 5, &got), 1);
    EXPECT_EQ(now(), 40u);
    EXPECT_EQ(std::string(buf, got), "\x01\x80");
    EXPECT_TRUE(peer->wait_done(1000));
}

TEST_F(SioRead, ThreadBlockedInAReadIsJoinedWithinTheJoinTimeout)
{
    set_timeouts(0, 1000);
    int32_t rc = -1;
    uint32_t got = 99;
    u_handle reader = nullptr;
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      char buf[4];
                      rc = sio_read_data(link.handle, buf, 4, &got);
                      return 0;
                  },
                  &reader),
              NO_ERROR);
    EXPECT_EQ(u_thread_join(reader, 5000), 0);
    EXPECT_EQ(now(), 1000u);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(got, 0u);
    u_close_handle(reader);

    // A device that goes away ends a read in progress at that moment.
    ASSERT_EQ(u_thread_start(
                  [&]() -> int32_t {
                      char buf[4];
                      rc = sio_read_data(link.handle, buf, 4, &got);
                      return 0;
                  },
                  &reader),
              NO_ERROR);
    u_sleep_ms(300);
    peer->hang_up();
    EXPECT_EQ(u_thread_join(reader, 5000), 0);
    EXPECT_EQ(now(), 1300u);
    EXPECT_EQ(rc, 1);
    u_close_handle(reader);
}

TEST_F(SioLineErrors, ErrorsReachTheFlagsAndTheReadinessTest)
{
    struct row {
        const char* name;
        const char* settings;
        uint32_t error;
        uint32_t flags;     // reported
        bool byte_arrives;  // the byte that came with the error
    };
    const row rows[] = {
        {"parity, checked", "9600,8,2,1", SIO_CE_RXPARITY, SIO_CE_RXPARITY, true},
        {"parity, not checked", "9600,8,0,1", SIO_CE_RXPARITY, 0, true},
        {"framing", "9600,8,0,1", SIO_CE_FRAME, SIO_CE_FRAME, true},
        {"break", "9600,8,0,1", SIO_CE_BREAK, SIO_CE_BREAK, true},
        {"overrun", "9600,8,0,1", SIO_CE_OVERRUN, SIO_CE_OVERRUN, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(sio_init_sw_flow(link.handle, r.settings), NO_ERROR);
        ASSERT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
        set_timeouts(0, 50);
        ASSERT_TRUE(peer->send("a"));
        ASSERT_TRUE(peer->send_with_error('b', r.error));
        EXPECT_EQ(sio_input_ready(link.handle), r.flags == 0);  // the query clears the flags
        ASSERT_TRUE(peer->send_with_error('c', r.error));
        uint32_t flags = 99;
        ASSERT_EQ(sio_line_errors(link.handle, &flags), NO_ERROR);
        EXPECT_EQ(flags, r.flags);
        ASSERT_EQ(sio_line_errors(link.handle, &flags), NO_ERROR);
        EXPECT_EQ(flags, 0u);
        EXPECT_TRUE(sio_input_ready(link.handle));
        char buf[3] = {};
        uint32_t got = 0;
        (void)sio_read_data(link.handle, buf, 3, &got);
        EXPECT_EQ(std::string(buf, got), r.byte_arrives ? "abc" : "a");
    }
    EXPECT_FALSE(peer->send_with_error('x', 0x100));
    uint32_t flags = 0;
    EXPECT_EQ(sio_line_errors(link.handle, nullptr), ERR_INVALID_PARAM);
    EXPECT_EQ(sio_line_errors(SIO_INVALID_HANDLE, &flags), ERR_SERIAL_NOT_OPEN);
}

TEST_F(SioLineErrors, AbortOnErrorEndsTheReadAtTheError)
{
    struct row {
        int32_t sw_flow;  // without software flow control, abort-on-error is on
        int32_t rc;
        std::string got;
        uint64_t took;
    };
    const row rows[] = {{0, 1, "a", 10}, {1, 1, "ab", 500}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.sw_flow);
        ASSERT_EQ(sio_init(link.handle, nullptr, r.sw_flow), NO_ERROR);
        set_timeouts(0, 500);
        ASSERT_TRUE(peer->send_with_error('x', SIO_CE_FRAME));  // before the read: cleared by it
        ASSERT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
        peer->run([](sim::serial_peer& p) {
            if (p.send("a") && p.pause(10))
                p.send_with_error('b', SIO_CE_FRAME);
        });
        char buf[4] = {};
        uint32_t got = 0;
        const uint64_t start = now();
        EXPECT_EQ(sio_read_data(link.handle, buf, 4, &got), r.rc);
        EXPECT_EQ(now() - start, r.took);
        EXPECT_EQ(std::string(buf, got), r.got);
        peer->stop();
        // The error ended a read; it does not stop the next one.
        ASSERT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
        ASSERT_TRUE(peer->send("q"));
        EXPECT_EQ(sio_read_data(link.handle, buf, 1, nullptr), NO_ERROR);
    }
}

TEST_F(SioInputCount, CountsWaitingBytes)
{
    set_timeouts(20, 200);
    uint32_t n = 99;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(sio_input_ready(link.handle));

    ASSERT_TRUE(peer->send("1234567"));
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 7u);
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

TEST_F(SioInputCount, FullInputQueueHoldsTheDeviceBack)
{
    const std::string lots(SIO_QUEUE_SIZE + 10, 'k');
    EXPECT_FALSE(peer->send(lots, 50));  // the queue takes 4096, the rest waits in vain
    EXPECT_EQ(now(), 50u);
    uint32_t n = 0;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, SIO_QUEUE_SIZE);
}

TEST_F(SioClearBuffer, QuietLineDrainsAfterOneQuietWait)
{
    sio_timeouts custom{20, 3, 40, 5, 60};
    ASSERT_EQ(sio_set_timeouts(link.handle, &custom), NO_ERROR);
    EXPECT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
    // One read of one byte: the multiplier counts, only the constant is replaced.
    EXPECT_EQ(now(), 3 * 1 + SIO_DRAIN_QUIET_MS);
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
    peer->send_in_pieces({"a", "b", "c"}, 30);  // gaps shorter than the 100 ms quiet time
    EXPECT_EQ(sio_clear_buffer(link.handle), NO_ERROR);
    EXPECT_TRUE(peer->wait_done(1000));
    EXPECT_EQ(now(), 160u);  // the last piece at 60, then a quiet wait
    uint32_t n = 99;
    ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
    EXPECT_EQ(n, 0u);
    char c;
    EXPECT_EQ(sio_read_data(link.handle, &c, 1, nullptr), 1);
    sio_timeouts back{};
    ASSERT_EQ(sio_get_timeouts(link.handle, &back), NO_ERROR);
    EXPECT_EQ(back.read_total_constant, 50u);
}

TEST_F(SioClearBuffer, ChatteringDeviceEndsAtTheDrainLimit)
{
    ASSERT_EQ(sio_init(link.handle, "9600,8,0,1", 0), NO_ERROR);
    set_timeouts(20, 50);
    peer->flood("0123456789");
    EXPECT_EQ(sio_clear_buffer(link.handle), 1);
    // The limit is looked at after each byte found; at 9600 baud the device's pieces of 16
    // characters come 17 ms apart.
    EXPECT_GE(now(), SIO_DRAIN_LIMIT_MS);
    EXPECT_LE(now(), SIO_DRAIN_LIMIT_MS + 17);
    peer->stop();
    EXPECT_GT(peer->flooded(), 1000u);
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
    EXPECT_FALSE(peer->port_open());
    EXPECT_EQ(sio_close(&link), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(link.handle, SIO_INVALID_HANDLE);
}

TEST_F(SioCloseLink, StaleHandleNeverReachesThePortOpenedAgain)
{
    const sio_handle stale = link.handle;
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    ASSERT_EQ(sio_open("COM7", &link), NO_ERROR);
    EXPECT_NE(link.handle, stale);
    char buf[2] = {'a', 'b'};
    EXPECT_EQ(sio_send_data(stale, buf, 2, nullptr), 1);
    EXPECT_EQ(sio_read_data(stale, buf, 2, nullptr), 1);
    EXPECT_EQ(sio_clear_buffer(stale), 1);
    sio_state s{};
    EXPECT_EQ(sio_get_state(stale, &s), ERR_CANT_GET_SERIAL);
    int32_t seconds = 0;
    EXPECT_EQ(sio_get_read_timeout(stale, &seconds), ERR_CANT_GET_SERIAL);
    sio_link copy;
    copy.handle = stale;
    EXPECT_EQ(sio_close(&copy), ERR_CANT_CLOSE_SERIAL);
    EXPECT_EQ(copy.handle, SIO_INVALID_HANDLE);  // given up: a retry must not reach another port
    EXPECT_EQ(peer->unread(), 0u);
    ASSERT_EQ(sio_send_data(link.handle, "ok", 2, nullptr), NO_ERROR);
    EXPECT_EQ(peer->receive(2, 200), "ok");
}

TEST_F(SioCloseLink, CloseDropsDtrAndUnreadInputAndThePortOpensAgainUnderEveryName)
{
    ASSERT_EQ(sio_init_sw_flow(link.handle, nullptr), NO_ERROR);
    EXPECT_TRUE(peer->dtr());
    ASSERT_TRUE(peer->send("stale"));
    ASSERT_EQ(sio_close(&link), NO_ERROR);
    EXPECT_FALSE(peer->dtr());
    EXPECT_FALSE(peer->send("late", 0));  // nobody listens
    for (const char* name : {"com7", "\\\\.\\COM7", "COM7"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(sio_open(name, &link), NO_ERROR);
        uint32_t n = 99;
        ASSERT_EQ(sio_input_count(link.handle, &n), NO_ERROR);
        EXPECT_EQ(n, 0u);
        ASSERT_EQ(sio_close(&link), NO_ERROR);
    }
}

}  // namespace
