#include "vell/calfile/sysinfo.h"

#include <memory>
#include <utility>

#include "vell/platform/errors.h"
#include "vell/platform/hooks.h"

const char* const sb_sys_type_names[SB_NUM_SYS_TYPE_NAMES] = {
    "Unknown", "Model01", "Model02", "Model03", "HXI",     "Model04", "Model05", "Model06", "Model08",
    "Model30", "Model09", "Model10", "Model11", "Model12", "Model13", "Model31", "FTP",     "Model14",
    "Model33", "Model34", "Model16", "Model07", "Model15", "Model17", "Model18", "Model19", "Model20",
    "Model21", "Model22", "Model23", "Model24", "Model25", "Model26", "Model28", "Model27", "Model29",
};

const char* const sb_board_type_names[SB_NUM_BOARD_TYPE_NAMES] = {
    "None", "Board01", "Board02", "HXI", "Board04", "Model13", "Model31", "FTP", "CAN", "NOTNEEDED",
};

const char* const sb_fg_type_names[SB_NUM_FG_TYPE_NAMES] = {
    "None",     "RPC",        "Matrox",   "Pulsar", "Genesis", "Corona",   "Bandit",
    "FireWire", "CameraLink", "FlashBus", "GigE",   "X64LVDS", "PC2Vision",
};

const char* const sb_camera_type_names[SB_NUM_CAMERA_TYPE_NAMES] = {
    "Unknown",   "XC77CE",     "P62505",    "CID2220",    "VIDICON",    "EEV1715A", "TM6705",
    "XC7500",    "XC7500S",    "SMD4M15",   "INFRACAMA",  "CID2250",    "CUSTOM",   "TM6710",
    "SIM200",    "BASLER",     "SU320",     "DGFLY640",   "DGFLY1024",  "IMPERXVGA", "ADIMEC1000",
    "A311F",     "A312F",      "TM6740",    "DGFLY6200",  "SCA640",     "ADIMEC4050", "ADIMEC4150",
    "PIA640",    "E2V7899",    "PIA1000",   "SCA640G",    "A504K",
};

const char* const sb_camera_align_names[SB_NUM_CAMERA_ALIGN_NAMES] = {"Default", "Center", "TopLeft"};

const char* const sb_light_type_names[SB_NUM_LIGHT_TYPE_NAMES] = {
    "Unknown", "HeNe", "Diode", "White", "Special", "LED",
};

const char* const sb_llc_instr_names[SB_NUM_LLC_INSTR_NAMES] = {"None", "DD100MC", "DD100MC_B", "MODEL13"};

const char* const sb_pos_instr_names[SB_NUM_POS_INSTR_NAMES] = {
    "None",      "Axiom",     "VMI",       "Heid",      "LCDMI",            "MicroLYNX", "ZEncoder",
    "USDED2",    "VMI501",    "METRONICS", "TNXVMI501", "Renishaw_StepNet", "StepNet",
};

const char* const sb_temp_sensor_names[SB_NUM_TEMP_SENSOR_NAMES] = {"None", "Euro2216e"};

namespace {

template <std::size_t N>
const char* clamped(const char* const (&table)[N], int32_t value)
{
    if (value < 0 || static_cast<std::size_t>(value) >= N)
        value = 0;
    return table[value];
}

// The process-wide slot table; each slot's host-file digit starts as its own number. It is never
// destroyed: the services' states hang on the slots, and their release (closing links) must not
// run in the exit-time destruction of other statics after the links' own tables are gone.
struct slot_table {
    SysInfo slots[SB_NUM_SLOTS];
    slot_table()
    {
        for (int i = 0; i < SB_NUM_SLOTS; ++i)
            slots[i].hostFileDigit = static_cast<uint8_t>(i);
    }
};
SysInfo (&g_slots)[SB_NUM_SLOTS] = (*std::make_unique<slot_table>().release()).slots;

// Allocates a sub-record through the allocation hooks and constructs it with its defaults.
template <class T>
int32_t ensure(sb_owned<T>& owner)
{
    if (owner)
        return NO_ERROR;
    void (*release)(void*) = u_hooks.release;
    void* block = u_calloc(1, sizeof(T));
    if (block == nullptr)
        return ERR_NO_MEM;
    T* object = nullptr;
    try {
        object = ::new (block) T();
    } catch (const std::bad_alloc&) {
        release(block);
        return ERR_NO_MEM;
    }
    owner = sb_owned<T>(object, sb_release{release});
    return NO_ERROR;
}

}  // namespace

const char* sb_sys_type_name(int32_t value) { return clamped(sb_sys_type_names, value); }
const char* sb_board_type_name(int32_t value) { return clamped(sb_board_type_names, value); }
const char* sb_fg_type_name(int32_t value) { return clamped(sb_fg_type_names, value); }
const char* sb_camera_type_name(int32_t value) { return clamped(sb_camera_type_names, value); }
const char* sb_camera_align_name(int32_t value) { return clamped(sb_camera_align_names, value); }
const char* sb_light_type_name(int32_t value) { return clamped(sb_light_type_names, value); }
const char* sb_llc_instr_name(int32_t value) { return clamped(sb_llc_instr_names, value); }
const char* sb_pos_instr_name(int32_t value) { return clamped(sb_pos_instr_names, value); }
const char* sb_temp_sensor_name(int32_t value) { return clamped(sb_temp_sensor_names, value); }

bool PidHalf::is_default() const noexcept { return *this == PidHalf{}; }

bool PidHalf::operator==(const PidHalf& other) const noexcept
{
    for (int i = 0; i < 4; ++i)
        if (ints[i] != other.ints[i] || reals[i] != other.reals[i])
            return false;
    return flag == other.flag && value == other.value;
}

SysInfo* sysinfo_slot(int slot)
{
    if (slot < 0 || slot >= SB_NUM_SLOTS)
        return nullptr;
    return &g_slots[slot];
}

int sysinfo_slot_of(const SysInfo* info)
{
    for (int i = 0; i < SB_NUM_SLOTS; ++i)
        if (info == &g_slots[i])
            return i;
    return -1;
}

void sysinfo_reset(SysInfo& info) { info.cal() = SysCalData{}; }

namespace {

// Moves `changed`'s value into the sub-record `kept` when both exist, and hands `changed` the
// kept block, so that the assignment of the whole record keeps it in place.
template <class T>
void keep_in_place(sb_owned<T>& kept, sb_owned<T>& changed)
{
    if (kept && changed) {
        *kept = std::move(*changed);
        changed = std::move(kept);
    }
}

}  // namespace

int sysinfo_bad_pixel_count(const SysCalData& info)
{
    int n = 0;
    while (n < SB_MAX_BAD_PIXELS && info.badPixels[n][0] >= 0)
        ++n;
    return n;
}

void sysinfo_apply_cal(SysInfo& info, SysCalData&& changed)
{
    SysCalData& cal = info.cal();
    keep_in_place(cal.canInfo, changed.canInfo);
    keep_in_place(cal.pifoc, changed.pifoc);
    for (int axis = 0; axis < SB_NUM_AXES; ++axis)
        keep_in_place(cal.pidVals[axis], changed.pidVals[axis]);
    keep_in_place(cal.dynWaveGen, changed.dynWaveGen);
    keep_in_place(cal.ftpInfo, changed.ftpInfo);
    keep_in_place(cal.hxiZoom, changed.hxiZoom);
    cal = std::move(changed);
}

int32_t sysinfo_set_defaults(int slot)
{
    SysInfo* info = sysinfo_slot(slot);
    if (info == nullptr)
        return ERR_PARAM_OUT_OF_RANGE;
    sysinfo_reset(*info);
    return NO_ERROR;
}

int32_t sysinfo_ensure_can_info(SysCalData& info) { return ensure(info.canInfo); }
int32_t sysinfo_ensure_ftp_info(SysCalData& info) { return ensure(info.ftpInfo); }
int32_t sysinfo_ensure_pifoc(SysCalData& info) { return ensure(info.pifoc); }
int32_t sysinfo_ensure_dyn_wave_gen(SysCalData& info) { return ensure(info.dynWaveGen); }
int32_t sysinfo_ensure_hxi_zoom(SysCalData& info) { return ensure(info.hxiZoom); }

int32_t sysinfo_ensure_pid_set(SysCalData& info, int axis)
{
    if (axis < 0 || axis >= SB_NUM_AXES)
        return ERR_PARAM_OUT_OF_RANGE;
    return ensure(info.pidVals[axis]);
}

void sysinfo_reset_runtime(SysInfo& info)
{
    info.services.clear();
    info.instrBdSwVersion = 0;
    info.instrOn = 0;
    info.cameraRate = 0.0f;
    for (LightRun& run : info.lightRun) {
        run.mode = 0;
        run.level = 0;
        run.prevLevel = 0;
    }
}

void sysinfo_reset_runtime_all()
{
    for (SysInfo& info : g_slots)
        sysinfo_reset_runtime(info);
}

void sysinfo_reset_all_slots()
{
    for (int i = 0; i < SB_NUM_SLOTS; ++i) {
        SysInfo& info = g_slots[i];
        sysinfo_reset_runtime(info);
        info.cal() = SysCalData{};
        info.calFilePath = sb_string{};
        info.calFile.reset();
        info.hostFileDigit = static_cast<uint8_t>(i);
    }
}
