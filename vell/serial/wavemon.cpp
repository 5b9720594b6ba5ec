// Wave monitor link: see serial/wavemon.h.
#include "vell/serial/wavemon.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/byte_order.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/link_open.h"

namespace {

using dat_bytes::load_le16;
using dat_bytes::load_le32;

float load_le_float(const uint8_t* p) { return std::bit_cast<float>(load_le32(p)); }

// Failure of a read: one stamped line with the detail, the buffer released.
int32_t read_failed(wm_buffer* buf, int32_t rc, const std::string& detail)
{
    char stamp[U_TIMESTAMP_SIZE];
    u_timestamp(stamp);
    if (detail.empty())
        u_log_sink("%s %s: %s\n", stamp, "wm_comm_read", u_err_name(rc));
    else
        u_log_sink("%s %s: %s: %s\n", stamp, "wm_comm_read", u_err_name(rc), detail.c_str());
    wm_buf_release(buf);
    return rc;
}

std::string format(const char* fmt, long long a, long long b = 0)
{
    char text[160];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// Reads one byte with the port's current time-outs.
bool read_byte(sio_link* link, uint8_t* byte)
{
    uint32_t got = 0;
    return sio_read_data(link->handle, byte, 1, &got) == 0 && got == 1;
}

// Judges the final byte of kinds 3 and 4.
int32_t judge_ack(wm_buffer* buf, const char* prefix)
{
    uint8_t last = buf->data[buf->size - 1];
    if (last == WM_ACK)
        return NO_ERROR;
    if (last == WM_NAK)
        return read_failed(buf, ERR_WM_NAK, std::string(prefix) + " received NAK");
    return read_failed(buf, ERR_WM_READ, std::string(prefix) + format(" received 0x%02llX instead of ACK or NAK", last));
}

// Reads bytes one at a time into buf->data[from .. to).
int32_t read_rest(sio_link* link, wm_buffer* buf, uint32_t from, uint32_t to, const char* what)
{
    for (uint32_t i = from; i < to; ++i) {
        if (!read_byte(link, &buf->data[i]))
            return read_failed(buf, ERR_WM_READ, std::string(what) + format(" %lld of %lld", i + 1LL, to));
    }
    return NO_ERROR;
}

// Sends a command and expects the single acknowledgement.
int32_t command_ack(sio_link* link, const char* command)
{
    wm_buffer buf;
    int32_t rc = wm_comm_write_rd(link, command, &buf, 0, 0, WM_RESP_ACK, 0);
    wm_buf_release(&buf);
    return rc;
}

}  // namespace

int32_t wm_buf_resize(wm_buffer* buf, uint32_t size, bool keep_larger)
{
    if (buf == nullptr)
        return ERR_INVALID_PARAM;
    if (size == 0) {
        wm_buf_release(buf);
        return NO_ERROR;
    }
    if (size > buf->capacity || (size < buf->capacity && !keep_larger)) {
        auto* block = static_cast<uint8_t*>(u_malloc(size));
        if (block == nullptr) {
            wm_buf_release(buf);
            return ERR_NO_MEM;
        }
        // Growing keeps what is stored: the first byte of an answer is read before its size is known.
        uint32_t keep = std::min(buf->size, size);
        if (keep > 0)
            std::memcpy(block, buf->data, keep);
        u_free(buf->data);
        buf->data = block;
        buf->capacity = size;
    }
    buf->size = size;
    return NO_ERROR;
}

void wm_buf_release(wm_buffer* buf)
{
    if (buf == nullptr)
        return;
    u_free(buf->data);
    buf->data = nullptr;
    buf->capacity = 0;
    buf->size = 0;
}

int32_t wm_comm_open_fd(sio_link* link, const char* device)
{
    if (link == nullptr)
        return ERR_INVALID_PARAM;
    int32_t rc = sio_open_link(device, link,
                               {[](sio_handle h) { return sio_init_sw_flow(h, nullptr); },
                                [](sio_handle h) { return sio_set_baud_rate(h, 115200); },
                                [](sio_handle h) { return sio_set_parity(h, SIO_NOPARITY); },
                                [](sio_handle h) { return sio_disable_sw_flow(h); }});
    if (rc == NO_ERROR)
        return NO_ERROR;
    u_log_sink("%s: error initializing device %s: %s\n", "wm_comm_open_fd", device ? device : "(none)",
               u_err_name(rc));
    return ERR_WM_COMM;
}

int32_t wm_comm_close(sio_link* link)
{
    if (link == nullptr)
        return NO_ERROR;
    return sio_close(link);
}

int32_t wm_flush_inp(sio_link* link)
{
    if (link == nullptr)
        return ERR_INVALID_PARAM;
    if (sio_clear_buffer(link->handle) != 0) {
        u_log_sink("%s: sio_clear_buffer failed\n", "wm_flush_inp");
        return ERR_WM_COMM;
    }
    return NO_ERROR;
}

int32_t wm_comm_write(sio_link* link, const char* command)
{
    if (link == nullptr)
        return NO_ERROR;
    if (command == nullptr)
        return ERR_INVALID_PARAM;
    auto length = static_cast<uint32_t>(std::strlen(command));
    uint32_t written = 0;
    if (length > 0 && (sio_send_data(link->handle, command, length, &written) != 0 || written != length)) {
        u_log_sink("%s: sio_send_data failed, sendPacket = \"%s\", nbytes = %d\n", "wm_comm_write", command,
                   static_cast<int>(length));
        return ERR_WM_COMM;
    }
    const uint8_t cr = 13;
    if (sio_send_data(link->handle, &cr, 1, &written) != 0 || written != 1) {
        u_log_sink("%s: sio_send_data failed, nbytes = 1\n", "wm_comm_write");
        return ERR_WM_COMM;
    }
    return NO_ERROR;
}

int32_t wm_comm_read(sio_link* link, wm_buffer* buf, int32_t respLen, int32_t itemSize, int32_t kind,
                     int32_t timeout_s)
{
    if (link == nullptr || buf == nullptr)
        return read_failed(buf, ERR_INVALID_PARAM, "");

    // The first byte waits the requested time; the port's own time-outs are put back after it.
    if (timeout_s < 1)
        timeout_s = WM_DEFAULT_TIMEOUT_S;
    sio_timeouts saved{};
    if (sio_get_timeouts(link->handle, &saved) != NO_ERROR)
        return read_failed(buf, ERR_WM_COMM, "cannot read the port's time-outs");
    const bool change = saved.read_total_constant != static_cast<uint32_t>(timeout_s) * 1000u;
    if (change && sio_set_read_timeout(link->handle, timeout_s) != NO_ERROR)
        return read_failed(buf, ERR_WM_COMM, "cannot set the first-byte time-out");
    uint8_t first = 0;
    const bool got_first = read_byte(link, &first);
    if (change && sio_set_timeouts(link->handle, &saved) != NO_ERROR)
        return read_failed(buf, ERR_WM_COMM, "cannot restore the port's time-outs");
    if (!got_first)
        return read_failed(buf, ERR_WM_TIMEOUT, "");

    int32_t rc = wm_buf_resize(buf, 1, true);
    if (rc != NO_ERROR)
        return read_failed(buf, rc, "");
    buf->data[0] = first;

    switch (kind) {
    case WM_RESP_ACK:
        if (first == WM_ACK)
            return NO_ERROR;
        if (first == WM_NAK)
            return read_failed(buf, ERR_WM_NAK, "WM_RESP_ACK: received NAK");
        return read_failed(buf, ERR_WM_READ, format("WM_RESP_ACK: received 0x%02llX instead of ACK or NAK", first));

    case WM_RESP_READ:
        if (respLen <= 0)
            return read_failed(buf, ERR_WM_READ, format("WM_RESP_READ: invalid respLen = %lld", respLen));
        if ((rc = wm_buf_resize(buf, static_cast<uint32_t>(respLen) + 1, true)) != NO_ERROR)
            return read_failed(buf, rc, "");
        buf->size = static_cast<uint32_t>(respLen);
        return read_rest(link, buf, 1, buf->size, "WM_RESP_READ: sio_read_data failed reading response byte");

    case WM_RESP_READ_ACK:
        if (respLen <= 0)
            return read_failed(buf, ERR_WM_READ, format("WM_RESP_READ_ACK: invalid respLen = %lld", respLen));
        if ((rc = wm_buf_resize(buf, static_cast<uint32_t>(respLen) + 1, true)) != NO_ERROR)
            return read_failed(buf, rc, "");
        if ((rc = read_rest(link, buf, 1, buf->size, "WM_RESP_READ_ACK: sio_read_data failed reading response char")))
            return rc;
        return judge_ack(buf, "WM_RESP_READ_ACK:");

    case WM_RESP_SIZE_READ_ACK: {
        if (respLen < 0 || itemSize < 0)
            return read_failed(buf, ERR_WM_READ,
                               format("WM_RESP_SIZE_READ_ACK: invalid respLen = %lld, itemSize = %lld", respLen, itemSize));
        uint8_t count[4] = {first, 0, 0, 0};
        for (uint32_t i = 1; i < 4; ++i) {
            if (!read_byte(link, &count[i]))
                return read_failed(buf, ERR_WM_READ,
                                   format("WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte %lld of %lld", i + 1, 4));
        }
        const uint32_t n = load_le32(count);
        // Computed in 64 bits from a count the device chose: refused before anything is allocated.
        const uint64_t total = uint64_t(respLen) + uint64_t(itemSize) * n + 5;
        if (total > WM_MAX_ANSWER)
            return read_failed(buf, ERR_WM_READ,
                               format("WM_RESP_SIZE_READ_ACK: answer of %lld bytes is larger than %lld", (long long)total,
                                      (long long)WM_MAX_ANSWER));
        if ((rc = wm_buf_resize(buf, static_cast<uint32_t>(total), true)) != NO_ERROR)
            return read_failed(buf, rc, "");
        std::memcpy(buf->data, count, 4);
        if ((rc = read_rest(link, buf, 4, buf->size, "WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte")))
            return rc;
        return judge_ack(buf, "WM_RESP_SIZE_READ_ACK:");
    }

    default:
        return NO_ERROR;
    }
}

int32_t wm_comm_write_rd(sio_link* link, const char* command, wm_buffer* buf, int32_t respLen,
                         int32_t itemSize, int32_t kind, int32_t timeout_s)
{
    int32_t rc = wm_comm_write(link, command);
    if (rc != NO_ERROR)
        return rc;
    rc = wm_comm_read(link, buf, respLen, itemSize, kind, timeout_s);
    if (rc != NO_ERROR) {
        char stamp[U_TIMESTAMP_SIZE];
        u_timestamp(stamp);
        u_log_sink("%s %s: error reading response to command \"%s\": %s\n", stamp, "wm_comm_write_rd",
                   command ? command : "", u_err_name(rc));
    }
    return rc;
}

int32_t wm_set_laser(sio_link* link, int32_t on)
{
    char command[16];
    std::snprintf(command, sizeof command, "LO=%d", on ? 1 : 0);
    return command_ack(link, command);
}

int32_t wm_get_laser(sio_link* link, int32_t* on)
{
    if (on == nullptr)
        return ERR_INVALID_PARAM;
    wm_buffer buf;
    int32_t rc = wm_comm_write_rd(link, "LO?", &buf, 4, 0, WM_RESP_READ_ACK, 0);
    if (rc == NO_ERROR)
        *on = (buf.data[1] & 0x80) ? 1 : 0;
    wm_buf_release(&buf);
    return rc;
}

int32_t wm_set_laser_with_wait(sio_link* link, int32_t on)
{
    on = on ? 1 : 0;
    int32_t rc = wm_set_laser(link, on);
    if (rc != NO_ERROR)
        return rc;
    for (int32_t attempt = 1; attempt <= WM_LASER_TRIES; ++attempt) {
        u_sleep_ms(WM_LASER_WAIT_MS);
        int32_t state = 0;
        if ((rc = wm_get_laser(link, &state)) != NO_ERROR)
            return rc;
        if (state == on)
            return NO_ERROR;
        if (attempt < WM_LASER_TRIES && u_abort_hook()) {
            u_log_sink("%s: aborted waiting for laser to switch %s\n", "wm_set_laser_with_wait", on ? "ON" : "OFF");
            return ERR_RIVERVALE_ABORTED;
        }
    }
    u_log_sink("%s: timeout waiting for laser to switch %s\n", "wm_set_laser_with_wait", on ? "ON" : "OFF");
    return ERR_WM_LASER_CONTROL_TIMEOUT;
}

int32_t wm_set_cl(sio_link* link, double value)
{
    const double scaled = std::trunc(value * 10000000.0);
    if (!(scaled >= -2147483648.0 && scaled <= 2147483647.0)) {
        u_log_sink("%s: value %g out of range\n", "wm_set_cl", value);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    char command[32];
    std::snprintf(command, sizeof command, "CL=%" PRId32, static_cast<int32_t>(scaled));
    return command_ack(link, command);
}

int32_t wm_set_ss(sio_link* link, double value)
{
    if (!std::isfinite(value)) {
        u_log_sink("%s: value out of range\n", "wm_set_ss");
        return ERR_PARAM_OUT_OF_RANGE;
    }
    // "%f" without the process locale: six decimals, '.' as the point.
    char command[400] = "SS=";
    auto [end, ec] = std::to_chars(command + 3, command + sizeof command - 1, value, std::chars_format::fixed, 6);
    if (ec != std::errc()) {
        u_log_sink("%s: value %g out of range\n", "wm_set_ss", value);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    *end = '\0';
    return command_ack(link, command);
}

int32_t wm_ramp_request(sio_link* link, int32_t a, int32_t b, int32_t out[2])
{
    if (out == nullptr)
        return ERR_INVALID_PARAM;
    char command[40];
    std::snprintf(command, sizeof command, "RR=%" PRId32 ",%" PRId32, a, b);
    wm_buffer buf;
    int32_t rc = wm_comm_write_rd(link, command, &buf, 8, 0, WM_RESP_READ_ACK, 0);
    if (rc == NO_ERROR) {
        out[0] = static_cast<int32_t>(load_le32(buf.data));
        out[1] = static_cast<int32_t>(load_le32(buf.data + 4));
    }
    wm_buf_release(&buf);
    return rc;
}

int32_t wm_read_status(sio_link* link, wm_status* status)
{
    if (status == nullptr)
        return ERR_INVALID_PARAM;
    wm_buffer buf;
    int32_t rc = wm_comm_write_rd(link, "MS?", &buf, 36, 0, WM_RESP_READ_ACK, 0);
    if (rc == NO_ERROR) {
        status->flags = load_le32(buf.data);
        for (int i = 0; i < 8; ++i)
            status->values[i] = load_le32(buf.data + 4 + 4 * i);
    }
    wm_buf_release(&buf);
    return rc;
}

int32_t wm_read_calibration(sio_link* link, wm_calibration* cal)
{
    if (cal == nullptr)
        return ERR_INVALID_PARAM;
    const int64_t now = u_wall_s();
    wm_status status;
    int32_t rc = wm_read_status(link, &status);
    if (rc != NO_ERROR)
        return rc;
    wm_calibration out;
    out.flags = status.flags;
    out.topBits = static_cast<uint8_t>(status.flags >> 28);
    out.calibrated = (status.flags & WM_CAL_CALIBRATED) != 0;
    if (!out.calibrated) {
        *cal = out;
        return NO_ERROR;
    }
    const uint32_t age = status.values[5];  // byte offset 24 of the answer
    out.calTime = now - int64_t{age};
    if ((status.flags & (WM_CAL_FULL | WM_CAL_BIT31)) == 0) {
        // Neither bit known yet: ask once more for the top bits.
        if ((rc = wm_read_status(link, &status)) != NO_ERROR)
            return rc;
        out.flags = (out.flags & 0x0FFFFFFFu) | (status.flags & 0xF0000000u);
        out.topBits = static_cast<uint8_t>(status.flags >> 28);
    }
    wm_buffer buf;
    if (out.flags & WM_CAL_FULL) {
        if ((rc = wm_comm_write_rd(link, "CC?", &buf, 40, 0, WM_RESP_READ_ACK, 0)) == NO_ERROR) {
            for (int i = 0; i < 4; ++i)
                out.adcGain[i] = load_le_float(buf.data + 4 * i);
            out.sysGain = load_le_float(buf.data + 16);
            for (int i = 0; i < 4; ++i)
                out.adcOffs[i] = load_le16(buf.data + 20 + 2 * i);
            for (int i = 0; i < 3; ++i)
                out.phsOffs[i] = load_le_float(buf.data + 28 + 4 * i);
        }
    } else if ((rc = wm_comm_write_rd(link, "CC?", &buf, 4, 0, WM_RESP_READ_ACK, 0)) == NO_ERROR) {
        out.sysGain = load_le_float(buf.data);
    }
    wm_buf_release(&buf);
    if (rc == NO_ERROR)
        *cal = out;
    return rc;
}

void wm_report_calibration(const wm_calibration& cal)
{
    if (!cal.calibrated) {
        u_log_sink("Wave monitor not calibrated\n");
        return;
    }
    char when[U_TIMESTAMP_SIZE] = "";
    std::tm tm{};
    if (u_local_time(cal.calTime, tm) && std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        when[0] = '\0';
    u_log_sink("Wave monitor calibrated %s\n", when);
    if (cal.flags & WM_CAL_FULL) {
        static const char letters[] = "ABCD";
        for (int i = 0; i < 4; ++i)
            u_log_sink("ADC Gain %c : %f\n", letters[i], double(cal.adcGain[i]));
        for (int i = 0; i < 4; ++i)
            u_log_sink("ADC Offs %c : %u\n", letters[i], unsigned(cal.adcOffs[i]));
        u_log_sink("Phs Offs 01: %f\n", double(cal.phsOffs[0]));
        u_log_sink("Phs Offs 12: %f\n", double(cal.phsOffs[1]));
        u_log_sink("Phs Offs 23: %f\n", double(cal.phsOffs[2]));
    }
    u_log_sink("System Gain: %f\n", double(cal.sysGain));
}

wm_device& wm_device_of(SysInfo& info) { return info.services.get<wm_device>(); }

wm_device* wm_slot(int slot) { return sysinfo_slot_state<wm_device>(slot); }
