// Metronics digital readout: see posinstr/metronics.h.
#include "vell/posinstr/metronics.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/link_open.h"

namespace {

constexpr double not_read = std::numeric_limits<double>::infinity();
constexpr const char* op_read = "metronics_read_pos";

// The line as text for a message: up to its first zero byte.
std::string printable(const char* text, std::size_t length)
{
    return std::string(text, length).c_str();
}

}  // namespace

pi_metronics& pi_metronics_of(SysInfo& info) { return info.services.get<pi_metronics>(); }

pi_metronics* pi_metronics_slot(int slot) { return sysinfo_slot_state<pi_metronics>(slot); }

int32_t metronics_parse_line(const char* text, std::size_t length, double* position)
{
    if (position == nullptr || (text == nullptr && length > 0))
        return ERR_INVALID_PARAM;
    *position = not_read;
    if (length == 0) {
        u_log_sink("%s: received empty string\n", op_read);
        return ERR_POS_INSTR_COMM;
    }
    const std::string_view line(text, length);
    const bool inches = line.find("in") != std::string_view::npos;
    double sign = 1.0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 128) {
            u_log_sink("%s: received invalid character 0x%02X\n", op_read, unsigned(c));
            return ERR_POS_INSTR_COMM;
        }
        if (c == '-') {
            sign = -1.0;
            continue;
        }
        if ((c >= '0' && c <= '9') || c == '.') {
            double number = 0.0;
            auto [end, ec] = std::from_chars(text + i, text + length, number, std::chars_format::general);
            // A number too large for a double, also once converted from inches, is no position.
            if (ec == std::errc() && end != text + i && inches)
                number *= 25.4;
            if (ec != std::errc() || end == text + i || !std::isfinite(number)) {
                u_log_sink("%s: received invalid number \"%s\"\n", op_read, printable(text, length).c_str());
                return ERR_POS_INSTR_COMM;
            }
            *position = sign * number;
            return NO_ERROR;
        }
    }
    u_log_sink("%s: received unexpected string \"%s\"\n", op_read, printable(text, length).c_str());
    return ERR_POS_INSTR_COMM;
}

int32_t metronics_read_pos(int slot, double* position)
{
    pi_metronics* dev = pi_metronics_slot(slot);
    if (dev == nullptr || position == nullptr)
        return ERR_INVALID_PARAM;
    *position = not_read;
    dev->position = not_read;

    uint32_t written = 0;
    const auto query_length = static_cast<uint32_t>(sizeof METRONICS_QUERY - 1);
    if (sio_send_data(dev->link.handle, METRONICS_QUERY, query_length, &written) != 0 || written != query_length) {
        u_log_sink("%s: sio_send_data failed\n", op_read);
        return ERR_POS_INSTR_COMM;
    }
    char line[METRONICS_MAX_LINE + 1];
    std::size_t count = 0;
    bool ended = false;
    while (count < sizeof line) {
        char c = 0;
        uint32_t got = 0;
        if (sio_read_data(dev->link.handle, &c, 1, &got) != 0 || got != 1) {
            u_log_sink("%s: sio_read_data failed\n", op_read);
            return ERR_POS_INSTR_COMM;
        }
        if (c == '\r' || c == '\n') {
            ended = true;
            break;
        }
        line[count++] = c;
    }
    // The rest of the answer (the other half of a CR LF, or what follows a long line) goes.
    u_sleep_ms(METRONICS_SETTLE_MS);
    (void)sio_clear_buffer(dev->link.handle);
    if (!ended) {
        u_log_sink("%s: received more than %d chars\n", op_read, METRONICS_MAX_LINE);
        return ERR_POS_INSTR_COMM;
    }
    double value = not_read;
    int32_t rc = metronics_parse_line(line, count, &value);
    if (rc != NO_ERROR)
        return rc;
    *position = value;
    dev->position = value;
    return NO_ERROR;
}

int32_t pi_metronics_open(int slot)
{
    pi_metronics* dev = pi_metronics_slot(slot);
    const sysInfo* record = sysinfo_slot(slot);
    if (dev == nullptr || record == nullptr)
        return ERR_INVALID_PARAM;
    if (record->posInstrType != POS_METRONICS) {
        u_log_sink("pi_metronics_open: position instrument %s is not a Metronics readout\n",
                   sb_pos_instr_name(record->posInstrType));
        return ERR_INVALID_PARAM;
    }
    (void)pi_metronics_close(slot);
    dev->position = not_read;

    const char* device = record->posInstrName[0].c_str();
    int step = 0;
    int32_t rc = sio_open_link(device, &dev->link,
                               {// Without software flow control: CTS handshake.
                                [](sio_handle h) { return sio_init(h, nullptr, 0); },
                                [](sio_handle h) { return sio_set_baud_rate(h, 115200); },
                                [](sio_handle h) { return sio_set_parity(h, SIO_NOPARITY); },
                                [](sio_handle h) { return sio_set_data_bits(h, 8); }},
                               &step);
    if (rc != NO_ERROR) {
        if (step > 1) {
            u_log_sink("pi_metronics_open: line set-up failed: %s\n", u_err_name(rc));
            return rc;
        }
        u_log_sink(step == 0 ? "sio_open() failed: %d\n" : "sio_init() failed: %d\n", int(rc));
        u_log_sink("pi_metronics_open() failed\n");
        return ERR_POS_INSTR_COMM;
    }
    double discarded = not_read;
    (void)metronics_read_pos(slot, &discarded);
    dev->position = not_read;
    return NO_ERROR;
}

int32_t pi_metronics_close(int slot)
{
    pi_metronics* dev = pi_metronics_slot(slot);
    if (dev == nullptr)
        return ERR_INVALID_PARAM;
    dev->position = not_read;
    if (dev->link.handle == SIO_INVALID_HANDLE)
        return NO_ERROR;
    return sio_close(&dev->link);
}
