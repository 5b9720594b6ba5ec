// The device end of a virtual port: what the device simulations and the protocol tests rely on.
#include <string>

#include "tests/serial/vport_fixture.h"

namespace {

using serialtest::VirtualLink;
using SerialPeer = VirtualLink;

TEST_F(SerialPeer, UnreadAndReceiveUntilQuiet)
{
    ASSERT_EQ(sio_send_data(link.handle, "abc", 3, nullptr), NO_ERROR);
    ASSERT_EQ(sio_send_data(link.handle, "def", 3, nullptr), NO_ERROR);
    EXPECT_EQ(peer->unread(), 6u);
    EXPECT_EQ(peer->receive_until_quiet(30), "abcdef");
    EXPECT_EQ(now(), 30u);
    EXPECT_EQ(peer->unread(), 0u);
    EXPECT_EQ(peer->receive(4, 30), "");
    EXPECT_EQ(now(), 60u);
}

TEST_F(SerialPeer, ResponderConsumesWhatItUnderstands)
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
    EXPECT_EQ(now(), 0u);
}

TEST_F(SerialPeer, AnswerCountsAndEnds)
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
    EXPECT_EQ(now(), 40u);
}

TEST_F(SerialPeer, StopEndsWaitingBehavioursAtOnce)
{
    peer->send_late("never", 10000);
    EXPECT_FALSE(peer->wait_done(100));
    peer->stop();
    EXPECT_EQ(now(), 100u);

    // A flood at 9600 baud fills the 4096-byte input queue in about 4.3 s, then waits for room.
    peer->flood("x");
    u_sleep_ms(6000);
    EXPECT_EQ(peer->flooded(), SIO_QUEUE_SIZE);
    uint32_t waiting = 0;
    EXPECT_EQ(sio_input_count(link.handle, &waiting), NO_ERROR);
    EXPECT_EQ(waiting, SIO_QUEUE_SIZE);
    peer->stop();
    EXPECT_EQ(now(), 6100u);
}

TEST_F(SerialPeer, RunGivesTheBodyThePeer)
{
    set_timeouts(20, 500);
    peer->run([](sim::serial_peer& p) {
        std::string got = p.receive(3, 1000);
        if (p.pause(250))
            p.send(got + got);
    });
    ASSERT_EQ(sio_send_data(link.handle, "abc", 3, nullptr), NO_ERROR);
    char buf[6];
    ASSERT_EQ(sio_read_data(link.handle, buf, 6, nullptr), NO_ERROR);
    EXPECT_EQ(std::string(buf, 6), "abcabc");
    EXPECT_TRUE(peer->wait_done(1000));
    EXPECT_EQ(now(), 250u);
}

TEST_F(SerialPeer, NamesAreServedOnceInEverySpelling)
{
    EXPECT_STREQ(peer->port_name(), "COM7");
    std::unique_ptr<sim::serial_peer> other;
    vptest::LogCapture log;
    EXPECT_EQ(sim::serial_peer::create("com7", &other), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(log.str(), "sio_vport::create failed: COM7 is served already: ERR_CANT_OPEN_SERIAL\n");
    EXPECT_EQ(sim::serial_peer::create("\\\\.\\COM7", &other), ERR_CANT_OPEN_SERIAL);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(sim::serial_peer::create("", &other), ERR_INVALID_PARAM);
    EXPECT_EQ(sim::serial_peer::create(nullptr, &other), ERR_INVALID_PARAM);
    EXPECT_EQ(sim::serial_peer::create("COM8", nullptr), ERR_INVALID_PARAM);
    ASSERT_EQ(sim::serial_peer::create("board-link", &other), NO_ERROR);
    sio_link second;
    ASSERT_EQ(sio_open("board-link", &second), NO_ERROR);
    EXPECT_TRUE(other->port_open());
    sio_link third;
    EXPECT_EQ(sio_open("BOARD-LINK", &third), ERR_CANT_OPEN_SERIAL);  // other names match exactly
    EXPECT_EQ(sio_close(&third), ERR_SERIAL_NOT_OPEN);
    EXPECT_EQ(sio_close(&second), NO_ERROR);
}

TEST_F(SerialPeer, PeerDestroyedUnderAnOpenLink)
{
    set_timeouts(0, 500);
    peer.reset();
    char c;
    EXPECT_EQ(sio_read_data(link.handle, &c, 1, nullptr), 1);
    EXPECT_EQ(sio_send_data(link.handle, "x", 1, nullptr), 1);
    EXPECT_EQ(now(), 0u);
    EXPECT_EQ(sio_close(&link), NO_ERROR);
    // The name is free again for a new device.
    ASSERT_EQ(sim::serial_peer::create("COM7", &peer), NO_ERROR);
    ASSERT_EQ(sio_open("COM7", &link), NO_ERROR);
    ASSERT_EQ(sio_send_data(link.handle, "x", 1, nullptr), NO_ERROR);
    EXPECT_EQ(peer->receive(1, 0), "x");
}

}  // namespace
