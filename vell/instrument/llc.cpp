// Light-level control: see llc.h.
#include "vell/instrument/llc.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_events.h"
#include "vell/instrument/llc_boards.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Slot state. Levels are 16-bit unsigned; the record keeps them in signed 16-bit fields.

uint16_t level_of(int16_t stored)
{
    return static_cast<uint16_t>(stored);
}
int16_t stored_of(uint16_t level)
{
    return static_cast<int16_t>(level);
}

struct range {
    int32_t low;
    int32_t high;
    bool usable() const { return high > low; }
};

range range_of(const SysInfo& info)
{
    const LightSlot& s = info.currentLight();
    return range{s.rangeLow, s.rangeHigh};
}

uint16_t clamp_level(const SysInfo& info, int64_t level)
{
    const range r = range_of(info);
    if (level < r.low)
        return static_cast<uint16_t>(r.low);
    if (level > r.high)
        return static_cast<uint16_t>(r.high);
    return static_cast<uint16_t>(level);
}

// ---------------------------------------------------------------------------------------------
// Host devices.

ac_llc_host_ops host_ops{};

constexpr int32_t BOARD01_LIMIT = 4095;
constexpr int32_t HXI_LIMIT = 159;
constexpr int32_t MODEL31_LIMIT = 255;
constexpr int32_t FTP_LIMIT = 3685;
constexpr int32_t LLC_INSTR_LIMIT = 10000;
constexpr int32_t MC_LIGHT_LIMIT = 4095;
constexpr int32_t SHUTTER_MIN = 2;

enum class host_device { none, llc_instr, mc_light, shutter };

host_device host_device_of(const SysInfo& info)
{
    if (info.instrBdType == BD_MODEL13 || info.instrBdType == BD_NOTNEEDED) {
        if (info.sysType == SYS_MODEL07)
            return host_device::shutter;
        if (info.instrBdType == BD_NOTNEEDED)
            return host_device::none;
        if (info.sysType == SYS_MODEL14 && info.llcInstrType != LLC_INSTR_NONE &&
            info.llcInstrType != LLC_INSTR_MODEL13)
            return host_device::llc_instr;
        return host_device::mc_light;
    }
    return host_device::none;
}

int32_t shutter_base(const SysInfo& info)
{
    return info.cameraType == CAM_DGFLY1024 ? 800 : 532;
}

int32_t clamp_to(int64_t v, int32_t lo, int32_t hi)
{
    return v < lo ? lo : (v > hi ? hi : static_cast<int32_t>(v));
}

int32_t host_set(SysInfo& info, uint16_t level)
{
    int32_t rc = -1;
    switch (host_device_of(info)) {
    case host_device::shutter: {
        const int32_t shutter = std::max<int32_t>(shutter_base(info) - level, SHUTTER_MIN);
        if (host_ops.shutter_set != nullptr)
            rc = host_ops.shutter_set(shutter);
        break;
    }
    case host_device::llc_instr:
        if (host_ops.llc_instr_set != nullptr)
            rc = host_ops.llc_instr_set(level);
        break;
    case host_device::mc_light:
        if (host_ops.mc_light_set != nullptr)
            rc = host_ops.mc_light_set(MC_LIGHT_LIMIT - level);
        break;
    case host_device::none:
        return ERR_WRONG_SYSTEM_TYPE;
    }
    return rc == 0 ? NO_ERROR : ERR_HW_FAIL;
}

int32_t host_read(SysInfo& info, uint16_t* level)
{
    int32_t rc = -1;
    int64_t l = 0;
    switch (host_device_of(info)) {
    case host_device::shutter: {
        double shutter = 0.0;
        if (host_ops.shutter_read != nullptr)
            rc = host_ops.shutter_read(&shutter);
        if (rc == 0) {
            if (!std::isfinite(shutter) || std::fabs(shutter) > 1e9)
                return ERR_HW_FAIL;
            l = clamp_to(shutter_base(info) - std::llround(shutter), 0, shutter_base(info));
        }
        break;
    }
    case host_device::llc_instr: {
        int32_t v = 0;
        if (host_ops.llc_instr_read != nullptr)
            rc = host_ops.llc_instr_read(&v);
        l = clamp_to(v, 0, LLC_INSTR_LIMIT);
        break;
    }
    case host_device::mc_light: {
        int32_t v = 0;
        if (host_ops.mc_light_read != nullptr)
            rc = host_ops.mc_light_read(&v);
        l = clamp_to(int64_t(MC_LIGHT_LIMIT) - v, 0, MC_LIGHT_LIMIT);
        break;
    }
    case host_device::none:
        return ERR_WRONG_SYSTEM_TYPE;
    }
    if (rc != 0)
        return ERR_HW_FAIL;
    *level = static_cast<uint16_t>(l);
    return NO_ERROR;
}

// ---------------------------------------------------------------------------------------------
// The table.

constexpr ac_llc_board_ops no_board{};

constexpr ac_llc_board_ops serial_board01{ac_llc_serial_set, ac_llc_serial_read, ac_llc_serial_mode_set, nullptr,
                                          nullptr,           nullptr,            nullptr,                nullptr};
constexpr ac_llc_board_ops serial_hxi{ac_llc_serial_set,    ac_llc_serial_read, ac_llc_serial_mode_set,
                                      ac_llc_serial_mode_read, ac_llc_serial_stable, nullptr, nullptr, nullptr};
constexpr ac_llc_board_ops serial_model31{ac_llc_serial_set,    ac_llc_serial_read, nullptr, nullptr,
                                          ac_llc_serial_stable, nullptr,            nullptr, nullptr};
constexpr ac_llc_board_ops serial_ftp{ac_llc_serial_set, ac_llc_serial_read, nullptr, nullptr,
                                      nullptr,           nullptr,            nullptr, nullptr};
constexpr ac_llc_board_ops host_board{host_set, host_read, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr ac_llc_board_ops can_board{ac_llc_can_set, ac_llc_can_read,     nullptr,
                                     nullptr,        nullptr,             ac_llc_can_agc_stop,
                                     ac_llc_can_agc_start, ac_llc_can_agc_value};

constexpr ac_llc_board_ops builtin_rows[AC_LLC_NUM_BOARDS] = {
    no_board,        // BD_NONE
    serial_board01,  // BD_BOARD01
    no_board,        // BD_BOARD02
    serial_hxi,      // BD_HXI
    no_board,        // BD_BOARD04
    host_board,      // BD_MODEL13
    serial_model31,  // BD_MODEL31
    serial_ftp,      // BD_FTP
    can_board,       // BD_CAN
    host_board,      // BD_NOTNEEDED
};

ac_llc_board_ops rows[AC_LLC_NUM_BOARDS] = {
    builtin_rows[0], builtin_rows[1], builtin_rows[2], builtin_rows[3], builtin_rows[4],
    builtin_rows[5], builtin_rows[6], builtin_rows[7], builtin_rows[8], builtin_rows[9],
};

const ac_llc_board_ops& row_of(const SysInfo& info)
{
    if (info.instrBdType < 0 || info.instrBdType >= AC_LLC_NUM_BOARDS)
        return no_board;
    return rows[info.instrBdType];
}

// ---------------------------------------------------------------------------------------------
// Board access with the checks every caller needs.

int32_t lower_limit(const SysInfo& info)
{
    return host_device_of(info) == host_device::shutter ? SHUTTER_MIN : 0;
}

int32_t board_set(SysInfo& info, uint16_t level)
{
    if (info.instrBdType == BD_NOTNEEDED && info.sysType != SYS_MODEL07)
        return ERR_WRONG_SYSTEM_TYPE;
    if (level > ac_llc_board_limit(info) || level < lower_limit(info))
        return ERR_PARAM_OUT_OF_RANGE;
    const ac_llc_board_ops& row = row_of(info);
    if (row.set == nullptr)
        return ERR_WRONG_INSTR_BOARD;
    return row.set(info, level);
}

int32_t board_read(SysInfo& info, uint16_t* level)
{
    if (info.instrBdType == BD_NOTNEEDED && info.sysType != SYS_MODEL07)
        return ERR_WRONG_SYSTEM_TYPE;
    const ac_llc_board_ops& row = row_of(info);
    if (row.read == nullptr)
        return ERR_WRONG_INSTR_BOARD;
    uint16_t l = 0;
    const int32_t rc = row.read(info, &l);
    if (rc != NO_ERROR)
        return rc;
    *level = std::min<uint16_t>(l, ac_llc_board_limit(info));
    return NO_ERROR;
}

bool auto_capable(const SysInfo& info)
{
    return info.instrBdType == BD_HXI || (info.instrBdType == BD_CAN && ac_llc_agc_system(info.sysType));
}

float percent_of(const SysInfo& info)
{
    const range r = range_of(info);
    const int32_t cur = level_of(info.currentLightRun().level);
    return 100.0f * static_cast<float>(r.high - cur) / static_cast<float>(r.high - r.low);
}

// Waits for the ND wheel to report that it stopped, running the event pump between tries.
int32_t wait_ndwheel(SysInfo& info)
{
    u_handle stopped = nullptr;
    if (u_event_open(CAN_NDWHEEL_STOPPED, &stopped) != NO_ERROR) {
        u_sleep_ms(1300);
        return NO_ERROR;
    }
    int32_t rc = ERR_HW_FAIL;
    for (int i = 0; i < 300; ++i) {
        if (u_wait_one(stopped, 10) == 0) {
            rc = NO_ERROR;
            break;
        }
        u_idle_hook();  // as every CAN wait does between its steps
        can_process_events(&info);
    }
    u_close_handle(stopped);
    return rc;
}

int32_t wait_polling(SysInfo& info)
{
    LightRun& run = info.currentLightRun();
    const ac_llc_board_ops& row = row_of(info);
    uint16_t last = level_of(run.level);
    if (run.mode == 1) {
        u_sleep_ms(250);
        const int32_t rc = board_read(info, &last);
        if (rc != NO_ERROR)
            return rc;
        run.level = stored_of(last);
    }
    for (int poll = 0; poll < 80; ++poll) {
        u_sleep_ms(250);
        if (run.mode != 0) {
            uint16_t now = 0;
            const int32_t rc = board_read(info, &now);
            if (rc != NO_ERROR)
                return rc;
            run.level = stored_of(now);
            if (std::abs(int32_t(now) - int32_t(last)) < 3)
                return NO_ERROR;
            last = now;
        } else {
            bool settled = false;
            if (row.stable != nullptr) {
                const int32_t rc = row.stable(info, &settled);
                if (rc != NO_ERROR) {
                    u_log_sink("ac_llc_wait: uz_llc_stable failed\n");
                    return rc;
                }
            }
            if (settled)
                return NO_ERROR;
        }
    }
    u_log_sink("ac_llc_wait: LLC unstable\n");
    return ERR_HW_FAIL;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

uint16_t ac_llc_board_limit(const SysInfo& info)
{
    switch (info.instrBdType) {
    case BD_BOARD01:
        return BOARD01_LIMIT;
    case BD_HXI:
        return HXI_LIMIT;
    case BD_MODEL31:
        return MODEL31_LIMIT;
    case BD_FTP:
        return FTP_LIMIT;
    case BD_MODEL13:
    case BD_NOTNEEDED:
        switch (host_device_of(info)) {
        case host_device::shutter:
            return static_cast<uint16_t>(shutter_base(info));
        case host_device::llc_instr:
            return LLC_INSTR_LIMIT;
        default:
            return MC_LIGHT_LIMIT;
        }
    default:
        return 0xFFFF;
    }
}

std::size_t ac_llc_encode_set(int32_t board, uint16_t level, uint8_t out[3])
{
    switch (board) {
    case BD_BOARD01:
    case BD_FTP: {
        const int32_t limit = board == BD_BOARD01 ? BOARD01_LIMIT : FTP_LIMIT;
        if (level > limit)
            return 0;
        const uint16_t v = static_cast<uint16_t>(limit - level);
        out[0] = static_cast<uint8_t>(v >> 8);
        out[1] = static_cast<uint8_t>(v & 0xFF);
        return 2;
    }
    case BD_HXI:
    case BD_MODEL31:
        if (level > (board == BD_HXI ? HXI_LIMIT : MODEL31_LIMIT))
            return 0;
        out[0] = static_cast<uint8_t>(level);
        return 1;
    default:
        return 0;
    }
}

std::size_t ac_llc_encode_mode_set(int32_t board, int32_t mode, uint16_t level, uint8_t out[3])
{
    if (mode < 0 || mode > 2)
        return 0;
    switch (board) {
    case BD_BOARD01:
        // The level as it is: unlike the set command, the mode-set command is not complemented.
        if (level > BOARD01_LIMIT)
            return 0;
        out[0] = static_cast<uint8_t>(mode);
        out[1] = static_cast<uint8_t>(level >> 8);
        out[2] = static_cast<uint8_t>(level & 0xFF);
        return 3;
    case BD_HXI:
        if (level > HXI_LIMIT)
            return 0;
        out[0] = static_cast<uint8_t>(mode);
        out[1] = static_cast<uint8_t>(level);
        return 2;
    default:
        return 0;
    }
}

bool ac_llc_decode_read(int32_t board, const uint8_t* answer, std::size_t length, uint16_t* level)
{
    if (answer == nullptr || level == nullptr)
        return false;
    switch (board) {
    case BD_BOARD01:
    case BD_FTP: {
        if (length < 2)
            return false;
        const int32_t limit = board == BD_BOARD01 ? BOARD01_LIMIT : FTP_LIMIT;
        const int32_t v = (int32_t(answer[0]) << 8) | answer[1];
        *level = static_cast<uint16_t>(clamp_to(int64_t(limit) - v, 0, limit));
        return true;
    }
    case BD_HXI:
    case BD_MODEL31:
        if (length < 1)
            return false;
        *level = std::min<uint16_t>(answer[0], board == BD_HXI ? HXI_LIMIT : MODEL31_LIMIT);
        return true;
    default:
        return false;
    }
}

void ac_llc_set_host(const ac_llc_host_ops* host)
{
    host_ops = host != nullptr ? *host : ac_llc_host_ops{};
}

const ac_llc_board_ops* ac_llc_board(int32_t board)
{
    if (board < 0 || board >= AC_LLC_NUM_BOARDS)
        return nullptr;
    return &rows[board];
}

bool ac_llc_set_board(int32_t board, const ac_llc_board_ops& ops)
{
    if (board < 0 || board >= AC_LLC_NUM_BOARDS)
        return false;
    rows[board] = ops;
    return true;
}

void ac_llc_reset_boards()
{
    for (int32_t b = 0; b < AC_LLC_NUM_BOARDS; ++b)
        rows[b] = builtin_rows[b];
}

bool ac_llc_agc_system(int32_t sys) { return can_agc_system(sys); }

bool ac_llc_agc_applies(const SysInfo& info)
{
    return can_agc_applies(&info);
}

int32_t ac_llc_set_level(SysInfo* info, int32_t level)
{
    if (info == nullptr)
        return ERR_INVALID_PARAM;
    LightRun& run = info->currentLightRun();
    const uint16_t l = clamp_level(*info, level);
    int32_t rc = NO_ERROR;
    switch (info->instrBdType) {
    case BD_BOARD01:
        if (info->curLightSlot != 0)
            return NO_ERROR;
        rc = board_set(*info, l);
        break;
    case BD_HXI:
        if (run.mode != 0) {
            if (l > HXI_LIMIT)
                return ERR_PARAM_OUT_OF_RANGE;
            const ac_llc_board_ops& row = row_of(*info);
            rc = row.mode_set != nullptr ? row.mode_set(*info, 0, l) : ERR_WRONG_INSTR_BOARD;
        } else {
            rc = board_set(*info, l);
        }
        break;
    case BD_CAN:
        if (ac_llc_agc_applies(*info)) {
            const ac_llc_board_ops& row = row_of(*info);
            rc = row.agc_stop != nullptr ? row.agc_stop(*info) : ERR_NOT_IMPLEMENTED;
            if (rc != NO_ERROR)
                return rc;
        }
        rc = board_set(*info, l);
        break;
    case BD_MODEL31:
    case BD_FTP:
    case BD_MODEL13:
    case BD_NOTNEEDED:
        rc = board_set(*info, l);
        break;
    default:
        return ERR_WRONG_INSTR_BOARD;
    }
    if (rc != NO_ERROR)
        return rc;
    run.mode = 0;
    run.prevLevel = run.level.load();
    run.level = stored_of(l);
    return NO_ERROR;
}

int32_t ac_llc_read_level(SysInfo* info, uint16_t* level)
{
    if (info == nullptr || level == nullptr)
        return ERR_INVALID_PARAM;
    *level = 0;
    uint16_t l = 0;
    const int32_t rc = board_read(*info, &l);
    if (rc != NO_ERROR)
        return rc;
    info->currentLightRun().level = stored_of(l);
    *level = l;
    return NO_ERROR;
}

int32_t ac_llc_get_level(SysInfo* info, uint16_t* level)
{
    if (info == nullptr || level == nullptr)
        return ERR_INVALID_PARAM;
    *level = level_of(info->currentLightRun().level);
    return NO_ERROR;
}

int32_t ac_llc_restore_level(SysInfo* info)
{
    if (info == nullptr)
        return ERR_INVALID_PARAM;
    return ac_llc_set_level(info, level_of(info->currentLightRun().prevLevel));
}

int32_t ac_llc_get_percent(SysInfo* info, float* percent)
{
    if (info == nullptr || percent == nullptr)
        return ERR_INVALID_PARAM;
    *percent = 0.0f;
    if (!range_of(*info).usable())
        return ERR_PARAM_OUT_OF_RANGE;
    *percent = percent_of(*info);
    return NO_ERROR;
}

int32_t ac_llc_percent_step(SysInfo* info, float* step)
{
    if (info == nullptr || step == nullptr)
        return ERR_INVALID_PARAM;
    *step = 0.0f;
    const range r = range_of(*info);
    if (!r.usable())
        return ERR_PARAM_OUT_OF_RANGE;
    *step = 100.0f / static_cast<float>(r.high - r.low);
    return NO_ERROR;
}

int32_t ac_llc_set_percent(SysInfo* info, float percent, bool absolute)
{
    if (info == nullptr)
        return ERR_INVALID_PARAM;
    const range r = range_of(*info);
    if (!absolute) {
        if (!r.usable())
            return ERR_PARAM_OUT_OF_RANGE;
        percent += percent_of(*info);
    }
    if (!(percent >= 0.0f))  // also NaN
        percent = 0.0f;
    if (percent > 100.0f)
        percent = 100.0f;
    const float steps = percent * static_cast<float>(r.high - r.low) / 100.0f;
    return ac_llc_set_level(info, r.high - static_cast<int32_t>(std::lround(steps)));
}

int32_t ac_llc_set_level_wait(SysInfo* info, int32_t level)
{
    if (info == nullptr)
        return ERR_INVALID_PARAM;
    const uint16_t l = clamp_level(*info, level);
    const int32_t b = info->instrBdType;
    if (l == level_of(info->currentLightRun().level) && b != BD_HXI && b != BD_CAN && b != BD_MODEL31)
        return NO_ERROR;
    const int32_t rc = ac_llc_set_level(info, l);
    if (rc != NO_ERROR)
        return rc;
    return ac_llc_wait(info);
}

int32_t ac_llc_mode(SysInfo* info, int32_t mode)
{
    if (info == nullptr || mode < 0 || mode > 2)
        return ERR_INVALID_PARAM;
    if (mode != 0 && !auto_capable(*info))
        return NO_ERROR;
    LightSlot& slot = info->currentLight();
    LightRun& run = info->currentLightRun();
    uint16_t level = 0;
    if (mode == 0) {
        const int32_t rc = ac_llc_read_level(info, &level);
        if (rc != NO_ERROR)
            return rc;
    } else {
        level = level_of(slot.target);
    }
    const ac_llc_board_ops& row = row_of(*info);
    if (info->instrBdType == BD_BOARD01 || info->instrBdType == BD_HXI) {
        const int32_t rc = row.mode_set != nullptr ? row.mode_set(*info, mode, level) : ERR_WRONG_INSTR_BOARD;
        if (rc != NO_ERROR) {
            u_log_sink("ac_llc_mode: uz_write_llcMode failed\n");
            return rc;
        }
    }
    if (ac_llc_agc_applies(*info)) {
        int32_t rc = row.agc_stop != nullptr ? row.agc_stop(*info) : ERR_NOT_IMPLEMENTED;
        if (rc != NO_ERROR)
            return rc;
        if (mode != 0) {
            rc = row.agc_start != nullptr ? row.agc_start(*info, mode) : ERR_NOT_IMPLEMENTED;
            if (rc != NO_ERROR)
                return rc;
        }
    }
    run.mode = mode;
    run.prevLevel = run.level.load();
    run.level = stored_of(level);
    return NO_ERROR;
}

int32_t ac_llc_wait(SysInfo* info)
{
    if (info == nullptr)
        return ERR_INVALID_PARAM;
    const int32_t mode = info->currentLightRun().mode;
    switch (info->instrBdType) {
    case BD_CAN:
        if (ac_llc_agc_system(info->sysType))
            return wait_ndwheel(*info);
        u_sleep_ms(250);
        return NO_ERROR;
    case BD_BOARD01:
        if (mode == 1)
            return ERR_INVALID_PARAM;
        u_sleep_ms(700);
        return NO_ERROR;
    case BD_MODEL13:
    case BD_NOTNEEDED:
        if (mode == 1)
            return ERR_INVALID_PARAM;
        if (info->sysType == SYS_MODEL07) {
            if (info->cameraType == CAM_DGFLY640 || info->cameraType == CAM_DGFLY1024)
                u_sleep_ms(200);
        } else {
            u_sleep_ms(50);
        }
        return NO_ERROR;
    case BD_FTP:
        if (mode == 1)
            return ERR_INVALID_PARAM;
        u_sleep_ms(1000);
        return NO_ERROR;
    default:
        return wait_polling(*info);
    }
}

int32_t ac_llc_read_level_mode(SysInfo* info, uint16_t* level, int32_t* value)
{
    if (info == nullptr || level == nullptr || value == nullptr)
        return ERR_INVALID_PARAM;
    *value = 0;
    int32_t rc = ac_llc_read_level(info, level);
    if (rc != NO_ERROR)
        return rc;
    const ac_llc_board_ops& row = row_of(*info);
    int32_t v = 0;
    if (info->instrBdType == BD_HXI)
        rc = row.mode_read != nullptr ? row.mode_read(*info, &v) : ERR_WRONG_INSTR_BOARD;
    else if (ac_llc_agc_applies(*info))
        rc = row.agc_value != nullptr ? row.agc_value(*info, &v) : ERR_NOT_IMPLEMENTED;
    if (rc != NO_ERROR)
        return rc;
    *value = v;
    return NO_ERROR;
}

uint16_t ac_llc_level_from_value(const SysInfo& info, double value, double lowest, double highest)
{
    const range r = range_of(info);
    if (!(highest > lowest) || !std::isfinite(value))
        return static_cast<uint16_t>(r.low);
    value = std::min(std::max(value, lowest), highest);
    const double l = double(r.high - r.low) * (value - lowest) / (highest - lowest) + r.low;
    return clamp_level(info, std::llround(l));
}

double ac_llc_value_from_level(const SysInfo& info, int32_t level, double lowest, double highest)
{
    const range r = range_of(info);
    if (!r.usable())
        return lowest;
    const uint16_t l = clamp_level(info, level);
    const double v = (highest - lowest) * double(l - r.low) / double(r.high - r.low) + lowest;
    const double lo = std::min(lowest, highest);
    const double hi = std::max(lowest, highest);
    return std::min(std::max(v, lo), hi);
}
