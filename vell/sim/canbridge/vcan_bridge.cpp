#include "vell/sim/canbridge/vcan_bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/thread.h"

namespace vcan {

namespace {

using object_key = std::tuple<uint8_t, uint16_t, uint8_t>;

struct entry {
    std::vector<uint8_t> value;
    uint32_t abort_code = 0;
    int abort_times = 0;  // -1: every transfer
    sdo_hook read_hook;
    sdo_hook write_hook;
};

struct node_info {
    uint8_t presence = CAN_NODE_PRESENT;
    uint8_t find_status = CAN_NODE_FOUND;
    std::vector<uint8_t> states;
    std::size_t polls = 0;
};

struct emcy_msg {
    int32_t first;
    int32_t second;
    uint8_t block[12];
    uint8_t last;
};

constexpr std::size_t default_capacity = 1024;

struct state {
    std::mutex m;

    std::vector<bridge_info> bridges;
    std::size_t last_error_pos = 0;
    std::optional<std::size_t> connected;  // index into bridges
    std::map<uint8_t, node_info> nodes;
    std::map<object_key, entry> objects;

    std::map<std::string, std::map<int, int32_t>> overrides;
    std::map<std::string, int> call_counts;
    std::vector<call> log;

    // Events.
    CAN_PDO_CALLBACK pdo_cb = nullptr;
    CAN_EMCY_CALLBACK emcy_cb = nullptr;
    std::vector<uint32_t> registered;
    std::deque<CAN_PDO> rx;
    std::size_t capacity = default_capacity;
    std::size_t unannounced = 0;
    bool overrun = false;
    std::deque<emcy_msg> emcys;

    // Delivery thread. `wake` (auto-reset) tells it that there is work or that it is to stop;
    // `idle` (manual-reset) is signalled while it is neither delivering nor has work.
    u_handle thread = nullptr;
    u_handle wake = nullptr;
    u_handle idle = nullptr;
    std::thread::id thread_id;
    bool delivering = false;
    bool stop = false;
    bool held = false;  // delivery paused by the script
};

state& st()
{
    static state s;
    return s;
}

bool has_work(const state& s)
{
    if (s.held)
        return false;
    bool announce = (s.unannounced > 0 || s.overrun) && s.pdo_cb != nullptr;
    bool emcy = !s.emcys.empty() && s.emcy_cb != nullptr;
    return announce || emcy;
}

// Keeps the idle event in step with the state. Called with the lock held.
void update_idle(state& s)
{
    if (s.idle == nullptr)
        return;
    if (!s.delivering && !has_work(s))
        u_event_set(s.idle);
    else
        u_event_reset(s.idle);
}

int32_t deliver(void*)
{
    state& s = st();
    {
        std::lock_guard<std::mutex> lk(s.m);
        s.thread_id = std::this_thread::get_id();
    }
    for (;;) {
        u_wait_one(s.wake, U_INFINITE);
        for (;;) {
            std::unique_lock<std::mutex> lk(s.m);
            if (s.stop)
                return 0;
            if (!has_work(s)) {
                update_idle(s);
                break;
            }
            CAN_PDO_CALLBACK pdo_cb = s.pdo_cb;
            CAN_EMCY_CALLBACK emcy_cb = s.emcy_cb;
            std::deque<emcy_msg> emcys;
            if (emcy_cb != nullptr)
                emcys.swap(s.emcys);
            int32_t count = 0;
            int32_t overrun = 0;
            if (pdo_cb != nullptr) {
                count = static_cast<int32_t>(std::min<std::size_t>(s.unannounced, 0x7FFFFFFF));
                overrun = s.overrun ? 1 : 0;
                s.unannounced -= static_cast<std::size_t>(count);
                s.overrun = false;
            }
            s.delivering = true;
            update_idle(s);
            lk.unlock();

            for (const emcy_msg& e : emcys)
                emcy_cb(e.first, e.second, e.block, e.last);
            if (pdo_cb != nullptr && (count > 0 || overrun != 0))
                pdo_cb(count, overrun);

            lk.lock();
            s.delivering = false;
            update_idle(s);
        }
    }
}

// Starts the delivery thread unless it runs. Called with the lock held.
void start_thread(state& s)
{
    if (s.thread != nullptr)
        return;
    if (s.wake == nullptr)
        u_event_create(false, false, nullptr, &s.wake);
    if (s.idle == nullptr)
        u_event_create(true, true, nullptr, &s.idle);
    s.stop = false;
    u_handle h = nullptr;
    if (u_thread_start(&deliver, nullptr, &h) == 0)
        s.thread = h;
}

std::string hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(v));
    return buf;
}

std::string dotted(const uint8_t ip[4])
{
    char buf[20];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

// Logs the call and answers its override, if any. Called with the lock held.
std::optional<int32_t> enter(state& s, const char* function, std::string args)
{
    s.log.push_back(call{function, std::move(args), u_now_ms(), {}});
    int index = s.call_counts[function]++;
    auto f = s.overrides.find(function);
    if (f == s.overrides.end())
        return std::nullopt;
    auto at = f->second.find(index);
    if (at != f->second.end())
        return at->second;
    at = f->second.find(-1);
    if (at != f->second.end())
        return at->second;
    return std::nullopt;
}

bridge_info* connected_bridge(state& s)
{
    return s.connected ? &s.bridges[*s.connected] : nullptr;
}

bool node_answers(const state& s, uint8_t node)
{
    auto n = s.nodes.find(node);
    return n != s.nodes.end() && n->second.presence == CAN_NODE_PRESENT;
}

int32_t sdo(bool write, uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size,
            CAN_SDO_RESULT* result)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    char args[80];
    std::snprintf(args, sizeof args, "node=%u index=0x%04X sub=%u size=%u", node, index, subIndex,
                  static_cast<unsigned>(size));
    const std::optional<int32_t> ov = enter(s, write ? "CAN_SDOWrite" : "CAN_SDORead", args);
    if (write && data != nullptr) {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        s.log.back().data.assign(bytes, bytes + std::min<uint32_t>(size, 8));
    }
    if (ov)
        return *ov;
    if (result == nullptr || (data == nullptr && size > 0))
        return CAN_ST_ERROR;
    if (!s.connected)
        return CAN_ST_NOT_CONNECTED;
    if (!node_answers(s, node))
        return CAN_ST_TIMEOUT;
    auto aborted = [&](uint32_t code) {
        result->result = 0;
        result->abortCode = code;
        return CAN_OK;
    };
    auto it = s.objects.find({node, index, subIndex});
    if (it == s.objects.end())
        return aborted(ABORT_NO_OBJECT);
    entry& e = it->second;
    if (e.abort_code != 0 && e.abort_times != 0) {
        if (e.abort_times > 0)
            --e.abort_times;
        return aborted(e.abort_code);
    }
    sdo_access access{node, index, subIndex, write, e.value, static_cast<const uint8_t*>(data), size};
    const sdo_hook& hook = write ? e.write_hook : e.read_hook;
    if (!write && hook) {
        if (uint32_t code = hook(access))
            return aborted(code);
    }
    if (size != e.value.size())
        return aborted(ABORT_WRONG_LENGTH);
    if (write && hook) {
        if (uint32_t code = hook(access))
            return aborted(code);
    }
    if (write) {
        if (size > 0)
            std::memcpy(e.value.data(), data, size);
    } else if (size > 0) {
        std::memcpy(data, e.value.data(), size);
    }
    result->result = 1;
    result->abortCode = 0;
    return CAN_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scripting.

void reset()
{
    state& s = st();
    u_handle thread = nullptr;
    {
        std::lock_guard<std::mutex> lk(s.m);
        thread = s.thread;
        s.thread = nullptr;
        s.stop = true;
        s.pdo_cb = nullptr;
        s.emcy_cb = nullptr;
        if (s.wake != nullptr)
            u_event_set(s.wake);
    }
    if (thread != nullptr) {
        u_thread_join(thread, U_INFINITE);
        u_close_handle(thread);
    }
    std::lock_guard<std::mutex> lk(s.m);
    s.bridges.clear();
    s.last_error_pos = 0;
    s.connected.reset();
    s.nodes.clear();
    s.objects.clear();
    s.overrides.clear();
    s.call_counts.clear();
    s.log.clear();
    s.registered.clear();
    s.rx.clear();
    s.capacity = default_capacity;
    s.unannounced = 0;
    s.overrun = false;
    s.emcys.clear();
    s.delivering = false;
    s.stop = false;
    s.held = false;
    if (s.wake != nullptr)
        u_event_reset(s.wake);
    update_idle(s);
}

void add_bridge(const bridge_info& bridge)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.bridges.push_back(bridge);
}

bridge_info current_bridge()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (bridge_info* b = connected_bridge(s))
        return *b;
    return s.bridges.empty() ? bridge_info{} : s.bridges.front();
}

bool connected()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    return s.connected.has_value();
}

void set_node(uint8_t node, uint8_t presence, uint8_t find_status, std::vector<uint8_t> states)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.nodes[node] = node_info{presence, find_status, std::move(states), 0};
}

void remove_node(uint8_t node)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.nodes.erase(node);
}

void set_object(uint8_t node, uint16_t index, uint8_t subIndex, std::vector<uint8_t> value)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.objects[{node, index, subIndex}].value = std::move(value);
}

void set_object_uint(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t value, int size)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < size && i < 4; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    set_object(node, index, subIndex, std::move(bytes));
}

std::vector<uint8_t> object(uint8_t node, uint16_t index, uint8_t subIndex)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    auto it = s.objects.find({node, index, subIndex});
    return it == s.objects.end() ? std::vector<uint8_t>{} : it->second.value;
}

void set_abort(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t abort_code, int times)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    entry& e = s.objects[{node, index, subIndex}];
    e.abort_code = abort_code;
    e.abort_times = times;
}

void set_read_hook(uint8_t node, uint16_t index, uint8_t subIndex, sdo_hook hook)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.objects[{node, index, subIndex}].read_hook = std::move(hook);
}

void set_write_hook(uint8_t node, uint16_t index, uint8_t subIndex, sdo_hook hook)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.objects[{node, index, subIndex}].write_hook = std::move(hook);
}

void busy_for_reads(uint8_t node, uint16_t index, uint8_t subIndex, int reads, std::vector<uint8_t> busy,
                    std::vector<uint8_t> idle)
{
    set_object(node, index, subIndex, busy);
    auto left = std::make_shared<int>(reads);
    set_read_hook(node, index, subIndex,
                  [left, busy = std::move(busy), idle = std::move(idle)](sdo_access& a) -> uint32_t {
                      a.value = *left > 0 ? busy : idle;
                      if (*left > 0)
                          --*left;
                      return 0;
                  });
}

void set_status(const std::string& function, int call_index, int32_t status)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.overrides[function][call_index < 0 ? -1 : call_index] = status;
}

void clear_status()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.overrides.clear();
}

void set_pdo_capacity(std::size_t capacity)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.capacity = capacity;
}

bool post_pdo(uint32_t cobId, const uint8_t* data, uint32_t length)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (s.pdo_cb == nullptr || std::find(s.registered.begin(), s.registered.end(), cobId) == s.registered.end())
        return false;
    if (s.capacity != 0 && s.rx.size() >= s.capacity) {
        s.overrun = true;
        update_idle(s);
        u_event_set(s.wake);
        return false;
    }
    CAN_PDO pdo{cobId, 0, std::min<uint32_t>(length, 8), {}};
    if (data != nullptr)
        std::memcpy(pdo.data, data, pdo.length);
    s.rx.push_back(pdo);
    ++s.unannounced;
    update_idle(s);
    u_event_set(s.wake);
    return true;
}

bool post_emcy(int32_t first, int32_t second, const uint8_t block[12], uint8_t last)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (s.emcy_cb == nullptr)
        return false;
    emcy_msg e{first, second, {}, last};
    if (block != nullptr)
        std::memcpy(e.block, block, sizeof e.block);
    s.emcys.push_back(e);
    update_idle(s);
    u_event_set(s.wake);
    return true;
}

void hold_delivery(bool hold)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.held = hold;
    update_idle(s);
    if (s.wake != nullptr)
        u_event_set(s.wake);
}

void flush()
{
    state& s = st();
    u_handle idle = nullptr;
    {
        std::lock_guard<std::mutex> lk(s.m);
        if (s.thread == nullptr || std::this_thread::get_id() == s.thread_id)
            return;
        idle = s.idle;
    }
    u_wait_one(idle, U_INFINITE);
}

std::vector<uint32_t> registered_pdos()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    return s.registered;
}

std::size_t pending_pdos()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    return s.rx.size();
}

std::vector<call> calls()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    return s.log;
}

void clear_calls()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    s.log.clear();
}

std::vector<call> calls_of(const std::string& function)
{
    std::vector<call> out;
    for (call& c : calls())
        if (c.function == function)
            out.push_back(std::move(c));
    return out;
}

can_bus_table table()
{
    can_bus_table t;
    t.CAN_EnumerateBridges = &EnumerateBridges;
    t.CAN_Connect = &Connect;
    t.CAN_GetFirmwareVersion = &GetFirmwareVersion;
    t.CAN_GetBridgeConfiguration = &GetBridgeConfiguration;
    t.CAN_SetBridgeConfiguration = &SetBridgeConfiguration;
    t.CAN_GetLastBridgeError = &GetLastBridgeError;
    t.CAN_ResetBridge = &ResetBridge;
    t.CAN_EnumerateNodes = &EnumerateNodes;
    t.CAN_FindNode = &FindNode;
    t.CAN_GetNodeState = &GetNodeState;
    t.CAN_SDORead = &SDORead;
    t.CAN_SDOWrite = &SDOWrite;
    t.CAN_RegisterEvents = &RegisterEvents;
    t.CAN_RegisterPDO = &RegisterPDO;
    t.CAN_GetPDO = &GetPDO;
    t.CAN_UnregisterPDOs = &UnregisterPDOs;
    t.CAN_Disconnect = &Disconnect;
    return t;
}

// ---------------------------------------------------------------------------------------------
// The library functions.

int32_t EnumerateBridges(uint8_t* entries, int32_t capacity)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_EnumerateBridges", "capacity=" + std::to_string(capacity)))
        return *ov;
    if (entries == nullptr || capacity < 0)
        return CAN_ST_ERROR;
    int32_t n = 0;
    for (const bridge_info& b : s.bridges) {
        if (n >= capacity || n >= CAN_MAX_BRIDGES)
            break;
        uint8_t* e = entries + static_cast<std::size_t>(n) * CAN_BRIDGE_ENTRY_SIZE;
        std::memcpy(e, b.ip, 4);
        std::memcpy(e + 4, b.mac, 6);
        ++n;
    }
    return n;
}

int32_t Connect(uint32_t address)
{
    uint8_t ip[4];
    std::memcpy(ip, &address, 4);  // the address bytes in memory order
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_Connect", "address=" + dotted(ip)))
        return *ov;
    for (std::size_t i = 0; i < s.bridges.size(); ++i) {
        if (std::memcmp(s.bridges[i].ip, ip, 4) == 0) {
            s.connected = i;
            return CAN_OK;
        }
    }
    s.connected.reset();
    return CAN_ST_TIMEOUT;
}

int32_t GetFirmwareVersion(uint8_t* major, uint8_t* minor)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_GetFirmwareVersion", ""))
        return *ov;
    bridge_info* b = connected_bridge(s);
    if (b == nullptr)
        return CAN_ST_NOT_CONNECTED;
    if (major == nullptr || minor == nullptr)
        return CAN_ST_ERROR;
    *major = b->fw_major;
    *minor = b->fw_minor;
    return CAN_OK;
}

int32_t GetBridgeConfiguration(uint8_t* nodeId, uint32_t* bitRate)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_GetBridgeConfiguration", ""))
        return *ov;
    bridge_info* b = connected_bridge(s);
    if (b == nullptr)
        return CAN_ST_NOT_CONNECTED;
    if (nodeId == nullptr || bitRate == nullptr)
        return CAN_ST_ERROR;
    *nodeId = b->node_id;
    *bitRate = b->bit_rate;
    return CAN_OK;
}

int32_t SetBridgeConfiguration(uint8_t nodeId, uint32_t bitRate)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_SetBridgeConfiguration",
                        "node=" + std::to_string(nodeId) + " bitrate=" + std::to_string(bitRate)))
        return *ov;
    bridge_info* b = connected_bridge(s);
    if (b == nullptr)
        return CAN_ST_NOT_CONNECTED;
    b->node_id = nodeId;
    b->bit_rate = bitRate;
    s.connected.reset();  // the bridge restarts with its new configuration
    return CAN_OK;
}

int32_t GetLastBridgeError(uint32_t* error)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_GetLastBridgeError", ""))
        return *ov;
    bridge_info* b = connected_bridge(s);
    if (b == nullptr)
        return CAN_ST_NOT_CONNECTED;
    if (error == nullptr)
        return CAN_ST_ERROR;
    *error = s.last_error_pos < b->last_errors.size() ? b->last_errors[s.last_error_pos++] : 0;
    return CAN_OK;
}

int32_t ResetBridge()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_ResetBridge", ""))
        return *ov;
    if (!s.connected)
        return CAN_ST_NOT_CONNECTED;
    s.connected.reset();
    for (auto& [id, n] : s.nodes)
        n.polls = 0;
    return CAN_OK;
}

int32_t EnumerateNodes(uint8_t* nodes)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_EnumerateNodes", ""))
        return *ov;
    if (!s.connected)
        return CAN_ST_NOT_CONNECTED;
    if (nodes == nullptr)
        return CAN_ST_ERROR;
    std::memset(nodes, 0, CAN_NODE_TABLE_SIZE);
    for (const auto& [id, n] : s.nodes)
        if (id < CAN_NODE_TABLE_SIZE)
            nodes[id] = n.presence;
    return CAN_OK;
}

int32_t FindNode(uint8_t node, uint8_t* status)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_FindNode", "node=" + std::to_string(node)))
        return *ov;
    if (!s.connected)
        return CAN_ST_NOT_CONNECTED;
    if (status == nullptr)
        return CAN_ST_ERROR;
    auto n = s.nodes.find(node);
    *status = n == s.nodes.end() ? 0 : n->second.find_status;
    return CAN_OK;
}

int32_t GetNodeState(uint8_t node, uint8_t* stateOut)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_GetNodeState", "node=" + std::to_string(node)))
        return *ov;
    if (!s.connected)
        return CAN_ST_NOT_CONNECTED;
    if (stateOut == nullptr)
        return CAN_ST_ERROR;
    auto n = s.nodes.find(node);
    if (n == s.nodes.end() || n->second.presence != CAN_NODE_PRESENT)
        return CAN_ST_TIMEOUT;
    node_info& info = n->second;
    if (info.states.empty()) {
        *stateOut = 0;
    } else {
        *stateOut = info.states[std::min(info.polls, info.states.size() - 1)];
        ++info.polls;
    }
    return CAN_OK;
}

int32_t SDORead(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size, CAN_SDO_RESULT* result)
{
    return sdo(false, node, index, subIndex, data, size, result);
}

int32_t SDOWrite(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size, CAN_SDO_RESULT* result)
{
    return sdo(true, node, index, subIndex, data, size, result);
}

int32_t RegisterEvents(CAN_PDO_CALLBACK pdo, CAN_EMCY_CALLBACK emcy)
{
    state& s = st();
    u_handle wait_for = nullptr;
    {
        std::lock_guard<std::mutex> lk(s.m);
        if (auto ov = enter(s, "CAN_RegisterEvents",
                            std::string("pdo=") + (pdo ? "set" : "null") + " emcy=" + (emcy ? "set" : "null")))
            return *ov;
        s.pdo_cb = pdo;
        s.emcy_cb = emcy;
        if (pdo == nullptr && emcy == nullptr) {
            // Nothing is announced any more; what was received stays for CAN_GetPDO.
            s.unannounced = 0;
            s.overrun = false;
            s.emcys.clear();
            update_idle(s);
            if (s.delivering && std::this_thread::get_id() != s.thread_id)
                wait_for = s.idle;
        } else {
            start_thread(s);
            update_idle(s);
            u_event_set(s.wake);
        }
    }
    // A callback in progress ends before the caller is told that none will come.
    if (wait_for != nullptr)
        u_wait_one(wait_for, U_INFINITE);
    return CAN_OK;
}

int32_t RegisterPDO(CAN_PDO pdo)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_RegisterPDO", "cobId=" + hex(pdo.cobId)))
        return *ov;
    if (!s.connected)
        return CAN_ST_NOT_CONNECTED;
    if (std::find(s.registered.begin(), s.registered.end(), pdo.cobId) == s.registered.end())
        s.registered.push_back(pdo.cobId);
    return CAN_OK;
}

int32_t GetPDO(CAN_PDO* pdo)
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_GetPDO", ""))
        return *ov;
    if (pdo == nullptr)
        return CAN_ST_ERROR;
    if (s.rx.empty())
        return CAN_ST_NO_PDO;
    *pdo = s.rx.front();
    s.rx.pop_front();
    return CAN_OK;
}

int32_t UnregisterPDOs()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_UnregisterPDOs", ""))
        return *ov;
    s.registered.clear();
    return CAN_OK;
}

int32_t Disconnect()
{
    state& s = st();
    std::lock_guard<std::mutex> lk(s.m);
    if (auto ov = enter(s, "CAN_Disconnect", ""))
        return *ov;
    s.connected.reset();
    return CAN_OK;
}

}  // namespace vcan
