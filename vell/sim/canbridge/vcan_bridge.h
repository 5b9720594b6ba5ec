// The virtual CAN bridge: the CAN bus library's 17 functions over a scripted network bridge and
// its CANopen nodes, so that the CAN instrument services run without hardware.
//
// One process-wide bridge. A test or the instrument console scripts it through the functions
// below and hands vcan::table() to can_bus_use (or loads the same bridge as the loadable
// library "VellCANopen", see vcan_exports.cpp).
//
// - Bridges: a list of {IP, MAC} with firmware version, configuration and a script of last
//   errors. CAN_Connect connects only to a listed address (else status -3, as a connection
//   attempt that times out); every other function but CAN_EnumerateBridges, CAN_Connect,
//   CAN_RegisterEvents and CAN_Disconnect answers -2 while not connected.
//   CAN_SetBridgeConfiguration and CAN_ResetBridge drop the link until the next CAN_Connect.
// - Nodes: presence byte (CAN_EnumerateNodes), find status (CAN_FindNode) and a sequence of
//   states, one per CAN_GetNodeState poll (the last one repeats).
// - Object dictionary: entries keyed by (node, index, subindex), each of an exact size. An SDO
//   transfer to a node that is missing or whose presence byte is not 2 times out (status -3);
//   an unknown object aborts with 0x06020000, a size other than the entry's with 0x06070010;
//   an entry can be told to abort with a chosen code; read and write hooks let a scripted
//   device behave (see busy_for_reads).
// - Events: PDOs with a registered COB-ID and EMCYs are delivered by the bridge's own thread
//   (a platform thread, so it takes part in the virtual clock) to the registered callbacks;
//   CAN_GetPDO may be called from inside the callback. Once CAN_RegisterEvents(null, null) has
//   returned, no callback runs any more. A receive buffer of set_pdo_capacity entries: PDOs
//   beyond it are lost and the next callback reports the overrun.
// - A call log of every library call with its arguments and the (virtual) time, and status
//   overrides per function and call index.
//
// All functions are safe to call from any thread. Hooks run with the bridge's state locked and
// must not call the bridge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vell/can/can_library.h"

namespace vcan {

struct bridge_info {
    uint8_t ip[4] = {192, 168, 0, 10};
    uint8_t mac[6] = {0x00, 0x50, 0xC2, 0x00, 0x00, 0x01};
    uint8_t fw_major = 1;
    uint8_t fw_minor = 0;
    uint8_t node_id = 127;
    uint32_t bit_rate = 1000;
    // Successive CAN_GetLastBridgeError answers; 0 once the script has run out.
    std::vector<uint32_t> last_errors;
};

// One SDO transfer as a hook sees it. `value` is the entry's stored bytes (a read hook may
// change them before they are read); `data`/`size` are the caller's buffer.
struct sdo_access {
    uint8_t node;
    uint16_t index;
    uint8_t subIndex;
    bool write;
    std::vector<uint8_t>& value;
    const uint8_t* data;
    uint32_t size;
};
// Returns 0 to let the transfer go on, or a CANopen abort code to abort it.
using sdo_hook = std::function<uint32_t(sdo_access&)>;

struct call {
    std::string function;  // "CAN_SDORead"
    std::string args;      // "node=63 index=0x1018 sub=2 size=4"
    uint64_t time_ms;      // u_now_ms() at the call
    std::vector<uint8_t> data;  // CAN_SDOWrite: the first bytes written (at most 8)
};

constexpr uint32_t ABORT_NO_OBJECT = 0x06020000u;
constexpr uint32_t ABORT_WRONG_LENGTH = 0x06070010u;

// Everything back to the start: no bridges, nodes, objects, registrations, callbacks,
// overrides or log; not connected; receive buffer of 1024 PDOs. Ends the delivery thread.
void reset();

void add_bridge(const bridge_info& bridge);
// The connected bridge's record (for a test to inspect a configuration written), or the
// first bridge's when none is connected; a default record when there is none.
bridge_info current_bridge();
bool connected();

void set_node(uint8_t node, uint8_t presence = CAN_NODE_PRESENT, uint8_t find_status = CAN_NODE_FOUND,
              std::vector<uint8_t> states = {CAN_NODE_OPERATIONAL});
void remove_node(uint8_t node);

void set_object(uint8_t node, uint16_t index, uint8_t subIndex, std::vector<uint8_t> value);
// Little-endian value of `size` bytes (1, 2 or 4).
void set_object_uint(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t value, int size);
// The stored bytes, empty when there is no such entry.
std::vector<uint8_t> object(uint8_t node, uint16_t index, uint8_t subIndex);
// The next `times` transfers of the entry (-1: all) abort with `abort_code` (0: none).
void set_abort(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t abort_code, int times = -1);
void set_read_hook(uint8_t node, uint16_t index, uint8_t subIndex, sdo_hook hook);
void set_write_hook(uint8_t node, uint16_t index, uint8_t subIndex, sdo_hook hook);
// A device that is busy for the next `reads` reads of the entry (it reads `busy`), then reads
// `idle` (a motor that moves, a wheel that homes, a ramp that is busy).
void busy_for_reads(uint8_t node, uint16_t index, uint8_t subIndex, int reads, std::vector<uint8_t> busy,
                    std::vector<uint8_t> idle);

// The call_index-th call (0-based, counted since reset) of the function returns `status`
// without doing anything; call_index -1: every call. The call is logged all the same.
void set_status(const std::string& function, int call_index, int32_t status);
void clear_status();

// Receive buffer size in PDOs (0: no limit).
void set_pdo_capacity(std::size_t capacity);
// A PDO received from the bus: buffered and announced by the delivery thread when events are
// registered and its COB-ID is registered; false when the bridge does not forward it or it is
// lost to a full buffer (overrun).
bool post_pdo(uint32_t cobId, const uint8_t* data, uint32_t length);
// An emergency message: delivered when events are registered; false otherwise.
bool post_emcy(int32_t first, int32_t second, const uint8_t block[12], uint8_t last);
// Pauses the delivery thread (PDOs and EMCYs are buffered, nothing is announced) or lets it
// go on. A paused bridge counts as idle for flush.
void hold_delivery(bool hold);
// Waits (a platform wait) until the delivery thread has handed out everything received.
void flush();
// COB-IDs registered since the last CAN_UnregisterPDOs, in registration order.
std::vector<uint32_t> registered_pdos();
// PDOs received and not yet fetched with CAN_GetPDO.
std::size_t pending_pdos();

std::vector<call> calls();
void clear_calls();
// Calls of one function in the log.
std::vector<call> calls_of(const std::string& function);

// The 17 functions, for can_bus_use.
can_bus_table table();
// The version the bridge reports as its file version (major << 16 | minor).
constexpr uint32_t version_high = (2u << 16) | 7u;

// The library functions themselves.
int32_t EnumerateBridges(uint8_t* entries, int32_t capacity);
int32_t Connect(uint32_t address);
int32_t GetFirmwareVersion(uint8_t* major, uint8_t* minor);
int32_t GetBridgeConfiguration(uint8_t* nodeId, uint32_t* bitRate);
int32_t SetBridgeConfiguration(uint8_t nodeId, uint32_t bitRate);
int32_t GetLastBridgeError(uint32_t* error);
int32_t ResetBridge();
int32_t EnumerateNodes(uint8_t* nodes);
int32_t FindNode(uint8_t node, uint8_t* status);
int32_t GetNodeState(uint8_t node, uint8_t* state);
int32_t SDORead(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size, CAN_SDO_RESULT* result);
int32_t SDOWrite(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size, CAN_SDO_RESULT* result);
int32_t RegisterEvents(CAN_PDO_CALLBACK pdo, CAN_EMCY_CALLBACK emcy);
int32_t RegisterPDO(CAN_PDO pdo);
int32_t GetPDO(CAN_PDO* pdo);
int32_t UnregisterPDOs();
int32_t Disconnect();

}  // namespace vcan
