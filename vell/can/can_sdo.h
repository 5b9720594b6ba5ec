// CAN node registry and SDO access: the instrument's node ids, which nodes answered at
// start-up (availability flags), library status to platform error code, and the two SDO
// transfers through which every node operation reads or writes an object-dictionary entry.
//
// Everything here runs on the caller's thread and keeps no cache: every read goes to the node.
// The availability flags are the instrument's own, in its record's run-time part.
#pragma once

#include <cstdint>

#include "vell/can/can_state.h"

struct SysInfo;

// Node ids.
constexpr uint8_t CAN_NODE_ID_LARGEAP = 52;
constexpr uint8_t CAN_NODE_ID_LED = 61;
constexpr uint8_t CAN_NODE_ID_TRIPLEPZT = 62;
constexpr uint8_t CAN_NODE_ID_BRUSHMOTOR = 63;
constexpr uint8_t CAN_NODE_ID_FOCUS_NDW = 64;
constexpr uint8_t CAN_NODE_ID_AUX_MOTOR = 66;
constexpr uint8_t CAN_NODE_ID_DD_RS = 68;
constexpr uint8_t CAN_NODE_ID_DD_ZOOM = 70;
constexpr uint8_t CAN_NODE_ID_WAND = 72;
constexpr uint8_t CAN_NODE_ID_WAND2 = 73;
constexpr uint8_t CAN_NODE_ID_RAMP = 127;

// The availability flags of the instrument whose record is si; null for no record.
can_node_avail* can_avail(const SysInfo* si);
// The flag of a node in that set, or null for no record or a node without a flag (61, 127,
// unknown ids).
bool* can_avail_flag(const SysInfo* si, uint8_t node);

// The node's name as diagnostics print it ("CAN_NODE_ID_DD_RS"), or null for an unknown id.
const char* can_node_name(uint8_t node);

// Library status to platform error code: 1 gives 0; -1..-6 their CAN codes; anything else
// ERR_UNKNOWN.
int32_t can_err_code(int32_t status);

// SDO transfers. abortCode is the platform code returned when the node aborts the transfer;
// caller names the calling operation in the diagnostic line of a failure. resetSleepTimer:
// the transfer counts as activity for the sleep-mode service. The data of a failed read is as
// the library left it.
int32_t can_sdo_read2(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size,
                      bool resetSleepTimer, int32_t abortCode, const char* caller);
int32_t can_sdo_write2(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size,
                       bool resetSleepTimer, int32_t abortCode, const char* caller);

// Identity object 0x1018 of a node: product code (subindex 2), revision (subindex 3; major =
// upper 16 bits, minor = lower 16 bits). ERR_WRONG_INSTR_BOARD at once when the instrument's
// board is not CAN (ERR_SYS_INFO_NOT_AVAIL without a record).
int32_t can_read_productID(const SysInfo* si, uint8_t node, uint32_t* productId);
int32_t can_read_version(const SysInfo* si, uint8_t node, uint16_t* major, uint16_t* minor);

// Node guard of the per-node operations: 0 when the instrument has the node's availability flag
// set (or the node has no flag); else ERR_CAN_NODE_NOT_AVAIL after one stamped line naming the
// operation (ERR_SYS_INFO_NOT_AVAIL without a record). Without an operation name (null)
// nothing is written. Makes no library call.
int32_t can_node_guard(const SysInfo* si, uint8_t node, const char* caller);

// The sleep-mode service's reset signal: every transfer with resetSleepTimer calls it. Until
// the service installs one (null removes it) nothing is signalled. Safe from any thread.
using can_sleep_reset_fn = void (*)();
void can_set_sleep_reset(can_sleep_reset_fn fn);
