#include "calfile/grammar.h"

#include <cmath>
#include <cstring>

#include "platform/errors.h"
#include <type_traits>

namespace {

#define CAL_FIELD(type, member) cal_field(static_cast<cal_ref<type>>([](SysCalData& s) -> type& { return s.member; }))

constexpr double MAX_I32 = 2147483647.0;

bool pzt_pwr_due(const SysCalData& s) { return s.pztPwr >= 0; }
bool z_axis_cal_due(const SysCalData& s) { return s.zAxisCal != 0.0f && s.zAxisCal != 1.0f; }
bool rad_crv_foc_due(const SysCalData& s) { return s.sysType == SYS_MODEL14 || s.radCrvFocCal != 1.0f; }
bool rad_crv_pwr_due(const SysCalData& s) { return s.sysType == SYS_MODEL14 || s.radCrvPwrCal != 1.0f; }
bool invert_data_due(const SysCalData& s) { return s.invertData != 0 || calfile_needs_invert_data(s.sysType); }
bool sys_gain_due(const SysCalData& s) { return s.wmSysGain > 0 || calfile_needs_sys_gain(s.sysType); }
bool mon_opd_due(const SysCalData& s) { return s.wmMonOPD > 0 || calfile_has_wave_monitor(s.sysType); }

bool llc_freq_due(const SysCalData& s)
{
    return s.lightType == LIGHT_LED || s.light[0].freq != calfile_defaults().light[0].freq;
}
bool llc_target_due(const SysCalData& s)
{
    return calfile_is_one_of(s.sysType, {SYS_HXI, SYS_MODEL08, SYS_MODEL20, SYS_MODEL33, SYS_MODEL34, SYS_MODEL24,
                                         SYS_MODEL17, SYS_MODEL19, SYS_MODEL28, SYS_MODEL21, SYS_MODEL26}) ||
           s.instrBdType == BD_HXI || s.light[0].target != calfile_defaults().light[0].target;
}
// The second light slot keeps working copies of the frequency and the percentage.
void copy_llc_freq(SysCalData& s) { s.light[1].freq = s.light[0].freq; }
void copy_align_pct(SysCalData& s) { s.light[1].alignModePct = s.light[0].alignModePct; }

bool always(const SysCalData&) { return true; }
bool hxi_backlash_due(const SysCalData& s) { return s.hxiZoom->backlash != 0; }
bool prog_lim_due(const SysCalData& s) { return s.hxiZoom->progLim[0] > 0 || s.hxiZoom->progLim[1] > 0; }
bool wand_lim_due(const SysCalData& s) { return s.hxiZoom->wandLim[0] > 0 || s.hxiZoom->wandLim[1] > 0; }
bool zero_pt_due(const SysCalData& s) { return std::isfinite(s.ftpInfo->zeroPtPos[0]); }
bool zero_pt2_due(const SysCalData& s) { return std::isfinite(s.ftpInfo->zeroPtPos[1]); }
bool pifoc_type_due(const SysCalData& s) { return s.pifoc->type != 0 || !calfile_pifoc_value_due(s); }

// A row of a sub-record.
cal_line in(cal_sub sub, cal_line l, bool (*due)(const SysCalData&) = nullptr)
{
    l.in = sub;
    l.due = due;
    return l;
}

bool scan_cal_due(const SysCalData& s)
{
    return (s.scanCal[0] != 0.0 && s.scanCal[0] != 1.0) || (s.scanCal[1] != 0.0 && s.scanCal[1] != 1.0);
}
bool scan_cal2_due(const SysCalData& s) { return s.scanCal[1] != 0.0 && s.scanCal[1] != 1.0; }
bool abs_wave_meter_due(const SysCalData& s) { return s.absWaveMeterName.is_set(); }
bool motion_ctrl_due(const SysCalData& s) { return s.motionCtrl[0].is_set() && s.motionCtrl[1].is_set(); }

// A row with a second value.
cal_line second(cal_line l, cal_field field2, bool optional, bool (*due2)(const SysCalData&) = nullptr)
{
    l.field2 = field2;
    l.optional2 = optional;
    l.due2 = due2;
    return l;
}

using K = cal_kind;
constexpr cal_token NO_SUB = TOK_UNKNOWN;

cal_line integer(cal_token key, cal_token sub, const char* keyword, cal_field field, int32_t lo, int32_t hi)
{
    cal_line l{key, sub, keyword, K::integer, field};
    l.lo = lo;
    l.hi = hi;
    return l;
}
cal_line real(cal_token key, const char* keyword, cal_field field, double lo, double hi, K kind = K::real)
{
    cal_line l{key, NO_SUB, keyword, kind, field};
    l.lo = lo;
    l.hi = hi;
    return l;
}
cal_line name(cal_token key, const char* keyword, cal_field field)
{
    return cal_line{key, NO_SUB, keyword, K::name, field};
}
cal_line flag(cal_token key, const char* keyword, cal_field field, int32_t value)
{
    cal_line l{key, NO_SUB, keyword, K::flag, field};
    l.flag_value = value;
    return l;
}
cal_line irregular(cal_token key, cal_token sub, const char* keyword)
{
    return cal_line{key, sub, keyword, K::irregular, cal_field{}};
}
template <class F>
cal_line with(cal_line l, F&& change)
{
    change(l);
    return l;
}

}  // namespace

const cal_line calfile_lines[] = {
    irregular(TOK_INSTRNAME, NO_SUB, "InstrName"),
    integer(TOK_UNIT, NO_SUB, "Unit", CAL_FIELD(uint8_t, unit), 0, 7),
    irregular(TOK_UNKNOWN, NO_SUB, nullptr),  // the system line: the system type's display name
    irregular(TOK_VERSION, NO_SUB, "Version"),
    irregular(TOK_MACADDRESS, NO_SUB, "MacAddress"),
    with(name(TOK_INSTRCOMM, "InstrComm", CAL_FIELD(sb_string, instrComm)), [](cal_line& l) { l.given = &cal_given::comm; }),
    irregular(TOK_CAMERA, TOK_TYPE, "Camera Type"),
    irregular(TOK_CAMERA, TOK_FILE, "Camera File"),
    irregular(TOK_CAMERA, TOK_CONFIG, "Camera Config"),
    integer(TOK_CAMERA, TOK_DARK, "Camera Dark", CAL_FIELD(uint16_t, cameraDark), 0, 32767),
    irregular(TOK_CAMERA, TOK_ALIGN, "Camera Align"),
    irregular(TOK_CAMERA, TOK_BPIX, "Camera Bpix"),
    irregular(TOK_CAMERA, TOK_BAD, "Camera BPixels"),
    integer(TOK_CAMERA, TOK_OPTIONS, "Camera Options", CAL_FIELD(int32_t, cameraOptions), 0, 268435455),
    integer(TOK_CAMERA, TOK_PLL, "Camera Pll", CAL_FIELD(int32_t, cameraPll), 0, 1),
    irregular(TOK_RAMP, TOK_CONFIG, "Ramp Config"),
    irregular(TOK_LIGHT, NO_SUB, "Light"),
    irregular(TOK_LLC, TOK_INSTR, "LLC Instr"),
    irregular(TOK_LLC, TOK_RANGE, "LLC Range"),
    irregular(TOK_LLC, TOK_CONFIG, "LLC Config"),
    with(integer(TOK_LLC, TOK_FREQ, "LLC Freq", CAL_FIELD(int32_t, light[0].freq), 0, 1000000), [](cal_line& l) {
        l.due = llc_freq_due;
        l.after = copy_llc_freq;
    }),
    with(integer(TOK_LLC, TOK_TARGET, "LLC Target", CAL_FIELD(int16_t, light[0].target), 64, 255), [](cal_line& l) {
        l.given = &cal_given::llcTarget;
        l.due = llc_target_due;
    }),
    integer(TOK_LLC, TOK_OPTIONS, "LLC Options", CAL_FIELD(int32_t, llcOptions), 0, 268435455),
    irregular(TOK_LLC, TOK_AVGCURLIMIT, "LLC AvgCurLimit"),
    irregular(TOK_LLC, TOK_FWDVOLTAGE, "LLC FwdVoltage"),
    with(real(TOK_LLC, "LLC AlignModePct", CAL_FIELD(float, light[0].alignModePct), 0, 100),
         [](cal_line& l) {
             l.sub = TOK_ALIGNMODEPCT;
             l.after = copy_align_pct;
         }),
    with(integer(TOK_PZTPWR, NO_SUB, "PztPwr", CAL_FIELD(int32_t, pztPwr), -1, 1000), [](cal_line& l) { l.due = pzt_pwr_due; }),
    integer(TOK_ADC, TOK_CLOCK, "ADC Clock", CAL_FIELD(uint16_t, adcClock), 0, 511),
    irregular(TOK_PIFOC, NO_SUB, "Pifoc"),
    integer(TOK_PIFOCPOLARITY, NO_SUB, "PifocPolarity", CAL_FIELD(int32_t, pifocPolarity), -1, 1),
    in(cal_sub::pifoc, integer(TOK_PIFOCTYPE, NO_SUB, "PifocType", CAL_FIELD(int32_t, pifoc->type), 0, 2), pifoc_type_due),
    irregular(TOK_SYSMAG, NO_SUB, "SysMag"),
    irregular(TOK_NOMMAG, NO_SUB, "NomMag"),
    irregular(TOK_CAMERA, TOK_SPLITX, "Camera SplitX"),  // or SplitY
    irregular(TOK_CAMERA, TOK_TRANS, "Camera Trans"),
    irregular(TOK_FTPMATERIALS, NO_SUB, "FTPMaterials"),
    irregular(TOK_FTPSYS, NO_SUB, "FTPSys"),
    in(cal_sub::ftp, with(real(TOK_FTPDMISCALE, "FTPDmiScale", CAL_FIELD(double, ftpInfo->dmiScale), 1.5, 2.5),
                          [](cal_line& l) { l.precision = 8; }),
       always),
    in(cal_sub::ftp, with(real(TOK_FTPIMAGEROT, "FTPImageRot", CAL_FIELD(double, ftpInfo->imageRot), 0, 1),
                          [](cal_line& l) { l.precision = 8; }),
       always),
    in(cal_sub::ftp,
       second(real(TOK_FTPZEROPTPOS, "FTPZeroPtPos", CAL_FIELD(double, ftpInfo->zeroPtPos[0]), -10, 10),
              CAL_FIELD(double, ftpInfo->zeroPtPos[1]), true, zero_pt2_due),
       zero_pt_due),
    irregular(TOK_FTPDISPER, NO_SUB, "FTPDisper"),
    irregular(TOK_FTPAVGK0, NO_SUB, "FTPAvg_K0"),
    irregular(TOK_FTPDMICENTER, NO_SUB, "FTPDmiCenter"),
    irregular(TOK_FTPTILTCENTER, NO_SUB, "FTPTiltCenter"),
    irregular(TOK_FTPZEROGAGEPER, NO_SUB, "FTPZeroGagePer"),
    irregular(TOK_FTPTEMPERATURE, NO_SUB, "FTPTemperature"),
    irregular(TOK_FTPLOG, NO_SUB, "FTPLog"),
    second(with(real(TOK_SCANCAL, "ScanCal", CAL_FIELD(double, scanCal[0]), 0.85, 1.15),
                [](cal_line& l) { l.due = scan_cal_due; }),
           CAL_FIELD(double, scanCal[1]), true, scan_cal2_due),
    second(integer(TOK_TURRET, NO_SUB, "Turret", CAL_FIELD(int32_t, turret), 0, 255), CAL_FIELD(int32_t, turret2), true),
    integer(TOK_ZOOM, NO_SUB, "Zoom", CAL_FIELD(int32_t, zoom), 0, 255),
    flag(TOK_IGNOREDUALBRUSHMOTOR, "IgnoreDualBrushMotor", CAL_FIELD(uint8_t, dualBrushMotorPresent), 0),
    flag(TOK_IGNORELAPS, "IgnoreLAPS", CAL_FIELD(uint8_t, lapsPresent), 0),
    flag(TOK_IGNOREWAND, "IgnoreWand", CAL_FIELD(uint8_t, wandPresent), 0),
    flag(TOK_IGNOREFOCUSNDW, "IgnoreFocusNDW", CAL_FIELD(uint8_t, focusNdwPresent), 0),
    flag(TOK_IGNOREZOOM, "IgnoreZoom", CAL_FIELD(uint8_t, zoomPresent), 0),
    flag(TOK_IGNOREPZT, "IgnorePZT", CAL_FIELD(uint8_t, pztPresent), 0),
    irregular(TOK_RINGSPOT, NO_SUB, "RingSpot"),
    real(TOK_DIFFDISKRATE, "DiffDiskRate", CAL_FIELD(float, diffDiskRate), 10, 80),
    with(real(TOK_DIFFDISKFRACTION, "DiffDiskFraction", CAL_FIELD(float, diffDiskFraction), 0, 2),
         [](cal_line& l) { l.ends = cal_ends::open_low; }),
    real(TOK_XAXISBACKLASH, "XAxisBacklash", CAL_FIELD(double, xAxisBacklash), 0, 1000, K::single),
    real(TOK_YAXISBACKLASH, "YAxisBacklash", CAL_FIELD(double, yAxisBacklash), 0, 1000, K::single),
    with(real(TOK_ZAXISCAL, "ZAxisCal", CAL_FIELD(float, zAxisCal), 0.85, 1.15), [](cal_line& l) { l.due = z_axis_cal_due; }),
    real(TOK_ZAXISBACKLASH, "ZAxisBacklash", CAL_FIELD(double, zAxisBacklash), 0, 100, K::single),
    integer(TOK_ZENCODER, NO_SUB, "ZEncoder", CAL_FIELD(uint8_t, zEncoder), 0, 1),
    integer(TOK_ZCANCLOSEDLOOP, NO_SUB, "ZCanClosedLoop", CAL_FIELD(uint8_t, zCanClosedLoop), 0, 1),
    irregular(TOK_SDCCAL, NO_SUB, "SdcCal"),
    with(real(TOK_RADCRVFOCCAL, "RadCrvFocCal", CAL_FIELD(float, radCrvFocCal), -100, 100),
         [](cal_line& l) { l.due = rad_crv_foc_due; }),
    with(real(TOK_RADCRVPWRCAL, "RadCrvPwrCal", CAL_FIELD(float, radCrvPwrCal), -100, 100),
         [](cal_line& l) { l.due = rad_crv_pwr_due; }),
    with(integer(TOK_INVERTDATA, NO_SUB, "InvertData", CAL_FIELD(uint8_t, invertData), 0, 255), [](cal_line& l) {
        l.given = &cal_given::invertData;
        l.due = invert_data_due;
    }),
    flag(TOK_NOINTENSAVG, "NoIntensAvg", CAL_FIELD(uint8_t, noIntensAvg), 1),
    flag(TOK_TOUCHSCREEN, "TouchScreen", CAL_FIELD(uint8_t, touchScreen), 1),
    second(with(name(TOK_MOTIONCTRL, "MotionCtrl", CAL_FIELD(sb_string, motionCtrl[0])),
                [](cal_line& l) { l.due = motion_ctrl_due; }),
           CAL_FIELD(sb_string, motionCtrl[1]), false),
    irregular(TOK_POSINSTR, NO_SUB, "PosInstr"),
    irregular(TOK_TEMPSENSOR, NO_SUB, "TempSensor"),
    name(TOK_PENDENTMENU, "PendentMenu", CAL_FIELD(sb_string, pendentMenu)),
    name(TOK_AXISCOMP_A, "AxisComp_A", CAL_FIELD(sb_string, axisComp[0])),
    name(TOK_AXISCOMP_B, "AxisComp_B", CAL_FIELD(sb_string, axisComp[1])),
    name(TOK_AXISCOMP_P, "AxisComp_P", CAL_FIELD(sb_string, axisComp[2])),
    name(TOK_AXISCOMP_R, "AxisComp_R", CAL_FIELD(sb_string, axisComp[3])),
    name(TOK_AXISCOMP_T, "AxisComp_T", CAL_FIELD(sb_string, axisComp[4])),
    name(TOK_AXISCOMP_X, "AxisComp_X", CAL_FIELD(sb_string, axisComp[5])),
    name(TOK_AXISCOMP_Y, "AxisComp_Y", CAL_FIELD(sb_string, axisComp[6])),
    name(TOK_AXISCOMP_Z, "AxisComp_Z", CAL_FIELD(sb_string, axisComp[7])),
    irregular(TOK_PIDVALS_A, NO_SUB, "PidVals_A"),
    irregular(TOK_PIDVALS_B, NO_SUB, "PidVals_B"),
    irregular(TOK_PIDVALS_P, NO_SUB, "PidVals_P"),
    irregular(TOK_PIDVALS_R, NO_SUB, "PidVals_R"),
    irregular(TOK_PIDVALS_T, NO_SUB, "PidVals_T"),
    irregular(TOK_PIDVALS_X, NO_SUB, "PidVals_X"),
    irregular(TOK_PIDVALS_Y, NO_SUB, "PidVals_Y"),
    irregular(TOK_PIDVALS_Z, NO_SUB, "PidVals_Z"),
    with(name(TOK_WMCOMM, "wmComm", CAL_FIELD(sb_string, wmComm)), [](cal_line& l) { l.given = &cal_given::wmComm; }),
    with(real(TOK_WMSYSGAIN, "wmSysGain", CAL_FIELD(float, wmSysGain), 0, MAX_I32), [](cal_line& l) {
        l.conv = 'f';
        l.given = &cal_given::wmSysGain;
        l.due = sys_gain_due;
    }),
    with(real(TOK_WMMONOPD, "wmMonOPD", CAL_FIELD(double, wmMonOPD), 0, MAX_I32), [](cal_line& l) {
        l.conv = 'f';
        l.given = &cal_given::wmMonOpd;
        l.due = mon_opd_due;
    }),
    irregular(TOK_WMTUNERANGE, NO_SUB, "wmTuneRange"),
    irregular(TOK_WMTUNERATE, NO_SUB, "wmTuneRate"),
    irregular(TOK_WMMAXBUCKETS, NO_SUB, "wmMaxBuckets"),
    integer(TOK_FTPSIINVERTDATA, NO_SUB, "FtpsiInvertData", CAL_FIELD(uint8_t, ftpsiInvertData), 0, 255),
    second(with(integer(TOK_ABSWAVEMETER, NO_SUB, "AbsWaveMeter", CAL_FIELD(int32_t, absWaveMeter), 0, 1),
                [](cal_line& l) { l.due = abs_wave_meter_due; }),
           CAL_FIELD(sb_string, absWaveMeterName), false),
    irregular(TOK_DYNWAVEGEN, NO_SUB, "DynWaveGen"),
    in(cal_sub::hxi, integer(TOK_HXIENCZOOMCONFIG, NO_SUB, "HxiEncZoomConfig", CAL_FIELD(int32_t, hxiZoom->config), 0, 255),
       always),
    in(cal_sub::hxi,
       integer(TOK_HXIENCZOOMBACKLASH, NO_SUB, "HxiEncZoomBacklash", CAL_FIELD(int32_t, hxiZoom->backlash), -1000, 1000),
       hxi_backlash_due),
    in(cal_sub::hxi,
       second(integer(TOK_HXIENCZOOMPROGLIM, NO_SUB, "HxiEncZoomProgLim", CAL_FIELD(int32_t, hxiZoom->progLim[0]), 0, 60000),
              CAL_FIELD(int32_t, hxiZoom->progLim[1]), false),
       prog_lim_due),
    in(cal_sub::hxi,
       second(integer(TOK_HXIENCZOOMWANDLIM, NO_SUB, "HxiEncZoomWandLim", CAL_FIELD(int32_t, hxiZoom->wandLim[0]), 0, 60000),
              CAL_FIELD(int32_t, hxiZoom->wandLim[1]), false),
       wand_lim_due),
    irregular(TOK_HXIENCZOOMSTDMAGS, NO_SUB, "HxiEncZoomStdMags"),
    in(cal_sub::hxi, name(TOK_HXIENCZOOMCALFILE, "HxiEncZoomCalFile", CAL_FIELD(sb_string, hxiZoom->calFile))),
    irregular(TOK_ENCODEDRADIUSSCALE, NO_SUB, "EncodedRadiusScale"),
    irregular(TOK_INTFRADIUSSCALE, NO_SUB, "IntfRadiusScale"),
    irregular(TOK_SLEEPTIMEOUT, NO_SUB, "SleepTimeout"),  // last: written without a line end
};
const std::size_t calfile_num_lines = sizeof calfile_lines / sizeof calfile_lines[0];

const cal_line* calfile_find_line(cal_token key, cal_token sub)
{
    for (const cal_line& l : calfile_lines)
        if (l.key == key && l.sub == sub)
            return &l;
    return nullptr;
}

const cal_line* calfile_plain_line(cal_token key, cal_token sub)
{
    const cal_line* l = calfile_find_line(key, sub);
    return l != nullptr && l->kind != cal_kind::irregular ? l : nullptr;
}

namespace {

// The writer only reads the field; the accessors are shared with the reader.
SysCalData& writable(const SysCalData& si) { return const_cast<SysCalData&>(si); }

}  // namespace

double calfile_number(const cal_line& line, const SysCalData& si)
{
    return std::visit(
        [&](auto ref) -> double {
            auto& value = ref(writable(si));
            if constexpr (std::is_same_v<std::decay_t<decltype(value)>, sb_string>)
                return 0.0;
            else
                return static_cast<double>(value);
        },
        line.field);
}

const sb_string& calfile_name(const cal_line& line, const SysCalData& si)
{
    return (*std::get<cal_ref<sb_string>>(line.field))(writable(si));
}

const SysCalData& calfile_defaults()
{
    static const SysCalData defaults{};
    return defaults;
}

bool calfile_sub_present(const cal_line& line, const SysCalData& si)
{
    switch (line.in) {
    case cal_sub::pifoc:
        return si.pifoc != nullptr;
    case cal_sub::ftp:
        return si.ftpInfo != nullptr;
    case cal_sub::hxi:
        return si.hxiZoom != nullptr;
    default:
        return true;
    }
}

int32_t calfile_sub_ensure(const cal_line& line, SysCalData& si)
{
    switch (line.in) {
    case cal_sub::pifoc:
        return sysinfo_ensure_pifoc(si);
    case cal_sub::ftp:
        return sysinfo_ensure_ftp_info(si);
    case cal_sub::hxi:
        return sysinfo_ensure_hxi_zoom(si);
    default:
        return NO_ERROR;
    }
}

bool calfile_pifoc_value_due(const SysCalData& si)
{
    const PifocInfo* p = si.pifoc.get();
    return p != nullptr && (p->value != 0 || p->coef != 0.0 || p->beta != 0.0);
}

bool calfile_has_second(const cal_line& line)
{
    return std::visit([](auto ref) { return ref != nullptr; }, line.field2);
}

bool calfile_line_due(const cal_line& line, const SysCalData& si)
{
    if (!calfile_sub_present(line, si))
        return false;
    if (line.due != nullptr)
        return line.due(si);
    const SysCalData& defaults = calfile_defaults();
    if (line.kind == cal_kind::name)
        return calfile_name(line, si).is_set();
    double value = calfile_number(line, si);
    if (line.kind == cal_kind::flag)
        return (value == 0) == (line.flag_value == 0);
    return value != calfile_number(line, defaults) || (line.optional2 && calfile_second_due(line, si));
}

bool calfile_second_due(const cal_line& line, const SysCalData& si)
{
    if (!calfile_has_second(line))
        return false;
    if (line.due2 != nullptr)
        return line.due2(si);
    if (!line.optional2)
        return true;
    auto number = [&](const SysCalData& record) {
        return std::visit(
            [&](auto ref) -> double {
                auto& value = ref(const_cast<SysCalData&>(record));
                if constexpr (std::is_same_v<std::decay_t<decltype(value)>, sb_string>)
                    return value.is_set() ? 1.0 : 0.0;
                else
                    return static_cast<double>(value);
            },
            line.field2);
    };
    return number(si) != number(calfile_defaults());
}

bool calfile_is_one_of(int32_t value, std::initializer_list<int32_t> set)
{
    for (int32_t v : set)
        if (v == value)
            return true;
    return false;
}

bool calfile_board_needs_comm(int32_t board) { return !calfile_is_one_of(board, {BD_NONE, BD_MODEL13, BD_NOTNEEDED, BD_CAN}); }
bool calfile_needs_invert_data(int32_t sys) { return calfile_is_one_of(sys, {SYS_MODEL13, SYS_FTP, SYS_MODEL14}); }
bool calfile_needs_pifoc(int32_t sys)
{
    return calfile_is_one_of(sys, {SYS_MODEL04, SYS_MODEL06, SYS_MODEL10, SYS_MODEL12, SYS_MODEL15, SYS_MODEL22,
                                   SYS_MODEL27, SYS_MODEL25, SYS_MODEL16, SYS_FTP});
}
bool calfile_has_wave_monitor(int32_t sys) { return calfile_is_one_of(sys, {SYS_MODEL34, SYS_MODEL24}); }
bool calfile_needs_sys_gain(int32_t sys) { return calfile_is_one_of(sys, {SYS_MODEL28, SYS_MODEL21, SYS_MODEL26}); }

void calfile_complete_llc_range(int32_t board, int32_t sys, int32_t camera, int given, uint16_t range[4])
{
    auto set = [&](int first, uint16_t lo, uint16_t hi) {
        range[first] = lo;
        range[first + 1] = hi;
    };
    const bool no_range = given == 0;
    auto model07 = [&] { set(0, 2, camera == CAM_DGFLY1024 ? 800 : 532); };
    switch (board) {
    case BD_HXI:
    case BD_MODEL31:
        if (no_range)
            set(0, 10, 159);
        break;
    case BD_MODEL13:
        if (sys == SYS_MODEL07)
            model07();
        else if (no_range)
            set(0, 0, 4095);
        break;
    case BD_NOTNEEDED:
        if (sys == SYS_MODEL07)
            model07();
        else
            set(0, 10, 159);
        break;
    case BD_FTP:
        if (no_range)
            set(0, 0, 3685);
        break;
    case BD_BOARD01:
        if (no_range)
            set(0, 0, 4095);
        if (given != 4)
            set(2, 0, 100);
        break;
    case BD_CAN:
        if (no_range)
            set(0, 0, 65535);
        if (given != 4)
            set(2, 0, 65535);
        break;
    default:
        break;
    }
}
