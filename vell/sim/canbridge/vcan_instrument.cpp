#include "vell/sim/canbridge/vcan_instrument.h"

#include <algorithm>
#include <cstring>

#include "vell/calfile/sysinfo.h"
#include "vell/sim/canbridge/vcan_bridge.h"
#include "vell/sim/canbridge/vcan_nodes.h"

namespace vcan {

namespace {

enum class group { none, group1, group2, hxi_a, hxi_b };

group group_of(int32_t sys)
{
    switch (sys) {
    case SYS_MODEL15: case SYS_MODEL22: case SYS_MODEL27: case SYS_MODEL25: case SYS_MODEL10: case SYS_MODEL12:
        return group::group1;
    case SYS_MODEL23: case SYS_MODEL29:
        return group::group2;
    case SYS_MODEL17: case SYS_MODEL20: case SYS_MODEL24: case SYS_MODEL19:
        return group::hxi_a;
    case SYS_MODEL28: case SYS_MODEL26:
        return group::hxi_b;
    default:
        return group::none;
    }
}

bool has(const std::vector<uint8_t>& list, uint8_t node)
{
    return std::find(list.begin(), list.end(), node) != list.end();
}

// Objects of one node beyond its identity.
void install_objects(uint8_t node, const SysInfo& si, const instrument_options& o)
{
    switch (node) {
    case 127:
        install_bridge_node(o.fw_major > 1 || o.fw_minor > 11);
        set_object_uint(127, 0x2010, 1, o.bridge_status, 1);
        break;
    case 61:
        install_led_node();
        break;
    case 62:
    case 52:
        install_pzt_node(node);
        set_object_uint(node, 0x1002, 0, o.pzt_status, 4);
        break;
    case 63: {
        install_brush_motor();
        set_object(63, 0x2020, 1, {static_cast<uint8_t>(o.zoom_positions & 7), static_cast<uint8_t>(o.turret_positions & 7)});
        set_object_uint(63, 0x2001, 0, o.turret_position != 0 ? 0x80 : 0, 1);
        set_object_uint(63, 0x2002, 0, o.turret_position, 1);
        set_object_uint(63, 0x2012, 0, o.zoom_position, 1);
        std::vector<uint8_t> all(6, 15);
        for (uint8_t i = 0; i < 6 && i < o.zoom_positions; ++i)
            all[i] = static_cast<uint8_t>(i + 1);
        set_object(63, 0x2015, 0, all);
        break;
    }
    case 64:
        install_motor_driver(64);
        ndw_wheel(o.ndw_search_ms, o.ndw_move_ms, o.ndw_home_result);
        if (si.hxiZoom)
            install_enc_zoom(4, 3);
        break;
    case 66:
        install_motor_driver(66);
        motor_moves_on_current(66, 2);
        break;
    case 68:
        install_motor_driver(68);
        set_object_uint(68, 0x2036, 0, 800, 2);  // current limit of the ring/spot motor
        motor_moves_on_current(68, 2);
        set_object_uint(68, 0x2047, 0, o.ring_spot_position, 1);
        break;
    case 70:
        install_motor_driver(70);
        break;
    default:  // wands: no SDO objects
        break;
    }
}

uint32_t product_of(uint8_t node, const instrument_options& o)
{
    if (node == 61)
        return o.led_product;
    if (node == 63)
        return o.brush_motor_product;
    return 0x26720000u | node;
}

}  // namespace

std::vector<uint8_t> instrument_nodes(const SysInfo& si)
{
    const group g = group_of(si.sysType);
    if (g == group::none)
        return {};
    std::vector<uint8_t> nodes{61, 127};
    auto add = [&](bool wanted, uint8_t node) {
        if (wanted)
            nodes.push_back(node);
    };
    const bool group12 = g == group::group1 || g == group::group2;
    const bool brush_always = si.sysType == SYS_MODEL10 || si.sysType == SYS_MODEL12;
    add(group12 && (si.dualBrushMotorPresent || brush_always), 63);
    add(g == group::group2, 62);
    if (g == group::hxi_a || g == group::hxi_b) {
        add(g == group::hxi_a && si.pztPresent, 62);
        add(g == group::hxi_a && si.lapsPresent, 52);
        add(si.zoomPresent != 0, 70);
        add(si.ringSpot != 0, 68);
        add(si.focusNdwPresent != 0, 64);
        add(si.sysType == SYS_MODEL20, 66);
        add(si.wandPresent != 0, 72);
        add(si.wandPresent != 0, 73);
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool build_instrument(const SysInfo& si, const instrument_options& o)
{
    reset();
    const std::vector<uint8_t> nodes = instrument_nodes(si);
    if (!si.canInfo || si.canInfo->macAddress[0] == 255 || nodes.empty())
        return false;
    bridge_info b;
    std::memcpy(b.ip, o.ip, sizeof b.ip);
    std::memcpy(b.mac, si.canInfo->macAddress, sizeof b.mac);
    b.fw_major = o.fw_major;
    b.fw_minor = o.fw_minor;
    b.node_id = o.node_id;
    b.bit_rate = o.bit_rate;
    b.last_errors = o.last_errors;
    add_bridge(b);
    for (uint8_t node : nodes) {
        if (has(o.missing, node))
            continue;
        if (has(o.not_operational, node))
            set_node(node, CAN_NODE_PRESENT, CAN_NODE_FOUND, {127});
        else
            set_node(node);
        set_object_uint(node, 0x1018, 2, product_of(node, o), 4);
        install_objects(node, si, o);
    }
    if (const int32_t ramps = sysinfo_pi_ramp_count(si); ramps > 0 && !has(o.missing, 127))
        pi_scanner(std::vector<float>(static_cast<std::size_t>(ramps), o.pi_amplitude),
                   std::vector<float>(static_cast<std::size_t>(ramps), o.pi_velocity), o.pi_ddl_tables);
    return true;
}

}  // namespace vcan
