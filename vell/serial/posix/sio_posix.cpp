// POSIX half of the serial layer: termios for the line, poll for the time-outs.
//
// The device control block and the time-outs of the Windows model have no complete
// counterpart in termios, so the layer keeps them per open port in one process-wide table
// (`ports`), filled by open and emptied by close. Only ports opened through sio_open are
// served; any other descriptor is refused as an unknown handle, so a stale handle never
// touches a descriptor that now belongs to someone else.
//
// How the block maps onto the system:
//   - baud rate, data bits, parity (mark and space through CMSPAR where the system has it),
//     parity check (INPCK), XON/XOFF on output (IXON) and input (IXOFF) with VSTART/VSTOP: termios;
//   - one and a half stop bits: CSTOPB, as with two (a UART sends one and a half only with five
//     data bits; a receiver checks only the first stop bit);
//   - CTS output flow: CRTSCTS, which on Linux also drives RTS as the input handshake. Without
//     CTS output flow an RTS handshake is carried as RTS raised, since termios cannot hold
//     the input half alone (BSD systems with CRTS_IFLOW/CCTS_OFLOW get both halves apart);
//   - DTR enabled/disabled and RTS enabled/disabled: the modem lines, raised or dropped after
//     every write of the block; DTR handshake and RTS toggle are refused;
//   - XON/XOFF limits and abort-on-error: kept in the table only (the tty driver chooses its
//     own thresholds and has no abort mode);
//   - line errors: with the parity check on, the driver marks bytes received with a parity or
//     framing error (PARMRK), and the reads take the marks out and raise the error flags; on
//     Linux the driver's error counters (TIOCGICOUNT, where the device keeps them) add framing,
//     overrun, break and queue overflow errors. With marking on, the input count of the system
//     includes the marks, so it may be a little above the bytes a read will give;
//   - the port is always in raw mode (no echo, no line editing, no translation), the binary
//     mode of the Windows model.
// Every write of the block is read back. A field the driver did not take makes the write fail
// and the old settings are put back, except on a pseudo-terminal, which has no line: there
// the speed, character size, parity, stop bits and CRTSCTS may be dropped or refused by the
// system (Linux keeps every pseudo-terminal at 8 bits without parity, and may refuse a request
// that only changes those) and only the line discipline fields are checked; the block keeps
// the values asked for.
//
// Time-outs follow the Windows rules (see serial/sio.h) with poll on the descriptor, which is
// kept non-blocking. A port is opened with the time-outs sio_init sets (read interval 100,
// read total 2000, write total 1000 ms), so no read waits for ever before sio_init.
//
// "Not shared": the port is locked with flock, so a second sio_open of the same device (in
// this or another process) fails with ERR_CANT_OPEN_SERIAL.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/os.h"
#include "vell/serial/sio_backend.h"

namespace {

struct port {
    sio_state state{};
    sio_timeouts timeouts{100, 0, 2000, 0, 1000};
    bool pseudo = false;  // a pseudo-terminal: no physical line behind it
    uint64_t serial = 0;  // tells this opening of the descriptor from a later one
    uint32_t errors = 0;  // line error flags not yet reported
    uint8_t mark = 0;     // an error mark cut off by the last read (see sio_os::unmark_input)
    bool restore = false; // `before` holds the terminal settings found at open
    termios before{};
#if defined(__linux__)
    bool counted = false;  // the driver keeps error counters
    serial_icounter_struct counts{};
#endif
};

std::mutex ports_lock;
std::map<int, port> ports;
uint64_t last_serial = 0;

int fd_of(sio_handle handle)
{
    return handle >= 0 && handle <= INT_MAX ? static_cast<int>(handle) : -1;
}

bool find_port(sio_handle handle, port& out)
{
    int fd = fd_of(handle);
    if (fd < 0)
        return false;
    std::lock_guard<std::mutex> guard(ports_lock);
    auto it = ports.find(fd);
    if (it == ports.end())
        return false;
    out = it->second;
    return true;
}

template <typename Change>
bool update_port(sio_handle handle, Change change)
{
    std::lock_guard<std::mutex> guard(ports_lock);
    auto it = ports.find(fd_of(handle));
    if (it == ports.end())
        return false;
    change(it->second);
    return true;
}

struct speed_entry {
    uint32_t rate;
    speed_t code;
};

constexpr speed_entry speeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool speed_code(uint32_t rate, speed_t& code)
{
    for (const speed_entry& e : speeds)
        if (e.rate == rate) {
            code = e.code;
            return true;
        }
    return false;
}

uint32_t speed_rate(speed_t code)
{
    for (const speed_entry& e : speeds)
        if (e.code == code)
            return e.rate;
    return 0;
}

#if defined(CCTS_OFLOW) && defined(CRTS_IFLOW)
constexpr tcflag_t hw_flow_bits = CCTS_OFLOW | CRTS_IFLOW;
#elif defined(CRTSCTS)
constexpr tcflag_t hw_flow_bits = CRTSCTS;
#else
constexpr tcflag_t hw_flow_bits = 0;
#endif

#ifdef CMSPAR
constexpr tcflag_t parity_bits = PARENB | PARODD | CMSPAR;
#else
constexpr tcflag_t parity_bits = PARENB | PARODD;
#endif

bool is_pseudo_terminal(int fd)
{
#if defined(__linux__)
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        unsigned m = major(st.st_rdev);
        if (m >= 136 && m <= 143)  // Unix98 pseudo-terminal slaves
            return true;
    }
#endif
    const char* name = ::ttyname(fd);
    if (name == nullptr)
        return false;
    std::string_view path(name);
    return path.substr(0, 9) == "/dev/pts/"
#if defined(__APPLE__)
           || path.substr(0, 9) == "/dev/ttys"
#endif
        ;
}

// The raw mode of the port: what binary mode means here.
void make_raw(termios& t)
{
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY);
#ifdef IUCLC
    t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
    t.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

sio_state state_of(const termios& t)
{
    sio_state s{};
    s.baud_rate = speed_rate(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: s.byte_size = 5; break;
    case CS6: s.byte_size = 6; break;
    case CS7: s.byte_size = 7; break;
    default: s.byte_size = 8; break;
    }
    if ((t.c_cflag & PARENB) == 0)
        s.parity = SIO_NOPARITY;
#ifdef CMSPAR
    else if (t.c_cflag & CMSPAR)
        s.parity = (t.c_cflag & PARODD) ? SIO_MARKPARITY : SIO_SPACEPARITY;
#endif
    else
        s.parity = (t.c_cflag & PARODD) ? SIO_ODDPARITY : SIO_EVENPARITY;
    s.stop_bits = (t.c_cflag & CSTOPB) ? SIO_TWOSTOPBITS : SIO_ONESTOPBIT;
    s.parity_check = (t.c_iflag & INPCK) ? 1 : 0;
    s.binary = 1;
    s.out_x = (t.c_iflag & IXON) ? 1 : 0;
    s.in_x = (t.c_iflag & IXOFF) ? 1 : 0;
    s.xon_char = static_cast<uint8_t>(t.c_cc[VSTART]);
    s.xoff_char = static_cast<uint8_t>(t.c_cc[VSTOP]);
    s.xon_lim = SIO_XON_LIMIT;
    s.xoff_lim = SIO_XOFF_LIMIT;
    s.dtr_control = SIO_DTR_CONTROL_ENABLE;
    bool hw = hw_flow_bits != 0 && (t.c_cflag & hw_flow_bits) != 0;
    s.rts_control = hw ? SIO_RTS_CONTROL_HANDSHAKE : SIO_RTS_CONTROL_ENABLE;
    s.out_cts_flow = hw ? 1 : 0;
    s.abort_on_error = 0;
    return s;
}

// Builds the termios for a block on top of the current one. False for what the system
// cannot carry.
bool termios_for(const sio_state& s, termios& t)
{
    speed_t code{};
    if (!speed_code(s.baud_rate, code))
        return false;
    tcflag_t size = 0;
    switch (s.byte_size) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return false;
    }
    tcflag_t parity = 0;
    switch (s.parity) {
    case SIO_NOPARITY: break;
    case SIO_ODDPARITY: parity = PARENB | PARODD; break;
    case SIO_EVENPARITY: parity = PARENB; break;
#ifdef CMSPAR
    case SIO_MARKPARITY: parity = PARENB | PARODD | CMSPAR; break;
    case SIO_SPACEPARITY: parity = PARENB | CMSPAR; break;
#endif
    default: return false;
    }
    if (s.stop_bits > SIO_TWOSTOPBITS)
        return false;
    if (s.dtr_control != SIO_DTR_CONTROL_ENABLE && s.dtr_control != SIO_DTR_CONTROL_DISABLE)
        return false;
    if (s.rts_control > SIO_RTS_CONTROL_HANDSHAKE)
        return false;
    if ((s.out_x || s.in_x) && s.xon_char == s.xoff_char)
        return false;
    if (s.out_cts_flow && hw_flow_bits == 0)
        return false;

    make_raw(t);
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0)
        return false;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | parity_bits | CSTOPB | hw_flow_bits)) | size | parity;
    if (s.stop_bits != SIO_ONESTOPBIT)
        t.c_cflag |= CSTOPB;
#if defined(CCTS_OFLOW) && defined(CRTS_IFLOW)
    if (s.out_cts_flow)
        t.c_cflag |= CCTS_OFLOW;
    if (s.rts_control == SIO_RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTS_IFLOW;
#else
    if (s.out_cts_flow)
        t.c_cflag |= hw_flow_bits;
#endif
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | IXON | IXOFF);
    if (s.parity_check)
        t.c_iflag |= INPCK | PARMRK;
    if (s.out_x)
        t.c_iflag |= IXON;
    if (s.in_x)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xon_char);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoff_char);
    return true;
}

// True when the driver holds what was asked for. A pseudo-terminal is only asked to hold the
// line discipline.
bool termios_taken(const termios& want, const termios& got, bool pseudo)
{
    constexpr tcflag_t iflags = INPCK | PARMRK | IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP;
    constexpr tcflag_t lflags = ICANON | ECHO | ISIG | IEXTEN;
    if ((want.c_iflag & iflags) != (got.c_iflag & iflags) || (want.c_lflag & lflags) != (got.c_lflag & lflags) ||
        (want.c_oflag & OPOST) != (got.c_oflag & OPOST) || want.c_cc[VSTART] != got.c_cc[VSTART] ||
        want.c_cc[VSTOP] != got.c_cc[VSTOP])
        return false;
    if (pseudo)
        return true;
    constexpr tcflag_t cflags = CSIZE | parity_bits | CSTOPB | hw_flow_bits;
    return (want.c_cflag & cflags) == (got.c_cflag & cflags) && cfgetospeed(&want) == cfgetospeed(&got) &&
           cfgetispeed(&want) == cfgetispeed(&got);
}

bool modem_line(int fd, int line, bool on)
{
    int bits = line;
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

uint64_t now_real() { return sio_os::now_ms(); }

#if defined(__linux__)
// Error flags from the growth of the driver's error counters since the last look.
uint32_t counted_errors(int fd, port& p)
{
    serial_icounter_struct now{};
    if (!p.counted || ::ioctl(fd, TIOCGICOUNT, &now) != 0)
        return 0;
    uint32_t flags = 0;
    if (now.frame != p.counts.frame)
        flags |= SIO_CE_FRAME;
    if (now.overrun != p.counts.overrun)
        flags |= SIO_CE_OVERRUN;
    if (now.parity != p.counts.parity && p.state.parity_check)
        flags |= SIO_CE_RXPARITY;
    if (now.brk != p.counts.brk)
        flags |= SIO_CE_BREAK;
    if (now.buf_overrun != p.counts.buf_overrun)
        flags |= SIO_CE_RXOVER;
    p.counts = now;
    return flags;
}
#endif

// Waits for the descriptor; false on a failed poll or a line that hung up.
enum class wait_result { ready, timeout, failed };
wait_result wait_for(int fd, short events, int64_t timeout_ms)
{
    pollfd p{fd, events, 0};
    int wait = timeout_ms < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeout_ms, INT_MAX));
    for (;;) {
        int r = ::poll(&p, 1, wait);
        if (r < 0 && errno == EINTR)
            continue;  // the remaining time is worked out again by the caller's loop
        if (r < 0)
            return wait_result::failed;
        if (r == 0)
            return wait_result::timeout;
        if (p.revents & events)
            return wait_result::ready;
        return wait_result::failed;  // POLLHUP, POLLERR or POLLNVAL without data
    }
}

// Waits until the driver's output queue is empty, at most `allowance` ms by the port's clock
// (0: no limit), then for the last bytes to leave the UART. The port sends in real time, so the
// waits are real sleeps, like the write's own waits.
void drain_output(int fd, uint64_t allowance)
{
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0) {
        ::tcdrain(fd);
        return;
    }
    const uint64_t deadline = allowance == 0 ? 0 : now_real() + allowance;
    while (queued > 0) {
        if (deadline != 0 && now_real() >= deadline)
            return;  // stopped by flow control: tcdrain would wait for ever
        os::sleep_real_ms(1);
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
            break;
    }
    ::tcdrain(fd);
}

}  // namespace

namespace sio_os {

std::string device_path(const char* name)
{
    if (name == nullptr)
        return {};
    if (std::strchr(name, '/') != nullptr)
        return name;
    int number = 0;
    if (com_port_number(name, number)) {
        std::string var = "VP_SERIAL_COM" + std::to_string(number);
        std::optional<std::string> mapped = os::get_env(var.c_str());
        if (mapped && !mapped->empty())
            return *mapped;
        return "/dev/ttyS" + std::to_string(number - 1);
    }
    return std::string("/dev/") + name;
}

int32_t open(const char* device, sio_handle& handle)
{
    handle = SIO_INVALID_HANDLE;
    std::string path = device_path(device);
    if (path.empty())
        return ERR_CANT_OPEN_SERIAL;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return ERR_CANT_OPEN_SERIAL;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);  // in use by another link
        return ERR_CANT_OPEN_SERIAL;
    }
    handle = fd;

    port p;
#if defined(__linux__)
    p.counted = ::ioctl(fd, TIOCGICOUNT, &p.counts) == 0;
#endif
    p.state = state_of(termios{});
    int32_t rc = ERR_CANT_SET_SERIAL;
    termios t{};
    if (::isatty(fd) && ::tcgetattr(fd, &t) == 0) {
        p.before = t;  // put back at close, for whoever uses the device next
        p.restore = true;
        p.pseudo = is_pseudo_terminal(fd);
        make_raw(t);
        if (::tcsetattr(fd, TCSANOW, &t) == 0 && ::tcgetattr(fd, &t) == 0) {
            p.state = state_of(t);
            rc = NO_ERROR;
        }
    }
    std::lock_guard<std::mutex> guard(ports_lock);
    p.serial = ++last_serial;
    ports[fd] = p;  // also when the set-up failed, so that the caller can close the port
    return rc;
}

bool get_state(sio_handle handle, sio_state& state)
{
    port p;
    termios t{};
    if (!find_port(handle, p) || ::tcgetattr(fd_of(handle), &t) != 0)
        return false;
    state = p.state;
    return true;
}

bool set_state(sio_handle handle, const sio_state& state)
{
    port p;
    int fd = fd_of(handle);
    termios old{};
    if (!find_port(handle, p) || ::tcgetattr(fd, &old) != 0)
        return false;
    termios want = old;
    if (!termios_for(state, want))
        return false;
    if (p.pseudo) {
        // Character size and parity are not asked of a pseudo-terminal at all: some systems
        // refuse a request that changes nothing else. The other line fields are asked for;
        // if the system refuses them, they stay as they are.
        constexpr tcflag_t kept = CSIZE | parity_bits;
        want.c_cflag = (want.c_cflag & ~kept) | (old.c_cflag & kept);
    }
    if (::tcsetattr(fd, TCSANOW, &want) != 0) {
        if (!p.pseudo)
            return false;
        constexpr tcflag_t line_bits = CSIZE | parity_bits | CSTOPB | hw_flow_bits;
        want.c_cflag = (want.c_cflag & ~line_bits) | (old.c_cflag & line_bits);
        if (cfsetispeed(&want, cfgetispeed(&old)) != 0 || cfsetospeed(&want, cfgetospeed(&old)) != 0 ||
            ::tcsetattr(fd, TCSANOW, &want) != 0)
            return false;
    }
    termios got{};
    if (::tcgetattr(fd, &got) != 0 || !termios_taken(want, got, p.pseudo)) {
        (void)::tcsetattr(fd, TCSANOW, &old);
        return false;
    }
    // Modem lines: results ignored, a pseudo-terminal has none.
    (void)modem_line(fd, TIOCM_DTR, state.dtr_control == SIO_DTR_CONTROL_ENABLE);
    bool rts_by_driver = (want.c_cflag & hw_flow_bits) != 0 && state.rts_control == SIO_RTS_CONTROL_HANDSHAKE;
    if (!rts_by_driver)
        (void)modem_line(fd, TIOCM_RTS, state.rts_control != SIO_RTS_CONTROL_DISABLE);
    return update_port(handle, [&](port& q) {
        if (!state.parity_check)
            q.mark = 0;
        q.state = state;
    });
}

bool get_timeouts(sio_handle handle, sio_timeouts& timeouts)
{
    port p;
    if (!find_port(handle, p))
        return false;
    timeouts = p.timeouts;
    return true;
}

bool set_timeouts(sio_handle handle, const sio_timeouts& timeouts)
{
    return update_port(handle, [&](port& q) { q.timeouts = timeouts; });
}

bool set_dtr(sio_handle handle, bool on)
{
    port p;
    return find_port(handle, p) && modem_line(fd_of(handle), TIOCM_DTR, on);
}

bool purge(sio_handle handle)
{
    port p;
    if (!find_port(handle, p) || ::tcflush(fd_of(handle), TCIOFLUSH) != 0)
        return false;
    return update_port(handle, [](port& q) { q.mark = 0; });
}

bool clear_errors(sio_handle handle, uint32_t& errors, uint32_t& in_queue, uint32_t& out_queue)
{
    errors = 0;
    in_queue = 0;
    out_queue = 0;
    port p;
    int fd = fd_of(handle);
    int waiting = 0;
    if (!find_port(handle, p) || ::ioctl(fd, FIONREAD, &waiting) != 0)
        return false;
    in_queue = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0)
        out_queue = static_cast<uint32_t>(queued);
    return update_port(handle, [&](port& q) {
#if defined(__linux__)
        q.errors |= counted_errors(fd, q);
#endif
        errors = q.errors;
        q.errors = 0;
    });
}

bool write(sio_handle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    port p;
    if (!find_port(handle, p))
        return false;
    if (count == 0)
        return true;
    int fd = fd_of(handle);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const uint64_t start = now_real();
    const uint64_t limit = uint64_t{p.timeouts.write_total_multiplier} * count + p.timeouts.write_total_constant;
    while (written < count) {
        ssize_t n = ::write(fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        int64_t wait = -1;
        if (limit != 0) {
            uint64_t now = now_real();
            if (now >= start + limit)
                break;
            wait = static_cast<int64_t>(start + limit - now);
        }
        wait_result w = wait_for(fd, POLLOUT, wait);
        if (w == wait_result::failed)
            return false;
    }
    if (written < count)
        return false;
    // The output may take as long as the write time-out plus its own transmission time.
    uint64_t allowance = 0;
    if (limit != 0) {
        uint64_t baud = p.state.baud_rate > 0 ? p.state.baud_rate : 9600;
        allowance = limit + (uint64_t{count} * 10000 + baud - 1) / baud + 100;
    }
    drain_output(fd, allowance);
    return true;
}

bool read(sio_handle handle, void* buffer, uint32_t count, uint32_t& got)
{
    got = 0;
    port p;
    if (!find_port(handle, p))
        return false;
    if (count == 0)
        return true;
    int fd = fd_of(handle);
    auto* bytes = static_cast<unsigned char*>(buffer);
    const sio_timeouts& t = p.timeouts;

    const bool at_once = t.read_interval == SIO_MAXDWORD && t.read_total_multiplier == 0 && t.read_total_constant == 0;
    const bool first_byte = t.read_interval == SIO_MAXDWORD && t.read_total_multiplier == SIO_MAXDWORD &&
                            t.read_total_constant > 0 && t.read_total_constant < SIO_MAXDWORD;
    const bool is_tty = ::isatty(fd) != 0;
    const bool use_interval = t.read_interval > 0 && t.read_interval != SIO_MAXDWORD;
    uint64_t total = 0;
    if (first_byte)
        total = t.read_total_constant;
    else if (!at_once)
        total = uint64_t{t.read_total_multiplier} * count + t.read_total_constant;

    // With the parity check on, the driver marks bytes with line errors; the marks are taken
    // out as they come and the flags kept for the error query.
    const bool marked = p.state.parity_check != 0;
    uint8_t mark = p.mark;
    uint32_t errors = 0;
    struct keep_marks {
        sio_handle handle;
        const uint8_t& mark;
        const uint32_t& errors;
        ~keep_marks()
        {
            (void)update_port(handle, [&](port& q) {
                q.mark = mark;
                q.errors |= errors;
            });
        }
    } keep{handle, mark, errors};

    const uint64_t start = now_real();
    uint64_t last_byte = start;
    for (;;) {
        ssize_t n = ::read(fd, bytes + got, count - got);
        if (n > 0) {
            uint32_t taken = static_cast<uint32_t>(n);
            if (marked)
                taken = sio_os::unmark_input(bytes + got, taken, mark, errors);
            got += taken;
            last_byte = now_real();
            if (got == count || (first_byte && got > 0))
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;  // the line is gone (a pseudo-terminal whose far end closed gives EIO)
        if (n == 0 && !is_tty)
            return true;  // end of file: nothing more will come
        if (at_once)
            return true;
        int64_t wait = -1;
        uint64_t now = now_real();
        if (total != 0) {
            if (now >= start + total)
                return true;
            wait = static_cast<int64_t>(start + total - now);
        }
        if (use_interval && got > 0) {
            if (now >= last_byte + t.read_interval)
                return true;
            int64_t left = static_cast<int64_t>(last_byte + t.read_interval - now);
            wait = wait < 0 ? left : std::min(wait, left);
        }
        if (wait_for(fd, POLLIN, wait) == wait_result::failed)
            return false;
    }
}

bool close(sio_handle handle)
{
    int fd = fd_of(handle);
    port p;
    if (!find_port(handle, p))
        return false;  // not a port of this layer: leave the descriptor alone
    (void)modem_line(fd, TIOCM_DTR, false);
    (void)::tcflush(fd, TCIOFLUSH);
    if (p.restore)
        (void)::tcsetattr(fd, TCSANOW, &p.before);
    {
        // The entry goes before the descriptor: once closed, its number may be given to a port
        // opened on another thread, whose entry must stay.
        std::lock_guard<std::mutex> guard(ports_lock);
        auto it = ports.find(fd);
        if (it != ports.end() && it->second.serial == p.serial)
            ports.erase(it);
    }
    // A failed close has released the descriptor all the same (Linux, and POSIX leaves it
    // unspecified): nothing of it is kept for a retry.
    return ::close(fd) == 0;
}

}  // namespace sio_os
