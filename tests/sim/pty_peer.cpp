// The pseudo-terminal peer: see pty_peer.h.
#include "tests/sim/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <stdexcept>

namespace sim {

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
}

bool set_nonblocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

struct speed_name {
    speed_t code;
    uint32_t rate;
};
constexpr speed_name speed_names[] = {
    {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200}, {B300, 300},
    {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
    {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

}  // namespace

PtyPeer::PtyPeer()
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        close_fd(master_);
        throw std::runtime_error("no pseudo-terminal");
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
        close_fd(master_);
        throw std::runtime_error("no pseudo-terminal name");
    }
    slave_path_ = name;
    termios t{};
    if (::tcgetattr(master_, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    keeper_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keeper_ < 0 || !set_nonblocking(master_) || ::pipe(wake_) != 0) {
        close_fd(keeper_);
        close_fd(master_);
        throw std::runtime_error("cannot set up the pseudo-terminal pair");
    }
    set_nonblocking(wake_[0]);
    set_nonblocking(wake_[1]);
}

PtyPeer::~PtyPeer()
{
    stop();
    close_fd(master_);
    close_fd(keeper_);
    close_fd(wake_[0]);
    close_fd(wake_[1]);
}

bool PtyPeer::wait_readable(int timeout_ms)
{
    if (master_ < 0)
        return false;
    pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        int r = ::poll(p, 2, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (p[1].revents & POLLIN) != 0)
            return false;
        return (p[0].revents & POLLIN) != 0;
    }
}

bool PtyPeer::wait_writable(int timeout_ms)
{
    if (master_ < 0)
        return false;
    pollfd p[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        int r = ::poll(p, 2, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (p[1].revents & POLLIN) != 0)
            return false;
        return (p[0].revents & POLLOUT) != 0;
    }
}

std::string PtyPeer::read_available()
{
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return out;
    }
}

void PtyPeer::record(std::string_view bytes)
{
    std::lock_guard<std::mutex> guard(received_lock_);
    received_.append(bytes);
}

bool PtyPeer::send(std::string_view bytes, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = master_ < 0 ? -1 : ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (!wait_writable(ms_left(deadline)))
            return false;
    }
    return true;
}

std::string PtyPeer::receive(std::size_t count, int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    std::string out;
    char buf[4096];
    while (out.size() < count && master_ >= 0) {
        std::size_t want = std::min(sizeof buf, count - out.size());
        ssize_t n = ::read(master_, buf, want);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        int left = ms_left(deadline);
        if (left == 0 || !wait_readable(left))
            break;
    }
    return out;
}

std::string PtyPeer::receive_until_quiet(int quiet_ms)
{
    std::string out;
    while (wait_readable(quiet_ms))
        out += read_available();
    return out;
}

std::size_t PtyPeer::unread() const
{
    int n = 0;
    if (master_ < 0 || ::ioctl(master_, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

bool PtyPeer::pause(int ms)
{
    pollfd p{wake_[0], POLLIN, 0};
    auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int r = ::poll(&p, 1, ms_left(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r > 0)
            return false;
        if (ms_left(deadline) == 0)
            return !stopping_.load();
    }
}

void PtyPeer::start(std::function<void()> body)
{
    stop();
    stopping_ = false;
    done_ = false;
    thread_ = std::thread([this, body = std::move(body)] {
        body();
        done_ = true;
    });
}

void PtyPeer::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    char one = 1;
    (void)!::write(wake_[1], &one, 1);
    thread_.join();
    char buf[64];
    while (::read(wake_[0], buf, sizeof buf) > 0) {
    }
    stopping_ = false;
}

bool PtyPeer::wait_done(int timeout_ms)
{
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (!done_.load()) {
        if (ms_left(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (thread_.joinable())
        thread_.join();
    return true;
}

void PtyPeer::respond(Responder responder)
{
    start([this, responder = std::move(responder)] {
        std::string pending;
        while (!stopping_.load()) {
            if (!wait_readable(-1))
                break;
            std::string got = read_available();
            record(got);
            pending += got;
            std::string reply = responder(pending);
            if (!reply.empty() && !send(reply))
                break;
        }
    });
}

void PtyPeer::answer(std::string request, std::string reply, int delay_ms, int times)
{
    start([this, request = std::move(request), reply = std::move(reply), delay_ms, times] {
        std::string pending;
        int answered = 0;
        while (!stopping_.load() && (times < 0 || answered < times)) {
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
            if (!wait_readable(-1))
                return;
            std::string got = read_available();
            record(got);
            pending += got;
        }
    });
}

void PtyPeer::stay_silent()
{
    start([this] {
        while (!stopping_.load() && wait_readable(-1))
            record(read_available());
    });
}

void PtyPeer::send_late(std::string bytes, int delay_ms)
{
    start([this, bytes = std::move(bytes), delay_ms] {
        if (pause(delay_ms))
            send(bytes);
    });
}

void PtyPeer::send_in_pieces(std::vector<std::string> pieces, int gap_ms)
{
    start([this, pieces = std::move(pieces), gap_ms] {
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0 && !pause(gap_ms))
                return;
            if (!send(pieces[i]))
                return;
        }
    });
}

void PtyPeer::flood(std::string pattern)
{
    flooded_ = 0;
    start([this, pattern = std::move(pattern)] {
        if (pattern.empty())
            return;
        std::size_t at = 0;
        while (!stopping_.load()) {
            ssize_t n = ::write(master_, pattern.data() + at, pattern.size() - at);
            if (n > 0) {
                flooded_ += static_cast<std::size_t>(n);
                at = (at + static_cast<std::size_t>(n)) % pattern.size();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return;
            if (!wait_writable(-1))
                return;
        }
    });
}

void PtyPeer::run(std::function<void(PtyPeer&)> body)
{
    start([this, body = std::move(body)] { body(*this); });
}

std::string PtyPeer::received() const
{
    std::lock_guard<std::mutex> guard(received_lock_);
    return received_;
}

bool PtyPeer::slave_line(line& out) const
{
    termios t{};
    if (keeper_ < 0 || ::tcgetattr(keeper_, &t) != 0)
        return false;
    out = {};
    speed_t code = ::cfgetospeed(&t);
    for (const speed_name& s : speed_names)
        if (s.code == code)
            out.speed = s.rate;
    switch (t.c_cflag & CSIZE) {
    case CS5: out.data_bits = 5; break;
    case CS6: out.data_bits = 6; break;
    case CS7: out.data_bits = 7; break;
    default: out.data_bits = 8; break;
    }
    out.parity = (t.c_cflag & PARENB) != 0;
    out.odd = (t.c_cflag & PARODD) != 0;
    out.two_stop = (t.c_cflag & CSTOPB) != 0;
#ifdef CRTSCTS
    out.crtscts = (t.c_cflag & CRTSCTS) != 0;
#endif
    out.inpck = (t.c_iflag & INPCK) != 0;
    out.parmrk = (t.c_iflag & PARMRK) != 0;
    out.ixon = (t.c_iflag & IXON) != 0;
    out.ixoff = (t.c_iflag & IXOFF) != 0;
    out.vstart = t.c_cc[VSTART];
    out.vstop = t.c_cc[VSTOP];
    out.raw = (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0 &&
              (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) == 0;
    return true;
}

void PtyPeer::hang_up()
{
    stop();
    close_fd(master_);
    close_fd(keeper_);
}

}  // namespace sim
