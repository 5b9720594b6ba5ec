// The virtual CAN bridge as a loadable library with the real one's name and entry points
// ("VellCANopen.dll", "libVellCANopen.so"), so that the platform's run-time binding is
// exercised end to end.
//
// Besides the 17 functions and (POSIX builds) CAN_GetFileVersion it exports a few of its own, through which a
// test or the instrument console that loaded the same library scripts the bridge:
//   void VCanSim_Reset()
//   void VCanSim_AddBridge(const uint8_t ip[4], const uint8_t mac[6], uint8_t fwMajor, uint8_t fwMinor)
//   void VCanSim_SetNode(uint8_t node, uint8_t presence, uint8_t findStatus, uint8_t state)
//   void VCanSim_SetObject(uint8_t node, uint16_t index, uint8_t subIndex, const uint8_t* value, uint32_t size)
//   void VCanSim_SetAbort(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t abortCode, int32_t times)
//   void VCanSim_SetStatus(const char* function, int32_t callIndex, int32_t status)
//   int32_t VCanSim_Log(char* buffer, int32_t size)
//     copies the calls made since the last reset, one a line ("CAN_Connect address=192.168.0.10"),
//     cut to fit and terminated; returns the full length.
#include <cstring>
#include <string>

#include "vell/sim/canbridge/vcan_bridge.h"

#if defined(_WIN32)
#define VCAN_EXPORT extern "C" __declspec(dllexport)
#else
#define VCAN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

VCAN_EXPORT int32_t CAN_EnumerateBridges(uint8_t* entries, int32_t capacity) { return vcan::EnumerateBridges(entries, capacity); }
VCAN_EXPORT int32_t CAN_Connect(uint32_t address) { return vcan::Connect(address); }
VCAN_EXPORT int32_t CAN_GetFirmwareVersion(uint8_t* major, uint8_t* minor) { return vcan::GetFirmwareVersion(major, minor); }
VCAN_EXPORT int32_t CAN_GetBridgeConfiguration(uint8_t* nodeId, uint32_t* bitRate) { return vcan::GetBridgeConfiguration(nodeId, bitRate); }
VCAN_EXPORT int32_t CAN_SetBridgeConfiguration(uint8_t nodeId, uint32_t bitRate) { return vcan::SetBridgeConfiguration(nodeId, bitRate); }
VCAN_EXPORT int32_t CAN_GetLastBridgeError(uint32_t* error) { return vcan::GetLastBridgeError(error); }
VCAN_EXPORT int32_t CAN_ResetBridge() { return vcan::ResetBridge(); }
VCAN_EXPORT int32_t CAN_EnumerateNodes(uint8_t* nodes) { return vcan::EnumerateNodes(nodes); }
VCAN_EXPORT int32_t CAN_FindNode(uint8_t node, uint8_t* status) { return vcan::FindNode(node, status); }
VCAN_EXPORT int32_t CAN_GetNodeState(uint8_t node, uint8_t* state) { return vcan::GetNodeState(node, state); }
VCAN_EXPORT int32_t CAN_SDORead(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size, CAN_SDO_RESULT* result)
{
    return vcan::SDORead(node, index, subIndex, data, size, result);
}
VCAN_EXPORT int32_t CAN_SDOWrite(uint8_t node, uint16_t index, uint8_t subIndex, void* data, uint32_t size, CAN_SDO_RESULT* result)
{
    return vcan::SDOWrite(node, index, subIndex, data, size, result);
}
VCAN_EXPORT int32_t CAN_RegisterEvents(CAN_PDO_CALLBACK pdo, CAN_EMCY_CALLBACK emcy) { return vcan::RegisterEvents(pdo, emcy); }
VCAN_EXPORT int32_t CAN_RegisterPDO(CAN_PDO pdo) { return vcan::RegisterPDO(pdo); }
VCAN_EXPORT int32_t CAN_GetPDO(CAN_PDO* pdo) { return vcan::GetPDO(pdo); }
VCAN_EXPORT int32_t CAN_UnregisterPDOs() { return vcan::UnregisterPDOs(); }
VCAN_EXPORT int32_t CAN_Disconnect() { return vcan::Disconnect(); }

#if !defined(_WIN32)
// Windows builds carry the version in their version resource instead (vcan_version.rc).
VCAN_EXPORT int32_t CAN_GetFileVersion(uint32_t* versionHigh)
{
    if (versionHigh == nullptr)
        return CAN_ST_ERROR;
    *versionHigh = vcan::version_high;
    return CAN_OK;
}
#endif

VCAN_EXPORT void VCanSim_Reset() { vcan::reset(); }

VCAN_EXPORT void VCanSim_AddBridge(const uint8_t ip[4], const uint8_t mac[6], uint8_t fwMajor, uint8_t fwMinor)
{
    vcan::bridge_info b;
    if (ip != nullptr)
        std::memcpy(b.ip, ip, 4);
    if (mac != nullptr)
        std::memcpy(b.mac, mac, 6);
    b.fw_major = fwMajor;
    b.fw_minor = fwMinor;
    vcan::add_bridge(b);
}

VCAN_EXPORT void VCanSim_SetNode(uint8_t node, uint8_t presence, uint8_t findStatus, uint8_t state)
{
    vcan::set_node(node, presence, findStatus, {state});
}

VCAN_EXPORT void VCanSim_SetObject(uint8_t node, uint16_t index, uint8_t subIndex, const uint8_t* value, uint32_t size)
{
    vcan::set_object(node, index, subIndex, value != nullptr ? std::vector<uint8_t>(value, value + size) : std::vector<uint8_t>{});
}

VCAN_EXPORT void VCanSim_SetAbort(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t abortCode, int32_t times)
{
    vcan::set_abort(node, index, subIndex, abortCode, times);
}

VCAN_EXPORT void VCanSim_SetStatus(const char* function, int32_t callIndex, int32_t status)
{
    if (function != nullptr)
        vcan::set_status(function, callIndex, status);
}

VCAN_EXPORT int32_t VCanSim_Log(char* buffer, int32_t size)
{
    std::string text;
    for (const vcan::call& c : vcan::calls()) {
        text += c.function;
        if (!c.args.empty())
            text += ' ' + c.args;
        text += '\n';
    }
    if (buffer != nullptr && size > 0) {
        std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int32_t>(text.size());
}
