#include "vell/instrument/can_bringup.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "vell/calfile/sysinfo.h"
#include "vell/can/can_bus.h"
#include "vell/can/can_common.h"
#include "vell/can/can_events.h"
#include "vell/can/can_ops.h"
#include "vell/can/can_sdo.h"
#include "vell/instrument/llc.h"
#include "vell/platform/errors.h"
#include "vell/platform/event.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"

namespace {

constexpr uint32_t LED_CODES[] = {0x2672137Du, 0x2672150Du, 0x26722381u};
constexpr uint32_t BRUSH_MOTOR_CODES[] = {CAN_BRMOTOR_PRODUCT_D5, CAN_BRMOTOR_PRODUCT_D7};

constexpr char SCANNER_FAILED[] = "Scanner verification failed. Verify connections and configuration.\n";

template <std::size_t N>
bool accepted(const uint32_t (&codes)[N], uint32_t code)
{
    for (uint32_t c : codes)
        if (c == code)
            return true;
    return false;
}

const char* yes_no(bool b) { return b ? "Yes" : "No"; }

// Found and operational; the product code is not asked for.
bool node_operational(uint8_t node)
{
    const char* name = can_node_name(node);
    return find_node(node, name) && wait_for_node_operational(node, name);
}

// The node's state bytes of CAN_EnumerateNodes; the failure's code after its line.
int32_t enumerate_nodes(uint8_t nodes[CAN_NODE_TABLE_SIZE], const char* caller)
{
    std::memset(nodes, 0, CAN_NODE_TABLE_SIZE);
    const int32_t st = can_bus().CAN_EnumerateNodes(nodes);
    if (st != CAN_OK) {
        u_log_stamped("%s: CAN_EnumerateNodes canErr = %d\n", caller, static_cast<int>(st));
        return can_err_code(st);
    }
    return NO_ERROR;
}

// LED node operational with an accepted product code; the code is kept in canInfo.
int32_t led_node_on(SysInfo* si, const char* caller)
{
    uint32_t code = 0;
    if (!get_operational_node(si, CAN_NODE_ID_LED, "CAN_NODE_ID_LED", &code))
        return ERR_CAN_LED_ERROR;
    if (!accepted(LED_CODES, code)) {
        u_log_stamped("%s: Invalid productID = %u for CAN_NODE_ID_LED\n", caller, static_cast<unsigned>(code));
        return ERR_CAN_INVALID_PRODUCTID;
    }
    si->canInfo->ledProductId = code;
    return NO_ERROR;
}

// Dual brush motor node operational with an accepted product code (when the calibration wants
// it). A node that is not operational loses its flag when clear_flag is set.
int32_t brush_motor_on(SysInfo* si, bool clear_flag, const char* caller)
{
    if (!si->dualBrushMotorPresent)
        return NO_ERROR;
    uint32_t code = 0;
    if (!get_operational_node(si, CAN_NODE_ID_BRUSHMOTOR, "CAN_NODE_ID_BRUSHMOTOR", &code)) {
        if (clear_flag)
            can_avail(si)->canBrushMotorAvail = false;
        return ERR_CAN_BRMOTOR_ERROR;
    }
    if (!accepted(BRUSH_MOTOR_CODES, code)) {
        u_log_stamped("%s: Invalid productID = %u for CAN_NODE_ID_BRUSHMOTOR\n", caller, static_cast<unsigned>(code));
        return ERR_CAN_INVALID_PRODUCTID;
    }
    si->canInfo->brushMotorProductId = code;
    return NO_ERROR;
}

// Light off, then the PWM frequency and LED setup of the current light slot and the default
// light range limits.
int32_t led_setup(SysInfo* si)
{
    const LightSlot& light = si->currentLight();
    int32_t rc = can_write_llc(si, 0, false);
    if (rc == NO_ERROR)
        rc = can_write_llc_pwmfreq(si, static_cast<uint32_t>(light.freq));
    if (rc == NO_ERROR)
        rc = can_write_led_setup(si, light.config);
    if (rc == NO_ERROR)
        rc = can_set_llc_range(si, -1);
    return rc;
}

// Tests that the calibration's required nodes 63 (and 62) answered the enumeration.
int32_t require_tq_nodes(const SysInfo* si, bool pzt)
{
    const can_node_avail* av = can_avail(si);
    if (pzt && si->pztPresent && !av->canTriplePztAvail) {
        u_log_sink("Missing the CAN Triple PZT node\n");
        return ERR_CAN_NODE_MISSING;
    }
    if (si->dualBrushMotorPresent && !av->canBrushMotorAvail) {
        u_log_sink("Missing the CAN Dual Brush Motor node\n");
        return ERR_CAN_NODE_MISSING;
    }
    return NO_ERROR;
}

// Sets bit `bit` of a node's control byte or keypress mode when it is clear; `store` (when
// given) receives the value read.
int32_t set_bit(SysInfo* si, int32_t (*read)(SysInfo*, uint8_t*), int32_t (*write)(SysInfo*, uint8_t), uint8_t bit,
                bool always_write, uint8_t* store)
{
    uint8_t v = 0;
    int32_t rc = read(si, &v);
    if (rc != NO_ERROR)
        return rc;
    if (store != nullptr)
        *store = v;
    if ((v & bit) != 0 && !always_write)
        return NO_ERROR;
    return write(si, static_cast<uint8_t>(v | bit));
}

struct hxi_node {
    uint8_t id;
    bool can_node_avail::*flag;
};
constexpr hxi_node HXI_NODES[] = {
    {CAN_NODE_ID_TRIPLEPZT, &can_node_avail::canTriplePztAvail}, {CAN_NODE_ID_LARGEAP, &can_node_avail::canLargeApAvail},
    {CAN_NODE_ID_WAND, &can_node_avail::canWandAvail},           {CAN_NODE_ID_WAND2, &can_node_avail::canWand2Avail},
    {CAN_NODE_ID_DD_ZOOM, &can_node_avail::canDdZoomAvail},      {CAN_NODE_ID_DD_RS, &can_node_avail::canDdRsAvail},
    {CAN_NODE_ID_FOCUS_NDW, &can_node_avail::canFocusNdwAvail},  {CAN_NODE_ID_AUX_MOTOR, &can_node_avail::canAuxMotorAvail},
};

// Steps 1 to 3 of the HXI bring-up: enumeration, status table, required nodes.
int32_t hxi_nodes(SysInfo* si)
{
    can_node_avail* av = can_avail(si);
    for (const hxi_node& n : HXI_NODES)
        if (n.id != CAN_NODE_ID_AUX_MOTOR)
            av->*n.flag = false;
    uint8_t nodes[CAN_NODE_TABLE_SIZE];
    int32_t rc = enumerate_nodes(nodes, "can_hxi_on");
    if (rc != NO_ERROR)
        return rc;
    for (const hxi_node& n : HXI_NODES)
        av->*n.flag = nodes[n.id] == CAN_NODE_PRESENT;
    u_log_sink("Instrument CAN node status:\n");
    u_log_sink("  Triple PZT          : %s\n", yes_no(av->canTriplePztAvail));
    u_log_sink("  Large Aperture      : %s\n", yes_no(av->canLargeApAvail));
    u_log_sink("  Primary Wand        : %s\n", yes_no(av->canWandAvail));
    u_log_sink("  Secondary Wand      : %s\n", yes_no(av->canWand2Avail));
    u_log_sink("  Zoom & Diffuser Disk: %s\n", yes_no(av->canDdZoomAvail));
    u_log_sink("  RoF & Diffuser Disk : %s\n", yes_no(av->canDdRsAvail));
    u_log_sink("  Focus & ND Wheel    : %s\n", yes_no(av->canFocusNdwAvail));
    u_log_sink("  Auxiliary Motor     : %s\n", yes_no(av->canAuxMotorAvail));
    const struct {
        bool required;
        bool present;
        const char* message;
    } required[] = {
        {si->pztPresent != 0, av->canTriplePztAvail, "Missing the CAN Triple PZT node\n"},
        {si->lapsPresent != 0, av->canLargeApAvail, "Missing the CAN Large Aperture node\n"},
        {si->zoomPresent != 0, av->canDdZoomAvail, "Missing the CAN Zoom & Diffuser Disk node\n"},
        {si->ringSpot != 0, av->canDdRsAvail, "Missing the CAN Ring/Spot & Diffuser Disk node\n"},
        {si->focusNdwPresent != 0, av->canFocusNdwAvail, "Missing the CAN Focus & ND Wheel node\n"},
        {si->sysType == SYS_MODEL20, av->canAuxMotorAvail, "Missing the CAN Auxiliary Motor node\n"},
    };
    for (const auto& r : required)
        if (r.required && !r.present) {
            u_log_sink("%s", r.message);
            return ERR_CAN_NODE_MISSING;
        }
    return NO_ERROR;
}

// A present node that must become operational: otherwise its flag is cleared and `code`
// returned.
int32_t operational_or(SysInfo* si, uint8_t node, bool can_node_avail::*flag, int32_t code)
{
    can_node_avail* av = can_avail(si);
    if (!(av->*flag))
        return NO_ERROR;
    if (node_operational(node))
        return NO_ERROR;
    av->*flag = false;
    return code;
}

// Steps 4 to 6: PZT nodes, wands, diffuser disks, ring/spot.
int32_t hxi_scan_and_diffusers(SysInfo* si)
{
    can_node_avail* av = can_avail(si);
    can_slot_state* st = can_state(si);
    const bool pzt = av->canTriplePztAvail;
    int32_t rc = operational_or(si, CAN_NODE_ID_TRIPLEPZT, &can_node_avail::canTriplePztAvail, ERR_CAN_TRIPLEPZT_ERROR);
    if (rc != NO_ERROR)
        return rc;
    if (pzt)
        si->pztPwr = -1;
    const bool lap = av->canLargeApAvail;
    rc = operational_or(si, CAN_NODE_ID_LARGEAP, &can_node_avail::canLargeApAvail, ERR_CAN_LARGEAP_ERROR);
    if (rc != NO_ERROR)
        return rc;
    if (lap && st != nullptr)
        st->largeApInUse = true;
    operational_or(si, CAN_NODE_ID_WAND, &can_node_avail::canWandAvail, NO_ERROR);
    operational_or(si, CAN_NODE_ID_WAND2, &can_node_avail::canWand2Avail, NO_ERROR);
    if (av->canDdZoomAvail) {
        rc = operational_or(si, CAN_NODE_ID_DD_ZOOM, &can_node_avail::canDdZoomAvail, ERR_CAN_DD_ZOOM_ERROR);
        if (rc == NO_ERROR)
            rc = set_bit(si, can_read_zoom_dd_control, can_write_zoom_dd_control, 1, false, nullptr);
        if (rc == NO_ERROR)
            rc = set_bit(si, can_read_zoom_keypress_mode, can_write_zoom_keypress_mode, 2, true,
                         &si->canInfo->zoomKeypressMode);
        if (rc != NO_ERROR)
            return rc;
    }
    if (av->canDdRsAvail) {
        rc = operational_or(si, CAN_NODE_ID_DD_RS, &can_node_avail::canDdRsAvail, ERR_CAN_DD_RS_ERROR);
        if (rc != NO_ERROR)
            return rc;
        si->ringSpot = 1;
        rc = set_bit(si, can_read_rs_dd_control, can_write_rs_dd_control, 1, false, nullptr);
        if (rc == NO_ERROR)
            rc = can_set_ring_spot(si, 0, true);
        if (rc == NO_ERROR)
            rc = set_bit(si, can_read_rs_keypress_mode, can_write_rs_keypress_mode, 2, true,
                         &si->canInfo->rsKeypressMode);
        if (rc != NO_ERROR)
            return rc;
    }
    return NO_ERROR;
}

// Step 7: the focus and ND wheel node.
int32_t hxi_ndw(SysInfo* si)
{
    if (!si->focusNdwPresent)
        return NO_ERROR;
    if (!node_operational(CAN_NODE_ID_FOCUS_NDW))
        return ERR_CAN_FOCUS_NDW_ERROR;
    u_handle& stopped = can_state(si)->ndwStopped;
    if (stopped == nullptr && u_event_create(true, true, CAN_NDWHEEL_STOPPED, &stopped) != NO_ERROR) {
        stopped = nullptr;
        u_log_stamped("%s: Error creating event to signal ND wheel is stopped\n", "can_hxi_on");
        return ERR_INTERNAL_RV;
    }
    int32_t rc = can_home_ndw(si, true, 10000);
    if (rc != NO_ERROR) {
        u_log_stamped("%s: Error homing the ND wheel\n", "can_hxi_on");
        return rc;
    }
    rc = ac_llc_mode(si, 1);
    if (rc != NO_ERROR)
        return rc;
    return set_bit(si, can_read_focus_keypress_mode, can_write_focus_keypress_mode, 1, true,
                   &si->canInfo->focusKeypressMode);
}

// Steps 8 to 10: diffuser modes and rate, auxiliary motor, digital output, encoded zoom.
int32_t hxi_finish(SysInfo* si)
{
    can_node_avail* av = can_avail(si);
    int32_t rc = NO_ERROR;
    if (av->canDdZoomAvail) {
        rc = can_write_zoom_dd_mode(si, 0);
        if (rc != NO_ERROR)
            return rc;
        const float rate = can_diffuser_disk_rate(*si);
        rc = can_write_zoom_dd_targetVel(si, rate);
        if (rc != NO_ERROR) {
            u_log_stamped("%s: Diffuser disk rate %g is outside 10 to 10000\n", "can_hxi_on", static_cast<double>(rate));
            return rc;
        }
    }
    if (si->ringSpot && av->canDdRsAvail) {
        rc = can_write_rs_dd_mode(si, 1);
        if (rc != NO_ERROR)
            return rc;
    }
    if (av->canAuxMotorAvail) {
        rc = operational_or(si, CAN_NODE_ID_AUX_MOTOR, &can_node_avail::canAuxMotorAvail, ERR_CAN_AUX_MOTOR_ERROR);
        if (rc == NO_ERROR && si->sysType == SYS_MODEL20)
            rc = can_drive_aux_motor(si, false);
        if (rc != NO_ERROR)
            return rc;
    }
    const int out = si->sysType == SYS_MODEL20 ? 4 : si->cameraType == CAM_E2V7899 ? 1 : -1;
    if (out >= 0) {
        rc = can_bridge_write_digitalout(si, static_cast<uint8_t>(out));
        if (rc != NO_ERROR)
            return rc;
        can_pause_ms(100);
    }
    if (si->hxiZoom)
        rc = hxi_enc_zoom_set_backlash(si);
    return rc;
}

}  // namespace

int32_t find_bridge(CanInfo* canInfo)
{
    if (canInfo == nullptr)
        return ERR_HW_FAIL;
    const uint8_t* m = canInfo->macAddress;
    const std::string mac = u_format("%2.2X %2.2X %2.2X %2.2X %2.2X %2.2X", m[0], m[1], m[2], m[3], m[4], m[5]);
    std::memset(canInfo->ipAddress, 255, sizeof canInfo->ipAddress);
    std::vector<uint8_t> entries(static_cast<std::size_t>(CAN_MAX_BRIDGES) * CAN_BRIDGE_ENTRY_SIZE);
    bool found = false;
    for (int attempt = 0; attempt < 3 && !found; ++attempt) {
        if (attempt > 0)
            can_pause_ms(2000);
        const int32_t n = can_bus().CAN_EnumerateBridges(entries.data(), CAN_MAX_BRIDGES);
        if (n == 0) {
            u_log_stamped("%s: CAN_EnumerateBridges found no CAN bridges\n", "find_bridge");
            return ERR_CAN_FINDING_BRIDGE;
        }
        if (n < 0) {
            u_log_stamped("%s: CAN_EnumerateBridges failed\n", "find_bridge");
            return ERR_CAN_FINDING_BRIDGE;
        }
        // A library that claims more entries than the room it was given is held to the room.
        const int32_t count = n < CAN_MAX_BRIDGES ? n : CAN_MAX_BRIDGES;
        for (int32_t e = 0; e < count && !found; ++e) {
            const uint8_t* entry = &entries[static_cast<std::size_t>(e) * CAN_BRIDGE_ENTRY_SIZE];
            if (std::memcmp(entry + 4, m, 6) == 0) {
                std::memcpy(canInfo->ipAddress, entry, 4);
                found = true;
            }
        }
    }
    if (!found) {
        u_log_sink("CAN bridge with MAC address %s not found on network\n", mac.c_str());
        return ERR_CAN_MACADDRESS_ERROR;
    }
    const uint8_t* ip = canInfo->ipAddress;
    u_log_sink("Found CAN bridge\n");
    u_log_sink("MAC address: %s\n", mac.c_str());
    u_log_sink("IP  address: %d.%d.%d.%d\n", ip[0], ip[1], ip[2], ip[3]);
    return NO_ERROR;
}

bool find_node(uint8_t node, const char* name)
{
    uint8_t status = 0;
    const int32_t st = can_bus().CAN_FindNode(node, &status);
    if (st != CAN_OK) {
        u_log_stamped("%s: Error finding node %s: CAN_FindNode canErr = %d\n", "find_node", name, static_cast<int>(st));
        return false;
    }
    if (status != CAN_NODE_FOUND) {
        u_log_stamped("%s: Error finding node %s: CAN_FindNode status = %d\n", "find_node", name, static_cast<int>(status));
        return false;
    }
    return true;
}

bool wait_for_node_operational(uint8_t node, const char* name)
{
    uint8_t state = 0;
    for (int poll = 0; poll < 10; ++poll) {
        if (poll > 0)
            can_pause_ms(200);
        const int32_t st = can_bus().CAN_GetNodeState(node, &state);
        if (st != CAN_OK) {
            u_log_stamped("%s: Error waiting for node %s operational: CAN_GetNodeState canErr = %d\n",
                          "wait_for_node_operational", name, static_cast<int>(st));
            return false;
        }
        if (state == CAN_NODE_OPERATIONAL)
            return true;
    }
    u_log_stamped("%s: Timeout waiting for node %s operational: CAN_GetNodeState status = %d\n",
                  "wait_for_node_operational", name, static_cast<int>(state));
    return false;
}

bool get_operational_node(const SysInfo* si, uint8_t node, const char* name, uint32_t* productId)
{
    if (!find_node(node, name) || !wait_for_node_operational(node, name))
        return false;
    uint32_t code = 0;
    const int32_t rc = can_read_productID(si, node, &code);
    if (rc != NO_ERROR) {
        u_log_stamped("%s: Error getting node %s product ID: %s\n", "get_operational_node", name, u_err_name(rc));
        return false;
    }
    if (productId != nullptr)
        *productId = code;
    return true;
}

int32_t can_init_tq_node_availability(SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    can_node_avail* av = can_avail(si);
    av->canBrushMotorAvail = false;
    av->canTriplePztAvail = false;
    uint8_t nodes[CAN_NODE_TABLE_SIZE];
    const int32_t rc = enumerate_nodes(nodes, "can_init_tq_node_availability");
    if (rc != NO_ERROR)
        return rc;
    av->canBrushMotorAvail = nodes[CAN_NODE_ID_BRUSHMOTOR] == CAN_NODE_PRESENT;
    av->canTriplePztAvail = nodes[CAN_NODE_ID_TRIPLEPZT] == CAN_NODE_PRESENT;
    u_log_sink("Instrument CAN node status:\n");
    u_log_sink("  Ramper           : %s  \n", yes_no(nodes[CAN_NODE_ID_RAMP] == CAN_NODE_PRESENT));
    u_log_sink("  LED              : %s  \n", yes_no(nodes[CAN_NODE_ID_LED] == CAN_NODE_PRESENT));
    u_log_sink("  Dual Brush Motor : %s%s\n", yes_no(av->canBrushMotorAvail), si->dualBrushMotorPresent ? "" : ", Ignore");
    u_log_sink("  Triple PZT       : %s%s\n", yes_no(av->canTriplePztAvail), si->pztPresent ? "" : ", Ignore");
    return NO_ERROR;
}

namespace {

// The start of the Model15/25 and Model23/29 bring-ups: the record, the node enumeration and
// the nodes the model cannot do without.
int32_t start_tq_bringup(SysInfo* si, bool triple_pzt)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (!si->canInfo)
        return ERR_HW_FAIL;
    const int32_t rc = can_init_tq_node_availability(si);
    return rc != NO_ERROR ? rc : require_tq_nodes(si, triple_pzt);
}

}  // namespace

int32_t can_model15_model25_on(SysInfo* si)
{
    static constexpr char fn[] = "can_model15_model25_on";
    int32_t rc = start_tq_bringup(si, false);
    if (rc != NO_ERROR)
        return rc;
    if (!node_operational(CAN_NODE_ID_RAMP))
        return ERR_CAN_RAMP_ERROR;
    const int32_t pi = sysinfo_pi_scanner(*si);
    if (pi == SB_PI_DIGITAL) {
        float amplitude = 0.0f;
        if (can_write_pi_ramp_select(si, 1) != NO_ERROR || can_read_pi_ramp_amplitude(si, &amplitude) != NO_ERROR)
            amplitude = 0.0f;
        if (amplitude == 0.0f) {
            u_log_sink("%s", SCANNER_FAILED);
            return ERR_CAN_DIGITAL_SCANNER_MISSING;
        }
    }
    if (pi == SB_PI_751) {
        int32_t tables = 0;
        rc = can_pi_load_ddl_tables(si, &tables);
        if (rc == NO_ERROR)
            u_log_sink("Loaded %d PI 751 digital scanner DDL tables\n", static_cast<int>(tables));
        if (rc != NO_ERROR || tables == 0) {
            u_log_sink("%s", SCANNER_FAILED);
            return ERR_CAN_DIGITAL_SCANNER_MISSING;
        }
    }
    rc = led_node_on(si, fn);
    if (rc == NO_ERROR)
        rc = brush_motor_on(si, true, fn);
    if (rc != NO_ERROR)
        return rc;
    can_events_reset();
    rc = led_setup(si);
    if (rc == NO_ERROR && si->dualBrushMotorPresent && si->zoom != 0 &&
        si->canInfo->brushMotorProductId == CAN_BRMOTOR_PRODUCT_D7) {
        int32_t pos = 0;
        rc = can_read_zoom(si, &pos);
    }
    return rc;
}

int32_t can_model23_or_model29_on(SysInfo* si)
{
    static constexpr char fn[] = "can_model23_or_model29_on";
    int32_t rc = start_tq_bringup(si, true);
    if (rc != NO_ERROR)
        return rc;
    if (!node_operational(CAN_NODE_ID_RAMP) || !node_operational(CAN_NODE_ID_TRIPLEPZT))
        return ERR_CAN_RAMP_ERROR;
    can_avail(si)->canTriplePztAvail = true;
    rc = led_node_on(si, fn);
    if (rc == NO_ERROR)
        rc = brush_motor_on(si, false, fn);
    if (rc == NO_ERROR)
        rc = led_setup(si);
    return rc;
}

int32_t can_hxi_on(SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (!si->canInfo)
        return ERR_HW_FAIL;
    int32_t rc = hxi_nodes(si);
    if (rc != NO_ERROR)
        return rc;
    rc = hxi_scan_and_diffusers(si);
    if (rc == NO_ERROR)
        rc = hxi_ndw(si);
    if (rc == NO_ERROR)
        rc = hxi_finish(si);
    const can_node_avail* av = can_avail(si);
    if (rc != NO_ERROR && (av->canDdRsAvail || av->canDdZoomAvail))
        can_set_diffuser_disks(si, false);  // best effort: the bring-up's own code is returned
    return rc;
}

float can_diffuser_disk_rate(const SysInfo& si)
{
    if (si.diffDiskRate != -1.0f)
        return si.diffDiskRate;
    const int32_t pos = can_state(&si)->turretPos;
    if (pos < 0 || pos >= si.numMags || pos >= SB_MAX_MAGS)
        return 64.0f;
    const double m = si.nomMag[pos];
    const double f = si.diffDiskFraction;
    double rate = 64.0;
    if (m <= 30.0)
        rate = m / f;
    else if (m <= 75.0)
        rate = m * f;
    if (std::isnan(rate))
        return 64.0f;
    if (rate < 10.0)
        rate = 10.0;
    if (rate > 10000.0)
        rate = 10000.0;
    return static_cast<float>(rate);
}

bool can_ndw_event_held(const SysInfo* si)
{
    const can_slot_state* st = can_state(si);
    return st != nullptr && st->ndwStopped != nullptr;
}

void can_ndw_event_close(const SysInfo* si)
{
    can_slot_state* st = can_state(si);
    if (st == nullptr || st->ndwStopped == nullptr)
        return;
    u_close_handle(st->ndwStopped);
    st->ndwStopped = nullptr;
}
