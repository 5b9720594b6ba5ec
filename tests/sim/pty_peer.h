// A serial device on the far end of a pseudo-terminal pair, driven by the test: the peer of the
// POSIX backend's conformance tests (tests/serial/sio_posix_test.cpp). Protocol tests and device
// simulations use virtual ports instead (sim/serial_peer.h), which run on the virtual clock and on
// every system.
//
// The serial layer opens the pair's slave side (`port_name()`) as if it were a COM port; the
// peer holds the master side and plays the device: from the test's own thread (send, receive)
// or from a behaviour that runs on the peer's thread (answer requests, stay silent, send late,
// send in pieces, flood). Protocol simulations build on `respond`: a function that sees the
// bytes received so far, takes what it understands and returns the device's answer.
//
// All waits of the peer are real waits on its descriptors, bounded by the time-outs given;
// stop() and the destructor end a running behaviour at once. POSIX only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sim {

class PtyPeer {
public:
    // Opens a new pair. Throws std::runtime_error when the system gives none.
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // The path to pass to sio_open.
    const std::string& port_name() const { return slave_path_; }

    // --- The far end, from the test's thread (or from inside a behaviour) ---

    // Sends the bytes to the port; false when they could not all be sent within timeout_ms.
    bool send(std::string_view bytes, int timeout_ms = 1000);
    // Receives up to `count` bytes: returns when they are there or timeout_ms has passed.
    std::string receive(std::size_t count, int timeout_ms);
    // Receives everything that arrives until the line has been quiet for quiet_ms.
    std::string receive_until_quiet(int quiet_ms);
    // Bytes the port has sent that the peer has not read yet.
    std::size_t unread() const;

    // --- Behaviours on the peer's thread; starting one stops the one before ---

    // Called with the input received and not yet consumed; erases what it consumed from
    // `pending` and returns the bytes to send back (empty: nothing).
    using Responder = std::function<std::string(std::string& pending)>;
    void respond(Responder responder);

    // Waits for `request` and answers `reply` after delay_ms, `times` times (-1: always).
    void answer(std::string request, std::string reply, int delay_ms = 0, int times = -1);
    // Reads and records everything, never answers.
    void stay_silent();
    // Sends the bytes once, delay_ms after the start.
    void send_late(std::string bytes, int delay_ms);
    // Sends each piece in turn, gap_ms apart (the first one at once).
    void send_in_pieces(std::vector<std::string> pieces, int gap_ms);
    // Sends the pattern over and over until stopped.
    void flood(std::string pattern);
    // Runs any function; it should return when stop_requested() turns true.
    void run(std::function<void(PtyPeer&)> body);

    // Asks the running behaviour to end and waits for it. Harmless when none runs.
    void stop();
    // Waits for a behaviour that ends by itself (send_late, send_in_pieces, answer with a
    // count): true when it ended within timeout_ms.
    bool wait_done(int timeout_ms);

    // For behaviours: true once stop() was called.
    bool stop_requested() const { return stopping_.load(); }
    // For behaviours: waits ms milliseconds; false when stopped meanwhile.
    bool pause(int ms);

    // Everything the behaviours have read from the port so far.
    std::string received() const;
    // Bytes a flood has sent so far.
    std::size_t flooded() const { return flooded_.load(); }

    // --- The slave side as the system holds it ---

    struct line {
        uint32_t speed;  // bits per second, 0 when not a known rate
        int data_bits;
        bool parity;
        bool odd;
        bool two_stop;
        bool crtscts;
        bool inpck;
        bool parmrk;
        bool ixon;
        bool ixoff;
        int vstart;
        int vstop;
        bool raw;  // no echo, no line editing, no output processing
    };
    bool slave_line(line& out) const;

    // The device goes away: closes the master side (behaviours are stopped first).
    void hang_up();

private:
    void start(std::function<void()> body);
    bool wait_readable(int timeout_ms);
    bool wait_writable(int timeout_ms);
    std::string read_available();
    void record(std::string_view bytes);

    int master_ = -1;
    int keeper_ = -1;  // a slave descriptor held open, so the master never sees a hang-up
    int wake_[2] = {-1, -1};
    std::string slave_path_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> done_{true};
    std::atomic<std::size_t> flooded_{0};
    mutable std::mutex received_lock_;
    std::string received_;
};

}  // namespace sim
