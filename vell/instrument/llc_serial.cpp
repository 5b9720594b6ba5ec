// Light-level rows of the serial boards: see llc_boards.h.
#include <cstring>

#include "vell/calfile/sysinfo.h"
#include "vell/instrument/llc.h"
#include "vell/instrument/llc_boards.h"
#include "vell/platform/errors.h"
#include "vell/serial/board.h"

namespace {

// The code of a command of the record's board type ("LLC_SET"), or -1.
int32_t code_of(const SysInfo& info, const char* name)
{
    std::size_t n = 0;
    const ur_cmd* table = ur_vocabulary(info.instrBdType, &n);
    for (std::size_t i = 0; i < n; ++i)
        if (std::strcmp(table[i].name, name) == 0)
            return table[i].code;
    return -1;
}

// Sends a command with arguments; with `data`, the reply's data bytes (after the echoed code,
// without the checksum) go there, at most `capacity`, their number into *count.
int32_t exchange(SysInfo& info, const char* name, const uint8_t* args, std::size_t nargs, uint8_t* data = nullptr,
                 std::size_t capacity = 0, std::size_t* count = nullptr)
{
    const int32_t code = code_of(info, name);
    if (code < 0)
        return ERR_WRONG_INSTR_BOARD;
    // The record's own board link: its type and port are the record's.
    sio_link* link = &ur_board_of(info).link;
    uint8_t reply[UR_MAX_FRAME] = {};
    uint32_t got = 0;
    int32_t rc = ur_request(link, code, args, nargs, data != nullptr ? reply : nullptr, sizeof reply, &got);
    if (rc != NO_ERROR || data == nullptr)
        return rc;
    // Echoed code, data, checksum: the link has checked the code and the reply's length.
    const std::size_t n = got >= 2 ? got - 2 : 0;
    *count = n < capacity ? n : capacity;
    std::memcpy(data, reply + 1, *count);
    return NO_ERROR;
}

// A one-byte answer of a command without arguments.
int32_t read_byte(SysInfo& info, const char* name, uint8_t* value)
{
    std::size_t n = 0;
    const int32_t rc = exchange(info, name, nullptr, 0, value, 1, &n);
    if (rc == NO_ERROR && n < 1)
        return ERR_UZ_RECV_FAILED;
    return rc;
}

}  // namespace

int32_t ac_llc_serial_set(SysInfo& info, uint16_t level)
{
    uint8_t args[3] = {};
    const std::size_t n = ac_llc_encode_set(info.instrBdType, level, args);
    if (n == 0)
        return code_of(info, "LLC_SET") < 0 ? ERR_WRONG_INSTR_BOARD : ERR_PARAM_OUT_OF_RANGE;
    return exchange(info, "LLC_SET", args, n);
}

int32_t ac_llc_serial_read(SysInfo& info, uint16_t* level)
{
    uint8_t data[2] = {};
    std::size_t n = 0;
    const int32_t rc = exchange(info, "LLC_READ", nullptr, 0, data, sizeof data, &n);
    if (rc != NO_ERROR)
        return rc;
    return ac_llc_decode_read(info.instrBdType, data, n, level) ? NO_ERROR : ERR_UZ_RECV_FAILED;
}

int32_t ac_llc_serial_mode_set(SysInfo& info, int32_t mode, uint16_t level)
{
    uint8_t args[3] = {};
    const std::size_t n = ac_llc_encode_mode_set(info.instrBdType, mode, level, args);
    if (n == 0)
        return code_of(info, "LLC_MODE_SET") < 0 ? ERR_WRONG_INSTR_BOARD : ERR_PARAM_OUT_OF_RANGE;
    return exchange(info, "LLC_MODE_SET", args, n);
}

int32_t ac_llc_serial_mode_read(SysInfo& info, int32_t* value)
{
    uint8_t v = 0;
    const int32_t rc = read_byte(info, "LLC_MODE_READ", &v);
    if (rc == NO_ERROR)
        *value = v;
    return rc;
}

int32_t ac_llc_serial_stable(SysInfo& info, bool* settled)
{
    uint8_t v = 0;
    const int32_t rc = read_byte(info, "LLC_STABLE", &v);
    if (rc == NO_ERROR)
        *settled = v != 0;
    return rc;
}
