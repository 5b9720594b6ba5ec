// The per-instrument calibration and system-information record (sysInfo), its sub-records, the
// instrument enumerations with their display names, and the process-wide table of four slots.
//
// Every instrument service reads the fields of its slot; only the calibration file reader
// (calfile/calfile.h) fills them from a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "vell/platform/hooks.h"
#include "vell/platform/state_store.h"

// ---------------------------------------------------------------------------------------------
// Enumerations. Each has a display-name table indexed by the value; sb_*_name() clamps a value
// beyond the table (or negative) to entry 0 before the lookup.

enum sb_sys_type : int32_t {
    SYS_UNKNOWN = 0,
    SYS_MODEL01 = 1,
    SYS_MODEL02 = 2,
    SYS_MODEL03 = 3,
    SYS_HXI = 4,
    SYS_MODEL04 = 5,
    SYS_MODEL05 = 6,
    SYS_MODEL06 = 7,
    SYS_MODEL08 = 8,
    SYS_MODEL30 = 9,
    SYS_MODEL09 = 10,
    SYS_MODEL10 = 11,
    SYS_MODEL11 = 12,
    SYS_MODEL12 = 13,
    SYS_MODEL13 = 14,
    SYS_MODEL31 = 15,
    SYS_FTP = 16,
    SYS_MODEL14 = 17,
    SYS_MODEL33 = 18,
    SYS_MODEL34 = 19,
    SYS_MODEL16 = 20,
    SYS_MODEL07 = 21,
    SYS_MODEL15 = 22,
    SYS_MODEL17 = 23,
    SYS_MODEL18 = 24,
    SYS_MODEL19 = 25,
    SYS_MODEL20 = 26,
    SYS_MODEL21 = 27,
    SYS_MODEL22 = 28,
    SYS_MODEL23 = 29,
    SYS_MODEL24 = 30,
    SYS_MODEL25 = 31,
    SYS_MODEL26 = 32,
    SYS_MODEL28 = 33,
    SYS_MODEL27 = 34,
    SYS_MODEL29 = 35,
    SYS_SPECIAL = 36,  // keyword "special"; no display name, not writable
};
constexpr int SB_NUM_SYS_TYPE_NAMES = 36;

// Whether a system type is one of the list (the model lists of the services).
constexpr bool sysinfo_type_in(int32_t sysType, std::initializer_list<int32_t> types)
{
    for (int32_t t : types)
        if (sysType == t)
            return true;
    return false;
}

enum sb_board_type : int32_t {
    BD_NONE = 0,
    BD_BOARD01 = 1,
    BD_BOARD02 = 2,
    BD_HXI = 3,
    BD_BOARD04 = 4,
    BD_MODEL13 = 5,
    BD_MODEL31 = 6,
    BD_FTP = 7,
    BD_CAN = 8,
    BD_NOTNEEDED = 9,
};
constexpr int SB_NUM_BOARD_TYPE_NAMES = 10;

enum sb_fg_type : int32_t {
    FG_NONE = 0,
    FG_RPC = 1,
    FG_MATROX = 2,
    FG_PULSAR = 3,
    FG_GENESIS = 4,
    FG_CORONA = 5,
    FG_BANDIT = 6,
    FG_FIREWIRE = 7,
    FG_CAMERALINK = 8,
    FG_FLASHBUS = 9,
    FG_GIGE = 10,
    FG_X64LVDS = 11,
    FG_PC2VISION = 12,
};
constexpr int SB_NUM_FG_TYPE_NAMES = 13;

enum sb_camera_type : int32_t {
    CAM_UNKNOWN = 0,
    CAM_XC77CE = 1,
    CAM_P62505 = 2,
    CAM_CID2220 = 3,
    CAM_VIDICON = 4,
    CAM_EEV1715A = 5,
    CAM_TM6705 = 6,
    CAM_XC7500 = 7,
    CAM_XC7500S = 8,
    CAM_SMD4M15 = 9,
    CAM_INFRACAMA = 10,
    CAM_CID2250 = 11,
    CAM_CUSTOM = 12,
    CAM_TM6710 = 13,
    CAM_SIM200 = 14,
    CAM_BASLER = 15,
    CAM_SU320 = 16,
    CAM_DGFLY640 = 17,
    CAM_DGFLY1024 = 18,
    CAM_IMPERXVGA = 19,
    CAM_ADIMEC1000 = 20,
    CAM_A311F = 21,
    CAM_A312F = 22,
    CAM_TM6740 = 23,
    CAM_DGFLY6200 = 24,
    CAM_SCA640 = 25,
    CAM_ADIMEC4050 = 26,
    CAM_ADIMEC4150 = 27,
    CAM_PIA640 = 28,
    CAM_E2V7899 = 29,
    CAM_PIA1000 = 30,
    CAM_SCA640G = 31,
    CAM_A504K = 32,
};
constexpr int SB_NUM_CAMERA_TYPE_NAMES = 33;

enum sb_camera_align : int32_t { ALIGN_DEFAULT = 0, ALIGN_CENTER = 1, ALIGN_TOPLEFT = 2 };
constexpr int SB_NUM_CAMERA_ALIGN_NAMES = 3;

enum sb_light_type : int32_t {
    LIGHT_UNKNOWN = 0,
    LIGHT_HENE = 1,
    LIGHT_DIODE = 2,
    LIGHT_WHITE = 3,
    LIGHT_SPECIAL = 4,
    LIGHT_LED = 5,
};
constexpr int SB_NUM_LIGHT_TYPE_NAMES = 6;

enum sb_llc_instr_type : int32_t {
    LLC_INSTR_NONE = 0,
    LLC_INSTR_DD100MC = 1,
    LLC_INSTR_DD100MC_B = 2,
    LLC_INSTR_MODEL13 = 3,
};
constexpr int SB_NUM_LLC_INSTR_NAMES = 4;

enum sb_pos_instr_type : int32_t {
    POS_NONE = 0,
    POS_AXIOM = 1,
    POS_VMI = 2,
    POS_HEID = 3,
    POS_LCDMI = 4,
    POS_MICROLYNX = 5,
    POS_ZENCODER = 6,
    POS_USDED2 = 7,
    POS_VMI501 = 8,
    POS_METRONICS = 9,
    POS_TNXVMI501 = 10,
    POS_RENISHAW_STEPNET = 11,
    POS_STEPNET = 12,
};
constexpr int SB_NUM_POS_INSTR_NAMES = 13;

enum sb_temp_sensor_type : int32_t { TEMP_NONE = 0, TEMP_EURO2216E = 1 };
constexpr int SB_NUM_TEMP_SENSOR_NAMES = 2;

// Display-name tables, indexed by the value.
extern const char* const sb_sys_type_names[SB_NUM_SYS_TYPE_NAMES];
extern const char* const sb_board_type_names[SB_NUM_BOARD_TYPE_NAMES];
extern const char* const sb_fg_type_names[SB_NUM_FG_TYPE_NAMES];
extern const char* const sb_camera_type_names[SB_NUM_CAMERA_TYPE_NAMES];
extern const char* const sb_camera_align_names[SB_NUM_CAMERA_ALIGN_NAMES];
extern const char* const sb_light_type_names[SB_NUM_LIGHT_TYPE_NAMES];
extern const char* const sb_llc_instr_names[SB_NUM_LLC_INSTR_NAMES];
extern const char* const sb_pos_instr_names[SB_NUM_POS_INSTR_NAMES];
extern const char* const sb_temp_sensor_names[SB_NUM_TEMP_SENSOR_NAMES];

// Display name of a value; a value outside the table gives entry 0 ("Unknown" or "None").
const char* sb_sys_type_name(int32_t value);
const char* sb_board_type_name(int32_t value);
const char* sb_fg_type_name(int32_t value);
const char* sb_camera_type_name(int32_t value);
const char* sb_camera_align_name(int32_t value);
const char* sb_light_type_name(int32_t value);
const char* sb_llc_instr_name(int32_t value);
const char* sb_pos_instr_name(int32_t value);
const char* sb_temp_sensor_name(int32_t value);

// ---------------------------------------------------------------------------------------------
// Owned strings of the record.

// A string that is either not set (c_str() gives null) or holds a text (possibly empty).
class sb_string {
public:
    bool is_set() const noexcept { return set_; }
    const char* c_str() const noexcept { return set_ ? text_.c_str() : nullptr; }
    std::string_view view() const noexcept { return text_; }
    void assign(std::string_view text)
    {
        text_.assign(text);
        set_ = true;
    }
    void reset() noexcept
    {
        std::string().swap(text_);
        set_ = false;
    }
    bool operator==(std::string_view text) const noexcept { return set_ && text_ == text; }
    bool operator==(const sb_string& other) const noexcept = default;

private:
    std::string text_;
    bool set_ = false;
};

// The default ramp configuration file name: one constant that is never freed.
inline constexpr char SB_DEFAULT_RAMP_CONFIG[] = "rampcfg.txt";

// The ramp configuration file name: the constant default, or an owned name from a Ramp Config
// line. c_str() returns the address of SB_DEFAULT_RAMP_CONFIG itself while it is the default.
class sb_ramp_name {
public:
    bool is_default() const noexcept { return !owned_; }
    const char* c_str() const noexcept { return owned_ ? text_.c_str() : SB_DEFAULT_RAMP_CONFIG; }
    void assign(std::string_view text)
    {
        text_.assign(text);
        owned_ = true;
    }
    void reset() noexcept
    {
        std::string().swap(text_);
        owned_ = false;
    }
    bool operator==(const sb_ramp_name& other) const noexcept = default;

private:
    std::string text_;
    bool owned_ = false;
};

// ---------------------------------------------------------------------------------------------
// Sub-records. Each is created on first use through an sysinfo_ensure_* operation, allocated
// through the platform allocation hooks, owned by the record and freed when the record is reset
// or destroyed.

// Releases a sub-record through the hook that allocated it.
struct sb_release {
    void (*release)(void*) = nullptr;
    template <class T>
    void operator()(T* p) const noexcept
    {
        p->~T();
        release(p);
    }
};
// An owned sub-record, absent or present. Two are equal when both are absent or both hold equal
// records, so that the records that own them compare by value.
//
// Copying one copies the sub-record into a new block of the allocation hooks (std::bad_alloc
// when there is none), so that a whole record can be copied, changed and put back.
template <class T>
class sb_owned {
public:
    sb_owned() = default;
    sb_owned(T* object, sb_release release) noexcept : p_(object, release) {}
    sb_owned(sb_owned&&) noexcept = default;
    sb_owned& operator=(sb_owned&&) noexcept = default;
    sb_owned(const sb_owned& other) : p_(clone(other.p_.get())) {}
    sb_owned& operator=(const sb_owned& other)
    {
        if (this != &other)
            p_ = clone(other.p_.get());
        return *this;
    }

    T* get() const noexcept { return p_.get(); }
    T* operator->() const noexcept { return p_.get(); }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { p_.reset(); }

    friend bool operator==(const sb_owned& a, const sb_owned& b) noexcept
    {
        return a.p_ == nullptr || b.p_ == nullptr ? a.p_ == b.p_ : *a.p_ == *b.p_;
    }
    friend bool operator==(const sb_owned& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    static std::unique_ptr<T, sb_release> clone(const T* from)
    {
        if (from == nullptr)
            return std::unique_ptr<T, sb_release>(nullptr, sb_release{u_hooks.release});
        void (*release)(void*) = u_hooks.release;
        void* block = u_calloc(1, sizeof(T));
        if (block == nullptr)
            throw std::bad_alloc();
        try {
            return std::unique_ptr<T, sb_release>(::new (block) T(*from), sb_release{release});
        } catch (...) {
            release(block);
            throw;
        }
    }

    std::unique_ptr<T, sb_release> p_;
};

// CAN bridge record. Created when the calibration file supplies the MAC address.
struct CanInfo {
    uint8_t ipAddress[4] = {255, 0, 0, 0};   // byte 0 is the first number of the dotted form
    uint8_t macAddress[6] = {255, 0, 0, 0, 0, 0};  // file order; first byte 255 = not configured
    uint8_t fwMajor = 0;
    uint8_t fwMinor = 0;
    int32_t zoomPos[7] = {-2, -2, -2, -2, -2, -2, -2};
    uint32_t ledProductId = 0xFFFFFFFFu;
    uint32_t brushMotorProductId = 0xFFFFFFFFu;
    uint8_t rsKeypressMode = 0;
    uint8_t zoomKeypressMode = 0;
    uint8_t focusKeypressMode = 0;

    bool operator==(const CanInfo&) const = default;
};

struct PifocInfo {
    int32_t value = 0;     // PIFOC number (Pifoc, PztId)
    int32_t type = 0;      // 0..2 (PifocType)
    double beta = 0.0;     // 0.0144 after Pifoc or PztId
    double coef = 0.0;     // 0.928655 after Pifoc or PztId

    bool operator==(const PifocInfo&) const = default;
};

// One half (fast or slow) of a PID set: four integers, one 8-bit value, one integer, four floats.
struct PidHalf {
    int32_t ints[4] = {700, 0, 15050, 0};
    uint8_t flag = 0;
    int32_t value = 0;
    float reals[4] = {0, 0, 0, 0};

    bool is_default() const noexcept;
    bool operator==(const PidHalf& other) const noexcept;
};

struct PidSet {
    PidHalf fast;
    PidHalf slow;

    bool operator==(const PidSet&) const = default;
};

// Axis letters of the AxisComp_ and PidVals_ keywords, in index order.
inline constexpr char SB_AXIS_LETTERS[] = "ABPRTXYZ";
constexpr int SB_NUM_AXES = 8;

// Largest finite single-precision value: a float of an SdcCal entry that equals it is not set.
constexpr float SB_FLOAT_UNSET = std::numeric_limits<float>::max();

struct SdcCalEntry {
    float f[6] = {SB_FLOAT_UNSET, SB_FLOAT_UNSET, SB_FLOAT_UNSET,
                  SB_FLOAT_UNSET, SB_FLOAT_UNSET, SB_FLOAT_UNSET};  // values 1 to 6
    double d[2] = {0.0, 0.0};                                        // values 7, 8; 0 = not set

    bool operator==(const SdcCalEntry&) const = default;
};

struct DynWaveGenInfo {
    int32_t number = -1;
    int32_t value = -1;   // 0..30
    int32_t value2 = -1;  // 0 or 96..126
    // The wave-generator service keeps its buffers here; they are freed with the sub-record.

    bool operator==(const DynWaveGenInfo&) const = default;
};

// "Not set" marker of the double-precision FTP values.
constexpr double SB_NOT_SET = std::numeric_limits<double>::infinity();
constexpr int SB_MAX_MAGS = 15;

// Values of one magnification on an FTPDisper or FTPAvg_K0 line.
constexpr int SB_FTP_VALUES_PER_MAG = 10;

struct FtpMagInfo {
    double disper[SB_FTP_VALUES_PER_MAG];
    double avgK0[SB_FTP_VALUES_PER_MAG];
    float dmiCenter[2] = {0, 0};
    float tiltCenter[2] = {0, 0};

    FtpMagInfo() noexcept
    {
        for (int i = 0; i < SB_FTP_VALUES_PER_MAG; ++i)
            disper[i] = avgK0[i] = SB_NOT_SET;
    }
    bool operator==(const FtpMagInfo&) const = default;
};

struct FtpInfo {
    std::string materialsFile = "FtpMaterials.txt";  // the name the file gives (FTPMaterials)
    std::string logFile = "FtpLog.txt";
    int32_t logSizeLimit = 1000000;
    int32_t logKeepSize = 500000;
    double dmiScale = 2.0;
    double imageRot = 0.0;
    double sys[4] = {SB_NOT_SET, SB_NOT_SET, SB_NOT_SET, SB_NOT_SET};
    double zeroPtPos[2] = {SB_NOT_SET, SB_NOT_SET};
    FtpMagInfo mag[SB_MAX_MAGS];
    int32_t zeroGagePeriod = 1800;    // seconds
    int32_t temperaturePeriod = 1800;  // seconds
    double temperatureValue = 1.0;
    // The FTP services keep their materials table and magnification map here. The materials
    // loader stores the full path it found for materialsFile in materialsPath and leaves the
    // name itself as the file gave it, so that the writer writes the name back.
    std::string materialsPath;

    bool operator==(const FtpInfo&) const = default;
};

struct HxiZoomInfo {
    int32_t config = 0;
    int32_t progLim[2] = {0, 0};  // low, high
    int32_t wandLim[2] = {0, 0};  // low, high
    int32_t backlash = 0;
    double stdMags[SB_MAX_MAGS] = {};
    int32_t numStdMags = 0;
    sb_string calFile;
    // The zoom service keeps its calibration table and load cache here.

    bool operator==(const HxiZoomInfo&) const = default;
};

// EncodedRadiusScale / IntfRadiusScale group.
struct RadiusScale {
    uint8_t given = 0;
    int32_t flag = 0;  // 0..1
    double a = 0.0;
    double b = 0.0;
    int32_t n = 0;     // 0..20
    double last = 0.0;

    bool operator==(const RadiusScale&) const = default;
};

// One of the two light-level control records: what the calibration file gives. The mode and
// the current and previous level are run-time values, in the record's run-time part (LightRun).
struct LightSlot {
    uint16_t rangeLow = 0;
    uint16_t rangeHigh = 0;
    int16_t target = 0;
    uint8_t config = 0;
    int32_t freq = 35000;
    uint16_t avgCurLimit[2] = {0, 0};  // the two (average current limit, forward voltage) pairs
    uint16_t fwdVoltage[2] = {0, 0};
    float alignModePct = 100.0f;

    bool operator==(const LightSlot&) const = default;
};

// The run-time state of one light slot, set by the light-level operations and the gain thread
// (which is why each field is atomic: the thread writes the level while the caller reads it).
struct LightRun {
    std::atomic<int32_t> mode{0};       // 0 manual, 1 and 2 automatic control
    std::atomic<int16_t> level{0};      // current light level
    std::atomic<int16_t> prevLevel{0};  // previous light level
};

// ---------------------------------------------------------------------------------------------
// The record, in two parts.
//
// SysCalData is what a calibration file describes: every field that the reader fills and the
// writer writes, with the sub-records created by calibration lines. Its member initialisers are
// the defaults; a read and a reset ("+DEFAULTS", sysinfo_set_defaults) assign a fresh SysCalData
// and touch nothing else. Two records compare equal when every field does (sub-records by value).
//
// SysRunState is the state of the instrument at run time. No read and no reset of the
// calibration part touches it; one function, sysinfo_reset_runtime, puts all of it back to its
// start. Besides the few facts every layer shares (below), each instrument service keeps its
// per-instrument state here as an object of its own type in `services`: the service declares the
// type in its own files and reaches it with `info.services.get<its_state>()` (created on first
// use) or `find<its_state>()`; the calibration layer never knows the service. A service state
// holds only what the service itself owns: facts that live in the calibration part (board type,
// port, PIFOC kind, ...) are read there, never copied.

// Bad pixels that the record holds.
constexpr int SB_MAX_BAD_PIXELS = 40;

struct SysCalData {
    SysCalData()
    {
        for (auto& pixel : badPixels)
            pixel[0] = pixel[1] = -1;
    }
    // Identity
    sb_string instrName;
    uint8_t unit = 0;  // 0..7
    int32_t sysType = SYS_UNKNOWN;
    int16_t dateCode = 0;  // year * 100 + week
    int32_t serialNum = 0;
    uint8_t rFlag = 0;

    // Version. The board number holds every value the Version line accepts (0..99999).
    int32_t fgType = FG_NONE;
    int32_t fgBoardNum = 0;
    int32_t instrBdType = BD_NONE;

    // Communication
    sb_string instrComm;
    sb_owned<CanInfo> canInfo;

    // Camera
    int32_t cameraType = CAM_UNKNOWN;
    uint8_t cameraConfig[10] = {};  // configuration bytes 1..10 at indices 0..9
    sb_string cameraFile[6];
    uint16_t cameraDark = 0;  // 0..32767
    uint16_t adcClock = 0;    // 0..511
    uint8_t cameraAlign = ALIGN_DEFAULT;
    int32_t cameraPll = 1;
    int32_t cameraOptions = 0;
    int16_t badPixels[SB_MAX_BAD_PIXELS][2];  // (x, y); x = -1 ends the list (all -1 at first)
    uint8_t bpixFileFlag = 0;
    sb_string bpixFileName;
    int32_t splitAxis = 0;  // 0 none, 1 X, 2 Y
    int32_t splitValue[2] = {0, 0};
    int16_t cameraTrans[SB_MAX_MAGS][2] = {};

    uint8_t& interlaceFlag() noexcept { return cameraConfig[0]; }
    uint8_t interlaceFlag() const noexcept { return cameraConfig[0]; }
    uint8_t& fieldCtrl() noexcept { return cameraConfig[9]; }
    uint8_t fieldCtrl() const noexcept { return cameraConfig[9]; }

    // Light: four (wavelength, bandwidth) pairs in metres
    int32_t lightType = LIGHT_HENE;
    double wavelength[4][2] = {{632.8e-9, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};

    // Magnification
    double nomMag[SB_MAX_MAGS] = {};
    double sysMag[SB_MAX_MAGS] = {};
    int32_t numMags = 0;  // 0 = no NomMag or SysMag line yet

    // LLC. Light slot 0: range low/high, target, config a, frequency, AvgCurLimit and
    // FwdVoltage values 1 and 2, alignment-mode percentage. Light slot 1: range third/fourth,
    // config b, the working copies of frequency and percentage, values 3 and 4.
    LightSlot light[2] = {LightSlot{0, 0, 150, 1}, LightSlot{0, 0, 0, 0}};
    int8_t curLightSlot = 0;
    int32_t llcOptions = 0;
    int32_t llcInstrType = LLC_INSTR_NONE;
    sb_string llcInstrName;

    LightSlot& currentLight() noexcept { return light[curLightSlot == 1 ? 1 : 0]; }
    const LightSlot& currentLight() const noexcept { return light[curLightSlot == 1 ? 1 : 0]; }

    // PZT
    int32_t pztPwr = -1;
    sb_owned<PifocInfo> pifoc;
    int32_t pifocPolarity = 0;

    // Ramps
    sb_ramp_name rampConfig;

    // Scan
    double scanCal[2] = {1.0, 1.0};

    // Stage (backlashes are single-precision values held in doubles)
    double xAxisBacklash = 0.0;
    double yAxisBacklash = 0.0;
    double zAxisBacklash = 5.0;
    float zAxisCal = 1.0f;
    uint8_t zEncoder = 0;
    uint8_t zCanClosedLoop = 0;
    int32_t turret = 0;
    int32_t turret2 = 5;
    int32_t zoom = 0;  // 2 = motorized zoom

    // Motion
    sb_string motionCtrl[2];
    int32_t posInstrType = POS_NONE;
    sb_string posInstrName[2];
    int32_t tempSensorType = TEMP_NONE;
    sb_string tempSensorName;
    sb_string pendentMenu;
    sb_string axisComp[SB_NUM_AXES];      // A, B, P, R, T, X, Y, Z
    sb_owned<PidSet> pidVals[SB_NUM_AXES];  // A, B, P, R, T, X, Y, Z

    // Data
    uint8_t invertData = 0;
    uint8_t noIntensAvg = 0;
    uint8_t touchScreen = 0;
    uint8_t ftpsiInvertData = 0;

    // Optics
    SdcCalEntry sdcCal[SB_MAX_MAGS];
    float radCrvFocCal = 1.0f;
    float radCrvPwrCal = 1.0f;
    float diffDiskRate = -1.0f;  // -1 = not set
    float diffDiskFraction = 0.85f;
    RadiusScale encodedRadiusScale;
    RadiusScale intfRadiusScale;

    // Hardware present (1 = present)
    uint8_t pztPresent = 1;
    uint8_t lapsPresent = 1;
    uint8_t wandPresent = 1;
    uint8_t zoomPresent = 1;
    uint8_t dualBrushMotorPresent = 1;
    uint8_t focusNdwPresent = 1;
    uint8_t ringSpot = 0;

    // Wave monitor. Tune values are in file units x 10^9. The byte limit is the file value
    // x 1048576 and is held in 64 bits so that every accepted file value fits.
    sb_string wmComm;
    float wmSysGain = 0.0f;
    double wmMonOPD = 0.0;
    double wmTuneRange[2] = {SB_NOT_SET, 0.0};
    double wmTuneRate[2] = {SB_NOT_SET, 0.0};
    int32_t wmMaxBuckets = 1900;
    int64_t wmMaxBytes = 2147483647;
    int32_t absWaveMeter = 0;
    sb_string absWaveMeterName;
    sb_owned<DynWaveGenInfo> dynWaveGen;

    // FTP and HXI encoded zoom
    sb_owned<FtpInfo> ftpInfo;
    sb_owned<HxiZoomInfo> hxiZoom;

    // Power
    uint16_t sleepTimeout = 14400;  // seconds

    bool operator==(const SysCalData&) const = default;
};

struct SysRunState {
    uint8_t instrBdSwVersion = 0;  // set by the instrument power-on sequence
    uint8_t instrOn = 0;           // set by inst_on

    // The light slots' run-time state, beside the calibration part's light[2].
    LightRun lightRun[2];

    // The camera frame rate in Hz that the instrument runs at: 0 until known. Set through
    // sysinfo_set_camera_rate by what decides it (the ramp set at power-on and every ramp that is
    // loaded or started, whose header carries the rate it was made for; the acquisition when it
    // sets a camera mode); read by the CAN sync generator and the gain thread's live-mode pause.
    std::atomic<float> cameraRate{0.0f};

    // Every service's own per-instrument state, keyed by its type. Reachable through a const
    // record too: the run-time part is no part of the record's value.
    mutable vp::state_store services;
};

struct SysInfo : SysCalData, SysRunState {
    // The slot's calibration file; kept by a reset. The reader sets the path, the writer closes
    // the handle.
    sb_string calFilePath;  // path of the file last read
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> calFile{nullptr, &std::fclose};
    uint8_t hostFileDigit = 0;  // slot number used for the default file name

    SysCalData& cal() noexcept { return *this; }
    const SysCalData& cal() const noexcept { return *this; }

    // The run-time state of the light slot in use (curLightSlot).
    LightRun& currentLightRun() noexcept { return lightRun[curLightSlot == 1 ? 1 : 0]; }
    const LightRun& currentLightRun() const noexcept { return lightRun[curLightSlot == 1 ? 1 : 0]; }
};

// The sysInfo record under its platform name.
using sysInfo = SysInfo;

// The PI digital scanner of an instrument, from its PIFOC type (the one place this is decided):
// 0 none, SB_PI_751 (PifocType 1: a PI 751, 15 controller ramps) or SB_PI_DIGITAL (PifocType 2:
// another PI digital scanner, 100 controller ramps).
constexpr int32_t SB_PI_751 = 1;
constexpr int32_t SB_PI_DIGITAL = 2;
inline int32_t sysinfo_pi_scanner(const SysCalData& info) noexcept
{
    const int32_t type = info.pifoc ? info.pifoc->type : 0;
    return type == SB_PI_751 || type == SB_PI_DIGITAL ? type : 0;
}
// The highest PI controller ramp number of the instrument's scanner, 0 without one.
inline int32_t sysinfo_pi_ramp_count(const SysCalData& info) noexcept
{
    const int32_t kind = sysinfo_pi_scanner(info);
    return kind == SB_PI_751 ? 15 : kind == SB_PI_DIGITAL ? 100 : 0;
}

// Records the camera frame rate the instrument runs at (see SysRunState::cameraRate); a rate
// that is not a positive finite number is ignored.
inline void sysinfo_set_camera_rate(SysInfo& info, float hz) noexcept
{
    if (hz > 0.0f && hz < std::numeric_limits<float>::infinity())
        info.cameraRate.store(hz);
}

constexpr int SB_NUM_SLOTS = 4;

// The record of a slot, or null for a slot outside 0..3.
SysInfo* sysinfo_slot(int slot);
// The slot number (0..3) of a slot's record; -1 for any other record (or null). For the
// operations that name an instrument by its slot number.
int sysinfo_slot_of(const SysInfo* info);

// A service's state of type T on a slot's record (created on first use), null for a slot outside
// 0..3: how a service that is addressed by slot number reaches its state.
template <class T>
T* sysinfo_slot_state(int slot)
{
    SysInfo* info = sysinfo_slot(slot);
    return info != nullptr ? &info->services.get<T>() : nullptr;
}

// Resets a slot: frees its owned strings and sub-records and stores the defaults of the
// calibration-file part. The run-time part and the slot's file (host-file digit, open file
// handle, path of the file last read) are kept. ERR_PARAM_OUT_OF_RANGE for a slot outside 0..3.
int32_t sysinfo_set_defaults(int slot);
void sysinfo_reset(SysInfo& info);

// The number of bad pixels stored: the pairs before the first whose x is negative.
int sysinfo_bad_pixel_count(const SysCalData& info);

// Puts a changed copy of the slot's calibration part in its place. Sub-records that both hold
// keep their place in memory (their values are replaced), so that a service holding one does
// not lose it; the run-time part is not touched.
void sysinfo_apply_cal(SysInfo& info, SysCalData&& changed);

// Create-if-absent operations of the sub-records. Each returns NO_ERROR when the sub-record
// exists afterwards, ERR_NO_MEM when it could not be allocated (the record is then unchanged).
int32_t sysinfo_ensure_can_info(SysCalData& info);
int32_t sysinfo_ensure_ftp_info(SysCalData& info);
int32_t sysinfo_ensure_pifoc(SysCalData& info);
int32_t sysinfo_ensure_pid_set(SysCalData& info, int axis);  // axis 0..7; else ERR_PARAM_OUT_OF_RANGE
int32_t sysinfo_ensure_dyn_wave_gen(SysCalData& info);
int32_t sysinfo_ensure_hxi_zoom(SysCalData& info);

// Puts a record's run-time part back to its start: every service state is destroyed (the newest
// first; each releases what it holds, closing its links), the light slots' run-time values and
// the power-on facts are cleared. The calibration part and the file are kept. The record's
// services must be stopped (no thread of the instrument running).
void sysinfo_reset_runtime(SysInfo& info);
// The same for all four slots. For tests and process shutdown.
void sysinfo_reset_runtime_all();

// Resets all four slots completely (calibration part, run-time part, host-file digit = slot
// number, no file handle, no path). For tests.
void sysinfo_reset_all_slots();
