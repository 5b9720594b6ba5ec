// The virtual bridge's own behaviour that the CAN services rely on: connection rules, the
// configuration and reset dropping the link, node answers, the call log's virtual times and
// status overrides.
#include "tests/can/can_fixture.h"

namespace {

using cantest::address_of;

class VirtualBridge : public cantest::CanTest {};

TEST_F(VirtualBridge, ConnectsOnlyToAListedBridgeAndDropsTheLinkOnReconfiguration)
{
    const can_bus_table& t = can_bus();
    vcan::bridge_info second;
    second.ip[3] = 77;
    second.fw_major = 3;
    second.fw_minor = 9;
    second.node_id = 5;
    second.bit_rate = 500;
    second.last_errors = {0x41, 0x42};
    vcan::add_bridge(second);

    uint8_t entries[CAN_MAX_BRIDGES * CAN_BRIDGE_ENTRY_SIZE] = {};
    EXPECT_EQ(t.CAN_EnumerateBridges(entries, 1), 1);  // no more than the capacity
    EXPECT_EQ(t.CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES), 2);
    EXPECT_EQ(0, std::memcmp(entries + CAN_BRIDGE_ENTRY_SIZE, second.ip, 4));
    EXPECT_EQ(0, std::memcmp(entries + CAN_BRIDGE_ENTRY_SIZE + 4, second.mac, 6));

    const uint8_t unlisted[4] = {10, 9, 9, 9};
    EXPECT_EQ(t.CAN_Connect(address_of(unlisted)), CAN_ST_TIMEOUT);
    uint8_t major = 0, minor = 0;
    EXPECT_EQ(t.CAN_GetFirmwareVersion(&major, &minor), CAN_ST_NOT_CONNECTED);

    ASSERT_EQ(t.CAN_Connect(address_of(second.ip)), CAN_OK);
    EXPECT_EQ(t.CAN_GetFirmwareVersion(&major, &minor), CAN_OK);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 9);
    uint8_t node = 0;
    uint32_t rate = 0, error = 1;
    EXPECT_EQ(t.CAN_GetBridgeConfiguration(&node, &rate), CAN_OK);
    EXPECT_EQ(node, 5);
    EXPECT_EQ(rate, 500u);
    std::vector<uint32_t> errors;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t.CAN_GetLastBridgeError(&error), CAN_OK);
        errors.push_back(error);
    }
    EXPECT_EQ(errors, (std::vector<uint32_t>{0x41, 0x42, 0}));

    EXPECT_EQ(t.CAN_SetBridgeConfiguration(127, 1000), CAN_OK);
    EXPECT_FALSE(vcan::connected());
    EXPECT_EQ(t.CAN_GetBridgeConfiguration(&node, &rate), CAN_ST_NOT_CONNECTED);
    ASSERT_EQ(t.CAN_Connect(address_of(second.ip)), CAN_OK);
    EXPECT_EQ(t.CAN_GetBridgeConfiguration(&node, &rate), CAN_OK);
    EXPECT_EQ(node, 127);
    EXPECT_EQ(rate, 1000u);

    EXPECT_EQ(t.CAN_ResetBridge(), CAN_OK);
    EXPECT_FALSE(vcan::connected());
    EXPECT_EQ(t.CAN_ResetBridge(), CAN_ST_NOT_CONNECTED);
    ASSERT_EQ(t.CAN_Connect(address_of(second.ip)), CAN_OK);
    EXPECT_EQ(t.CAN_Disconnect(), CAN_OK);
    EXPECT_FALSE(vcan::connected());
}

TEST_F(VirtualBridge, NodesAnswerPresenceFindStatusAndAStateSequence)
{
    const can_bus_table& t = can_bus();
    vcan::set_node(CAN_NODE_ID_LED);
    vcan::set_node(CAN_NODE_ID_DD_ZOOM, CAN_NODE_PRESENT, CAN_NODE_FOUND, {0, 127, 5});
    vcan::set_node(CAN_NODE_ID_WAND, 1, 0);
    uint8_t nodes[CAN_NODE_TABLE_SIZE];
    std::memset(nodes, 0xEE, sizeof nodes);
    ASSERT_EQ(t.CAN_EnumerateNodes(nodes), CAN_OK);
    for (int id = 0; id < CAN_NODE_TABLE_SIZE; ++id) {
        uint8_t expected = id == CAN_NODE_ID_LED || id == CAN_NODE_ID_DD_ZOOM ? 2 : id == CAN_NODE_ID_WAND ? 1 : 0;
        EXPECT_EQ(nodes[id], expected) << id;
    }
    uint8_t status = 9;
    EXPECT_EQ(t.CAN_FindNode(CAN_NODE_ID_WAND, &status), CAN_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(t.CAN_FindNode(CAN_NODE_ID_LED, &status), CAN_OK);
    EXPECT_EQ(status, CAN_NODE_FOUND);
    std::vector<int> states;
    for (int i = 0; i < 4; ++i) {
        uint8_t s = 0;
        EXPECT_EQ(t.CAN_GetNodeState(CAN_NODE_ID_DD_ZOOM, &s), CAN_OK);
        states.push_back(s);
    }
    EXPECT_EQ(states, (std::vector<int>{0, 127, 5, 5}));
    uint8_t s = 0;
    EXPECT_EQ(t.CAN_GetNodeState(CAN_NODE_ID_WAND, &s), CAN_ST_TIMEOUT);
    vcan::remove_node(CAN_NODE_ID_LED);
    EXPECT_EQ(t.CAN_GetNodeState(CAN_NODE_ID_LED, &s), CAN_ST_TIMEOUT);
}

TEST_F(VirtualBridge, TheCallLogKeepsArgumentsAndVirtualTimesAndOverridesHitTheirCall)
{
    const can_bus_table& t = can_bus();
    vcan::set_status("CAN_ResetBridge", 1, -4);
    vcan::set_status("CAN_FindNode", -1, 0);
    std::vector<int32_t> statuses;
    for (int i = 0; i < 3; ++i) {
        statuses.push_back(t.CAN_ResetBridge());
        t.CAN_Connect(address_of(vcan::bridge_info{}.ip));
        u_sleep_ms(2000);
    }
    EXPECT_EQ(statuses, (std::vector<int32_t>{CAN_OK, CAN_ST_TCP_ERROR, CAN_OK}));
    uint8_t status = 0;
    EXPECT_EQ(t.CAN_FindNode(61, &status), 0);
    EXPECT_EQ(t.CAN_FindNode(62, &status), 0);
    std::vector<uint64_t> times;
    for (const vcan::call& c : vcan::calls_of("CAN_ResetBridge"))
        times.push_back(c.time_ms);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times[1] - times[0], 2000u);
    EXPECT_EQ(times[2] - times[1], 2000u);
    std::vector<vcan::call> finds = vcan::calls_of("CAN_FindNode");
    ASSERT_EQ(finds.size(), 2u);
    EXPECT_EQ(finds[1].args, "node=62");
    EXPECT_EQ(vcan::calls_of("CAN_Connect")[0].args, "address=192.168.0.10");
}

}  // namespace
