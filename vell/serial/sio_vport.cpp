// Virtual serial ports: see serial/sio_vport.h.
//
// Each port is one core shared by the device object and, while open, the table of open handles.
// The core's lock guards its queues and settings; waits happen outside it on manual-reset
// platform events, one per kind of waiter: the port's reader and writer (`port_wake`; a link is
// used by one thread at a time), the device's receivers (`dev_data`) and senders (`dev_room`).
// A waiter resets its event under the lock after finding its condition unmet and waits with the
// lock released; whoever changes the condition signals the event under the lock, so no change is
// missed.
#include "vell/serial/sio_vport.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/sio_backend.h"

struct sio_vport_core {
    std::string name;
    mutable std::mutex m;
    bool open = false;
    bool gone = false;
    sio_handle handle = SIO_INVALID_HANDLE;
    sio_state state{};
    sio_timeouts timeouts{};
    bool dtr = false;
    std::deque<uint8_t> in;    // the port's input queue
    std::deque<uint8_t> out;   // the port's output queue, while the output is held
    std::deque<uint8_t> wire;  // sent by the port, not yet taken by the device
    uint32_t errors = 0;
    bool xoff = false;     // the device sent XOFF
    bool cts_low = false;  // the device holds CTS low
    u_handle port_wake = nullptr;
    u_handle dev_data = nullptr;
    u_handle dev_room = nullptr;

    ~sio_vport_core()
    {
        for (u_handle h : {port_wake, dev_data, dev_room})
            if (h != nullptr)
                u_close_handle(h);
    }
};

namespace {

using core_ptr = std::shared_ptr<sio_vport_core>;

constexpr sio_handle first_handle = -0x10000;
constexpr uint32_t opening_read_interval = 100;

struct table {
    std::mutex m;
    std::map<std::string, std::weak_ptr<sio_vport_core>> names;
    std::map<sio_handle, core_ptr> handles;
    sio_handle next = first_handle;
};

table& tab()
{
    static table* t = new table;  // never destroyed: ports may be closed while the process ends
    return *t;
}

// "COMn" in any spelling becomes "COMn"; any other name stays as it is.
std::string key_of(const char* name)
{
    int number = 0;
    if (sio_os::com_port_number(name, number))
        return "COM" + std::to_string(number);
    return name;
}

core_ptr core_of(sio_handle handle)
{
    table& t = tab();
    std::lock_guard<std::mutex> guard(t.m);
    auto it = t.handles.find(handle);
    return it == t.handles.end() ? nullptr : it->second;
}

sio_state default_state()
{
    sio_state s{};
    s.baud_rate = 9600;
    s.byte_size = 8;
    s.parity = SIO_NOPARITY;
    s.stop_bits = SIO_ONESTOPBIT;
    s.binary = 1;
    s.xon_char = SIO_XON_CHAR;
    s.xoff_char = SIO_XOFF_CHAR;
    s.xon_lim = SIO_XON_LIMIT;
    s.xoff_lim = SIO_XOFF_LIMIT;
    s.dtr_control = SIO_DTR_CONTROL_ENABLE;
    s.rts_control = SIO_RTS_CONTROL_ENABLE;
    return s;
}

// The rates the virtual UART offers.
constexpr uint32_t offered_rates[] = {50,    75,    110,   134,   150,    200,    300,    600,    1200,
                                      1800,  2400,  4800,  9600,  14400,  19200,  38400,  56000,  57600,
                                      115200, 128000, 230400, 256000, 460800, 921600};

// What a UART can be set to: the checks a driver makes.
bool valid_state(const sio_state& s)
{
    return std::find(std::begin(offered_rates), std::end(offered_rates), s.baud_rate) != std::end(offered_rates) &&
           s.byte_size >= 5 && s.byte_size <= 8 && s.parity <= SIO_SPACEPARITY &&
           s.stop_bits <= SIO_TWOSTOPBITS && s.dtr_control <= SIO_DTR_CONTROL_HANDSHAKE &&
           s.rts_control <= SIO_RTS_CONTROL_TOGGLE && !((s.out_x || s.in_x) && s.xon_char == s.xoff_char);
}

// Milliseconds left until `deadline`, as a platform wait time-out (never U_INFINITE).
uint32_t left_until(uint64_t deadline, uint64_t now)
{
    if (now >= deadline)
        return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(deadline - now, U_INFINITE - 1));
}

// Waits on the event (and the stop event when given): false when stopped.
bool wait_on(u_handle event, u_handle stop, uint32_t timeout_ms)
{
    if (stop == nullptr)
        return u_wait_one(event, timeout_ms) != U_WAIT_FAILED;
    u_handle both[2] = {stop, event};
    int r = u_wait_any(both, 2, timeout_ms);
    return r != 0 && r != U_WAIT_FAILED;
}

// A character carries only as many bits as the line's data bits.
uint8_t on_line(const sio_vport_core& c, uint8_t b)
{
    return c.state.byte_size >= 8 ? b : static_cast<uint8_t>(b & ((1u << c.state.byte_size) - 1));
}

// Moves the output queue onto the wire unless the output is held. Lock held.
void transmit(sio_vport_core& c)
{
    bool held = (c.state.out_x && c.xoff) || (c.state.out_cts_flow && c.cts_low);
    if (held || c.out.empty())
        return;
    for (uint8_t b : c.out)
        c.wire.push_back(on_line(c, b));
    c.out.clear();
    u_event_set(c.dev_data);
    u_event_set(c.port_wake);
}

bool aborted(const sio_vport_core& c) { return c.state.abort_on_error && c.errors != 0; }

// --- the backend primitives ---------------------------------------------------------------

template <typename Fn>
bool with_port(sio_handle handle, Fn fn)
{
    core_ptr c = core_of(handle);
    if (!c)
        return false;
    std::lock_guard<std::mutex> guard(c->m);
    if (c->gone)
        return false;
    return fn(*c);
}

bool v_get_state(sio_handle h, sio_state& state)
{
    return with_port(h, [&](sio_vport_core& c) {
        state = c.state;
        return true;
    });
}

bool v_set_state(sio_handle h, const sio_state& state)
{
    return with_port(h, [&](sio_vport_core& c) {
        if (!valid_state(state))
            return false;
        c.state = state;
        if (!c.state.out_x)
            c.xoff = false;
        transmit(c);
        return true;
    });
}

bool v_get_timeouts(sio_handle h, sio_timeouts& timeouts)
{
    return with_port(h, [&](sio_vport_core& c) {
        timeouts = c.timeouts;
        return true;
    });
}

bool v_set_timeouts(sio_handle h, const sio_timeouts& timeouts)
{
    return with_port(h, [&](sio_vport_core& c) {
        c.timeouts = timeouts;
        return true;
    });
}

bool v_set_dtr(sio_handle h, bool on)
{
    return with_port(h, [&](sio_vport_core& c) {
        c.dtr = on;
        return true;
    });
}

bool v_purge(sio_handle h)
{
    return with_port(h, [&](sio_vport_core& c) {
        c.in.clear();
        c.out.clear();
        u_event_set(c.dev_room);
        return true;
    });
}

bool v_clear_errors(sio_handle h, uint32_t& errors, uint32_t& in_queue, uint32_t& out_queue)
{
    errors = 0;
    in_queue = 0;
    out_queue = 0;
    return with_port(h, [&](sio_vport_core& c) {
        errors = c.errors;
        c.errors = 0;
        in_queue = static_cast<uint32_t>(c.in.size());
        out_queue = static_cast<uint32_t>(c.out.size());
        return true;
    });
}

// The bytes of a write count as written once they have left the port; while the output is
// held they wait in the queue, and those still there when the write time-out ends are dropped
// with the failed write.
bool v_write(sio_handle h, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    core_ptr c = core_of(h);
    if (!c)
        return false;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const uint64_t start = u_now_ms();
    std::unique_lock<std::mutex> lock(c->m);
    const sio_timeouts t = c->timeouts;
    const uint64_t limit = uint64_t{t.write_total_multiplier} * count + t.write_total_constant;
    uint32_t queued = 0;  // bytes of this write put in the queue so far
    for (;;) {
        if (c->gone || aborted(*c))
            return false;
        // Fill the queue, let the line take what it can, again until the queue stays full.
        for (;;) {
            while (queued < count && c->out.size() < SIO_QUEUE_SIZE)
                c->out.push_back(bytes[queued++]);
            transmit(*c);
            if (queued == count || c->out.size() >= SIO_QUEUE_SIZE)
                break;
        }
        written = queued - static_cast<uint32_t>(std::min<std::size_t>(c->out.size(), queued));
        if (written == count)
            return true;
        uint64_t now = u_now_ms();
        uint32_t wait = U_INFINITE;
        if (limit != 0) {
            if (now >= start + limit) {
                c->out.clear();
                return false;
            }
            wait = left_until(start + limit, now);
        }
        u_event_reset(c->port_wake);
        lock.unlock();
        (void)u_wait_one(c->port_wake, wait);
        lock.lock();
    }
}

bool v_read(sio_handle h, void* buffer, uint32_t count, uint32_t& got)
{
    got = 0;
    core_ptr c = core_of(h);
    if (!c)
        return false;
    auto* bytes = static_cast<uint8_t*>(buffer);
    std::unique_lock<std::mutex> lock(c->m);
    if (c->gone)
        return false;
    if (count == 0)
        return true;
    const sio_timeouts t = c->timeouts;
    const bool at_once = t.read_interval == SIO_MAXDWORD && t.read_total_multiplier == 0 && t.read_total_constant == 0;
    const bool first_bytes = t.read_interval == SIO_MAXDWORD && t.read_total_multiplier == SIO_MAXDWORD &&
                             t.read_total_constant > 0 && t.read_total_constant < SIO_MAXDWORD;
    const bool use_interval = t.read_interval > 0 && t.read_interval != SIO_MAXDWORD;
    uint64_t total = 0;
    if (first_bytes)
        total = t.read_total_constant;
    else if (!at_once)
        total = uint64_t{t.read_total_multiplier} * count + t.read_total_constant;

    const uint64_t start = u_now_ms();
    uint64_t last_byte = start;
    for (;;) {
        if (aborted(*c))
            return false;
        if (!c->in.empty()) {
            uint32_t take = static_cast<uint32_t>(std::min<std::size_t>(count - got, c->in.size()));
            std::copy_n(c->in.begin(), take, bytes + got);
            c->in.erase(c->in.begin(), c->in.begin() + take);
            got += take;
            last_byte = u_now_ms();
            u_event_set(c->dev_room);
            if (got == count || first_bytes)
                return true;
        }
        if (c->gone)
            return false;
        if (at_once)
            return true;
        uint64_t now = u_now_ms();
        uint32_t wait = U_INFINITE;
        if (total != 0) {
            if (now >= start + total)
                return true;
            wait = left_until(start + total, now);
        }
        if (use_interval && got > 0) {
            if (now >= last_byte + t.read_interval)
                return true;
            wait = std::min(wait, left_until(last_byte + t.read_interval, now));
        }
        u_event_reset(c->port_wake);
        lock.unlock();
        (void)u_wait_one(c->port_wake, wait);
        lock.lock();
    }
}

bool v_close(sio_handle h)
{
    table& t = tab();
    core_ptr c;
    {
        std::lock_guard<std::mutex> guard(t.m);
        auto it = t.handles.find(h);
        if (it == t.handles.end())
            return false;
        c = it->second;
        t.handles.erase(it);
    }
    std::lock_guard<std::mutex> guard(c->m);
    c->open = false;
    c->handle = SIO_INVALID_HANDLE;
    c->dtr = false;
    c->in.clear();
    c->out.clear();
    c->errors = 0;
    u_event_set(c->dev_data);
    u_event_set(c->dev_room);
    return true;
}

}  // namespace

namespace sio_virtual {

const sio_port_ops ops = {v_get_state, v_set_state,  v_get_timeouts, v_set_timeouts, v_set_dtr,
                          v_purge,     v_clear_errors, v_write,      v_read,         v_close,
                          u_now_ms};

bool owns(sio_handle handle) { return handle <= first_handle; }

bool open(const char* device, sio_handle& handle, int32_t& rc)
{
    table& t = tab();
    std::lock_guard<std::mutex> guard(t.m);
    auto it = t.names.find(key_of(device));
    if (it == t.names.end())
        return false;
    core_ptr c = it->second.lock();
    if (!c)
        return false;
    std::lock_guard<std::mutex> port_guard(c->m);
    handle = SIO_INVALID_HANDLE;
    if (c->open || c->gone) {
        rc = ERR_CANT_OPEN_SERIAL;  // not shared; a device that went away opens no more
        return true;
    }
    c->open = true;
    c->handle = t.next--;
    c->state = default_state();
    c->timeouts = {opening_read_interval, 0, 2000, 0, 1000};
    c->dtr = false;
    c->in.clear();
    c->out.clear();
    c->wire.clear();
    c->errors = 0;
    c->xoff = false;
    t.handles[c->handle] = c;
    handle = c->handle;
    rc = NO_ERROR;
    return true;
}

}  // namespace sio_virtual

// --- the device end ---------------------------------------------------------------------------

sio_vport::sio_vport(std::shared_ptr<sio_vport_core> core) : core_(std::move(core)) {}

int32_t sio_vport::create(const char* name, std::unique_ptr<sio_vport>* out)
{
    if (out == nullptr || name == nullptr || *name == '\0')
        return ERR_INVALID_PARAM;
    out->reset();
    auto c = std::make_shared<sio_vport_core>();
    c->name = key_of(name);
    if (u_event_create(true, false, nullptr, &c->port_wake) != NO_ERROR ||
        u_event_create(true, false, nullptr, &c->dev_data) != NO_ERROR ||
        u_event_create(true, false, nullptr, &c->dev_room) != NO_ERROR)
        return ERR_CREATE_EVENT;
    table& t = tab();
    std::lock_guard<std::mutex> guard(t.m);
    auto it = t.names.find(c->name);
    if (it != t.names.end() && !it->second.expired()) {
        u_log_sink("sio_vport::create failed: %s is served already: %s\n", c->name.c_str(),
                   u_err_name(ERR_CANT_OPEN_SERIAL));
        return ERR_CANT_OPEN_SERIAL;
    }
    t.names[c->name] = c;
    out->reset(new sio_vport(std::move(c)));
    return NO_ERROR;
}

sio_vport::~sio_vport()
{
    hang_up();
    table& t = tab();
    std::lock_guard<std::mutex> guard(t.m);
    auto it = t.names.find(core_->name);
    if (it != t.names.end() && it->second.lock() == core_)
        t.names.erase(it);
}

uint32_t sio_vport::send(const void* bytes, uint32_t count, uint32_t timeout_ms, u_handle stop)
{
    sio_vport_core& c = *core_;
    const auto* p = static_cast<const uint8_t*>(bytes);
    const uint64_t start = u_now_ms();
    uint32_t sent = 0;
    std::unique_lock<std::mutex> lock(c.m);
    for (;;) {
        if (!c.open || c.gone)
            return sent;
        bool moved = false;
        while (sent < count) {
            uint8_t b = on_line(c, p[sent]);
            if (c.state.out_x && (b == c.state.xon_char || b == c.state.xoff_char)) {
                c.xoff = b == c.state.xoff_char;
                ++sent;
                transmit(c);
                continue;
            }
            if (c.in.size() >= SIO_QUEUE_SIZE)
                break;
            c.in.push_back(b);
            ++sent;
            moved = true;
        }
        if (moved)
            u_event_set(c.port_wake);
        if (sent == count)
            return sent;
        uint32_t wait = timeout_ms;
        if (timeout_ms != U_INFINITE) {
            uint64_t now = u_now_ms();
            if (now >= start + timeout_ms)
                return sent;
            wait = left_until(start + timeout_ms, now);
        }
        u_event_reset(c.dev_room);
        lock.unlock();
        bool going = wait_on(c.dev_room, stop, wait);
        lock.lock();
        if (!going)
            return sent;
    }
}

bool sio_vport::send_with_error(uint8_t byte, uint32_t error)
{
    sio_vport_core& c = *core_;
    std::lock_guard<std::mutex> guard(c.m);
    if (!c.open || c.gone)
        return false;
    switch (error) {
    case SIO_CE_RXPARITY:
        if (c.state.parity_check)
            c.errors |= SIO_CE_RXPARITY;
        break;
    case SIO_CE_FRAME:
    case SIO_CE_BREAK:
        c.errors |= error;
        break;
    case SIO_CE_OVERRUN:
        c.errors |= SIO_CE_OVERRUN;
        u_event_set(c.port_wake);
        return true;
    default:
        return false;
    }
    if (c.in.size() < SIO_QUEUE_SIZE)
        c.in.push_back(on_line(c, byte));
    else
        c.errors |= SIO_CE_RXOVER;
    u_event_set(c.port_wake);
    return true;
}

uint32_t sio_vport::receive(void* buffer, uint32_t max, uint32_t timeout_ms, u_handle stop)
{
    sio_vport_core& c = *core_;
    auto* p = static_cast<uint8_t*>(buffer);
    const uint64_t start = u_now_ms();
    std::unique_lock<std::mutex> lock(c.m);
    for (;;) {
        if (!c.wire.empty() || max == 0) {
            uint32_t take = static_cast<uint32_t>(std::min<std::size_t>(max, c.wire.size()));
            std::copy_n(c.wire.begin(), take, p);
            c.wire.erase(c.wire.begin(), c.wire.begin() + take);
            return take;
        }
        if (c.gone)
            return 0;
        uint32_t wait = timeout_ms;
        if (timeout_ms != U_INFINITE) {
            uint64_t now = u_now_ms();
            if (now >= start + timeout_ms)
                return 0;
            wait = left_until(start + timeout_ms, now);
        }
        u_event_reset(c.dev_data);
        lock.unlock();
        bool going = wait_on(c.dev_data, stop, wait);
        lock.lock();
        if (!going)
            return 0;
    }
}

uint32_t sio_vport::unread() const
{
    std::lock_guard<std::mutex> guard(core_->m);
    return static_cast<uint32_t>(core_->wire.size());
}

void sio_vport::hold_output(bool hold)
{
    std::lock_guard<std::mutex> guard(core_->m);
    core_->cts_low = hold;
    transmit(*core_);
}

void sio_vport::hang_up()
{
    sio_vport_core& c = *core_;
    std::lock_guard<std::mutex> guard(c.m);
    c.gone = true;
    for (u_handle h : {c.port_wake, c.dev_data, c.dev_room})
        u_event_set(h);
}

bool sio_vport::port_open() const
{
    std::lock_guard<std::mutex> guard(core_->m);
    return core_->open;
}

sio_state sio_vport::line() const
{
    std::lock_guard<std::mutex> guard(core_->m);
    return core_->state;
}

bool sio_vport::dtr() const
{
    std::lock_guard<std::mutex> guard(core_->m);
    return core_->dtr;
}

const char* sio_vport::name() const { return core_->name.c_str(); }
