// Serial port access: handle checks, the settings grammar, the fixed line discipline and the
// draining, on top of the per-system primitives of serial/sio_backend.h.
#include "vell/serial/sio.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/platform/os.h"
#include "vell/serial/sio_backend.h"

namespace {

constexpr int32_t transfer_failed = 1;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// atoi: leading blanks, an optional sign, then digits; anything after them is ignored and no
// digits give 0. Saturates instead of overflowing.
long long int_prefix(const char* p)
{
    while (is_blank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    constexpr long long limit = std::numeric_limits<int32_t>::max();
    for (; is_digit(*p); ++p)
        if (value <= limit)
            value = value * 10 + (*p - '0');  // past the limit it stays out of every range
    return negative ? -value : value;
}

// atof: leading blanks, then the longest decimal number; no number gives 0. Independent of
// the locale, so "1.5" always means one and a half.
double real_prefix(const char* p)
{
    while (is_blank(*p))
        ++p;
    if (*p == '+' && p[1] != '-' && p[1] != '+')
        ++p;
    double value = 0;
    const char* end = p + std::strlen(p);
    auto [ptr, ec] = std::from_chars(p, end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range)
        return std::numeric_limits<double>::infinity();  // accepted by none of the stop bits
    if (ec != std::errc())
        return 0;
    return value;
}

struct line_settings {
    uint32_t baud_rate = 9600;
    uint8_t byte_size = 8;
    uint8_t parity = SIO_NOPARITY;
    uint8_t parity_check = 0;
    uint8_t stop_bits = SIO_ONESTOPBIT;
};

constexpr uint32_t accepted_baud_rates[] = {150, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

enum class parse_result { ok, invalid, out_of_range, not_a_digit };

// baud,databits,parity,stopbits, each field read after the comma that ends the one before.
parse_result parse_settings(const char* text, line_settings& out)
{
    const char* p = text;
    long long baud = int_prefix(p);
    bool known = false;
    for (uint32_t rate : accepted_baud_rates)
        known = known || baud == rate;
    if (!known)
        return parse_result::invalid;
    out.baud_rate = static_cast<uint32_t>(baud);

    p = std::strchr(p, ',');
    if (p == nullptr)
        return parse_result::invalid;
    ++p;
    long long bits = int_prefix(p);
    if (bits < 5 || bits > 8)
        return parse_result::invalid;
    out.byte_size = static_cast<uint8_t>(bits);

    p = std::strchr(p, ',');
    if (p == nullptr)
        return parse_result::invalid;
    ++p;
    if (!is_digit(*p))
        return parse_result::not_a_digit;
    long long parity = int_prefix(p);
    if (parity > SIO_EVENPARITY)
        return parse_result::invalid;
    out.parity = static_cast<uint8_t>(parity);
    out.parity_check = parity > 0 ? 1 : 0;

    p = std::strchr(p, ',');
    if (p == nullptr)
        return parse_result::invalid;
    ++p;
    float stop = static_cast<float>(real_prefix(p));
    if (stop == 1.0f)
        out.stop_bits = SIO_ONESTOPBIT;
    else if (stop == 1.5f)
        out.stop_bits = SIO_ONE5STOPBITS;
    else if (stop == 2.0f)
        out.stop_bits = SIO_TWOSTOPBITS;
    else
        return parse_result::out_of_range;
    return parse_result::ok;
}

bool is_file_mode(const char* text)
{
    static constexpr std::string_view modes[] = {"r", "r+", "w", "w+", "a", "a+"};
    for (std::string_view mode : modes)
        if (mode == text)
            return true;
    return false;
}

void set_sw_flow_fields(sio_state& state, bool on)
{
    state.out_x = on ? 1 : 0;
    state.in_x = on ? 1 : 0;
    state.xon_char = SIO_XON_CHAR;
    state.xoff_char = SIO_XOFF_CHAR;
    state.xon_lim = SIO_XON_LIMIT;
    state.xoff_lim = SIO_XOFF_LIMIT;
}

constexpr sio_timeouts init_timeouts = {100, 0, 2000, 0, 1000};

// The backend that serves the handle: a virtual port's or the system's.
const sio_port_ops& ops_of(sio_handle handle)
{
    return sio_virtual::owns(handle) ? sio_virtual::ops : sio_os::ops;
}

// Reads the state, lets `change` edit it, writes it back.
template <typename Change>
int32_t change_state(sio_handle handle, Change change)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    sio_state state{};
    if (!ops_of(handle).get_state(handle, state))
        return ERR_CANT_GET_SERIAL;
    if (!change(state))
        return ERR_CANT_SET_SERIAL;
    return ops_of(handle).set_state(handle, state) ? NO_ERROR : ERR_CANT_SET_SERIAL;
}

}  // namespace

namespace sio_os {

const sio_port_ops ops = {get_state, set_state, get_timeouts, set_timeouts, set_dtr,
                          purge,     clear_errors, write,      read,         close, now_ms};

uint64_t (*clock_ms)() = os::monotonic_ms;

uint64_t now_ms() { return clock_ms(); }

bool com_port_number(const char* name, int& number)
{
    if (name == nullptr)
        return false;
    std::string_view text(name);
    if (text.substr(0, 4) == "\\\\.\\")
        text.remove_prefix(4);
    if (text.size() < 4 || text.size() > 6)
        return false;
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (upper(text[0]) != 'C' || upper(text[1]) != 'O' || upper(text[2]) != 'M')
        return false;
    std::string_view digits = text.substr(3);
    if (digits[0] == '0')
        return false;
    int value = 0;
    for (char c : digits) {
        if (!is_digit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 256)
        return false;
    number = value;
    return true;
}

uint32_t unmark_input(uint8_t* bytes, uint32_t n, uint8_t& pending, uint32_t& errors)
{
    uint32_t out = 0;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        if (pending == 0) {
            if (b == 0xFF)
                pending = 1;
            else
                bytes[out++] = b;
        } else if (pending == 1) {
            if (b == 0) {
                pending = 2;
            } else {
                // 255 255 is the byte 255; a lone 255 before anything else is dropped.
                pending = 0;
                bytes[out++] = b;
            }
        } else {
            pending = 0;
            errors |= b == 0 ? SIO_CE_FRAME : SIO_CE_RXPARITY;
            bytes[out++] = b;
        }
    }
    return out;
}

}  // namespace sio_os

int32_t sio_open(const char* device, sio_link* link)
{
    if (link == nullptr)
        return ERR_INVALID_PARAM;
    if (link->handle != SIO_INVALID_HANDLE) {
        // Storing a new handle over this one would lose the port it holds.
        u_log_sink("sio_open: %s: the link is open already\n", device != nullptr ? device : "(null)");
        return ERR_CANT_OPEN_SERIAL;
    }
    if (device == nullptr)
        return ERR_CANT_OPEN_SERIAL;
    sio_handle handle = SIO_INVALID_HANDLE;
    int32_t rc = NO_ERROR;
    if (!sio_virtual::open(device, handle, rc))
        rc = sio_os::open(device, handle);
    link->handle = handle;
    return rc;
}

int32_t sio_init(sio_handle handle, const char* settings, int32_t sw_flow)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    sio_state state{};
    if (!ops_of(handle).get_state(handle, state))
        return ERR_CANT_GET_SERIAL;

    line_settings line;  // 9600 8N1
    if (settings != nullptr) {
        if (is_file_mode(settings)) {
            u_log_sink("Com Settings Parameter: %s is ignored.\n", settings);
        } else {
            parse_result parsed = parse_settings(settings, line);
            if (parsed == parse_result::not_a_digit)
                return ERR_PARAM_OUT_OF_RANGE;
            if (parsed != parse_result::ok) {
                u_log_sink("Com Settings Parameter: %s is Invalid.\n", settings);
                return parsed == parse_result::out_of_range ? ERR_PARAM_OUT_OF_RANGE : ERR_INVALID_PARAM;
            }
        }
    }

    bool sw = sw_flow != 0;
    state.baud_rate = line.baud_rate;
    state.byte_size = line.byte_size;
    state.parity = line.parity;
    state.parity_check = line.parity_check;
    state.stop_bits = line.stop_bits;
    state.binary = 1;
    set_sw_flow_fields(state, sw);
    state.dtr_control = SIO_DTR_CONTROL_ENABLE;
    state.rts_control = SIO_RTS_CONTROL_HANDSHAKE;
    state.out_cts_flow = sw ? 0 : 1;
    state.abort_on_error = sw ? 0 : 1;

    (void)ops_of(handle).set_timeouts(handle, init_timeouts);
    int32_t rc = ops_of(handle).set_state(handle, state) ? NO_ERROR : ERR_CANT_SET_SERIAL;
    (void)ops_of(handle).set_dtr(handle, true);
    if (rc != NO_ERROR)
        u_log_sink("Com Settings Parameter: %s is Invalid.\n", settings != nullptr ? settings : "(null)");
    return rc;
}

int32_t sio_init_sw_flow(sio_handle handle, const char* settings) { return sio_init(handle, settings, 1); }

int32_t sio_set_baud_rate(sio_handle handle, uint32_t baud_rate)
{
    return change_state(handle, [&](sio_state& s) {
        s.baud_rate = baud_rate;
        return baud_rate > 0;
    });
}

int32_t sio_set_parity(sio_handle handle, int32_t parity)
{
    return change_state(handle, [&](sio_state& s) {
        if (parity < SIO_NOPARITY || parity > SIO_SPACEPARITY)
            return false;
        s.parity = static_cast<uint8_t>(parity);
        s.parity_check = parity != 0 ? 1 : 0;
        return true;
    });
}

int32_t sio_set_data_bits(sio_handle handle, int32_t bits)
{
    return change_state(handle, [&](sio_state& s) {
        if (bits < 5 || bits > 8)
            return false;
        s.byte_size = static_cast<uint8_t>(bits);
        return true;
    });
}

int32_t sio_enable_sw_flow(sio_handle handle)
{
    return change_state(handle, [](sio_state& s) {
        set_sw_flow_fields(s, true);
        return true;
    });
}

int32_t sio_disable_sw_flow(sio_handle handle)
{
    return change_state(handle, [](sio_state& s) {
        set_sw_flow_fields(s, false);
        return true;
    });
}

int32_t sio_get_read_timeout(sio_handle handle, int32_t* seconds)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (seconds == nullptr)
        return ERR_INVALID_PARAM;
    sio_timeouts t{};
    if (!ops_of(handle).get_timeouts(handle, t))
        return ERR_CANT_GET_SERIAL;
    *seconds = static_cast<int32_t>(t.read_total_constant / 1000);
    return NO_ERROR;
}

int32_t sio_set_read_timeout(sio_handle handle, int32_t seconds)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (seconds < 0 || static_cast<uint32_t>(seconds) > SIO_MAXDWORD / 1000)
        return ERR_INVALID_PARAM;
    sio_timeouts t{};
    if (!ops_of(handle).get_timeouts(handle, t))
        return ERR_CANT_GET_SERIAL;
    t.read_total_constant = static_cast<uint32_t>(seconds) * 1000;
    return ops_of(handle).set_timeouts(handle, t) ? NO_ERROR : ERR_CANT_SET_SERIAL;
}

int32_t sio_get_timeouts(sio_handle handle, sio_timeouts* timeouts)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (timeouts == nullptr)
        return ERR_INVALID_PARAM;
    return ops_of(handle).get_timeouts(handle, *timeouts) ? NO_ERROR : ERR_CANT_GET_SERIAL;
}

int32_t sio_set_timeouts(sio_handle handle, const sio_timeouts* timeouts)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (timeouts == nullptr)
        return ERR_INVALID_PARAM;
    return ops_of(handle).set_timeouts(handle, *timeouts) ? NO_ERROR : ERR_CANT_SET_SERIAL;
}

int32_t sio_get_state(sio_handle handle, sio_state* state)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (state == nullptr)
        return ERR_INVALID_PARAM;
    return ops_of(handle).get_state(handle, *state) ? NO_ERROR : ERR_CANT_GET_SERIAL;
}

int32_t sio_send_data(sio_handle handle, const void* buffer, uint32_t count, uint32_t* written)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (written != nullptr)
        *written = 0;
    if (buffer == nullptr && count > 0)
        return transfer_failed;
    uint32_t done = 0;
    bool ok = ops_of(handle).write(handle, buffer, count, done);
    if (written != nullptr)
        *written = done;
    return ok && done == count ? NO_ERROR : transfer_failed;
}

int32_t sio_read_data(sio_handle handle, void* buffer, uint32_t count, uint32_t* got)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (got != nullptr)
        *got = 0;
    if (buffer == nullptr && count > 0)
        return transfer_failed;
    uint32_t errors = 0, in_queue = 0, out_queue = 0;
    (void)ops_of(handle).clear_errors(handle, errors, in_queue, out_queue);
    uint32_t done = 0;
    (void)ops_of(handle).read(handle, buffer, count, done);
    if (got != nullptr)
        *got = done;
    bool queried = ops_of(handle).clear_errors(handle, errors, in_queue, out_queue);
    return queried && done == count ? NO_ERROR : transfer_failed;
}

int32_t sio_clear_buffer(sio_handle handle)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    sio_timeouts saved{};
    bool have_saved = ops_of(handle).get_timeouts(handle, saved);
    if (have_saved) {
        sio_timeouts quick = saved;
        quick.read_total_constant = SIO_DRAIN_QUIET_MS;
        (void)ops_of(handle).set_timeouts(handle, quick);
    }

    // A device that never stops sending would keep this loop going for ever: give up after
    // the drain limit and report the failure. The limit runs on the port's own clock, the one
    // its quiet reads wait on: on the platform clock a real port's chatter, which never lets
    // the virtual clock move, would keep the loop going.
    const sio_port_ops& port = ops_of(handle);
    const uint64_t start = port.now_ms();
    bool purged = false;
    bool found = false;
    bool gave_up = false;
    for (;;) {
        purged = ops_of(handle).purge(handle);
        unsigned char byte = 0;
        uint32_t got = 0;
        (void)ops_of(handle).read(handle, &byte, 1, got);
        found = got > 0;
        if (!purged || !found)
            break;
        if (port.now_ms() - start >= SIO_DRAIN_LIMIT_MS) {
            gave_up = true;
            break;
        }
    }

    if (have_saved)
        (void)ops_of(handle).set_timeouts(handle, saved);
    return purged && !found && !gave_up ? NO_ERROR : transfer_failed;
}

int32_t sio_input_count(sio_handle handle, uint32_t* count)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (count == nullptr)
        return transfer_failed;
    *count = 0;
    uint32_t errors = 0, in_queue = 0, out_queue = 0;
    if (!ops_of(handle).clear_errors(handle, errors, in_queue, out_queue))
        return transfer_failed;
    *count = in_queue;
    return NO_ERROR;
}

bool sio_input_ready(sio_handle handle)
{
    if (handle == SIO_INVALID_HANDLE)
        return false;
    uint32_t errors = 0, in_queue = 0, out_queue = 0;
    return ops_of(handle).clear_errors(handle, errors, in_queue, out_queue) && errors == 0 && in_queue > 0;
}

int32_t sio_line_errors(sio_handle handle, uint32_t* errors)
{
    if (handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    if (errors == nullptr)
        return ERR_INVALID_PARAM;
    *errors = 0;
    uint32_t in_queue = 0, out_queue = 0;
    return ops_of(handle).clear_errors(handle, *errors, in_queue, out_queue) ? NO_ERROR : ERR_CANT_GET_SERIAL;
}

int32_t sio_close(sio_link* link)
{
    if (link == nullptr)
        return ERR_INVALID_PARAM;
    if (link->handle == SIO_INVALID_HANDLE)
        return ERR_SERIAL_NOT_OPEN;
    // A failed close still ends the link: the system has let the handle go, and a retry could
    // reach a port opened since under the same number.
    bool closed = ops_of(link->handle).close(link->handle);
    link->handle = SIO_INVALID_HANDLE;
    return closed ? NO_ERROR : ERR_CANT_CLOSE_SERIAL;
}
