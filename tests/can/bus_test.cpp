// The binding of the CAN bus library: by name (the loadable virtual bridge beside the test
// program), a linked table, and no library at all.
#include "tests/can/can_fixture.h"

#include "vell/platform/dynlib.h"
#include "vell/platform/errors.h"

namespace {

TEST(CanBus, WithoutTheLibraryEveryCallFailsAsALibraryFailure)
{
    vptest::LogCapture log;
    EXPECT_EQ(can_bus_load("NoSuchCanLibrary.dll"), ERR_CAN_NOT_AVAIL);
    EXPECT_NE(log.str().find("can_bus_load: cannot load NoSuchCanLibrary.dll"), std::string::npos) << log.str();
    EXPECT_FALSE(can_bus_bound());
    const can_bus_table& t = can_bus();
    uint8_t bytes[CAN_NODE_TABLE_SIZE] = {};
    uint8_t b1 = 7, b2 = 7;
    uint32_t w = 7;
    CAN_PDO pdo{};
    CAN_SDO_RESULT r{};
    EXPECT_EQ(t.CAN_EnumerateBridges(bytes, CAN_MAX_BRIDGES), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_Connect(0), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_GetFirmwareVersion(&b1, &b2), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_GetBridgeConfiguration(&b1, &w), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_SetBridgeConfiguration(127, 1000), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_GetLastBridgeError(&w), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_ResetBridge(), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_EnumerateNodes(bytes), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_FindNode(61, &b1), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_GetNodeState(61, &b1), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_SDORead(61, 0x1018, 2, bytes, 4, &r), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_SDOWrite(61, 0x1018, 2, bytes, 4, &r), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_RegisterEvents(nullptr, nullptr), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_RegisterPDO(pdo), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_GetPDO(&pdo), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_UnregisterPDOs(), CAN_ST_ERROR);
    EXPECT_EQ(t.CAN_Disconnect(), CAN_ST_ERROR);
    EXPECT_EQ(b1, 7);
    EXPECT_EQ(w, 7u);
    uint16_t major = 9, minor = 9;
    can_bus_version(&major, &minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    log.clear();
    uint8_t data[4] = {};
    EXPECT_EQ(can_sdo_read2(61, 0x1018, 2, data, 4, true, ERR_CAN_SDO_LED_ERROR, "op"), ERR_CAN_ERROR);
    EXPECT_EQ(log.str(), "can_sdo_read2 called by op: err=ERR_CAN_ERROR\n");
}

// Scripting entry points of the loadable bridge.
using reset_fn = void (*)();
using add_bridge_fn = void (*)(const uint8_t*, const uint8_t*, uint8_t, uint8_t);
using set_node_fn = void (*)(uint8_t, uint8_t, uint8_t, uint8_t);
using set_object_fn = void (*)(uint8_t, uint16_t, uint8_t, const uint8_t*, uint32_t);
using log_fn = int32_t (*)(char*, int32_t);

TEST(CanBus, TheLoadableBridgeIsFoundBesideTheProgramAndBoundByName)
{
    vptest::LogCapture log;
    ASSERT_EQ(can_bus_load(nullptr), NO_ERROR) << log.str();
    EXPECT_TRUE(can_bus_bound());
    EXPECT_NE(std::string(can_bus_file()).find(os::native_library_name(CAN_LIBRARY)), std::string::npos);
    uint16_t major = 0, minor = 0;
    can_bus_version(&major, &minor);
    EXPECT_EQ(major, 2);
    EXPECT_EQ(minor, 7);

    // The same library, loaded again, is the same bridge: script it through its own entry points.
    os::library sim;
    ASSERT_TRUE(sim.load(CAN_LIBRARY));
    auto reset = reinterpret_cast<reset_fn>(sim.symbol("VCanSim_Reset"));
    auto add_bridge = reinterpret_cast<add_bridge_fn>(sim.symbol("VCanSim_AddBridge"));
    auto set_node = reinterpret_cast<set_node_fn>(sim.symbol("VCanSim_SetNode"));
    auto set_object = reinterpret_cast<set_object_fn>(sim.symbol("VCanSim_SetObject"));
    auto sim_log = reinterpret_cast<log_fn>(sim.symbol("VCanSim_Log"));
    ASSERT_TRUE(reset && add_bridge && set_node && set_object && sim_log);
    reset();
    const uint8_t ip[4] = {10, 1, 2, 3};
    const uint8_t mac[6] = {0, 0x50, 0xC2, 1, 2, 3};
    add_bridge(ip, mac, 4, 1);
    set_node(CAN_NODE_ID_LED, CAN_NODE_PRESENT, CAN_NODE_FOUND, CAN_NODE_OPERATIONAL);
    const uint8_t revision[4] = {2, 0, 3, 0};
    set_object(CAN_NODE_ID_LED, 0x1018, 3, revision, 4);

    uint8_t entries[CAN_MAX_BRIDGES * CAN_BRIDGE_ENTRY_SIZE] = {};
    EXPECT_EQ(can_bus().CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), 1);
    EXPECT_EQ(0, std::memcmp(entries, ip, 4));
    EXPECT_EQ(0, std::memcmp(entries + 4, mac, 6));
    EXPECT_EQ(can_bus().CAN_Connect(cantest::address_of(ip)), CAN_OK);
    sysinfo_reset_all_slots();
    sysinfo_slot(0)->instrBdType = BD_CAN;
    EXPECT_EQ(can_read_version(sysinfo_slot(0), CAN_NODE_ID_LED, &major, &minor), NO_ERROR);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 2);

    char text[512] = {};
    sim_log(text, sizeof text);
    EXPECT_EQ(std::string(text), "CAN_EnumerateBridges capacity=127\nCAN_Connect address=10.1.2.3\n"
                                 "CAN_SDORead node=61 index=0x1018 sub=3 size=4\n");
    reset();
    can_bus_unload();
    EXPECT_FALSE(can_bus_bound());
    sysinfo_reset_all_slots();
}

TEST(CanBus, ALinkedTableStandsInForTheLibraryWithItsVersion)
{
    can_bus_table partial;
    partial.CAN_Disconnect = &vcan::Disconnect;
    can_bus_use(partial, (1u << 16) | 4u);
    EXPECT_TRUE(can_bus_bound());
    EXPECT_EQ(can_bus().CAN_Disconnect(), CAN_OK);
    EXPECT_EQ(can_bus().CAN_ResetBridge(), CAN_ST_ERROR);  // a missing function fails
    uint16_t major = 0, minor = 0;
    can_bus_version(&major, &minor);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 4);
    can_bus_unload();
    vcan::reset();
}

}  // namespace
