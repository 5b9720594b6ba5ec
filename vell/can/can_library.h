// The CAN bus library ("VellCANopen.dll", "libVellCANopen.so"): its records and the 17 functions
// the platform calls, as C entry points bound by name, plus the optional file-version entry
// point of the POSIX build.
//
// Every function returns a status: 1 success; -1 failure, -2 not connected, -3 time-out, -4 TCP
// transmission error, -5 buffer too small, -6 no PDO; any other value is a failure as well.
// Callbacks arrive on the library's own threads.
#pragma once

#include <cstdint>

// Library name, in the platform's Windows form (platform/dynlib.h makes it native).
inline constexpr char CAN_LIBRARY[] = "VellCANopen.dll";
// Module name whose file version the platform reports.
inline constexpr char CAN_LIBRARY_MODULE[] = "VellCANopen";

// Statuses.
constexpr int32_t CAN_OK = 1;
constexpr int32_t CAN_ST_ERROR = -1;
constexpr int32_t CAN_ST_NOT_CONNECTED = -2;
constexpr int32_t CAN_ST_TIMEOUT = -3;
constexpr int32_t CAN_ST_TCP_ERROR = -4;
constexpr int32_t CAN_ST_BUFFER_TOO_SMALL = -5;
constexpr int32_t CAN_ST_NO_PDO = -6;

// Entries of CAN_EnumerateBridges: 4 IPv4 address bytes, then 6 MAC bytes.
constexpr int CAN_BRIDGE_ENTRY_SIZE = 10;
constexpr int CAN_MAX_BRIDGES = 127;
// Size of the CAN_EnumerateNodes array, indexed by node id; 2 marks a present node.
constexpr int CAN_NODE_TABLE_SIZE = 128;
constexpr uint8_t CAN_NODE_PRESENT = 2;
constexpr uint8_t CAN_NODE_FOUND = 2;
constexpr uint8_t CAN_NODE_OPERATIONAL = 2;

extern "C" {

// Result of one SDO transfer: result 1 = done, any other = aborted with abortCode.
struct CAN_SDO_RESULT {
    uint32_t reserved;
    int32_t result;
    uint32_t abortCode;
};

// A process data object (20 bytes): COB-ID (node id in bits 0-6, function code in bits 7-10),
// a word the platform neither sets nor reads, data length, 8 data bytes.
struct CAN_PDO {
    uint32_t cobId;
    uint32_t reserved;
    uint32_t length;
    uint8_t data[8];
};

// count PDOs wait to be fetched with CAN_GetPDO; overrun non-zero: received PDOs were lost.
using CAN_PDO_CALLBACK = void (*)(int32_t count, int32_t overrun);
// Emergency message: two values, a 12-byte block (a 32-bit word, one byte, five bytes, two
// further bytes), one byte.
using CAN_EMCY_CALLBACK = void (*)(int32_t first, int32_t second, const uint8_t* block, uint8_t last);

using CAN_EnumerateBridges_fn = int32_t (*)(uint8_t* entries, int32_t capacity);
using CAN_Connect_fn = int32_t (*)(uint32_t address);
using CAN_GetFirmwareVersion_fn = int32_t (*)(uint8_t* major, uint8_t* minor);
using CAN_GetBridgeConfiguration_fn = int32_t (*)(uint8_t* nodeId, uint32_t* bitRate);
using CAN_SetBridgeConfiguration_fn = int32_t (*)(uint8_t nodeId, uint32_t bitRate);
using CAN_GetLastBridgeError_fn = int32_t (*)(uint32_t* error);
using CAN_ResetBridge_fn = int32_t (*)();
using CAN_EnumerateNodes_fn = int32_t (*)(uint8_t* nodes);
using CAN_FindNode_fn = int32_t (*)(uint8_t node, uint8_t* status);
using CAN_GetNodeState_fn = int32_t (*)(uint8_t node, uint8_t* state);
using CAN_SDORead_fn = int32_t (*)(uint8_t node, uint16_t index, uint8_t subIndex, void* data,
                                   uint32_t size, CAN_SDO_RESULT* result);
using CAN_SDOWrite_fn = int32_t (*)(uint8_t node, uint16_t index, uint8_t subIndex, void* data,
                                    uint32_t size, CAN_SDO_RESULT* result);
using CAN_RegisterEvents_fn = int32_t (*)(CAN_PDO_CALLBACK pdo, CAN_EMCY_CALLBACK emcy);
using CAN_RegisterPDO_fn = int32_t (*)(CAN_PDO pdo);
using CAN_GetPDO_fn = int32_t (*)(CAN_PDO* pdo);
using CAN_UnregisterPDOs_fn = int32_t (*)();
using CAN_Disconnect_fn = int32_t (*)();

// Optional (POSIX builds): the high-order half of the library's file version, major in the
// upper 16 bits, minor in the lower. Windows reads the DLL's version resource instead.
using CAN_GetFileVersion_fn = int32_t (*)(uint32_t* versionHigh);
}

// X(name) for each of the 17 functions, in the order instrument start-up calls them.
#define CAN_ENTRY_POINTS(X)                                                                     \
    X(CAN_EnumerateBridges) X(CAN_Connect) X(CAN_GetFirmwareVersion)                            \
    X(CAN_GetBridgeConfiguration) X(CAN_SetBridgeConfiguration) X(CAN_GetLastBridgeError)       \
    X(CAN_ResetBridge) X(CAN_EnumerateNodes) X(CAN_FindNode) X(CAN_GetNodeState) X(CAN_SDORead) \
    X(CAN_SDOWrite) X(CAN_RegisterEvents) X(CAN_RegisterPDO) X(CAN_GetPDO) X(CAN_UnregisterPDOs) \
    X(CAN_Disconnect)

// The bound library: one pointer per function.
struct can_bus_table {
#define CAN_TABLE_MEMBER(n) n##_fn n = nullptr;
    CAN_ENTRY_POINTS(CAN_TABLE_MEMBER)
#undef CAN_TABLE_MEMBER
};
