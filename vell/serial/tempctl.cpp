// Temperature controller link: see serial/tempctl.h.
#include "vell/serial/tempctl.h"

#include <cstring>
#include <string>

#include "vell/calfile/sysinfo.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/serial/link_open.h"

namespace {

bool read_byte(sio_link* link, uint8_t* byte)
{
    uint32_t got = 0;
    return sio_read_data(link->handle, byte, 1, &got) == 0 && got == 1;
}

std::string message_start()
{
    std::string m(1, char(TEMP_EOT));
    m += TEMP_ADDRESS;
    return m;
}

// After a NAK: asks for the error register and logs its bytes up to ETX, then takes the BCC so
// that it cannot be read as the answer to the next message. Reads at most TEMP_STR_MAX_LEN bytes.
void log_error_register(sio_link* link)
{
    std::string ask = message_start() + "EE" + char(TEMP_ENQ);
    uint32_t written = 0;
    if (sio_send_data(link->handle, ask.data(), uint32_t(ask.size()), &written) != 0 || written != ask.size()) {
        u_log_sink("temp_comm_read: EE err2 error\n");
        return;
    }
    for (int i = 0; i < TEMP_STR_MAX_LEN; ++i) {
        uint8_t c = 0;
        if (!read_byte(link, &c)) {
            u_log_sink("temp_comm_read: EE err3 error\n");
            return;
        }
        u_log_sink("char: 0x%x\n", unsigned(c));
        if (c == TEMP_ETX) {
            if (!read_byte(link, &c))
                u_log_sink("temp_comm_read: EE err3 error\n");
            return;
        }
    }
}

}  // namespace

uint8_t temp_bcc(const void* bytes, std::size_t count)
{
    uint8_t bcc = 0;
    for (std::size_t i = 0; i < count; ++i)
        bcc ^= static_cast<const uint8_t*>(bytes)[i];
    return bcc;
}

int32_t temp_comm_open(sio_link* link, const char* device)
{
    if (link == nullptr)
        return ERR_INVALID_PARAM;
    int32_t rc = sio_open_link(device, link,
                               {[](sio_handle h) { return sio_init_sw_flow(h, nullptr); },
                                [](sio_handle h) { return sio_set_baud_rate(h, 9600); },
                                [](sio_handle h) { return sio_set_parity(h, SIO_EVENPARITY); },
                                [](sio_handle h) { return sio_set_data_bits(h, 7); },
                                [](sio_handle h) { return sio_disable_sw_flow(h); }});
    if (rc == NO_ERROR)
        return NO_ERROR;
    u_log_sink("temp_comm_open: error initializing device %s: %s\n", device ? device : "(none)", u_err_name(rc));
    return ERR_TEMP_SENSOR_COMM;
}

int32_t temp_comm_close(sio_link* link)
{
    if (link == nullptr || link->handle == SIO_INVALID_HANDLE)
        return NO_ERROR;
    int32_t rc = sio_close(link);
    if (rc != NO_ERROR) {
        u_log_sink("temp_comm_close: sio_close failed: %s\n", u_err_name(rc));
        return ERR_TEMP_SENSOR_COMM;
    }
    return NO_ERROR;
}

int32_t temp_comm_read(sio_link* link, char* answer, std::size_t capacity, int32_t kind)
{
    if (link == nullptr || (kind == TEMP_RESP_READ && (answer == nullptr || capacity < TEMP_STR_MAX_LEN))) {
        u_log_sink("temp_comm_read: %s\n", u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    if (answer != nullptr && capacity > 0)
        answer[0] = '\0';

    sio_timeouts saved{};
    if (sio_get_timeouts(link->handle, &saved) != NO_ERROR) {
        u_log_sink("temp_comm_read: cannot read the port's time-outs\n");
        return ERR_TEMP_SENSOR_COMM;
    }
    uint8_t first = 0;
    bool got_first = false;
    if (sio_set_read_timeout(link->handle, TEMP_FIRST_BYTE_TIMEOUT_S) == NO_ERROR)
        got_first = read_byte(link, &first);
    (void)sio_set_timeouts(link->handle, &saved);
    if (!got_first) {
        u_log_sink("temp_comm_read: timeout on first byte, respType=%d\n", int(kind));
        return ERR_TEMP_SENSOR_TIMEOUT;
    }

    if (kind == TEMP_RESP_WRITE) {
        if (first != TEMP_NAK)
            return NO_ERROR;
        u_log_sink("temp_comm_read: received NAK\n");
        log_error_register(link);
        return ERR_TEMP_SENSOR_COMM;
    }
    if (kind != TEMP_RESP_READ) {
        u_log_sink("temp_comm_read: unknown response type %d\n", int(kind));
        return ERR_TEMP_SENSOR_COMM;
    }
    if (first == TEMP_EOT) {
        u_log_sink("temp_comm_read: received EOT, respType=%d\n", int(kind));
        return ERR_TEMP_SENSOR_COMM;
    }
    if (first != TEMP_STX) {
        u_log_sink("temp_comm_read: received unknown response character 0x%x\n", unsigned(first));
        return ERR_TEMP_SENSOR_COMM;
    }

    // The text up to and including ETX, then the BCC over it.
    uint8_t stored[TEMP_STR_MAX_LEN];
    int count = 0;
    for (;;) {
        if (count == TEMP_STR_MAX_LEN) {
            u_log_sink("temp_comm_read: i=TEMP_STR_MAX_LEN\n");
            return ERR_TEMP_SENSOR_READ;
        }
        if (!read_byte(link, &stored[count])) {
            u_log_sink("temp_comm_read: sio_read_data failed: %s\n", u_err_name(ERR_TEMP_SENSOR_READ));
            return ERR_TEMP_SENSOR_READ;
        }
        if (stored[count++] == TEMP_ETX)
            break;
    }
    uint8_t sent = 0;
    if (!read_byte(link, &sent)) {
        u_log_sink("temp_comm_read: sio_read_data failed: %s\n", u_err_name(ERR_TEMP_SENSOR_READ));
        return ERR_TEMP_SENSOR_READ;
    }
    const uint8_t calc = temp_bcc(stored, std::size_t(count));
    if (sent != calc) {
        u_log_sink("temp_comm_read: checksums mismatched: sent=%d calc=%d\n", int(sent), int(calc));
        return ERR_TEMP_SENSOR_CHECKSUM;
    }
    std::memcpy(answer, stored, std::size_t(count - 1));
    answer[count - 1] = '\0';
    return NO_ERROR;
}

int32_t temp_comm_write(sio_link* link, char* text, int32_t length, int32_t kind, std::size_t capacity)
{
    if (link == nullptr)
        return NO_ERROR;
    if (text == nullptr || length < 0 || (kind == TEMP_RESP_READ && length < 2)) {
        u_log_sink("temp_comm_write: %s\n", u_err_name(ERR_INVALID_PARAM));
        return ERR_INVALID_PARAM;
    }
    std::string message = message_start();
    if (kind == TEMP_RESP_WRITE) {
        message += char(TEMP_STX);
        message.append(text, std::size_t(length));
        message += char(TEMP_ETX);
        message += char(temp_bcc(message.data() + 6, message.size() - 6));
    } else if (kind == TEMP_RESP_READ) {
        message.append(text, std::size_t(length));
        message += char(TEMP_ENQ);
    } else {
        u_log_sink("temp_comm_write: unknown response type %d\n", int(kind));
        return ERR_TEMP_SENSOR_COMM;
    }

    uint32_t written = 0;
    if (sio_send_data(link->handle, message.data(), uint32_t(message.size()), &written) != 0 ||
        written != message.size()) {
        u_log_sink("temp_comm_write: sio_send_data failed: nbytes=%d\n", int(message.size()));
        return ERR_TEMP_SENSOR_COMM;
    }

    char answer[TEMP_STR_MAX_LEN];
    int32_t rc = temp_comm_read(link, answer, sizeof answer, kind);
    if (rc != NO_ERROR || kind != TEMP_RESP_READ)
        return rc;
    if (std::strncmp(answer, text, 2) != 0) {
        u_log_sink("temp_comm_write: answer \"%s\" does not start with the mnemonic %.2s\n", answer, text);
        return ERR_TEMP_SENSOR_READ;
    }
    const std::size_t value = std::strlen(answer + 2);
    if (value + 1 > capacity) {
        u_log_sink("temp_comm_write: value \"%s\" does not fit in %lu bytes\n", answer + 2,
                   static_cast<unsigned long>(capacity));
        return ERR_TEMP_SENSOR_READ;
    }
    std::memcpy(text, answer + 2, value + 1);
    return NO_ERROR;
}

int32_t temp_comm_init(sio_link* link)
{
    static const char* const writes[] = {"IM0002.", "QD0002.", "Q10000.", "IM0000."};
    for (const char* w : writes) {
        char text[8];
        std::memcpy(text, w, 8);
        int32_t rc = temp_comm_write(link, text, 7, TEMP_RESP_WRITE, sizeof text);
        if (rc != NO_ERROR)
            return rc;
    }
    u_sleep_ms(TEMP_INIT_PAUSE_MS);
    return NO_ERROR;
}

temp_device& temp_device_of(SysInfo& info) { return info.services.get<temp_device>(); }

sio_link* temp_slot(int slot)
{
    temp_device* d = sysinfo_slot_state<temp_device>(slot);
    return d != nullptr ? &d->link : nullptr;
}
