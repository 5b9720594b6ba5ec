#include "vell/can/can_sdo.h"

#include <atomic>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_bus.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/log.h"

namespace {

// One row per node: id, name, availability flag, the text of its guard message.
struct node_row {
    uint8_t id;
    const char* name;
    bool can_node_avail::*flag;
    const char* guard_text;
};

constexpr node_row node_rows[] = {
    {CAN_NODE_ID_LARGEAP, "CAN_NODE_ID_LARGEAP", &can_node_avail::canLargeApAvail, "CAN Large Aperture"},
    {CAN_NODE_ID_LED, "CAN_NODE_ID_LED", nullptr, nullptr},
    {CAN_NODE_ID_TRIPLEPZT, "CAN_NODE_ID_TRIPLEPZT", &can_node_avail::canTriplePztAvail, "CAN Triple PZT"},
    {CAN_NODE_ID_BRUSHMOTOR, "CAN_NODE_ID_BRUSHMOTOR", &can_node_avail::canBrushMotorAvail, "CAN Brush Motor"},
    {CAN_NODE_ID_FOCUS_NDW, "CAN_NODE_ID_FOCUS_NDW", &can_node_avail::canFocusNdwAvail, "CAN Focus and ND Wheel"},
    {CAN_NODE_ID_AUX_MOTOR, "CAN_NODE_ID_AUX_MOTOR", &can_node_avail::canAuxMotorAvail, "CAN Aux Motor"},
    {CAN_NODE_ID_DD_RS, "CAN_NODE_ID_DD_RS", &can_node_avail::canDdRsAvail, "CAN Ring-of-Fire and Diffuser Disk"},
    {CAN_NODE_ID_DD_ZOOM, "CAN_NODE_ID_DD_ZOOM", &can_node_avail::canDdZoomAvail, "CAN Zoom and Diffuser Disk"},
    {CAN_NODE_ID_WAND, "CAN_NODE_ID_WAND", &can_node_avail::canWandAvail, "CAN Wand"},
    {CAN_NODE_ID_WAND2, "CAN_NODE_ID_WAND2", &can_node_avail::canWand2Avail, "CAN Wand2"},
    {CAN_NODE_ID_RAMP, "CAN_NODE_ID_RAMP", nullptr, nullptr},
};

const node_row* row_of(uint8_t node)
{
    for (const node_row& r : node_rows)
        if (r.id == node)
            return &r;
    return nullptr;
}

std::atomic<can_sleep_reset_fn> sleep_reset{nullptr};

using sdo_fn = int32_t (*)(uint8_t, uint16_t, uint8_t, void*, uint32_t, CAN_SDO_RESULT*);

// The transfer of both directions; `self` names the direction in the lines it writes.
int32_t sdo_transfer(sdo_fn transfer, const char* self, bool stamped, uint8_t node, uint16_t index,
                     uint8_t subIndex, void* data, uint32_t size, bool resetSleepTimer, int32_t abortCode,
                     const char* caller)
{
    CAN_SDO_RESULT result{0, 0, 0};
    int32_t status = transfer(node, index, subIndex, data, size, &result);
    if (resetSleepTimer) {
        if (can_sleep_reset_fn fn = sleep_reset.load(std::memory_order_acquire))
            fn();
    }
    if (status == CAN_OK && result.result == 1)
        return NO_ERROR;
    void (*log)(const char*, ...) = stamped ? &u_log_stamped : u_log_sink;
    const char* who = caller != nullptr ? caller : "";
    if (status == CAN_OK) {
        log("%s called by %s: err=%s, result=%d, abortcode=%8.8lX\n", self, who, u_err_name(abortCode),
            static_cast<int>(result.result), static_cast<unsigned long>(result.abortCode));
        return abortCode;
    }
    int32_t code = can_err_code(status);
    log("%s called by %s: err=%s\n", self, who, u_err_name(code));
    return code;
}

// The identity reads' entry check: a record whose board is CAN.
int32_t board_check(const SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    return si->instrBdType == BD_CAN ? NO_ERROR : ERR_WRONG_INSTR_BOARD;
}

}  // namespace

can_slot_state::~can_slot_state()
{
    if (ndwStopped != nullptr)
        u_close_handle(ndwStopped);
}

can_slot_state* can_state(const SysInfo* si)
{
    return si != nullptr ? &si->services.get<can_slot_state>() : nullptr;
}

can_node_avail* can_avail(const SysInfo* si)
{
    can_slot_state* st = can_state(si);
    return st != nullptr ? &st->avail : nullptr;
}

bool* can_avail_flag(const SysInfo* si, uint8_t node)
{
    const node_row* r = row_of(node);
    can_node_avail* avail = can_avail(si);
    if (r == nullptr || r->flag == nullptr || avail == nullptr)
        return nullptr;
    return &(avail->*(r->flag));
}

const char* can_node_name(uint8_t node)
{
    const node_row* r = row_of(node);
    return r != nullptr ? r->name : nullptr;
}

int32_t can_err_code(int32_t status)
{
    switch (status) {
    case CAN_OK: return NO_ERROR;
    case CAN_ST_ERROR: return ERR_CAN_ERROR;
    case CAN_ST_NOT_CONNECTED: return ERR_CAN_NOT_CONNECTED;
    case CAN_ST_TIMEOUT: return ERR_CAN_TIMEOUT;
    case CAN_ST_TCP_ERROR: return ERR_CAN_TCP_TRANSMISSION_ERROR;
    case CAN_ST_BUFFER_TOO_SMALL: return ERR_CAN_BUFFER_TOO_SMALL;
    case CAN_ST_NO_PDO: return ERR_CAN_NO_PDO;
    default: return ERR_UNKNOWN;
    }
}

int32_t can_sdo_read2(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size,
                      bool resetSleepTimer, int32_t abortCode, const char* caller)
{
    return sdo_transfer(can_bus().CAN_SDORead, "can_sdo_read2", false, node, index, subIndex, data, size,
                        resetSleepTimer, abortCode, caller);
}

int32_t can_sdo_write2(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size,
                       bool resetSleepTimer, int32_t abortCode, const char* caller)
{
    return sdo_transfer(can_bus().CAN_SDOWrite, "can_sdo_write2", true, node, index, subIndex, data, size,
                        resetSleepTimer, abortCode, caller);
}

int32_t can_read_productID(const SysInfo* si, uint8_t node, uint32_t* productId)
{
    if (int32_t rc = board_check(si); rc != NO_ERROR)
        return rc;
    uint8_t bytes[4] = {};
    int32_t err = can_sdo_read2(node, 0x1018, 2, bytes, sizeof bytes, true, ERR_CAN_ERROR, "can_read_productID");
    if (err != NO_ERROR)
        return err;
    // The library hands the value over in memory order (little-endian on every target).
    if (productId != nullptr)
        *productId = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                     static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return NO_ERROR;
}

int32_t can_read_version(const SysInfo* si, uint8_t node, uint16_t* major, uint16_t* minor)
{
    if (int32_t rc = board_check(si); rc != NO_ERROR)
        return rc;
    uint8_t bytes[4] = {};
    int32_t err = can_sdo_read2(node, 0x1018, 3, bytes, sizeof bytes, true, ERR_CAN_ERROR, "can_read_version");
    if (err != NO_ERROR)
        return err;
    if (major != nullptr)
        *major = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    if (minor != nullptr)
        *minor = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    return NO_ERROR;
}

int32_t can_node_guard(const SysInfo* si, uint8_t node, const char* caller)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    const node_row* r = row_of(node);
    if (r == nullptr || r->flag == nullptr || can_state(si)->avail.*(r->flag))
        return NO_ERROR;
    if (caller != nullptr)
        u_log_stamped("%s: %s node is not available\n", caller, r->guard_text);
    return ERR_CAN_NODE_NOT_AVAIL;
}

void can_set_sleep_reset(can_sleep_reset_fn fn)
{
    sleep_reset.store(fn, std::memory_order_release);
}
