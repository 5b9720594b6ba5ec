// The platform's instrument entry points and the power-on checks: see inst_on.h.
#include "vell/instrument/inst_on.h"

#include "vell/calfile/sysinfo.h"
#include "vell/instrument/can_inst.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"

namespace {

// ---------------------------------------------------------------------------------------------
// The sequence table.

int32_t can_on(int, SysInfo& info) { return can_inst_on(&info); }
int32_t can_off(int, SysInfo& info) { return can_inst_off(&info); }
int32_t can_status(int, SysInfo& info) { return can_inst_status(&info); }
int32_t can_reset(int, SysInfo& info) { return can_inst_reset(&info); }

int32_t serial_reset(int slot, SysInfo& info)
{
    const int32_t rc = inst_serial_off(slot, info);
    return rc != NO_ERROR ? rc : inst_serial_on(slot, info);
}

int32_t nothing(int, SysInfo&) { return NO_ERROR; }

int32_t model13_not_built(int, SysInfo&)
{
    u_log_sink("%s failed: the Model13 board's power-on is not part of this build: %s\n", "inst_on",
               u_err_name(ERR_NOT_IMPLEMENTED));
    return ERR_NOT_IMPLEMENTED;
}

constexpr inst_sequence_ops serial_row{inst_serial_on, inst_serial_off, inst_serial_status, serial_reset};

constexpr inst_sequence_ops builtin_rows[INST_NUM_SEQUENCES] = {
    {},                                                                 // INST_SEQ_NONE
    serial_row,                                                         // INST_SEQ_BOARD01
    serial_row,                                                         // INST_SEQ_HXI
    serial_row,                                                         // INST_SEQ_MODEL34
    {model13_not_built, nothing, model13_not_built, model13_not_built},  // INST_SEQ_MODEL13
    serial_row,                                                         // INST_SEQ_MODEL31
    serial_row,                                                         // INST_SEQ_FTP
    {can_on, can_off, can_status, can_reset},                           // INST_SEQ_CAN
    {nothing, nothing, nothing, nothing},                               // INST_SEQ_NOTNEEDED
};

inst_sequence_ops rows[INST_NUM_SEQUENCES] = {
    builtin_rows[0], builtin_rows[1], builtin_rows[2], builtin_rows[3], builtin_rows[4],
    builtin_rows[5], builtin_rows[6], builtin_rows[7], builtin_rows[8],
};

using row_entry = int32_t (*inst_sequence_ops::*)(int, SysInfo&);

// Runs one entry of the slot's row; a board without a row is ERR_WRONG_INSTR_BOARD.
int32_t run(int slot, row_entry entry, SysInfo** info_out)
{
    SysInfo* info = sysinfo_slot(slot);
    if (info == nullptr)
        return ERR_PARAM_OUT_OF_RANGE;
    info->instrOn = 0;
    *info_out = info;
    const inst_sequence_ops& row = rows[inst_sequence_of(*info)];
    if (row.*entry == nullptr)
        return ERR_WRONG_INSTR_BOARD;
    return (row.*entry)(slot, *info);
}

// ---------------------------------------------------------------------------------------------
// The checks.

bool in_table(int32_t value, int count) { return value >= 0 && value < count; }

// Camera types of the first group of frame grabbers: 1..19 except INFRACAMA, DGFLY640 and
// DGFLY1024 (XC7500, XC7500S and CUSTOM then meet the software rule).
bool analog_camera(int32_t camera)
{
    return camera >= 1 && camera <= 19 && camera != CAM_INFRACAMA && camera != CAM_DGFLY640 &&
           camera != CAM_DGFLY1024;
}

template <std::size_t N>
bool one_of(int32_t camera, const int32_t (&list)[N])
{
    for (int32_t c : list)
        if (c == camera)
            return true;
    return false;
}

bool compatible(int32_t fg, int32_t camera)
{
    static constexpr int32_t firewire[] = {CAM_DGFLY640, CAM_DGFLY1024, CAM_A311F,
                                           CAM_A312F,    CAM_DGFLY6200, CAM_SCA640};
    static constexpr int32_t cameralink[] = {CAM_CUSTOM,     CAM_TM6710,  CAM_BASLER,     CAM_IMPERXVGA,
                                             CAM_ADIMEC1000, CAM_TM6740,  CAM_ADIMEC4050, CAM_ADIMEC4150,
                                             CAM_E2V7899,    CAM_A504K};
    static constexpr int32_t flashbus[] = {CAM_CUSTOM};
    static constexpr int32_t gige[] = {CAM_CUSTOM, CAM_PIA640, CAM_PIA1000, CAM_SCA640G};
    static constexpr int32_t x64lvds[] = {CAM_CUSTOM, CAM_SU320};
    switch (fg) {
    case FG_MATROX:
    case FG_PULSAR:
    case FG_GENESIS:
    case FG_CORONA:
    case FG_BANDIT:
    case FG_PC2VISION: return analog_camera(camera);
    case FG_FIREWIRE: return one_of(camera, firewire);
    case FG_CAMERALINK: return one_of(camera, cameralink);
    case FG_FLASHBUS: return one_of(camera, flashbus);
    case FG_GIGE: return one_of(camera, gige);
    case FG_X64LVDS: return one_of(camera, x64lvds);
    default: return true;  // None, RPC
    }
}

bool first_group(int32_t fg) { return compatible(fg, CAM_XC77CE) && fg != FG_NONE && fg != FG_RPC; }

// The software rule of the first group: the lowest board software version for a camera, or 0.
int32_t lowest_version(int32_t board, int32_t camera)
{
    const bool xc7500 = camera == CAM_XC7500 || camera == CAM_XC7500S;
    if (board == BD_BOARD01)
        return xc7500 ? 7 : camera == CAM_CUSTOM ? 13 : 0;
    if (board == BD_HXI)
        return xc7500 ? 6 : camera == CAM_CUSTOM ? 8 : 0;
    return 0;
}

int32_t software_rule(int slot, SysInfo& info)
{
    const int32_t camera = info.cameraType;
    if (camera != CAM_XC7500 && camera != CAM_XC7500S && camera != CAM_CUSTOM)
        return NO_ERROR;
    const int32_t v = info.instrBdSwVersion;
    if (v < lowest_version(info.instrBdType, camera)) {
        u_log_sink("%s instr software version %d is incompatible with camera type %s.\n",
                   info.instrBdType == BD_BOARD01 ? "Board01" : "HXI", v, camera == CAM_CUSTOM ? "CUSTOM" : "XC7500");
        return ERR_SB_INST_CONFIG;
    }
    if (camera == CAM_CUSTOM)
        return inst_board_service_in_use().send_camera_config(slot, info);
    return NO_ERROR;
}

int32_t check_config(int slot, SysInfo& info)
{
    if (info.cameraType == CAM_UNKNOWN || !in_table(info.cameraType, SB_NUM_CAMERA_TYPE_NAMES)) {
        u_log_sink("Unknown camera type\n");
        return ERR_SB_INST_CONFIG;
    }
    if (!in_table(info.fgType, SB_NUM_FG_TYPE_NAMES)) {
        u_log_sink("Unknown frame grabber type\n");
        return ERR_SB_INST_CONFIG;
    }
    if (!compatible(info.fgType, info.cameraType)) {
        u_log_sink("%s frame grabber is incompatible with camera type %s\n", sb_fg_type_name(info.fgType),
                   sb_camera_type_name(info.cameraType));
        return ERR_SB_INST_CONFIG;
    }
    if (first_group(info.fgType)) {
        const int32_t rc = software_rule(slot, info);
        if (rc != NO_ERROR)
            return rc;
    }
    if (info.lightType < LIGHT_HENE || info.lightType > LIGHT_LED) {
        u_log_sink("Unknown light type\n");
        return ERR_SB_INST_CONFIG;
    }
    const bool poor_camera =
        info.cameraType == CAM_VIDICON || info.cameraType == CAM_INFRACAMA || info.cameraType == CAM_CID2250;
    const int32_t bd = info.instrBdType;
    if (bd == BD_MODEL13 || (poor_camera && (bd == BD_BOARD01 || bd == BD_HXI || bd == BD_MODEL31)))
        info.noIntensAvg = 1;
    return NO_ERROR;
}

// Power-on (or reset) followed by the checks; the flag only after both.
int32_t on_then_check(int slot, row_entry entry)
{
    SysInfo* info = nullptr;
    int32_t rc = run(slot, entry, &info);
    if (rc == NO_ERROR)
        rc = check_config(slot, *info);
    if (rc == NO_ERROR)
        info->instrOn = 1;
    return rc;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

inst_sequence inst_sequence_of(const SysInfo& info)
{
    switch (info.instrBdType) {
    case BD_BOARD01: return INST_SEQ_BOARD01;
    case BD_HXI:
        return info.sysType == SYS_MODEL34 || info.sysType == SYS_MODEL21 ? INST_SEQ_MODEL34 : INST_SEQ_HXI;
    case BD_MODEL13: return INST_SEQ_MODEL13;
    case BD_MODEL31: return INST_SEQ_MODEL31;
    case BD_FTP: return INST_SEQ_FTP;
    case BD_CAN: return INST_SEQ_CAN;
    case BD_NOTNEEDED: return INST_SEQ_NOTNEEDED;
    default: return INST_SEQ_NONE;
    }
}

const inst_sequence_ops* inst_sequence_row(int32_t sequence)
{
    return sequence >= 0 && sequence < INST_NUM_SEQUENCES ? &rows[sequence] : nullptr;
}

bool inst_set_sequence(int32_t sequence, const inst_sequence_ops& ops)
{
    if (sequence < 0 || sequence >= INST_NUM_SEQUENCES)
        return false;
    rows[sequence] = ops;
    return true;
}

void inst_reset_sequences()
{
    for (int i = 0; i < INST_NUM_SEQUENCES; ++i)
        rows[i] = builtin_rows[i];
}

int32_t inst_on(int slot) { return on_then_check(slot, &inst_sequence_ops::on); }

int32_t inst_reset(int slot) { return on_then_check(slot, &inst_sequence_ops::reset); }

int32_t inst_off(int slot)
{
    SysInfo* info = nullptr;
    return run(slot, &inst_sequence_ops::off, &info);
}

int32_t inst_status(int slot)
{
    SysInfo* info = sysinfo_slot(slot);
    if (info == nullptr)
        return ERR_PARAM_OUT_OF_RANGE;
    const inst_sequence_ops& row = rows[inst_sequence_of(*info)];
    return row.status != nullptr ? row.status(slot, *info) : ERR_WRONG_INSTR_BOARD;
}

// ---------------------------------------------------------------------------------------------
// Identity.

namespace {

struct mismatch {
    const char* what;
    int32_t cal;
    int32_t eeprom;
    const char* (*name)(int32_t);  // null: printed as numbers
};

}  // namespace

int32_t sysinfo_check_identity(int slot, bool verify)
{
    SysInfo* info = sysinfo_slot(slot);
    if (info == nullptr)
        return ERR_PARAM_OUT_OF_RANGE;
    const inst_board_service& svc = inst_board_service_in_use();
    const int32_t board = info->instrBdType;
    if (board == BD_CAN || board == BD_NOTNEEDED)
        return NO_ERROR;
    if (board == BD_MODEL13) {
        int32_t type = 0;
        const int32_t rc = svc.read_board_type(slot, *info, &type);
        if (rc != NO_ERROR)
            return rc;
        if (verify && type != board) {
            u_log_sink("Instrument board type mismatch\n");
            u_log_sink("Cal file says %s, instrument EEPROM says %s\n", sb_board_type_name(board),
                       sb_board_type_name(type));
            return ERR_SB_INST_CONFIG;
        }
        return NO_ERROR;
    }
    inst_eeprom_identity id;
    const int32_t rc = svc.read_identity(slot, *info, &id);
    if (rc != NO_ERROR)
        return rc;
    if (!verify) {
        info->sysType = id.sysType;
        info->instrBdType = id.instrBdType;
        info->cameraType = id.cameraType;
        info->lightType = id.lightType;
        info->serialNum = id.serialNum;
        info->dateCode = id.dateCode;
        return NO_ERROR;
    }
    const mismatch checks[] = {
        {"System type mismatch\n", info->sysType, id.sysType, sb_sys_type_name},
        {"Instrument board type mismatch\n", info->instrBdType, id.instrBdType, sb_board_type_name},
        {"Camera type mismatch\n", info->cameraType, id.cameraType, sb_camera_type_name},
        {"Light type mismatch\n", info->lightType, id.lightType, sb_light_type_name},
        {"System serial number mismatch\n", info->serialNum, id.serialNum, nullptr},
        {"System date mismatch\n", info->dateCode, id.dateCode, nullptr},
    };
    for (const mismatch& m : checks) {
        if (m.cal == m.eeprom)
            continue;
        u_log_sink("%s", m.what);
        if (m.name != nullptr)
            u_log_sink("Cal file says %s, instrument EEPROM says %s\n", m.name(m.cal), m.name(m.eeprom));
        else
            u_log_sink("Cal file says %d, instrument EEPROM says %d\n", m.cal, m.eeprom);
        return ERR_SB_INST_CONFIG;
    }
    return NO_ERROR;
}
