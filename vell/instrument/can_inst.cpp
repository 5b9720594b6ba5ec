#include "vell/instrument/can_inst.h"

#include <cstring>

#include "vell/acquisition/bpix.h"
#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_bus.h"
#include "vell/can/can_common.h"
#include "vell/can/can_events.h"
#include "vell/can/can_ops.h"
#include "vell/can/can_sdo.h"
#include "vell/instrument/can_bringup.h"
#include "vell/instrument/llc.h"
#include "vell/instrument/ramp_slots.h"
#include "vell/instrument/sleep_mode.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/platform/log.h"
#include "vell/ramps/ramp_set.h"
#include "vell/serial/devctl.h"
#include "vell/serial/wavemon.h"

namespace {

constexpr char ON[] = "can_inst_on";

bool group1(const SysInfo* si)
{
    return can_sys_is(si, {SYS_MODEL15, SYS_MODEL22, SYS_MODEL27, SYS_MODEL25, SYS_MODEL10, SYS_MODEL12});
}
bool group2(const SysInfo* si) { return can_sys_is(si, {SYS_MODEL23, SYS_MODEL29}); }
bool hxi_agc_system(const SysInfo* si) { return si != nullptr && can_agc_system(si->sysType); }


// ---- The built-in services ------------------------------------------------------------------

// The PIFOC offset of the current ramp of the set (the first one when none is current).
int32_t pifoc_offset_from_ramps(SysInfo* si)
{
    const rr_instr_ramps_t* r = rr_instr_ramps(si);
    if (r == nullptr || !r->haveSet || r->ramps.empty())
        return ERR_NO_RAMP_INFO;
    const std::size_t i = r->curRamp >= 0 && static_cast<std::size_t>(r->curRamp) < r->ramps.size()
                              ? static_cast<std::size_t>(r->curRamp)
                              : 0;
    const int32_t offset = r->ramps[i].hdr.offset;
    if (offset < 0)
        return ERR_PARAM_OUT_OF_RANGE;
    return can_write_pifoc_offset(si, static_cast<uint32_t>(offset), false);
}

// Opens the slot's wave monitor link on the record's port (when it is not open yet) and reads
// its calibration state.
int32_t wave_monitor_link_on(SysInfo* si)
{
    wm_device* wm = &wm_device_of(*si);
    if (wm->link.handle == SIO_INVALID_HANDLE) {
        const int32_t rc = wm_comm_open_fd(&wm->link, si->wmComm.c_str());
        if (rc != NO_ERROR)
            return rc;
    }
    const int32_t rc = wm_read_calibration(&wm->link, &wm->cal);
    if (rc == NO_ERROR)
        wm_report_calibration(wm->cal);
    return rc;
}

int32_t bad_pixel_table(SysInfo* si) { return gen_cam_ped_filename(sysinfo_slot_of(si)); }

constexpr can_inst_services builtin_services{rr_get_ramp_info, pifoc_offset_from_ramps, wave_monitor_link_on,
                                             bad_pixel_table};
can_inst_services services = builtin_services;

int32_t call(int32_t (*fn)(SysInfo*), SysInfo* si) { return fn != nullptr ? fn(si) : NO_ERROR; }

// ---- Power-on steps -------------------------------------------------------------------------

uint32_t address_of(const CanInfo& c)
{
    uint32_t a = 0;
    std::memcpy(&a, c.ipAddress, 4);
    return a;
}

int32_t connect(const CanInfo& c)
{
    const int32_t st = can_bus().CAN_Connect(address_of(c));
    if (st != CAN_OK) {
        u_log_stamped("%s: CAN_Connect canErr = %d\n", ON, static_cast<int>(st));
        return ERR_CAN_FINDING_BRIDGE;
    }
    return NO_ERROR;
}

int32_t reset_bridge()
{
    const int32_t st = can_bus().CAN_ResetBridge();
    if (st != CAN_OK) {
        u_log_sink("CAN_ResetBridge canErr %d\n", static_cast<int>(st));
        return ERR_HW_FAIL;
    }
    return NO_ERROR;
}

// Steps 5 to 8: connect, firmware, configuration, bridge errors.
int32_t bridge_on(CanInfo& c)
{
    int32_t rc = find_bridge(&c);
    if (rc == NO_ERROR)
        rc = connect(c);
    if (rc != NO_ERROR)
        return rc;
    int32_t st = can_bus().CAN_GetFirmwareVersion(&c.fwMajor, &c.fwMinor);
    if (st != CAN_OK) {
        u_log_stamped("%s: CAN_GetFirmwareVersion canErr = %d\n", ON, static_cast<int>(st));
        return ERR_CAN_BRIDGE_ERROR;
    }
    uint16_t major = 0, minor = 0;
    can_bus_version(&major, &minor);
    u_log_sink("Bridge firmware version: major = %hu, minor = %hu\n", static_cast<unsigned short>(c.fwMajor),
               static_cast<unsigned short>(c.fwMinor));
    u_log_sink("DLL version: major = %d, minor = %d\n", static_cast<int>(major), static_cast<int>(minor));
    uint8_t node = 0;
    uint32_t rate = 0;
    st = can_bus().CAN_GetBridgeConfiguration(&node, &rate);
    if (st != CAN_OK) {
        u_log_stamped("%s: CAN_GetBridgeConfiguration canErr = %d\n", ON, static_cast<int>(st));
        return ERR_CAN_BRIDGE_ERROR;
    }
    if (node != CAN_NODE_ID_RAMP || rate != 1000) {
        st = can_bus().CAN_SetBridgeConfiguration(CAN_NODE_ID_RAMP, 1000);
        if (st != CAN_OK) {
            u_log_stamped("%s: CAN_SetBridgeConfiguration canErr = %d\n", ON, static_cast<int>(st));
            return ERR_CAN_BRIDGE_ERROR;
        }
        can_pause_ms(2000);
        rc = connect(c);
        if (rc != NO_ERROR)
            return rc;
    }
    uint32_t error = 0;
    for (int cycle = 0;; ++cycle) {
        st = can_bus().CAN_GetLastBridgeError(&error);
        if (st != CAN_OK) {
            u_log_stamped("%s: CAN_GetLastBridgeError canErr = %d\n", ON, static_cast<int>(st));
            return ERR_CAN_BRIDGE_ERROR;
        }
        if (error == 0)
            return NO_ERROR;
        if (cycle == 10)
            break;
        rc = reset_bridge();
        if (rc != NO_ERROR)
            return rc;
        can_pause_ms(2000);
        rc = connect(c);
        if (rc != NO_ERROR)
            return rc;
    }
    u_log_stamped("%s: Unable to reset bridge with no errors after 10 tries:", ON);
    u_log_sink("CAN_GetLastBridgeError = %d\n", static_cast<int>(error));
    return ERR_CAN_BRIDGE_ERROR;
}

// Step 9.
int32_t model_on(SysInfo* si)
{
    if (group1(si))
        return can_model15_model25_on(si);
    if (group2(si))
        return can_model23_or_model29_on(si);
    const bool hxi_a = can_sys_is(si, {SYS_MODEL17, SYS_MODEL20, SYS_MODEL24, SYS_MODEL19});
    const bool hxi_b = can_sys_is(si, {SYS_MODEL28, SYS_MODEL26});
    if (!hxi_a && !hxi_b)
        return ERR_WRONG_SYSTEM_TYPE;
    if (can_slot_state* st = can_state(si))
        st->largeApInUse = false;
    if (hxi_b) {
        si->pztPresent = 0;
        si->lapsPresent = 0;
    }
    si->pztPwr = -1;
    return can_hxi_on(si);
}

// Steps 10 to 14.
int32_t services_and_scanner(SysInfo* si)
{
    int32_t rc = call(services.ramp_info, si);
    if (rc != NO_ERROR && rc != ERR_NO_RAMP_INFO)
        return rc;
    const bool tuned = can_sys_is(si, {SYS_MODEL24, SYS_MODEL28, SYS_MODEL26});
    if (tuned) {
        rc = call(services.wave_monitor_on, si);
        if (rc != NO_ERROR)
            return rc;
    }
    if (!tuned || si->sysType == SYS_MODEL24) {
        rc = call(services.bad_pixels, si);
        if (rc != NO_ERROR)
            return rc;
    }
    can_slot_state* st = can_state(si);
    int32_t kind = 0;
    if (can_sys_is(si, {SYS_MODEL04, SYS_MODEL06, SYS_MODEL10, SYS_MODEL12, SYS_FTP, SYS_MODEL16, SYS_MODEL15, SYS_MODEL22,
                    SYS_MODEL25, SYS_MODEL27})) {
        kind = 1;
        rc = call(services.pifoc_offset, si);
        if (rc != NO_ERROR && rc != ERR_NO_RAMP_INFO)
            return rc;
    } else if (can_sys_is(si, {SYS_HXI, SYS_MODEL05, SYS_MODEL07, SYS_MODEL08, SYS_MODEL11, SYS_MODEL13, SYS_MODEL14,
                           SYS_MODEL33, SYS_MODEL17, SYS_MODEL19, SYS_MODEL20, SYS_MODEL23, SYS_MODEL29})) {
        kind = 2;
    }
    st->scannerKind = kind;
    // The sync generator runs the camera at the instrument's frame rate: until a ramp has set
    // one, the rate the ramp set was made for.
    if (!(si->cameraRate.load() > 0.0f))
        if (const rr_instr_ramps_t* r = rr_instr_ramps(si); r != nullptr && r->haveSet && !r->ramps.empty())
            sysinfo_set_camera_rate(*si, r->ramps.front().hdr.cameraRate);
    rc = can_write_syncgen(si);
    if (rc != NO_ERROR)
        return rc;
    const can_node_avail* av = can_avail(si);
    if (av->canTriplePztAvail) {
        st->rampMux = 0;
        rc = can_inst_status(si);
        if (rc != NO_ERROR)
            return rc;
    }
    if (av->canLargeApAvail) {
        st->rampMux = 1;
        rc = can_inst_status(si);
    }
    return rc;
}

// Step 15: turret and zoom changer.
int32_t turret_and_zoom(SysInfo* si)
{
    const bool always = can_sys_is(si, {SYS_MODEL10, SYS_MODEL12});
    const bool with_motor = can_sys_is(si, {SYS_MODEL15, SYS_MODEL22, SYS_MODEL23, SYS_MODEL25, SYS_MODEL27, SYS_MODEL29});
    if (!always && !(with_motor && si->dualBrushMotorPresent))
        return NO_ERROR;
    int32_t rc = can_get_brmtr_config(si);
    if (rc != NO_ERROR)
        return rc;
    can_slot_state* st = can_state(si);
    const int turrets = st != nullptr ? st->turretPosCount : 0;
    const int zooms = st != nullptr ? st->zoomPosCount : 0;
    if (si->turret == 1 || si->turret == 2) {
        u_log_sink(si->turret == 2 ? "Encoded objective turret\n" : "Motorized objective turret\n");
        uint8_t status = 0, pos = 0;
        rc = can_read_turret_status(si, &status);
        if (rc == NO_ERROR && (status & 0x80) != 0)
            rc = can_read_turret(si, &pos);
        if (rc != NO_ERROR)
            return rc;
        u_log_sink("Num objective turret positions = %d\n", turrets);
        if (pos == 0)
            u_log_sink("Current objective turret position = UNKNOWN\n");
        else
            u_log_sink("Current objective turret position = %d\n", static_cast<int>(pos));
        if (st != nullptr)
            st->turretPos = pos == 0 ? -1 : pos;
    } else {
        u_log_sink("Num objective turret positions = %d\n", turrets);
    }
    if (si->zoom == 1 || si->zoom == 2)
        u_log_sink(si->zoom == 1 ? "Encoded zoom changer\n" : "Motorized zoom changer\n");
    // The all-positions object answers only for a motorized changer or the brush motor whose
    // process data does not carry the zoom position.
    const bool all_zoom = si->zoom == 2 || (si->zoom == 1 && si->canInfo->brushMotorProductId == CAN_BRMOTOR_PRODUCT_D5);
    if (can_sys_is(si, {SYS_MODEL15, SYS_MODEL25}) && all_zoom) {
        rc = can_read_all_zoom(si);
        if (rc != NO_ERROR)
            return rc;
    }
    u_log_sink("Num zoom changer positions = %d\n", zooms);
    return ac_llc_set_percent(si, 25.0f, true);
}

// Steps 16 and 17.
int32_t events_and_config(SysInfo* si)
{
    int32_t rc = dev_init_cntrl(false);  // nothing when the table is up already
    if (rc == NO_ERROR)
        rc = dev_add_device(DEV_TYPE_CAN, CAN_DEVICE_HANDLE, si);
    if (rc == NO_ERROR)
        rc = can_register_events(si, true);
    if (rc != NO_ERROR || !can_config_word_supported(*si->canInfo))
        return rc;
    uint16_t config = 0;
    rc = can_bridge_read_config(si, &config);
    if (rc != NO_ERROR)
        return rc;
    if (sysinfo_pi_scanner(*si) != 0) {
        config |= 0x0800;
        u_log_sink("Enabling PI digital scanner triggering mode\n");
    } else if (config & 0x0800) {
        config &= static_cast<uint16_t>(~0x0800);
        u_log_sink("Disabling PI digital scanner triggering mode\n");
    }
    config |= 0x0100 | 0x2000;
    return can_bridge_write_config(si, config);
}

int32_t power_on(SysInfo* si)
{
    int32_t rc = bridge_on(*si->canInfo);
    if (rc == NO_ERROR)
        rc = model_on(si);
    if (rc == NO_ERROR)
        rc = services_and_scanner(si);
    if (rc == NO_ERROR)
        rc = turret_and_zoom(si);
    if (rc == NO_ERROR)
        rc = events_and_config(si);
    return rc;
}

// Off resets what power-on found and keeps what the calibration file configured.
void clear_run_time(CanInfo& c)
{
    CanInfo fresh;
    std::memcpy(fresh.macAddress, c.macAddress, sizeof fresh.macAddress);
    c = fresh;
}

}  // namespace

void can_inst_set_services(const can_inst_services* s) { services = s != nullptr ? *s : builtin_services; }
const can_inst_services& can_inst_default_services() { return builtin_services; }

int32_t can_inst_scanner_kind(const SysInfo* si)
{
    const can_slot_state* st = can_state(si);
    return st != nullptr ? st->scannerKind : -1;
}

int32_t can_inst_on(SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    int32_t rc = NO_ERROR;
    bool suspended = false;
    if (si->instrBdType != BD_CAN)
        rc = ERR_WRONG_INSTR_BOARD;
    else if (!si->canInfo)
        rc = ERR_HW_FAIL;
    if (rc == NO_ERROR) {
        if (dev_registered(CAN_DEVICE_HANDLE))
            dev_remove_device(CAN_DEVICE_HANDLE);
        if (ac_llc_agc_applies(*si)) {
            // Only the stop event: a fresh init would forget suspensions the caller holds.
            rc = can_agc_ensure_stop_event();
            if (rc == NO_ERROR)
                rc = can_agc_suspend(si);
            suspended = rc == NO_ERROR;
        }
    }
    if (rc == NO_ERROR && si->canInfo->macAddress[0] == 255)
        rc = ERR_CAN_MACADDRESS_ERROR;
    if (rc == NO_ERROR)
        rc = power_on(si);
    if (rc != NO_ERROR) {
        // The gain thread's own failure never replaces the bring-up's code. A failed bring-up
        // gives back its suspension without restarting the thread.
        if (suspended)
            can_agc_abandon_suspended(si);
        else if (ac_llc_agc_applies(*si))
            can_agc_stop_for_failure(si);
        u_log_stamped("%s: %s\n", ON, u_err_name(rc));
        return rc;
    }
    if (sleep_mode_applies(si))
        sleep_mode_start(si);
    if (suspended)
        can_agc_resume(si);
    u_log_stamped("Instrument ON\n");
    return NO_ERROR;
}

int32_t can_inst_off(SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (si->instrBdType != BD_CAN)
        return ERR_WRONG_INSTR_BOARD;
    if (group1(si))
        can_write_pifoc_offset(si, 0, true);
    if (group1(si) || group2(si)) {
        can_write_llc(si, 0, false);
        can_write_led_setup(si, 0);
    }
    if (hxi_agc_system(si)) {
        sleep_mode_stop();
        can_agc_stop_thread();
        can_ndw_event_close(si);
        can_set_diffuser_disks(si, false);
    }
    int32_t rc = NO_ERROR;
    if (si->canInfo && can_config_word_supported(*si->canInfo)) {
        uint16_t config = 0;
        rc = can_bridge_read_config(si, &config);
        if (rc == NO_ERROR)
            can_bridge_write_config(si, static_cast<uint16_t>(config & ~0x0100));
    }
    if (si->cameraType == CAM_E2V7899) {
        can_bridge_write_digitalout(si, 0);
        can_pause_ms(100);
    }
    if (dev_registered(CAN_DEVICE_HANDLE))
        dev_remove_device(CAN_DEVICE_HANDLE);
    can_register_events(si, false);
    can_events_free_resources();
    can_bus().CAN_Disconnect();
    if (si->canInfo)
        clear_run_time(*si->canInfo);
    u_log_stamped("Instrument OFF\n");
    return rc;
}

int32_t can_inst_status(SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    uint8_t status = 0;
    int32_t rc = can_read_bridge_status(si, &status);
    if (rc != NO_ERROR)
        return rc;
    const char* fault = nullptr;
    if ((status & 0x08) == 0)
        fault = "Bridge Status: External 12V power fault\n";
    else if (status & 0x04)
        fault = "Bridge Status: -12V power trip\n";
    else if (status & 0x02)
        fault = "Bridge Status: +12V power trip\n";
    if (fault == nullptr) {
        const can_node_avail* av = can_avail(si);
        if (!av->canTriplePztAvail && !av->canLargeApAvail)
            return NO_ERROR;
        uint8_t top = 0;
        rc = can_read_pztramp_errchk(si, &top);
        if (rc != NO_ERROR)
            return rc;
        static constexpr struct {
            uint8_t bit;
            const char* text;
        } pzt_faults[] = {
            {0x01, "Triple PZT node: Large aperture channel A fault\n"},
            {0x02, "Triple PZT node: Large aperture channel B fault\n"},
            {0x04, "Triple PZT node: Large aperture channel C fault\n"},
            {0x10, "Triple PZT node: High voltage supply under-voltage fault\n"},
            {0x20, "Triple PZT node: High voltage supply over-voltage fault\n"},
            {0x40, "Triple PZT node: VSync lost\n"},
        };
        for (const auto& f : pzt_faults)
            if (top & f.bit) {
                fault = f.text;
                break;
            }
    }
    if (fault == nullptr)
        return NO_ERROR;
    u_log_stamped("%s", fault);
    return ERR_INST_POWER;
}

int32_t can_inst_reset(SysInfo* si)
{
    if (si == nullptr)
        return ERR_SYS_INFO_NOT_AVAIL;
    if (si->instrBdType != BD_CAN)
        return ERR_WRONG_INSTR_BOARD;
    const int32_t rc = reset_bridge();
    if (rc != NO_ERROR)
        return rc;
    can_pause_ms(6000);
    return can_inst_on(si);
}
