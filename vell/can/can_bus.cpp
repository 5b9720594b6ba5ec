#include "vell/can/can_bus.h"

#include <atomic>
#include <string>

#include "vell/platform/dynlib.h"
#include "vell/platform/errors.h"
#include "vell/platform/log.h"

namespace {

// Stand-ins while no library is bound: each fails with status -1 and touches nothing.
int32_t none_EnumerateBridges(uint8_t*, int32_t) { return CAN_ST_ERROR; }
int32_t none_Connect(uint32_t) { return CAN_ST_ERROR; }
int32_t none_GetFirmwareVersion(uint8_t*, uint8_t*) { return CAN_ST_ERROR; }
int32_t none_GetBridgeConfiguration(uint8_t*, uint32_t*) { return CAN_ST_ERROR; }
int32_t none_SetBridgeConfiguration(uint8_t, uint32_t) { return CAN_ST_ERROR; }
int32_t none_GetLastBridgeError(uint32_t*) { return CAN_ST_ERROR; }
int32_t none_ResetBridge() { return CAN_ST_ERROR; }
int32_t none_EnumerateNodes(uint8_t*) { return CAN_ST_ERROR; }
int32_t none_FindNode(uint8_t, uint8_t*) { return CAN_ST_ERROR; }
int32_t none_GetNodeState(uint8_t, uint8_t*) { return CAN_ST_ERROR; }
int32_t none_SDORead(uint8_t, uint16_t, uint8_t, void*, uint32_t, CAN_SDO_RESULT*) { return CAN_ST_ERROR; }
int32_t none_SDOWrite(uint8_t, uint16_t, uint8_t, void*, uint32_t, CAN_SDO_RESULT*) { return CAN_ST_ERROR; }
int32_t none_RegisterEvents(CAN_PDO_CALLBACK, CAN_EMCY_CALLBACK) { return CAN_ST_ERROR; }
int32_t none_RegisterPDO(CAN_PDO) { return CAN_ST_ERROR; }
int32_t none_GetPDO(CAN_PDO*) { return CAN_ST_ERROR; }
int32_t none_UnregisterPDOs() { return CAN_ST_ERROR; }
int32_t none_Disconnect() { return CAN_ST_ERROR; }

const can_bus_table none_table = {
#define CAN_NONE_ENTRY(n) &none_##n,
    CAN_NONE_ENTRY(EnumerateBridges) CAN_NONE_ENTRY(Connect) CAN_NONE_ENTRY(GetFirmwareVersion)
    CAN_NONE_ENTRY(GetBridgeConfiguration) CAN_NONE_ENTRY(SetBridgeConfiguration)
    CAN_NONE_ENTRY(GetLastBridgeError) CAN_NONE_ENTRY(ResetBridge) CAN_NONE_ENTRY(EnumerateNodes)
    CAN_NONE_ENTRY(FindNode) CAN_NONE_ENTRY(GetNodeState) CAN_NONE_ENTRY(SDORead)
    CAN_NONE_ENTRY(SDOWrite) CAN_NONE_ENTRY(RegisterEvents) CAN_NONE_ENTRY(RegisterPDO)
    CAN_NONE_ENTRY(GetPDO) CAN_NONE_ENTRY(UnregisterPDOs) CAN_NONE_ENTRY(Disconnect)
#undef CAN_NONE_ENTRY
};

struct binding {
    os::library library;
    can_bus_table table;
    uint32_t version_high = 0;
    // The table callers see: none_table or `table`.
    std::atomic<const can_bus_table*> current{&none_table};
};

binding& bus()
{
    static binding b;
    return b;
}

// Fills the holes of a table with the stand-ins.
void complete(can_bus_table& t)
{
#define CAN_FILL(n)        \
    if (t.n == nullptr)    \
        t.n = none_table.n;
    CAN_ENTRY_POINTS(CAN_FILL)
#undef CAN_FILL
}

}  // namespace

const can_bus_table& can_bus()
{
    return *bus().current.load(std::memory_order_acquire);
}

void can_bus_unload()
{
    binding& b = bus();
    b.current.store(&none_table, std::memory_order_release);
    b.table = can_bus_table{};
    b.version_high = 0;
    b.library.unload();
}

int32_t can_bus_load(const char* name)
{
    static const char* const self = "can_bus_load";
    const char* lib = name != nullptr ? name : CAN_LIBRARY;
    can_bus_unload();
    binding& b = bus();
    int sys_error = 0;
    if (!b.library.load(lib, &sys_error)) {
        u_log_sink("%s: cannot load %s (%d %s): %s\n", self, lib, sys_error, b.library.error_text().c_str(),
                   u_err_name(ERR_CAN_NOT_AVAIL));
        return ERR_CAN_NOT_AVAIL;
    }
    can_bus_table t;
    const char* missing = nullptr;
#define CAN_BIND(n)                                                 \
    t.n = reinterpret_cast<n##_fn>(b.library.symbol(#n));           \
    if (t.n == nullptr && missing == nullptr)                       \
        missing = #n;
    CAN_ENTRY_POINTS(CAN_BIND)
#undef CAN_BIND
    if (missing != nullptr) {
        u_log_sink("%s: %s has no entry point %s: %s\n", self, b.library.file().c_str(), missing,
                   u_err_name(ERR_CAN_NOT_AVAIL));
        b.library.unload();
        return ERR_CAN_NOT_AVAIL;
    }
    uint64_t file_version = 0;
    if (b.library.file_version(&file_version)) {
        b.version_high = static_cast<uint32_t>(file_version >> 32);
    } else if (auto get = reinterpret_cast<CAN_GetFileVersion_fn>(b.library.symbol("CAN_GetFileVersion"))) {
        uint32_t high = 0;
        if (get(&high) == CAN_OK)
            b.version_high = high;
    }
    b.table = t;
    b.current.store(&b.table, std::memory_order_release);
    return NO_ERROR;
}

void can_bus_use(const can_bus_table& table, uint32_t version_high)
{
    can_bus_unload();
    binding& b = bus();
    b.table = table;
    complete(b.table);
    b.version_high = version_high;
    b.current.store(&b.table, std::memory_order_release);
}

bool can_bus_bound()
{
    return bus().current.load(std::memory_order_acquire) != &none_table;
}

void can_bus_version(uint16_t* major, uint16_t* minor)
{
    uint32_t high = can_bus_bound() ? bus().version_high : 0;
    if (major != nullptr)
        *major = static_cast<uint16_t>(high >> 16);
    if (minor != nullptr)
        *minor = static_cast<uint16_t>(high & 0xFFFFu);
}

const char* can_bus_file()
{
    return bus().library.file().c_str();
}
