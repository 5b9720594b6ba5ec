// Windows half of the serial layer: the communications functions of the system.
#include <windows.h>

#include <string>

#include "vell/platform/errors.h"
#include "vell/platform/os.h"
#include "vell/serial/sio_backend.h"

namespace {

HANDLE handle_of(sio_handle handle) { return reinterpret_cast<HANDLE>(handle); }

bool read_dcb(sio_handle handle, DCB& dcb)
{
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(handle_of(handle), &dcb) != 0;
}

constexpr DWORD all_purge_flags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

}  // namespace

namespace sio_os {

std::string device_path(const char* name)
{
    if (name == nullptr)
        return {};
    int number = 0;
    if (com_port_number(name, number))
        return "\\\\.\\COM" + std::to_string(number);
    return name;
}

int32_t open(const char* device, sio_handle& handle)
{
    handle = SIO_INVALID_HANDLE;
    std::string path = device_path(device);
    if (path.empty())
        return ERR_CANT_OPEN_SERIAL;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return ERR_CANT_OPEN_SERIAL;
    handle = reinterpret_cast<sio_handle>(h);
    if (!SetCommMask(h, EV_RXCHAR) || !SetupComm(h, SIO_QUEUE_SIZE, SIO_QUEUE_SIZE))
        return ERR_CANT_SET_SERIAL;
    return NO_ERROR;
}

bool get_state(sio_handle handle, sio_state& state)
{
    DCB dcb;
    if (!read_dcb(handle, dcb))
        return false;
    state.baud_rate = dcb.BaudRate;
    state.byte_size = dcb.ByteSize;
    state.parity = dcb.Parity;
    state.stop_bits = dcb.StopBits;
    state.parity_check = dcb.fParity ? 1 : 0;
    state.binary = dcb.fBinary ? 1 : 0;
    state.out_x = dcb.fOutX ? 1 : 0;
    state.in_x = dcb.fInX ? 1 : 0;
    state.xon_char = static_cast<uint8_t>(dcb.XonChar);
    state.xoff_char = static_cast<uint8_t>(dcb.XoffChar);
    state.xon_lim = dcb.XonLim;
    state.xoff_lim = dcb.XoffLim;
    state.dtr_control = static_cast<uint8_t>(dcb.fDtrControl);
    state.rts_control = static_cast<uint8_t>(dcb.fRtsControl);
    state.out_cts_flow = dcb.fOutxCtsFlow ? 1 : 0;
    state.abort_on_error = dcb.fAbortOnError ? 1 : 0;
    return true;
}

bool set_state(sio_handle handle, const sio_state& state)
{
    DCB dcb;
    if (!read_dcb(handle, dcb))
        return false;
    dcb.BaudRate = state.baud_rate;
    dcb.ByteSize = state.byte_size;
    dcb.Parity = state.parity;
    dcb.StopBits = state.stop_bits;
    dcb.fParity = state.parity_check ? TRUE : FALSE;
    dcb.fBinary = state.binary ? TRUE : FALSE;
    dcb.fOutX = state.out_x ? TRUE : FALSE;
    dcb.fInX = state.in_x ? TRUE : FALSE;
    dcb.XonChar = static_cast<char>(state.xon_char);
    dcb.XoffChar = static_cast<char>(state.xoff_char);
    dcb.XonLim = state.xon_lim;
    dcb.XoffLim = state.xoff_lim;
    dcb.fDtrControl = state.dtr_control & 3u;
    dcb.fRtsControl = state.rts_control & 3u;
    dcb.fOutxCtsFlow = state.out_cts_flow ? TRUE : FALSE;
    dcb.fAbortOnError = state.abort_on_error ? TRUE : FALSE;
    return SetCommState(handle_of(handle), &dcb) != 0;
}

bool get_timeouts(sio_handle handle, sio_timeouts& timeouts)
{
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(handle_of(handle), &t))
        return false;
    timeouts.read_interval = t.ReadIntervalTimeout;
    timeouts.read_total_multiplier = t.ReadTotalTimeoutMultiplier;
    timeouts.read_total_constant = t.ReadTotalTimeoutConstant;
    timeouts.write_total_multiplier = t.WriteTotalTimeoutMultiplier;
    timeouts.write_total_constant = t.WriteTotalTimeoutConstant;
    return true;
}

bool set_timeouts(sio_handle handle, const sio_timeouts& timeouts)
{
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.read_interval;
    t.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
    t.ReadTotalTimeoutConstant = timeouts.read_total_constant;
    t.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
    t.WriteTotalTimeoutConstant = timeouts.write_total_constant;
    return SetCommTimeouts(handle_of(handle), &t) != 0;
}

bool set_dtr(sio_handle handle, bool on)
{
    return EscapeCommFunction(handle_of(handle), on ? SETDTR : CLRDTR) != 0;
}

bool purge(sio_handle handle) { return PurgeComm(handle_of(handle), all_purge_flags) != 0; }

bool clear_errors(sio_handle handle, uint32_t& errors, uint32_t& in_queue, uint32_t& out_queue)
{
    errors = 0;
    in_queue = 0;
    out_queue = 0;
    DWORD flags = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_of(handle), &flags, &status))
        return false;
    errors = flags;
    in_queue = status.cbInQue;
    out_queue = status.cbOutQue;
    return true;
}

bool write(sio_handle handle, const void* buffer, uint32_t count, uint32_t& written)
{
    written = 0;
    DWORD done = 0;
    BOOL ok = WriteFile(handle_of(handle), buffer, count, &done, nullptr);
    written = done;
    if (!ok)
        return false;

    // Wait for the output queue to empty or a line error to show, within the write time-out
    // plus the transmission time of the bytes (no limit without a write time-out), measured on
    // the port's clock from the end of the write; the port sends in real time, so the waits are
    // real sleeps, like the driver's own.
    COMMTIMEOUTS t{};
    const uint64_t start = now_ms();
    uint64_t deadline = 0;
    if (GetCommTimeouts(handle_of(handle), &t)) {
        uint64_t limit = uint64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
        if (limit != 0) {
            DCB dcb;
            uint64_t baud = read_dcb(handle, dcb) && dcb.BaudRate > 0 ? dcb.BaudRate : 9600;
            deadline = start + limit + (uint64_t{count} * 10000 + baud - 1) / baud + 100;
        }
    }
    for (;;) {
        uint32_t errors = 0, in_queue = 0, out_queue = 0;
        if (!clear_errors(handle, errors, in_queue, out_queue) || errors != 0 || out_queue == 0)
            break;
        if (deadline != 0 && now_ms() >= deadline)
            break;
        os::sleep_real_ms(1);
    }
    return done == count;
}

bool read(sio_handle handle, void* buffer, uint32_t count, uint32_t& got)
{
    got = 0;
    DWORD done = 0;
    BOOL ok = ReadFile(handle_of(handle), buffer, count, &done, nullptr);
    got = done;
    return ok != 0;
}

bool close(sio_handle handle)
{
    HANDLE h = handle_of(handle);
    (void)SetCommMask(h, 0);
    (void)EscapeCommFunction(h, CLRDTR);
    (void)PurgeComm(h, all_purge_flags);
    return CloseHandle(h) != 0;
}

}  // namespace sio_os
