#include "vell/can/can_events.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_bus.h"
#include "vell/can/can_common.h"
#include "vell/can/can_sdo.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/log.h"

namespace {

// A named auto-reset event, created signalled, used as a lock: acquire = wait, release = set.
struct named_lock {
    const char* name;
    const char* label;  // as the creation failure names it
    std::atomic<u_handle> handle{nullptr};  // set once, never closed
};

struct queues {
    named_lock event_lock{CAN_EVENT_MUTEX, "CanEventMutex"};
    named_lock pdo_lock{CAN_PDO_QUEUE_MUTEX, "PdoQueueMutex"};
    named_lock emcy_lock{CAN_EMCY_QUEUE_MUTEX, "EmcyQueueMutex"};
    std::mutex create;  // serialises the creation of the locks

    std::deque<CAN_PDO> pdos;                     // under pdo_lock
    std::deque<can_emcy_record> emcys;            // under emcy_lock
    std::deque<can_event_record> events;          // under event_lock
    std::deque<can_pd_event_record> pd_events;    // under event_lock

    // Decoder state, under event_lock (only the pump decodes).
    uint8_t ndw_home = 0;
    uint8_t ndw_moving = 0;
    bool ndw_was_moving = false;
    int motion_state = 0;     // 0 idle, 1 moving, 2 stopping
    uint8_t last_zoom = 255;  // 255: none
    int last_turret = -1;     // last turret status byte; -1: none yet
};

queues& q()
{
    static queues s;
    return s;
}

// The lock's event. A lock that does not exist (no enable yet) is created on the way; when it
// cannot be created this is null, so a hold of it holds nothing and is false: the queue behind
// it is not touched (nothing runs unlocked).
u_handle lock_event(named_lock& lock)
{
    if (lock.handle.load(std::memory_order_acquire) == nullptr)
        CanCreateSyncObjects();
    return lock.handle.load(std::memory_order_acquire);
}

// Holds a lock for a scope.
class hold : public u_event_hold {
public:
    explicit hold(named_lock& lock) : u_event_hold(lock_event(lock)) {}
};

constexpr uint32_t node_of(uint32_t cobId) { return cobId & 0x7Fu; }
constexpr uint32_t function_of(uint32_t cobId) { return cobId & 0x780u; }
constexpr uint32_t FC_TPDO1 = 0x180;
constexpr uint32_t FC_TPDO2 = 0x280;

bool brush_motor_model(int32_t sys)
{
    return sysinfo_type_in(sys, {SYS_MODEL10, SYS_MODEL12, SYS_MODEL15, SYS_MODEL23, SYS_MODEL25, SYS_MODEL29});
}

bool wand_model(int32_t sys)
{
    return sysinfo_type_in(sys, {SYS_MODEL17, SYS_MODEL19, SYS_MODEL20, SYS_MODEL24, SYS_MODEL26, SYS_MODEL28});
}

bool focus_model(int32_t sys)
{
    return sysinfo_type_in(sys, {SYS_MODEL17, SYS_MODEL24, SYS_MODEL26, SYS_MODEL28});
}

// Codes of one PDO, in decoder order; at most four.
struct codes {
    int32_t code[4];
    int n = 0;
    void add(int32_t c)
    {
        if (n < 4)
            code[n++] = c;
    }
};

void decode_wand(const CAN_PDO& p, codes& out)
{
    uint32_t node = node_of(p.cobId);
    if ((node != CAN_NODE_ID_WAND && node != CAN_NODE_ID_WAND2) || function_of(p.cobId) != FC_TPDO1)
        return;
    switch (p.data[0]) {
    case 1: out.add(CAN_EV_WAND_KEY1); break;
    case 2: out.add(CAN_EV_WAND_KEY2); break;
    case 3: out.add(CAN_EV_WAND_KEY3); break;
    default: break;
    }
}

void decode_nd_wheel(queues& s, const CAN_PDO& p)
{
    if (node_of(p.cobId) != CAN_NODE_ID_FOCUS_NDW || function_of(p.cobId) != FC_TPDO2)
        return;
    s.ndw_home = p.data[0] & 0x18;
    s.ndw_moving = p.data[0] & 0x02;
    if (s.ndw_moving) {
        s.ndw_was_moving = true;
    } else if (s.ndw_was_moving) {
        u_handle stopped = nullptr;
        if (u_event_open(CAN_NDWHEEL_STOPPED, &stopped) == NO_ERROR) {
            u_event_set(stopped);
            u_close_handle(stopped);
        }
        s.ndw_was_moving = false;
    }
}

void decode_ring_spot(const CAN_PDO& p, codes& out)
{
    if (node_of(p.cobId) != CAN_NODE_ID_DD_RS || function_of(p.cobId) != FC_TPDO2)
        return;
    if ((p.data[0] & 0x02) != 0)
        return;
    if (p.data[2] == 1)
        out.add(CAN_EV_RING);
    else if (p.data[2] == 2)
        out.add(CAN_EV_SPOT);
}

void decode_focus(const CAN_PDO& p, codes& out)
{
    if (node_of(p.cobId) == CAN_NODE_ID_FOCUS_NDW && function_of(p.cobId) == FC_TPDO1)
        out.add(CAN_EV_FOCUS);
}

void decode_brush_motor(queues& s, const SysInfo& info, const CAN_PDO& p, codes& out)
{
    if (node_of(p.cobId) != CAN_NODE_ID_BRUSHMOTOR)
        return;
    const uint8_t d0 = p.data[0];
    if (function_of(p.cobId) == FC_TPDO1) {
        if (info.turret == 2 && static_cast<int>(d0) != s.last_turret) {
            s.last_turret = d0;
            out.add(CAN_EV_TURRET);
        }
        return;
    }
    if (function_of(p.cobId) != FC_TPDO2)
        return;
    if (s.motion_state == 2 && (d0 & 0x20) == 0) {
        out.add(CAN_EV_MOVE_DONE);
        s.motion_state = 0;
    } else if (s.motion_state == 1) {
        s.motion_state = (d0 & 0x08) != 0 ? 1 : 2;
    }
    if ((d0 & 0x08) != 0) {
        out.add(CAN_EV_MOVING);
        s.motion_state = 1;
    }
    // Zoom changer slot of the position byte; a byte outside the map tells nothing.
    uint8_t pos = 0;
    if (can_zoom_slot(p.data[1], &pos)) {
        if (pos != s.last_zoom) {
            s.last_zoom = pos;
            out.add(CAN_EV_ZOOM_CHANGED);
        }
    }
}

codes decode(queues& s, const SysInfo* info, const CAN_PDO& p)
{
    codes out;
    if (info == nullptr || info->instrBdType != BD_CAN)
        return out;
    int32_t sys = info->sysType;
    if (brush_motor_model(sys)) {
        decode_brush_motor(s, *info, p, out);
    } else if (wand_model(sys)) {
        decode_wand(p, out);
        decode_nd_wheel(s, p);
        if (sys != SYS_MODEL20)
            decode_ring_spot(p, out);
        if (focus_model(sys))
            decode_focus(p, out);
    }
    return out;
}

void register_pdo(uint32_t cobId)
{
    CAN_PDO pdo{};
    pdo.cobId = cobId;
    can_bus().CAN_RegisterPDO(pdo);  // results are not looked at
}

// The PDOs the bridge is to forward for the instrument's model.
void register_model_pdos(const SysInfo* info)
{
    if (info == nullptr)
        return;
    int32_t sys = info->sysType;
    if (brush_motor_model(sys)) {
        uint32_t product = info->canInfo ? info->canInfo->brushMotorProductId : 0xFFFFFFFFu;
        if (info->turret == 2)
            register_pdo(0x1BF);
        if ((info->zoom == 2 && product == CAN_BRMOTOR_PRODUCT_D5) ||
            (info->zoom == 1 && (product == CAN_BRMOTOR_PRODUCT_D5 || product == CAN_BRMOTOR_PRODUCT_D7)))
            register_pdo(0x2BF);
        return;
    }
    if (focus_model(sys))
        register_pdo(0x1C0);
    if (focus_model(sys) || sys == SYS_MODEL19 || sys == SYS_MODEL20) {
        register_pdo(0x1C8);
        register_pdo(0x1C9);
        register_pdo(0x2C0);
        if (sys != SYS_MODEL20)
            register_pdo(0x2C4);
    }
}

}  // namespace

int32_t CanCreateSyncObjects()
{
    queues& s = q();
    std::lock_guard<std::mutex> creating(s.create);
    for (named_lock* lock : {&s.event_lock, &s.pdo_lock, &s.emcy_lock}) {
        if (lock->handle.load(std::memory_order_acquire) != nullptr)
            continue;
        u_handle h = nullptr;
        if (u_event_create(false, true, lock->name, &h) != NO_ERROR || h == nullptr) {
            u_log_sink("CanCreateSyncObjects: Cannot create %s\n", lock->label);
            return ERR_UNKNOWN;
        }
        lock->handle.store(h, std::memory_order_release);
    }
    return NO_ERROR;
}

void can_events_close_locks()
{
    queues& s = q();
    std::lock_guard<std::mutex> creating(s.create);
    for (named_lock* lock : {&s.event_lock, &s.pdo_lock, &s.emcy_lock})
        if (u_handle h = lock->handle.exchange(nullptr, std::memory_order_acq_rel))
            u_close_handle(h);
}

int32_t can_register_events(const SysInfo* si, bool enable)
{
    int32_t status = CAN_OK;
    if (enable) {
        int32_t err = CanCreateSyncObjects();
        if (err != NO_ERROR)
            return err;
        status = can_bus().CAN_RegisterEvents(&ReceivePdoHandler, &ReceiveEmcyHandler);
        if (status == CAN_OK) {
            register_model_pdos(si);
            return NO_ERROR;
        }
    } else {
        status = can_bus().CAN_RegisterEvents(nullptr, nullptr);
        int32_t unregistered = can_bus().CAN_UnregisterPDOs();
        if (status == CAN_OK)
            status = unregistered;
        if (status == CAN_OK)
            return NO_ERROR;
    }
    u_log_sink("can_register_events canErr = %d\n", static_cast<int>(status));
    return can_err_code(status);
}

void can_events_free_resources()
{
    int32_t status = can_bus().CAN_UnregisterPDOs();
    if (status != CAN_OK)
        u_log_sink("can_events_free_resources canErr = %d\n", static_cast<int>(status));
}

void ReceivePdoHandler(int32_t count, int32_t overrun)
{
    if (overrun != 0)
        u_log_sink("ReceivePdo overrun.\n");
    queues& s = q();
    for (int32_t i = 0; i < count; ++i) {
        CAN_PDO pdo{};
        int32_t status = can_bus().CAN_GetPDO(&pdo);
        if (status != CAN_OK) {
            u_log_sink("ReceivePdoHandler canErr = %d\n", static_cast<int>(status));
            continue;
        }
        pdo.length = std::min<uint32_t>(pdo.length, 8);
        if (hold lock(s.pdo_lock); lock)
            s.pdos.push_back(pdo);
    }
}

void ReceiveEmcyHandler(int32_t first, int32_t second, const uint8_t* block, uint8_t last)
{
    can_emcy_record r;
    r.first = first;
    r.second = second;
    if (block != nullptr) {
        std::memcpy(&r.word, block, 4);
        r.byte = block[4];
        std::memcpy(r.bytes, block + 5, 5);
        std::memcpy(r.pad, block + 10, 2);
    }
    r.last = last;
    queues& s = q();
    if (hold lock(s.emcy_lock); lock)
        s.emcys.push_back(r);
}

void can_pass_pdo(uint32_t cobId, uint32_t length, const uint8_t* data)
{
    CAN_PDO pdo{};
    pdo.cobId = cobId;
    pdo.length = std::min<uint32_t>(length, 8);
    if (data != nullptr)
        std::memcpy(pdo.data, data, pdo.length);
    queues& s = q();
    if (hold lock(s.pdo_lock); lock)
        s.pdos.push_back(pdo);
}

void can_pass_emcy(int32_t first, int32_t second, uint32_t third, uint8_t byte, const uint8_t* five, uint8_t last)
{
    can_emcy_record r;
    r.first = first;
    r.second = second;
    r.word = third;
    r.byte = byte;
    if (five != nullptr)
        std::memcpy(r.bytes, five, 5);
    r.last = last;
    queues& s = q();
    if (hold lock(s.emcy_lock); lock)
        s.emcys.push_back(r);
}

bool can_process_events(SysInfo* info)
{
    queues& s = q();
    hold event_lock(s.event_lock);
    if (!event_lock)
        return false;

    // EMCYs: one at a time, the EMCY lock released while the record is appended.
    for (;;) {
        can_emcy_record r;
        {
            hold lock(s.emcy_lock);
            if (!lock || s.emcys.empty())
                break;
            r = s.emcys.front();
            s.emcys.pop_front();
        }
        can_event_record e;
        e.type = CAN_EVENT_TYPE_EMCY;
        e.emcy = r;
        s.events.push_back(e);
    }
    bool any = !s.events.empty();

    // PDOs: the PDO lock released while each record is decoded.
    for (;;) {
        CAN_PDO p;
        {
            hold lock(s.pdo_lock);
            if (!lock || s.pdos.empty())
                break;
            p = s.pdos.front();
            s.pdos.pop_front();
        }
        codes c = decode(s, info, p);
        for (int i = 0; i < c.n; ++i) {
            can_pd_event_record e;
            e.code = c.code[i];
            e.cobId = p.cobId;
            e.word = p.reserved;
            e.length = p.length;
            std::memcpy(e.data_lo, p.data, 4);
            std::memcpy(e.data_hi, p.data + 4, 4);
            s.pd_events.push_back(e);
        }
    }
    return any || !s.pd_events.empty();
}

bool can_take_event(can_event_record* out)
{
    queues& s = q();
    hold lock(s.event_lock);
    if (!lock || s.events.empty() || out == nullptr)
        return false;
    *out = s.events.front();
    s.events.pop_front();
    return true;
}

bool can_take_pd_event(can_pd_event_record* out)
{
    queues& s = q();
    hold lock(s.event_lock);
    if (!lock || s.pd_events.empty() || out == nullptr)
        return false;
    *out = s.pd_events.front();
    s.pd_events.pop_front();
    return true;
}

std::size_t can_event_count()
{
    queues& s = q();
    hold lock(s.event_lock);
    return lock ? s.events.size() : 0;
}

std::size_t can_pd_event_count()
{
    queues& s = q();
    hold lock(s.event_lock);
    return lock ? s.pd_events.size() : 0;
}

void can_post_pd_event(const can_pd_event_record& record)
{
    queues& s = q();
    if (hold lock(s.event_lock); lock)
        s.pd_events.push_back(record);
}

void can_ndw_status(uint8_t* home, bool* moving)
{
    queues& s = q();
    hold lock(s.event_lock);
    if (!lock)
        return;
    if (home != nullptr)
        *home = s.ndw_home;
    if (moving != nullptr)
        *moving = s.ndw_moving != 0;
}

void can_events_reset()
{
    queues& s = q();
    hold event_lock(s.event_lock);
    if (!event_lock)
        return;  // without the locks nothing was ever queued or decoded
    if (hold lock(s.pdo_lock); lock)
        s.pdos.clear();
    if (hold lock(s.emcy_lock); lock)
        s.emcys.clear();
    s.events.clear();
    s.pd_events.clear();
    s.ndw_home = 0;
    s.ndw_moving = 0;
    s.ndw_was_moving = false;
    s.motion_state = 0;
    s.last_zoom = 255;
    s.last_turret = -1;
}

uint8_t can_seed_last_zoom(uint8_t pos)
{
    queues& s = q();
    hold event_lock(s.event_lock);
    if (!event_lock)
        return 255;
    if (s.last_zoom == 255)
        s.last_zoom = pos;
    return s.last_zoom;
}

void can_ndw_set_status(uint8_t home, bool moving)
{
    queues& s = q();
    hold event_lock(s.event_lock);
    if (!event_lock)
        return;
    s.ndw_home = home & 0x18;
    s.ndw_moving = moving ? 0x02 : 0;
}
