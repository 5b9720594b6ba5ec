// The serial boards' power-on, power-off and status, and the built-in instrument board service
// over the board link of the slot (serial/board.h).
#include <cstring>
#include <string_view>

#include "vell/calfile/sysinfo.h"
#include "vell/instrument/inst_on.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"
#include "vell/serial/board.h"
#include "vell/serial/devctl.h"

namespace {

// The code of a command by its name in a board type's vocabulary, or -1.
int32_t code_of(int32_t board, std::string_view name)
{
    std::size_t n = 0;
    const ur_cmd* table = ur_vocabulary(board, &n);
    for (std::size_t i = 0; i < n; ++i)
        if (table[i].req_len != 0 && name == table[i].name)
            return table[i].code;
    return -1;
}

// The slot's board link when it is open, else null.
ur_board* open_board(int slot)
{
    ur_board* b = ur_board_slot(slot);
    if (b == nullptr || b->link.handle == SIO_INVALID_HANDLE || ur_vocabulary(b->type(), nullptr) == nullptr)
        return nullptr;
    return b;
}

// A request by command name whose reply carries `size` data bytes, read big-endian.
int32_t read_value(ur_board& b, std::string_view name, std::size_t size, uint32_t* value)
{
    const int32_t code = code_of(b.type(), name);
    if (code < 0)
        return ERR_WRONG_INSTR_BOARD;
    uint8_t reply[UR_MAX_FRAME] = {};
    uint32_t count = 0;
    const int32_t rc = ur_request(&b.link, code, nullptr, 0, reply, sizeof reply, &count);
    if (rc != NO_ERROR)
        return rc;
    if (count < 1 + size)
        return ERR_UZ_RECV_FAILED;
    uint32_t v = 0;
    for (std::size_t i = 0; i < size; ++i)
        v = (v << 8) | reply[1 + i];
    *value = v;
    return NO_ERROR;
}

int32_t builtin_read_identity(int slot, SysInfo&, inst_eeprom_identity* out)
{
    ur_board* b = open_board(slot);
    if (b == nullptr)
        return ERR_WRONG_INSTR_BOARD;
    struct field {
        const char* command;
        std::size_t size;
        uint32_t value = 0;
    } fields[] = {{"EE_SYSTEM_READ", 1},  {"EE_CAMERA_READ", 1}, {"EE_LIGHT_READ", 1},
                  {"EE_INSTRBD_READ", 1}, {"EE_SERIAL_READ", 4}, {"EE_SYSDATE_READ", 2}};
    for (field& f : fields) {
        const int32_t rc = read_value(*b, f.command, f.size, &f.value);
        if (rc != NO_ERROR)
            return rc;
    }
    out->sysType = static_cast<int32_t>(fields[0].value);
    out->cameraType = static_cast<int32_t>(fields[1].value);
    out->lightType = static_cast<int32_t>(fields[2].value);
    out->instrBdType = static_cast<int32_t>(fields[3].value);
    out->serialNum = static_cast<int32_t>(fields[4].value);
    out->dateCode = static_cast<int16_t>(static_cast<uint16_t>(fields[5].value));
    return NO_ERROR;
}

// A Model13 board is not reached through the board link; its own link is not part of this build.
int32_t builtin_read_board_type(int, SysInfo&, int32_t*)
{
    u_log_sink("Error reading instrument board type\n");
    return ERR_HW_FAIL;
}

int32_t builtin_send_camera_config(int slot, SysInfo& info)
{
    // Configuration bytes, 1-based, in the order the board takes them.
    static constexpr uint8_t hxi_bytes[] = {1, 2};
    static constexpr uint8_t wide_bytes[] = {3, 4, 5, 6, 7, 9, 8, 10};
    const uint8_t* order = nullptr;
    std::size_t n = 0;
    switch (info.instrBdType) {
    case BD_HXI: order = hxi_bytes; n = sizeof hxi_bytes; break;
    case BD_BOARD01:
    case BD_FTP: order = wide_bytes; n = sizeof wide_bytes; break;
    default: return ERR_WRONG_INSTR_BOARD;
    }
    if (info.cameraType != CAM_CUSTOM)
        return ERR_INVALID_PARAM;
    ur_board* b = open_board(slot);
    const int32_t code = b != nullptr ? code_of(b->type(), "CUSTOM_CAMERA") : -1;
    if (code < 0)
        return ERR_WRONG_INSTR_BOARD;
    uint8_t args[8] = {};
    for (std::size_t i = 0; i < n; ++i)
        args[i] = info.cameraConfig[order[i] - 1];
    return ur_request(&b->link, code, args, n, nullptr, 0);
}

constexpr inst_board_service builtin_service{builtin_read_identity, builtin_read_board_type,
                                             builtin_send_camera_config};
inst_board_service service = builtin_service;

}  // namespace

const inst_board_service& inst_board_service_in_use() { return service; }

void inst_set_board_service(const inst_board_service* s) { service = s != nullptr ? *s : builtin_service; }

// Power-on of a serial board: the board link of the slot (whose type and port are the calibration
// record's) opens (a link left open is closed first), reads the software version
// into the slot and checks the EEPROM identity. A failure after the link opened closes it again.
int32_t inst_serial_on(int slot, SysInfo& info)
{
    ur_board* b = ur_board_slot(slot);
    if (b == nullptr)
        return ERR_PARAM_OUT_OF_RANGE;
    if (b->link.handle != SIO_INVALID_HANDLE)
        ur_closeUZ(b);
    const char* port = info.instrComm.c_str();
    if (port == nullptr || port[0] == '\0') {
        u_log_sink("%s failed: no InstrComm port in the calibration file: %s\n", "inst_on", u_err_name(ERR_UZ_COMM));
        return ERR_UZ_COMM;
    }
    int32_t rc = dev_init_cntrl(false);
    if (rc == NO_ERROR)
        rc = ur_initUZ(b);
    if (rc != NO_ERROR)
        return rc;
    uint32_t version = 0;
    rc = read_value(*b, "SW_VERSION", 1, &version);
    if (rc == NO_ERROR) {
        info.instrBdSwVersion = static_cast<uint8_t>(version);
        u_log_sink("Instrument board %s on %s, software version %u\n", sb_board_type_name(info.instrBdType), port,
                   unsigned(version));
        rc = sysinfo_check_identity(slot, true);
    }
    if (rc != NO_ERROR)
        ur_closeUZ(b);
    return rc;
}

int32_t inst_serial_off(int slot, SysInfo&)
{
    ur_board* b = ur_board_slot(slot);
    if (b == nullptr)
        return ERR_PARAM_OUT_OF_RANGE;
    if (b->link.handle == SIO_INVALID_HANDLE)
        return NO_ERROR;  // already off
    return ur_closeUZ(b);
}

// The board answers its software version request.
int32_t inst_serial_status(int slot, SysInfo& info)
{
    ur_board* b = open_board(slot);
    if (b == nullptr) {
        u_log_sink("%s failed: the instrument board link is not open: %s\n", "inst_status",
                   u_err_name(ERR_SERIAL_NOT_OPEN));
        return ERR_SERIAL_NOT_OPEN;
    }
    uint32_t version = 0;
    const int32_t rc = read_value(*b, "SW_VERSION", 1, &version);
    if (rc == NO_ERROR)
        info.instrBdSwVersion = static_cast<uint8_t>(version);
    return rc;
}
