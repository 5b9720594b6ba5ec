#include "tools/inst_shell/virtual_instrument.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "vell/acquisition/acq.h"
#include "vell/acquisition/acq_service.h"
#include "vell/calfile/sysinfo.h"
#include "vell/can/can_agc.h"
#include "vell/can/can_bus.h"
#include "vell/instrument/agc_host.h"
#include "vell/instrument/llc.h"
#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"
#include "vell/serial/board.h"
#include "vell/sim/board_device.h"
#include "vell/sim/tnacq/tnacq_sim.h"
#include "vell/sim/canbridge/vcan_bridge.h"
#include "vell/sim/canbridge/vcan_instrument.h"
#include "vell/sim/canbridge/vcan_nodes.h"

namespace inst_shell {

namespace {

// A software version above every camera rule of the serial boards.
constexpr uint8_t kSimSoftwareVersion = 20;
// How long a ramp started on a virtual PZT ramp node plays.
constexpr uint32_t kSimRampPlayMs = 500;

int32_t next_in(int32_t value, int count) { return value + 1 < count ? value + 1 : 1; }

// A little-endian unsigned object of the virtual bridge, or -1.
double bridge_object(uint8_t node, uint16_t index)
{
    const std::vector<uint8_t> raw = vcan::object(node, index, 0);
    if (raw.empty() || raw.size() > 4)
        return -1.0;
    uint32_t v = 0;
    for (std::size_t i = 0; i < raw.size(); ++i)
        v |= uint32_t(raw[i]) << (8 * i);
    return v;
}

double share(double value, double full) { return full > 0 ? std::clamp(value / full, 0.0, 1.0) : 0.0; }

// The camera's light: that of the first instrument whose camera is set up.
double session_light(void* ctx)
{
    const auto* all = static_cast<const std::vector<std::unique_ptr<virtual_instrument>>*>(ctx);
    for (const auto& v : *all)
        if (v->light() >= 0.0 && acq_svc_device_set_up(sysinfo_slot(int(&v - all->data()))))
            return v->light();
    return 0.0;
}
void clock_sleep(unsigned ms) { u_sleep_ms(ms); }
unsigned long long clock_now() { return u_now_ms(); }
tnacq_sim_host g_camera{};

}  // namespace

bool identity_field_from(const char* word, identity_field* out)
{
    static constexpr struct {
        const char* word;
        identity_field field;
    } names[] = {{"system", identity_field::system}, {"board", identity_field::board},
                 {"camera", identity_field::camera}, {"light", identity_field::light},
                 {"serial", identity_field::serial}, {"date", identity_field::date}};
    for (const auto& n : names) {
        if (word != nullptr && std::strcmp(word, n.word) == 0) {
            *out = n.field;
            return true;
        }
    }
    return false;
}

inst_eeprom_identity identity_for(const SysInfo& info, identity_field differs)
{
    inst_eeprom_identity id;
    id.sysType = info.sysType;
    id.cameraType = info.cameraType;
    id.lightType = info.lightType;
    id.instrBdType = info.instrBdType;
    id.serialNum = info.serialNum;
    id.dateCode = info.dateCode;
    switch (differs) {
    case identity_field::none: break;
    case identity_field::system: id.sysType = next_in(id.sysType, SB_NUM_SYS_TYPE_NAMES); break;
    case identity_field::board: id.instrBdType = next_in(id.instrBdType, SB_NUM_BOARD_TYPE_NAMES); break;
    case identity_field::camera: id.cameraType = next_in(id.cameraType, SB_NUM_CAMERA_TYPE_NAMES); break;
    case identity_field::light: id.lightType = next_in(id.lightType, SB_NUM_LIGHT_TYPE_NAMES); break;
    case identity_field::serial: id.serialNum = id.serialNum + 1; break;
    case identity_field::date: id.dateCode = static_cast<int16_t>(id.dateCode + 1); break;
    }
    return id;
}

virtual_instrument::virtual_instrument() = default;
virtual_instrument::~virtual_instrument()
{
    if (wheel_clock_)
        vcan::ndw_clock_stop();
}

double virtual_instrument::light() const
{
    if (info_ == nullptr)
        return -1.0;
    if (info_->instrBdType == BD_CAN) {
        // The ND wheel passes its raw level (before the platform's inversion) over 65535; the LED
        // node shines at its level over the light range's top.
        if (info_->focusNdwPresent != 0)
            return share(bridge_object(64, 0x2028), 65535.0);
        const LightSlot& slot = info_->currentLight();
        return share(bridge_object(61, 0x2001), slot.rangeHigh > 0 ? slot.rangeHigh : 4095.0);
    }
    if (board_ == nullptr)
        return -1.0;
    // Boards 1 and 7 take their level complemented.
    const double limit = ac_llc_board_limit(*info_);
    double level = board_->light_level_now();
    if (info_->instrBdType == BD_BOARD01 || info_->instrBdType == BD_FTP)
        level = limit - level;
    return share(level, limit);
}

int32_t virtual_instrument::build(const SysInfo& info, const sim_options& options, std::string* why)
{
    info_ = &info;
    if (info.instrBdType == BD_CAN) {
        const int32_t rc = make_virtual_can_instrument(info, options, why);
        // The ND wheel's status messages reach the event pump as time passes.
        if (rc == NO_ERROR && info.focusNdwPresent != 0) {
            vcan::ndw_clock_start();
            wheel_clock_ = true;
        }
        return rc;
    }
    if (!options.missing_nodes.empty()) {
        *why = "a serial-board instrument has no CAN nodes to leave out";
        return ERR_INVALID_PARAM;
    }
    if (ur_vocabulary(info.instrBdType, nullptr) == nullptr) {
        *why = std::string("there is no virtual ") + sb_board_type_name(info.instrBdType) + " board";
        return ERR_WRONG_INSTR_BOARD;
    }
    const char* port = info.instrComm.c_str();
    if (port == nullptr || port[0] == '\0') {
        *why = "the calibration file names no InstrComm port for the virtual board";
        return ERR_INVALID_PARAM;
    }
    const int32_t rc = sim::board_device::create(port, info.instrBdType, &board_);
    if (rc != NO_ERROR) {
        *why = std::string("the virtual board cannot serve port ") + port;
        return rc;
    }
    const inst_eeprom_identity id = identity_for(info, options.differs);
    sim::board_device::identity eeprom;
    eeprom.system = static_cast<uint8_t>(id.sysType);
    eeprom.camera = static_cast<uint8_t>(id.cameraType);
    eeprom.light = static_cast<uint8_t>(id.lightType);
    eeprom.board = static_cast<uint8_t>(id.instrBdType);
    eeprom.serial = static_cast<uint32_t>(id.serialNum);
    eeprom.date = static_cast<uint16_t>(id.dateCode);
    board_->set_identity(eeprom);
    board_->set_sw_version(kSimSoftwareVersion);
    return NO_ERROR;
}

int32_t make_virtual_can_instrument(const SysInfo& info, const sim_options& options, std::string* why)
{
    if (options.differs != identity_field::none) {
        *why = "a CAN instrument keeps no EEPROM identity that could differ";
        return ERR_INVALID_PARAM;
    }
    vcan::instrument_options bridge;
    bridge.missing = options.missing_nodes;
    if (!vcan::build_instrument(info, bridge)) {
        *why = "the calibration file names no MacAddress, or its system type is not a CAN model";
        return ERR_SB_INST_CONFIG;
    }
    // The PZT ramp nodes play the ramps they are given, so that ramps load, start and end.
    for (uint8_t node : vcan::instrument_nodes(info)) {
        const bool missing = std::find(bridge.missing.begin(), bridge.missing.end(), node) != bridge.missing.end();
        if ((node == 62 || node == 52) && !missing)
            vcan::ramp_generator(node, kSimRampPlayMs);
    }
    can_bus_use(vcan::table(), vcan::version_high);
    return NO_ERROR;
}

void use_virtual_camera(const std::vector<std::unique_ptr<virtual_instrument>>* instruments)
{
    // A lock of this process's own: virtual sessions never wait for each other or a real one.
    std::random_device rd;
    acq_set_lock_name(("VELLTNCAL-sim-" + std::to_string(rd()) + std::to_string(rd())).c_str());
    acq_mgr_use(&tnacq_sim::table());
    tnacq_sim::set("reset", "");
    g_camera = tnacq_sim_host{session_light, const_cast<void*>(static_cast<const void*>(instruments)), clock_sleep,
                              clock_now};
    tnacq_sim::attach(&g_camera);
    inst_agc_use_acquisition();
}

void release_virtual_camera()
{
    can_agc_set_host(nullptr);
    acq_mgrclose(sysinfo_slot(0));
    acq_mgr_use(nullptr);
    acq_set_lock_name(nullptr);
    tnacq_sim::attach(nullptr);
}

}  // namespace inst_shell
