// A serial device on the far end of a virtual port (serial/sio_vport.h), driven by a test or by
// a device simulation of the virtual instrument.
//
// The serial layer opens `port_name()` with sio_open as if it were a real port; the peer plays
// the device: from the caller's own thread (send, receive) or from a behaviour that runs on the
// peer's thread (answer requests, stay silent, send late, send in pieces, flood). Protocol
// simulations build on `respond`: a function that sees the bytes received so far, takes what it
// understands and returns the device's answer. Line errors are sent with `send_with_error`.
//
// Every wait of the peer is a platform wait measured on the platform clock, and the behaviour
// thread is started with the platform's thread functions, so the peer runs on the virtual clock
// of the tests with everything else: a 500 ms late answer takes 500 ms of virtual time and no
// real time. stop() and the destructor end a running behaviour at once.
//
// The line takes no time except in `flood`, which sends at the line speed the port is set to,
// so that a device that never stops sending keeps a draining port busy for as long as its
// drain limit on the virtual clock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/serial/sio_vport.h"

namespace sim {

class serial_peer {
public:
    // Serves the port name (for example "COM3") with a new virtual port. The codes of
    // sio_vport::create, or ERR_CREATE_EVENT.
    static int32_t create(const char* port_name, std::unique_ptr<serial_peer>* out);
    ~serial_peer();
    serial_peer(const serial_peer&) = delete;
    serial_peer& operator=(const serial_peer&) = delete;

    // The name to pass to sio_open.
    const char* port_name() const { return port_->name(); }

    // --- The far end, from the caller's thread (or from inside a behaviour) ---

    // Sends the bytes to the port; false when they could not all be sent within timeout_ms.
    bool send(std::string_view bytes, uint32_t timeout_ms = 1000);
    // Receives up to `count` bytes: returns when they are there or timeout_ms has passed.
    std::string receive(std::size_t count, uint32_t timeout_ms);
    // Receives everything that arrives until the line has been quiet for quiet_ms.
    std::string receive_until_quiet(uint32_t quiet_ms);
    // Bytes the port has sent that the peer has not taken yet.
    std::size_t unread() const { return port_->unread(); }
    // One byte that arrives with a line error (see sio_vport::send_with_error).
    bool send_with_error(uint8_t byte, uint32_t error) { return port_->send_with_error(byte, error); }
    // CTS low (true) holds the port's output while its CTS output flow is on.
    void hold_output(bool hold) { port_->hold_output(hold); }

    // --- Behaviours on the peer's thread; starting one stops the one before ---

    // Called with the input received and not yet consumed; erases what it consumed from
    // `pending` and returns the bytes to send back (empty: nothing).
    using responder = std::function<std::string(std::string& pending)>;
    void respond(responder answer_with);

    // Waits for `request` and answers `reply` after delay_ms, `times` times (-1: always).
    void answer(std::string request, std::string reply, uint32_t delay_ms = 0, int times = -1);
    // Takes and records everything, never answers.
    void stay_silent();
    // Sends the bytes once, delay_ms after the start.
    void send_late(std::string bytes, uint32_t delay_ms);
    // Sends each piece in turn, gap_ms apart (the first one at once).
    void send_in_pieces(std::vector<std::string> pieces, uint32_t gap_ms);
    // Sends the pattern over and over at the port's line speed until stopped.
    void flood(std::string pattern);
    // Runs any function; it should return when stop_requested() turns true (pause() and the
    // peer's own waits end by themselves then).
    void run(std::function<void(serial_peer&)> body);

    // Asks the running behaviour to end and waits for it. Harmless when none runs. From inside the
    // behaviour it only asks: the behaviour ends when it returns.
    void stop();
    // Waits for a behaviour that ends by itself (send_late, send_in_pieces, answer with a
    // count): true when it ended within timeout_ms.
    bool wait_done(uint32_t timeout_ms);

    // For behaviours: true once stop() was called.
    bool stop_requested() const { return stopping_.load(); }
    // For behaviours: waits ms milliseconds; false when stopped meanwhile.
    bool pause(uint32_t ms);
    // For behaviours: sends the pieces in turn, the first delay_ms after the call, the others
    // gap_ms apart: a late answer, an answer in pieces, or both. False when stopped meanwhile or
    // a piece could not be sent.
    bool send_paced(const std::vector<std::string>& pieces, uint32_t gap_ms, uint32_t delay_ms = 0);

    // Everything the behaviours have taken from the port so far.
    std::string received() const;
    // Bytes a flood has sent so far.
    std::size_t flooded() const { return flooded_.load(); }

    // --- The port as the device sees it ---
    bool port_open() const { return port_->port_open(); }
    sio_state line() const { return port_->line(); }
    bool dtr() const { return port_->dtr(); }

    // The device goes away: the open port's transfers fail. From outside, a running behaviour is
    // stopped first; a behaviour may also hang up itself (a device that dies mid-answer).
    void hang_up();

private:
    serial_peer(std::unique_ptr<sio_vport> port, u_handle stop_event);
    void start(std::function<void()> body);
    void record(std::string_view bytes);
    // Takes what has arrived, waiting up to timeout_ms for the first byte.
    std::string take(uint32_t timeout_ms);

    std::unique_ptr<sio_vport> port_;
    u_handle stop_event_ = nullptr;  // manual-reset, signalled by stop()
    u_handle thread_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::atomic<std::thread::id> behaviour_id_{};  // the thread running the behaviour
    std::atomic<std::size_t> flooded_{0};
    mutable std::mutex received_lock_;
    std::string received_;
};

// Takes every complete message, ended by `terminator`, out of `pending` in order, and returns
// what `answer` gives for each (terminator not included), joined; an unfinished message stays in
// `pending`. The answer loop of the devices with line-shaped requests.
std::string answer_each(std::string& pending, char terminator,
                        const std::function<std::string(const std::string& message)>& answer);

// The set-up of a device simulation: a peer serving the port name, the device made on it by
// `make` (a function from the peer to a new Device), and `serve(device, pending)` run on the
// peer's thread with the input received (see serial_peer::respond). The codes of
// serial_peer::create, or ERR_INVALID_PARAM for a missing `out`.
template <typename Device, typename Make, typename Serve>
int32_t start_device(const char* port_name, std::unique_ptr<Device>* out, Make make, Serve serve)
{
    if (out == nullptr)
        return ERR_INVALID_PARAM;
    std::unique_ptr<serial_peer> peer;
    int32_t rc = serial_peer::create(port_name, &peer);
    if (rc != NO_ERROR)
        return rc;
    serial_peer& port = *peer;
    out->reset(make(std::move(peer)));
    Device* self = out->get();
    port.respond([self, serve](std::string& pending) { return serve(*self, pending); });
    return NO_ERROR;
}

}  // namespace sim
