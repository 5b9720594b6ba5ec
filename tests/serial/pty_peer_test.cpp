// The pseudo-terminal peer itself: what later device simulations rely on.
#ifndef _WIN32

#include <chrono>
#include <string>
#include <thread>

#include "tests/serial/pty_fixture.h"

namespace {

using serialtest::ms_since;
using serialtest::PtyLink;
using steady = std::chrono::steady_clock;

using PtyPeerTest = PtyLink;

TEST_F(PtyPeerTest, UnreadAndReceiveUntilQuiet)
{
    ASSERT_EQ(sio_send_data(link.handle, "abc", 3, nullptr), NO_ERROR);
    ASSERT_EQ(sio_send_data(link.handle, "def", 3, nullptr), NO_ERROR);
    EXPECT_EQ(peer->receive_until_quiet(30), "abcdef");
    EXPECT_EQ(peer->unread(), 0u);
    auto start = steady::now();
    EXPECT_EQ(peer->receive(4, 30), "");
    EXPECT_GE(ms_since(start), 25);
}

TEST_F(PtyPeerTest, ResponderConsumesWhatItUnderstands)
{
    set_timeouts(20, 500);
    // A line protocol: every complete "\r"-ended request is answered with its length.
    peer->respond([](std::string& pending) {
        std::string reply;
        for (std::size_t at; (at = pending.find('\r')) != std::string::npos;) {
            reply += std::to_string(at);
            pending.erase(0, at + 1);
        }
        return reply;
    });
    ASSERT_EQ(sio_send_data(link.handle, "abcd", 4, nullptr), NO_ERROR);
    ASSERT_EQ(sio_send_data(link.handle, "\rxy\r", 4, nullptr), NO_ERROR);
    char buf[2];
    ASSERT_EQ(sio_read_data(link.handle, buf, 2, nullptr), NO_ERROR);
    EXPECT_EQ(std::string(buf, 2), "42");
    peer->stop();
    EXPECT_EQ(peer->received(), "abcd\rxy\r");
}

TEST_F(PtyPeerTest, AnswerCountsAndEnds)
{
    set_timeouts(20, 200);
    peer->answer("?", "!", 0, 2);
    char c;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(sio_send_data(link.handle, "?", 1, nullptr), NO_ERROR);
        ASSERT_EQ(sio_read_data(link.handle, &c, 1, nullptr), NO_ERROR);
        EXPECT_EQ(c, '!');
    }
    EXPECT_TRUE(peer->wait_done(500));
    set_timeouts(20, 40);
    ASSERT_EQ(sio_send_data(link.handle, "?", 1, nullptr), NO_ERROR);
    EXPECT_EQ(sio_read_data(link.handle, &c, 1, nullptr), 1);  // a third request stays unanswered
}

TEST_F(PtyPeerTest, StopEndsWaitingBehavioursAtOnce)
{
    peer->send_late("never", 10000);
    auto start = steady::now();
    peer->stop();
    EXPECT_LT(ms_since(start), 1000);
    peer->flood("x");
    // Let it fill the pseudo-terminal's buffers until the writes are held up.
    auto filling = steady::now();
    std::size_t seen = 0;
    while (ms_since(filling) < 500) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::size_t now = peer->flooded();
        if (now > 0 && now == seen)
            break;
        seen = now;
    }
    EXPECT_GT(peer->flooded(), 0u);
    uint32_t waiting = 0;
    EXPECT_EQ(sio_input_count(link.handle, &waiting), NO_ERROR);
    EXPECT_GT(waiting, 0u);
    start = steady::now();
    peer->stop();  // the flood is waiting for room that never comes
    EXPECT_LT(ms_since(start), 1000);
}

TEST_F(PtyPeerTest, RunGivesTheBodyThePeer)
{
    set_timeouts(20, 500);
    peer->run([](sim::PtyPeer& p) {
        std::string got = p.receive(3, 1000);
        p.send(got + got);
    });
    ASSERT_EQ(sio_send_data(link.handle, "abc", 3, nullptr), NO_ERROR);
    char buf[6];
    ASSERT_EQ(sio_read_data(link.handle, buf, 6, nullptr), NO_ERROR);
    EXPECT_EQ(std::string(buf, 6), "abcabc");
    EXPECT_TRUE(peer->wait_done(500));
}

}  // namespace

#endif
