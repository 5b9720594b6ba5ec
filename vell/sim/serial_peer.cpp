// The far end of a virtual serial port: see sim/serial_peer.h.
#include "vell/sim/serial_peer.h"

#include <algorithm>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/platform/thread.h"

namespace sim {

namespace {

constexpr std::size_t chunk_size = 4096;
constexpr std::size_t flood_piece = 16;

// Milliseconds the line needs for `count` characters of ten bits at the port's speed (at least 1).
uint32_t line_time(std::size_t count, uint32_t baud)
{
    if (baud == 0)
        baud = 9600;
    uint64_t ms = (uint64_t{count} * 10000 + baud - 1) / baud;
    return static_cast<uint32_t>(std::clamp<uint64_t>(ms, 1, 60000));
}

}  // namespace

serial_peer::serial_peer(std::unique_ptr<sio_vport> port, u_handle stop_event)
    : port_(std::move(port)), stop_event_(stop_event)
{
}

int32_t serial_peer::create(const char* port_name, std::unique_ptr<serial_peer>* out)
{
    if (out == nullptr)
        return ERR_INVALID_PARAM;
    out->reset();
    std::unique_ptr<sio_vport> port;
    int32_t rc = sio_vport::create(port_name, &port);
    if (rc != NO_ERROR)
        return rc;
    u_handle stop_event = nullptr;
    rc = u_event_create(true, false, nullptr, &stop_event);
    if (rc != NO_ERROR)
        return rc;
    out->reset(new serial_peer(std::move(port), stop_event));
    return NO_ERROR;
}

serial_peer::~serial_peer()
{
    stop();
    port_.reset();  // the device goes away with its peer
    u_close_handle(stop_event_);
}

void serial_peer::record(std::string_view bytes)
{
    std::lock_guard<std::mutex> guard(received_lock_);
    received_.append(bytes);
}

std::string serial_peer::received() const
{
    std::lock_guard<std::mutex> guard(received_lock_);
    return received_;
}

bool serial_peer::send(std::string_view bytes, uint32_t timeout_ms)
{
    if (bytes.size() > UINT32_MAX)
        return false;
    auto count = static_cast<uint32_t>(bytes.size());
    return port_->send(bytes.data(), count, timeout_ms, stop_event_) == count;
}

std::string serial_peer::take(uint32_t timeout_ms)
{
    std::string out(chunk_size, '\0');
    uint32_t n = port_->receive(out.data(), static_cast<uint32_t>(out.size()), timeout_ms, stop_event_);
    out.resize(n);
    return out;
}

std::string serial_peer::receive(std::size_t count, uint32_t timeout_ms)
{
    const uint64_t start = u_now_ms();
    std::string out;
    std::string buf(std::min(count, chunk_size), '\0');
    while (out.size() < count) {
        uint32_t wait = timeout_ms;
        if (timeout_ms != U_INFINITE) {
            uint64_t now = u_now_ms();
            wait = now >= start + timeout_ms ? 0 : static_cast<uint32_t>(start + timeout_ms - now);
        }
        auto want = static_cast<uint32_t>(std::min(buf.size(), count - out.size()));
        uint32_t n = port_->receive(buf.data(), want, wait, stop_event_);
        if (n == 0)
            break;
        out.append(buf.data(), n);
    }
    return out;
}

std::string serial_peer::receive_until_quiet(uint32_t quiet_ms)
{
    std::string out;
    for (std::string got; !(got = take(quiet_ms)).empty();)
        out += got;
    return out;
}

bool serial_peer::pause(uint32_t ms) { return u_wait_one(stop_event_, ms) == U_WAIT_TIMEOUT && !stop_requested(); }

void serial_peer::start(std::function<void()> body)
{
    stop();
    stopping_ = false;
    int32_t rc = u_thread_start(
        [this, body = std::move(body)]() -> int32_t {
            behaviour_id_ = std::this_thread::get_id();
            body();
            behaviour_id_ = std::thread::id();
            return NO_ERROR;
        },
        &thread_);
    if (rc != NO_ERROR) {
        thread_ = nullptr;
        u_log_sink("serial_peer: cannot start the device thread: %s\n", u_err_name(rc));
    }
}

void serial_peer::stop()
{
    if (thread_ == nullptr)
        return;
    stopping_ = true;
    u_event_set(stop_event_);
    if (behaviour_id_.load() == std::this_thread::get_id())
        return;  // the behaviour itself: it cannot wait for its own end
    (void)u_thread_join(thread_, U_INFINITE);
    u_close_handle(thread_);
    thread_ = nullptr;
    u_event_reset(stop_event_);
    stopping_ = false;
}

bool serial_peer::wait_done(uint32_t timeout_ms)
{
    if (thread_ == nullptr)
        return true;
    if (u_thread_join(thread_, timeout_ms) != 0)
        return false;
    u_close_handle(thread_);
    thread_ = nullptr;
    return true;
}

void serial_peer::respond(responder answer_with)
{
    start([this, answer_with = std::move(answer_with)] {
        std::string pending;
        while (!stop_requested()) {
            std::string got = take(U_INFINITE);
            if (got.empty())
                break;  // stopped, or the device went away
            record(got);
            pending += got;
            std::string reply = answer_with(pending);
            if (!reply.empty() && !send(reply))
                break;
        }
    });
}

void serial_peer::answer(std::string request, std::string reply, uint32_t delay_ms, int times)
{
    start([this, request = std::move(request), reply = std::move(reply), delay_ms, times] {
        std::string pending;
        int answered = 0;
        while (!stop_requested() && (times < 0 || answered < times)) {
            std::size_t at = request.empty() ? std::string::npos : pending.find(request);
            if (at != std::string::npos) {
                pending.erase(0, at + request.size());
                if (delay_ms > 0 && !pause(delay_ms))
                    return;
                if (!send(reply))
                    return;
                ++answered;
                continue;
            }
            std::string got = take(U_INFINITE);
            if (got.empty())
                return;
            record(got);
            pending += got;
        }
    });
}

void serial_peer::stay_silent()
{
    start([this] {
        for (std::string got; !stop_requested() && !(got = take(U_INFINITE)).empty();)
            record(got);
    });
}

bool serial_peer::send_paced(const std::vector<std::string>& pieces, uint32_t gap_ms, uint32_t delay_ms)
{
    if (delay_ms > 0 && !pause(delay_ms))
        return false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0 && !pause(gap_ms))
            return false;
        if (!send(pieces[i]))
            return false;
    }
    return true;
}

void serial_peer::send_late(std::string bytes, uint32_t delay_ms)
{
    start([this, bytes = std::move(bytes), delay_ms] { send_paced({bytes}, 0, delay_ms); });
}

void serial_peer::send_in_pieces(std::vector<std::string> pieces, uint32_t gap_ms)
{
    start([this, pieces = std::move(pieces), gap_ms] { send_paced(pieces, gap_ms); });
}

void serial_peer::flood(std::string pattern)
{
    flooded_ = 0;
    start([this, pattern = std::move(pattern)] {
        if (pattern.empty())
            return;
        std::string piece;
        while (piece.size() < flood_piece + pattern.size())
            piece += pattern;
        std::size_t at = 0;  // where in the pattern the next piece starts
        while (!stop_requested()) {
            std::string_view next = std::string_view(piece).substr(at % pattern.size(), flood_piece);
            auto count = static_cast<uint32_t>(next.size());
            uint32_t sent = port_->send(next.data(), count, U_INFINITE, stop_event_);
            flooded_ += sent;
            at = (at + sent) % pattern.size();
            // The line needs its time for the characters, and a device whose port is closed or
            // gone keeps trying at the same pace.
            if (!pause(line_time(std::max<uint32_t>(sent, 1), port_->line().baud_rate)))
                return;
        }
    });
}

void serial_peer::run(std::function<void(serial_peer&)> body)
{
    start([this, body = std::move(body)] { body(*this); });
}

void serial_peer::hang_up()
{
    if (behaviour_id_.load() != std::this_thread::get_id())
        stop();
    port_->hang_up();
}

std::string answer_each(std::string& pending, char terminator,
                        const std::function<std::string(const std::string& message)>& answer)
{
    std::string reply;
    for (std::size_t at; (at = pending.find(terminator)) != std::string::npos;) {
        std::string message = pending.substr(0, at);
        pending.erase(0, at + 1);
        reply += answer(message);
    }
    return reply;
}

}  // namespace sim
