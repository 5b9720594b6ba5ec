#include "vell/calfile/grammar.h"

#include <cmath>
#include <cstring>
#include <type_traits>

#include "vell/platform/errors.h"

namespace {

#define CAL_FIELD(type, member) cal_field(static_cast<cal_ref<type>>([](SysCalData& s) -> type& { return s.member; }))

using cal_limits::FLT_MAX_D;
using cal_limits::MAX_I32;
using cal_limits::TWO_PI;

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
bool avg_cur_pair2_due(const SysCalData& s) { return s.light[1].avgCurLimit[0] != 0 || s.light[1].avgCurLimit[1] != 0; }
bool fwd_voltage_pair2_due(const SysCalData& s) { return s.light[1].fwdVoltage[0] != 0 || s.light[1].fwdVoltage[1] != 0; }
bool llc_instr_name_on_line(const SysCalData& s) { return s.llcInstrType != LLC_INSTR_MODEL13; }
bool llc_instr_due(const SysCalData& s)
{
    return s.llcInstrType == LLC_INSTR_MODEL13 ||
           ((s.llcInstrType == LLC_INSTR_DD100MC || s.llcInstrType == LLC_INSTR_DD100MC_B) && s.llcInstrName.is_set());
}

bool always(const SysCalData&) { return true; }
bool hxi_backlash_due(const SysCalData& s) { return s.hxiZoom->backlash != 0; }
bool prog_lim_due(const SysCalData& s) { return s.hxiZoom->progLim[0] > 0 || s.hxiZoom->progLim[1] > 0; }
bool wand_lim_due(const SysCalData& s) { return s.hxiZoom->wandLim[0] > 0 || s.hxiZoom->wandLim[1] > 0; }
bool zero_pt_due(const SysCalData& s) { return std::isfinite(s.ftpInfo->zeroPtPos[0]); }
bool zero_pt2_due(const SysCalData& s) { return std::isfinite(s.ftpInfo->zeroPtPos[1]); }
bool pifoc_type_due(const SysCalData& s) { return s.pifoc->type != 0 || !calfile_pifoc_value_due(s); }
bool ftp_sys_due(const SysCalData& s)
{
    const double* v = s.ftpInfo->sys;
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}
bool ftp_log_sizes_due(const SysCalData& s)
{
    return s.ftpInfo->logSizeLimit != FtpInfo{}.logSizeLimit || s.ftpInfo->logKeepSize != FtpInfo{}.logKeepSize;
}

bool scan_cal_due(const SysCalData& s)
{
    return (s.scanCal[0] != 0.0 && s.scanCal[0] != 1.0) || (s.scanCal[1] != 0.0 && s.scanCal[1] != 1.0);
}
bool scan_cal2_due(const SysCalData& s) { return s.scanCal[1] != 0.0 && s.scanCal[1] != 1.0; }
bool abs_wave_meter_due(const SysCalData& s) { return s.absWaveMeterName.is_set(); }
bool motion_ctrl_due(const SysCalData& s) { return s.motionCtrl[0].is_set() && s.motionCtrl[1].is_set(); }
bool ring_spot_allowed(const SysCalData& s)
{
    return s.instrBdType == BD_HXI ||
           (s.instrBdType == BD_CAN && calfile_is_one_of(s.sysType, {SYS_MODEL17, SYS_MODEL24, SYS_MODEL28}));
}
bool pos_instr_due(const SysCalData& s)
{
    return s.posInstrType > POS_NONE && s.posInstrType < SB_NUM_POS_INSTR_NAMES && s.posInstrName[0].is_set();
}
bool temp_sensor_due(const SysCalData& s) { return s.tempSensorType == TEMP_EURO2216E && s.tempSensorName.is_set(); }
bool wm_tune_range_due(const SysCalData& s) { return std::isfinite(s.wmTuneRange[0]); }
bool wm_tune_rate_due(const SysCalData& s) { return std::isfinite(s.wmTuneRate[0]); }

template <RadiusScale SysCalData::*group>
bool radius_due(const SysCalData& s)
{
    const RadiusScale& g = s.*group;
    return g.given == 1 || g.flag == 1 || g.a > 0 || g.b > 0 || g.n != 0 || g.last > 0;
}
template <RadiusScale SysCalData::*group>
void radius_given(SysCalData& s)
{
    (s.*group).given = 1;
}

template <int I>
uint8_t& mac_byte(SysCalData& s)
{
    return s.canInfo->macAddress[I];
}

using K = cal_kind;
constexpr cal_token NO_SUB = TOK_UNKNOWN;

// Values.
cal_arg a_int(cal_field field, double lo, double hi)
{
    cal_arg a;
    a.field = field;
    a.lo = lo;
    a.hi = hi;
    return a;
}
cal_arg a_real(cal_field field, double lo, double hi, K kind = K::real)
{
    cal_arg a = a_int(field, lo, hi);
    a.kind = kind;
    return a;
}
cal_arg a_name(cal_field field)
{
    cal_arg a;
    a.kind = K::name;
    a.field = field;
    return a;
}
cal_arg a_choice(cal_field field, int (*map)(cal_token), const char* (*name_of)(int32_t), bool quiet = false)
{
    cal_arg a;
    a.kind = K::choice;
    a.field = field;
    a.map = map;
    a.name_of = name_of;
    a.quiet = quiet;
    return a;
}
template <class T, class F>
T with(T value, F&& change)
{
    change(value);
    return value;
}
cal_arg optional(cal_arg a, bool (*due)(const SysCalData&) = nullptr)
{
    a.optional = true;
    a.due = due;
    return a;
}

// Lines.
cal_line row(cal_token key, cal_token sub, const char* keyword, std::initializer_list<cal_arg> args)
{
    cal_line l{key, sub, keyword, args.begin()->kind};
    for (const cal_arg& a : args)
        l.args[l.nargs++] = a;
    return l;
}
cal_line integer(cal_token key, cal_token sub, const char* keyword, cal_field field, int32_t lo, int32_t hi)
{
    return row(key, sub, keyword, {a_int(field, lo, hi)});
}
cal_line real(cal_token key, const char* keyword, cal_field field, double lo, double hi, K kind = K::real)
{
    return row(key, NO_SUB, keyword, {a_real(field, lo, hi, kind)});
}
cal_line name(cal_token key, const char* keyword, cal_field field) { return row(key, NO_SUB, keyword, {a_name(field)}); }
cal_line flag(cal_token key, const char* keyword, cal_field field, int32_t value)
{
    cal_line l = name(key, keyword, field);
    l.kind = K::flag;
    l.flag_value = value;
    return l;
}
cal_line irregular(cal_token key, cal_token sub, const char* keyword) { return cal_line{key, sub, keyword, K::irregular}; }
// A row with a second value: of the same kind and limits, or a name.
cal_line second(cal_line l, cal_field field2, bool is_optional, bool (*due2)(const SysCalData&) = nullptr)
{
    cal_arg a = std::holds_alternative<cal_ref<sb_string>>(field2) ? a_name(field2) : l.args[0];
    a.field = field2;
    a.optional = is_optional;
    a.due = due2;
    l.args[l.nargs++] = a;
    return l;
}
// A row of a sub-record.
cal_line in(cal_sub sub, cal_line l, bool (*due)(const SysCalData&) = nullptr)
{
    l.in = sub;
    l.due = due;
    return l;
}
cal_line due(cal_line l, bool (*when)(const SysCalData&))
{
    l.due = when;
    return l;
}

// A wave monitor tuning value: given in the file in units of 1e9 of the record's.
cal_arg wm_tune(cal_field field)
{
    cal_arg a = a_real(field, 0, MAX_I32);
    a.conv = 'f';
    a.precision = 3;
    a.scale = 1e9;
    a.number_first = true;
    return a;
}

// The values of an irregular line, for their limits and formats.
cal_line limits(cal_line l, std::initializer_list<cal_arg> args)
{
    for (const cal_arg& a : args)
        l.args[l.nargs++] = a;
    return l;
}
// An FTP period: days:hours:minutes:seconds, at most 100 days.
cal_arg ftp_period(cal_field field)
{
    cal_arg a = a_int(field, 0, 8640000);
    a.kind = K::period;
    a.precision = 4;
    return a;
}
cal_arg mag_index() { return a_int({}, 0, cal_limits::max_mag_index); }
cal_arg magnification()
{
    cal_arg a = a_real({}, 0, 100);
    a.conv = 'f';
    a.precision = 4;
    a.width = 6;
    return a;
}
cal_arg micrometres(double lo, double hi)
{
    cal_arg a = a_real({}, lo, hi);
    a.conv = 'f';
    a.scale = 1e-6;
    return a;
}
cal_arg pifoc_coef(double lo, double hi)
{
    cal_arg a = a_real({}, lo, hi);
    a.conv = 'f';
    return a;
}
// The PID values of an axis: six integers, then four reals of the one limit.
cal_line pid_line(cal_token key, const char* keyword)
{
    return limits(irregular(key, NO_SUB, keyword), {a_int({}, -8388608, 8388607), a_int({}, -8388608, 8388607),
                                                    a_int({}, 0, 8388607), a_int({}, 0, 8388607), a_int({}, 0, 1),
                                                    a_int({}, 0, 8388607), a_real({}, -2, 2)});
}
cal_arg centre() { return with(a_real({}, -100, 100), [](cal_arg& a) { a.precision = 3; }); }

template <RadiusScale SysCalData::*group>
cal_line radius_line(cal_token key, const char* keyword, cal_field flag, cal_field a, cal_field b, cal_field n,
                     cal_arg last)
{
    cal_line l = row(key, NO_SUB, keyword,
                     {a_int(flag, 0, 1), a_real(a, 0, 1), a_real(b, 0, 1), a_int(n, 0, 20), last});
    l.due = radius_due<group>;
    l.begin = radius_given<group>;
    return l;
}

}  // namespace

const cal_line calfile_lines[] = {
    row(TOK_INSTRNAME, NO_SUB, "InstrName",
        {with(a_name(CAL_FIELD(sb_string, instrName)), [](cal_arg& a) { a.quoted = true; })}),
    integer(TOK_UNIT, NO_SUB, "Unit", CAL_FIELD(uint8_t, unit), 0, 7),
    // The system line: the system type's display name, the year and week, the serial number.
    limits(irregular(TOK_UNKNOWN, NO_SUB, nullptr), {a_int({}, 0, 99), a_int({}, 1, 52), a_int({}, 100, 999999)}),
    limits(irregular(TOK_VERSION, NO_SUB, "Version"), {a_int({}, 0, 99999)}),  // the frame grabber's number
    with(in(cal_sub::can,
            row(TOK_MACADDRESS, NO_SUB, "MacAddress",
                {with(a_int(cal_field(&mac_byte<0>), 0, 255), [](cal_arg& a) { a.kind = K::hex; }),
                 with(a_int(cal_field(&mac_byte<1>), 0, 255), [](cal_arg& a) { a.kind = K::hex; }),
                 with(a_int(cal_field(&mac_byte<2>), 0, 255), [](cal_arg& a) { a.kind = K::hex; }),
                 with(a_int(cal_field(&mac_byte<3>), 0, 255), [](cal_arg& a) { a.kind = K::hex; }),
                 with(a_int(cal_field(&mac_byte<4>), 0, 255), [](cal_arg& a) { a.kind = K::hex; }),
                 with(a_int(cal_field(&mac_byte<5>), 0, 255), [](cal_arg& a) { a.kind = K::hex; })}),
            always),
         [](cal_line& l) { l.given = &cal_given::comm; }),
    with(name(TOK_INSTRCOMM, "InstrComm", CAL_FIELD(sb_string, instrComm)), [](cal_line& l) { l.given = &cal_given::comm; }),
    limits(irregular(TOK_CAMERA, TOK_TYPE, "Camera Type"), {a_int({}, 0, 1)}),  // a Custom camera's flag
    irregular(TOK_CAMERA, TOK_FILE, "Camera File"),
    irregular(TOK_CAMERA, TOK_CONFIG, "Camera Config"),
    integer(TOK_CAMERA, TOK_DARK, "Camera Dark", CAL_FIELD(uint16_t, cameraDark), 0, 32767),
    row(TOK_CAMERA, TOK_ALIGN, "Camera Align",
        {a_choice(CAL_FIELD(uint8_t, cameraAlign), cal_camera_align_of, sb_camera_align_name)}),
    limits(irregular(TOK_CAMERA, TOK_BPIX, "Camera Bpix"), {a_int({}, 0, 1)}),
    limits(irregular(TOK_CAMERA, TOK_BAD, "Camera BPixels"), {a_int({}, 0, 700), a_int({}, 0, 484)}),
    integer(TOK_CAMERA, TOK_OPTIONS, "Camera Options", CAL_FIELD(int32_t, cameraOptions), 0, 268435455),
    integer(TOK_CAMERA, TOK_PLL, "Camera Pll", CAL_FIELD(int32_t, cameraPll), 0, 1),
    row(TOK_RAMP, TOK_CONFIG, "Ramp Config", {a_name(CAL_FIELD(sb_ramp_name, rampConfig))}),
    // Wavelengths and bandwidths in micrometres.
    limits(irregular(TOK_LIGHT, NO_SUB, "Light"), {micrometres(0.1, 15), micrometres(0, 1)}),
    due(row(TOK_LLC, TOK_INSTR, "LLC Instr",
            {a_choice(CAL_FIELD(int32_t, llcInstrType), cal_llc_instr_of, sb_llc_instr_name, true),
             with(a_name(CAL_FIELD(sb_string, llcInstrName)), [](cal_arg& a) { a.when = llc_instr_name_on_line; })}),
        llc_instr_due),
    limits(irregular(TOK_LLC, TOK_RANGE, "LLC Range"),
           {a_int({}, 0, 65535), a_int({}, 0, 65535), a_int({}, 0, 4096), a_int({}, 0, 4096)}),
    row(TOK_LLC, TOK_CONFIG, "LLC Config",
        {with(a_int(CAL_FIELD(uint8_t, light[0].config), 0, 255), [](cal_arg& a) { a.set_bits = 1; }),
         optional(with(a_int(CAL_FIELD(uint8_t, light[1].config), 0, 255), [](cal_arg& a) { a.set_bits = 1; }))}),
    with(integer(TOK_LLC, TOK_FREQ, "LLC Freq", CAL_FIELD(int32_t, light[0].freq), 0, 1000000), [](cal_line& l) {
        l.due = llc_freq_due;
        l.after = copy_llc_freq;
    }),
    with(integer(TOK_LLC, TOK_TARGET, "LLC Target", CAL_FIELD(int16_t, light[0].target), 64, 255), [](cal_line& l) {
        l.given = &cal_given::llcTarget;
        l.due = llc_target_due;
    }),
    integer(TOK_LLC, TOK_OPTIONS, "LLC Options", CAL_FIELD(int32_t, llcOptions), 0, 268435455),
    row(TOK_LLC, TOK_AVGCURLIMIT, "LLC AvgCurLimit",
        {a_int(CAL_FIELD(uint16_t, light[0].avgCurLimit[0]), 0, 1000),
         a_int(CAL_FIELD(uint16_t, light[0].avgCurLimit[1]), 0, 1000),
         optional(a_int(CAL_FIELD(uint16_t, light[1].avgCurLimit[0]), 0, 1000), avg_cur_pair2_due),
         a_int(CAL_FIELD(uint16_t, light[1].avgCurLimit[1]), 0, 1000)}),
    row(TOK_LLC, TOK_FWDVOLTAGE, "LLC FwdVoltage",
        {a_int(CAL_FIELD(uint16_t, light[0].fwdVoltage[0]), 0, 10000),
         a_int(CAL_FIELD(uint16_t, light[0].fwdVoltage[1]), 0, 10000),
         optional(a_int(CAL_FIELD(uint16_t, light[1].fwdVoltage[0]), 0, 10000), fwd_voltage_pair2_due),
         a_int(CAL_FIELD(uint16_t, light[1].fwdVoltage[1]), 0, 10000)}),
    with(real(TOK_LLC, "LLC AlignModePct", CAL_FIELD(float, light[0].alignModePct), 0, 100),
         [](cal_line& l) {
             l.sub = TOK_ALIGNMODEPCT;
             l.after = copy_align_pct;
         }),
    due(integer(TOK_PZTPWR, NO_SUB, "PztPwr", CAL_FIELD(int32_t, pztPwr), -1, 1000), pzt_pwr_due),
    integer(TOK_ADC, TOK_CLOCK, "ADC Clock", CAL_FIELD(uint16_t, adcClock), 0, 511),
    in(cal_sub::pifoc,
       limits(irregular(TOK_PIFOC, NO_SUB, "Pifoc"), {a_int({}, 0, 999999), pifoc_coef(0.5, 2), pifoc_coef(0, 0.1)})),
    integer(TOK_PIFOCPOLARITY, NO_SUB, "PifocPolarity", CAL_FIELD(int32_t, pifocPolarity), -1, 1),
    in(cal_sub::pifoc, integer(TOK_PIFOCTYPE, NO_SUB, "PifocType", CAL_FIELD(int32_t, pifoc->type), 0, 2), pifoc_type_due),
    limits(irregular(TOK_SYSMAG, NO_SUB, "SysMag"), {magnification()}),
    limits(irregular(TOK_NOMMAG, NO_SUB, "NomMag"), {magnification()}),
    limits(irregular(TOK_CAMERA, TOK_SPLITX, "Camera SplitX"), {a_int({}, 1, 2047), a_int({}, 0, 10)}),  // or SplitY
    limits(irregular(TOK_CAMERA, TOK_TRANS, "Camera Trans"), {mag_index(), a_int({}, -2047, 2047), a_int({}, -2047, 2047)}),
    in(cal_sub::ftp, name(TOK_FTPMATERIALS, "FTPMaterials", CAL_FIELD(std::string, ftpInfo->materialsFile)), always),
    in(cal_sub::ftp,
       row(TOK_FTPSYS, NO_SUB, "FTPSys",
           {with(a_real(CAL_FIELD(double, ftpInfo->sys[0]), 0, 1), [](cal_arg& a) { a.precision = 8; }),
            with(a_real(CAL_FIELD(double, ftpInfo->sys[1]), 0, 1), [](cal_arg& a) { a.precision = 8; }),
            with(a_real(CAL_FIELD(double, ftpInfo->sys[2]), -1, 1), [](cal_arg& a) { a.precision = 8; }),
            with(a_real(CAL_FIELD(double, ftpInfo->sys[3]), 0, 10), [](cal_arg& a) { a.precision = 8; })}),
       ftp_sys_due),
    in(cal_sub::ftp, with(real(TOK_FTPDMISCALE, "FTPDmiScale", CAL_FIELD(double, ftpInfo->dmiScale), 1.5, 2.5),
                          [](cal_line& l) { l.args[0].precision = 8; }),
       always),
    in(cal_sub::ftp, with(real(TOK_FTPIMAGEROT, "FTPImageRot", CAL_FIELD(double, ftpInfo->imageRot), 0, 1),
                          [](cal_line& l) { l.args[0].precision = 8; }),
       always),
    in(cal_sub::ftp,
       second(real(TOK_FTPZEROPTPOS, "FTPZeroPtPos", CAL_FIELD(double, ftpInfo->zeroPtPos[0]), -10, 10),
              CAL_FIELD(double, ftpInfo->zeroPtPos[1]), true, zero_pt2_due),
       zero_pt_due),
    in(cal_sub::ftp, limits(irregular(TOK_FTPDISPER, NO_SUB, "FTPDisper"), {mag_index(), a_real({}, -TWO_PI, TWO_PI)})),
    in(cal_sub::ftp, limits(irregular(TOK_FTPAVGK0, NO_SUB, "FTPAvg_K0"), {mag_index(), a_real({}, 0, 100)})),
    in(cal_sub::ftp, limits(irregular(TOK_FTPDMICENTER, NO_SUB, "FTPDmiCenter"), {mag_index(), centre(), centre()})),
    in(cal_sub::ftp, limits(irregular(TOK_FTPTILTCENTER, NO_SUB, "FTPTiltCenter"), {mag_index(), centre(), centre()})),
    in(cal_sub::ftp,
       row(TOK_FTPZEROGAGEPER, NO_SUB, "FTPZeroGagePer", {ftp_period(CAL_FIELD(int32_t, ftpInfo->zeroGagePeriod))}),
       always),
    in(cal_sub::ftp,
       row(TOK_FTPTEMPERATURE, NO_SUB, "FTPTemperature",
           {ftp_period(CAL_FIELD(int32_t, ftpInfo->temperaturePeriod)),
            with(a_real(CAL_FIELD(double, ftpInfo->temperatureValue), 0, 5), [](cal_arg& a) {
                a.conv = 'f';
                a.precision = 2;
                a.number_first = true;
                a.gap = 3;
            })}),
       always),
    in(cal_sub::ftp,
       row(TOK_FTPLOG, NO_SUB, "FTPLog",
           {a_name(CAL_FIELD(std::string, ftpInfo->logFile)),
            optional(a_real(CAL_FIELD(int32_t, ftpInfo->logSizeLimit), 0, MAX_I32), ftp_log_sizes_due),
            optional(a_real(CAL_FIELD(int32_t, ftpInfo->logKeepSize), 0, MAX_I32), ftp_log_sizes_due)}),
       always),
    second(due(real(TOK_SCANCAL, "ScanCal", CAL_FIELD(double, scanCal[0]), 0.85, 1.15), scan_cal_due),
           CAL_FIELD(double, scanCal[1]), true, scan_cal2_due),
    second(integer(TOK_TURRET, NO_SUB, "Turret", CAL_FIELD(int32_t, turret), 0, 255), CAL_FIELD(int32_t, turret2), true),
    integer(TOK_ZOOM, NO_SUB, "Zoom", CAL_FIELD(int32_t, zoom), 0, 255),
    flag(TOK_IGNOREDUALBRUSHMOTOR, "IgnoreDualBrushMotor", CAL_FIELD(uint8_t, dualBrushMotorPresent), 0),
    flag(TOK_IGNORELAPS, "IgnoreLAPS", CAL_FIELD(uint8_t, lapsPresent), 0),
    flag(TOK_IGNOREWAND, "IgnoreWand", CAL_FIELD(uint8_t, wandPresent), 0),
    flag(TOK_IGNOREFOCUSNDW, "IgnoreFocusNDW", CAL_FIELD(uint8_t, focusNdwPresent), 0),
    flag(TOK_IGNOREZOOM, "IgnoreZoom", CAL_FIELD(uint8_t, zoomPresent), 0),
    flag(TOK_IGNOREPZT, "IgnorePZT", CAL_FIELD(uint8_t, pztPresent), 0),
    with(flag(TOK_RINGSPOT, "RingSpot", CAL_FIELD(uint8_t, ringSpot), 1),
         [](cal_line& l) { l.args[0].when = ring_spot_allowed; }),  // the reader takes it only then
    real(TOK_DIFFDISKRATE, "DiffDiskRate", CAL_FIELD(float, diffDiskRate), 10, 80),
    with(real(TOK_DIFFDISKFRACTION, "DiffDiskFraction", CAL_FIELD(float, diffDiskFraction), 0, 2),
         [](cal_line& l) { l.args[0].ends = cal_ends::open_low; }),
    real(TOK_XAXISBACKLASH, "XAxisBacklash", CAL_FIELD(double, xAxisBacklash), 0, 1000, K::single),
    real(TOK_YAXISBACKLASH, "YAxisBacklash", CAL_FIELD(double, yAxisBacklash), 0, 1000, K::single),
    due(real(TOK_ZAXISCAL, "ZAxisCal", CAL_FIELD(float, zAxisCal), 0.85, 1.15), z_axis_cal_due),
    real(TOK_ZAXISBACKLASH, "ZAxisBacklash", CAL_FIELD(double, zAxisBacklash), 0, 100, K::single),
    integer(TOK_ZENCODER, NO_SUB, "ZEncoder", CAL_FIELD(uint8_t, zEncoder), 0, 1),
    integer(TOK_ZCANCLOSEDLOOP, NO_SUB, "ZCanClosedLoop", CAL_FIELD(uint8_t, zCanClosedLoop), 0, 1),
    // The magnification, then six single-precision values and two double-precision ones.
    limits(irregular(TOK_SDCCAL, NO_SUB, "SdcCal"),
           {mag_index(), a_real({}, -FLT_MAX_D, FLT_MAX_D), a_real({}, 0, FLT_MAX_D)}),
    due(real(TOK_RADCRVFOCCAL, "RadCrvFocCal", CAL_FIELD(float, radCrvFocCal), -100, 100), rad_crv_foc_due),
    due(real(TOK_RADCRVPWRCAL, "RadCrvPwrCal", CAL_FIELD(float, radCrvPwrCal), -100, 100), rad_crv_pwr_due),
    with(integer(TOK_INVERTDATA, NO_SUB, "InvertData", CAL_FIELD(uint8_t, invertData), 0, 255), [](cal_line& l) {
        l.given = &cal_given::invertData;
        l.due = invert_data_due;
    }),
    flag(TOK_NOINTENSAVG, "NoIntensAvg", CAL_FIELD(uint8_t, noIntensAvg), 1),
    flag(TOK_TOUCHSCREEN, "TouchScreen", CAL_FIELD(uint8_t, touchScreen), 1),
    second(due(name(TOK_MOTIONCTRL, "MotionCtrl", CAL_FIELD(sb_string, motionCtrl[0])), motion_ctrl_due),
           CAL_FIELD(sb_string, motionCtrl[1]), false),
    due(row(TOK_POSINSTR, NO_SUB, "PosInstr",
            {a_choice(CAL_FIELD(int32_t, posInstrType), cal_pos_instr_of, sb_pos_instr_name),
             a_name(CAL_FIELD(sb_string, posInstrName[0])),
             with(optional(a_name(CAL_FIELD(sb_string, posInstrName[1]))), [](cal_arg& a) {
                 a.reset_absent = true;
                 a.plain_word = true;
             })}),
        pos_instr_due),
    due(row(TOK_TEMPSENSOR, NO_SUB, "TempSensor",
            {a_choice(CAL_FIELD(int32_t, tempSensorType), cal_temp_sensor_of, sb_temp_sensor_name, true),
             a_name(CAL_FIELD(sb_string, tempSensorName))}),
        temp_sensor_due),
    name(TOK_PENDENTMENU, "PendentMenu", CAL_FIELD(sb_string, pendentMenu)),
    name(TOK_AXISCOMP_A, "AxisComp_A", CAL_FIELD(sb_string, axisComp[0])),
    name(TOK_AXISCOMP_B, "AxisComp_B", CAL_FIELD(sb_string, axisComp[1])),
    name(TOK_AXISCOMP_P, "AxisComp_P", CAL_FIELD(sb_string, axisComp[2])),
    name(TOK_AXISCOMP_R, "AxisComp_R", CAL_FIELD(sb_string, axisComp[3])),
    name(TOK_AXISCOMP_T, "AxisComp_T", CAL_FIELD(sb_string, axisComp[4])),
    name(TOK_AXISCOMP_X, "AxisComp_X", CAL_FIELD(sb_string, axisComp[5])),
    name(TOK_AXISCOMP_Y, "AxisComp_Y", CAL_FIELD(sb_string, axisComp[6])),
    name(TOK_AXISCOMP_Z, "AxisComp_Z", CAL_FIELD(sb_string, axisComp[7])),
    pid_line(TOK_PIDVALS_A, "PidVals_A"),
    pid_line(TOK_PIDVALS_B, "PidVals_B"),
    pid_line(TOK_PIDVALS_P, "PidVals_P"),
    pid_line(TOK_PIDVALS_R, "PidVals_R"),
    pid_line(TOK_PIDVALS_T, "PidVals_T"),
    pid_line(TOK_PIDVALS_X, "PidVals_X"),
    pid_line(TOK_PIDVALS_Y, "PidVals_Y"),
    pid_line(TOK_PIDVALS_Z, "PidVals_Z"),
    with(name(TOK_WMCOMM, "wmComm", CAL_FIELD(sb_string, wmComm)), [](cal_line& l) { l.given = &cal_given::wmComm; }),
    with(real(TOK_WMSYSGAIN, "wmSysGain", CAL_FIELD(float, wmSysGain), 0, MAX_I32), [](cal_line& l) {
        l.args[0].conv = 'f';
        l.given = &cal_given::wmSysGain;
        l.due = sys_gain_due;
    }),
    with(real(TOK_WMMONOPD, "wmMonOPD", CAL_FIELD(double, wmMonOPD), 0, MAX_I32), [](cal_line& l) {
        l.args[0].conv = 'f';
        l.given = &cal_given::wmMonOpd;
        l.due = mon_opd_due;
    }),
    due(row(TOK_WMTUNERANGE, NO_SUB, "wmTuneRange",
            {wm_tune(CAL_FIELD(double, wmTuneRange[0])), wm_tune(CAL_FIELD(double, wmTuneRange[1]))}),
        wm_tune_range_due),
    due(row(TOK_WMTUNERATE, NO_SUB, "wmTuneRate",
            {wm_tune(CAL_FIELD(double, wmTuneRate[0])), wm_tune(CAL_FIELD(double, wmTuneRate[1]))}),
        wm_tune_rate_due),
    row(TOK_WMMAXBUCKETS, NO_SUB, "wmMaxBuckets",
        {a_int(CAL_FIELD(int32_t, wmMaxBuckets), 0, MAX_I32),
         with(a_int(CAL_FIELD(int64_t, wmMaxBytes), 0, MAX_I32), [](cal_arg& a) {
             a.scale = 1048576;  // MiB in the file
             a.number_first = true;
         })}),
    integer(TOK_FTPSIINVERTDATA, NO_SUB, "FtpsiInvertData", CAL_FIELD(uint8_t, ftpsiInvertData), 0, 255),
    second(due(integer(TOK_ABSWAVEMETER, NO_SUB, "AbsWaveMeter", CAL_FIELD(int32_t, absWaveMeter), 0, 1), abs_wave_meter_due),
           CAL_FIELD(sb_string, absWaveMeterName), false),
    // The number, a value, and a second value that is 0 or in its limits.
    in(cal_sub::dyn_wave_gen, limits(irregular(TOK_DYNWAVEGEN, NO_SUB, "DynWaveGen"), {a_int({}, 0, 30), a_int({}, 96, 126)})),
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
    in(cal_sub::hxi, limits(irregular(TOK_HXIENCZOOMSTDMAGS, NO_SUB, "HxiEncZoomStdMags"), {a_real({}, 0, 100)})),
    in(cal_sub::hxi, name(TOK_HXIENCZOOMCALFILE, "HxiEncZoomCalFile", CAL_FIELD(sb_string, hxiZoom->calFile))),
    radius_line<&SysCalData::encodedRadiusScale>(
        TOK_ENCODEDRADIUSSCALE, "EncodedRadiusScale", CAL_FIELD(int32_t, encodedRadiusScale.flag),
        CAL_FIELD(double, encodedRadiusScale.a), CAL_FIELD(double, encodedRadiusScale.b),
        CAL_FIELD(int32_t, encodedRadiusScale.n),
        with(optional(a_real(CAL_FIELD(double, encodedRadiusScale.last), 0, 1), always),
             [](cal_arg& a) { a.reset_absent = true; })),
    radius_line<&SysCalData::intfRadiusScale>(
        TOK_INTFRADIUSSCALE, "IntfRadiusScale", CAL_FIELD(int32_t, intfRadiusScale.flag),
        CAL_FIELD(double, intfRadiusScale.a), CAL_FIELD(double, intfRadiusScale.b), CAL_FIELD(int32_t, intfRadiusScale.n),
        a_real(CAL_FIELD(double, intfRadiusScale.last), 0, 1)),
    row(TOK_SLEEPTIMEOUT, NO_SUB, "SleepTimeout",
        {with(a_int(CAL_FIELD(uint16_t, sleepTimeout), 0, 20864), [](cal_arg& a) {
            a.kind = K::period;
            a.precision = 3;  // hours:minutes:seconds
        })}),  // last: written without a line end
};
const std::size_t calfile_num_lines = sizeof calfile_lines / sizeof calfile_lines[0];

const cal_line* calfile_find_line(cal_token key, cal_token sub)
{
    for (const cal_line& l : calfile_lines)
        if (l.key == key && l.sub == sub)
            return &l;
    return nullptr;
}

bool calfile_takes_sub(cal_token key)
{
    for (const cal_line& l : calfile_lines)
        if (l.key == key && l.sub != TOK_UNKNOWN)
            return true;
    return false;
}

namespace {

// The writer only reads the field; the accessors are shared with the reader.
SysCalData& writable(const SysCalData& si) { return const_cast<SysCalData&>(si); }

bool name_set(const sb_string& name) { return name.is_set(); }
bool name_set(const sb_ramp_name& name) { return !name.is_default(); }
bool name_set(const std::string&) { return true; }

}  // namespace

double calfile_value(const cal_field& field, const SysCalData& si)
{
    return std::visit(
        [&](auto ref) -> double {
            const auto& value = ref(writable(si));
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, sb_string> || std::is_same_v<T, sb_ramp_name> ||
                          std::is_same_v<T, std::string>)
                return name_set(value) ? 1.0 : 0.0;
            else
                return static_cast<double>(value);
        },
        field);
}

void calfile_reset_field(const cal_field& field, SysCalData& si)
{
    std::visit([&](auto ref) { ref(si) = ref(writable(calfile_defaults())); }, field);
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
    case cal_sub::can:
        return si.canInfo != nullptr;
    case cal_sub::dyn_wave_gen:
        return si.dynWaveGen != nullptr;
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
    case cal_sub::can:
        return sysinfo_ensure_can_info(si);
    case cal_sub::dyn_wave_gen:
        return sysinfo_ensure_dyn_wave_gen(si);
    default:
        return NO_ERROR;
    }
}

bool calfile_pifoc_value_due(const SysCalData& si)
{
    const PifocInfo* p = si.pifoc.get();
    return p != nullptr && (p->value != 0 || p->coef != 0.0 || p->beta != 0.0);
}

// A row in a sub-record states its write condition: the defaults hold no sub-records. A name is
// due when it is set.
bool calfile_arg_due(const cal_arg& arg, const SysCalData& si)
{
    if (arg.due != nullptr)
        return arg.due(si);
    double value = calfile_value(arg.field, si);
    if (arg.kind == cal_kind::name)
        return value != 0.0;
    return value != calfile_value(arg.field, calfile_defaults());
}

bool calfile_ftp_lines_due(const SysCalData& si)
{
    if (!si.ftpInfo)
        return false;
    if (si.sysType == SYS_FTP)
        return true;
    // On another system the lines are written only when they hold data: leaving them out then
    // would lose what a file or an update gave.
    FtpInfo given = *si.ftpInfo;
    given.materialsPath.clear();  // the materials loader's, not the file's
    return !(given == FtpInfo{});
}

bool calfile_sub_written(const cal_line& line, const SysCalData& si)
{
    if (!calfile_sub_present(line, si))
        return false;
    return line.in != cal_sub::ftp || calfile_ftp_lines_due(si);
}

bool calfile_line_due(const cal_line& line, const SysCalData& si)
{
    if (!calfile_sub_written(line, si))
        return false;
    if (line.due != nullptr)
        return line.due(si);
    if (line.kind == cal_kind::flag)
        return (calfile_value(line.args[0].field, si) == 0) == (line.flag_value == 0);
    if (line.kind == cal_kind::name)
        return calfile_value(line.args[0].field, si) != 0.0;
    for (int i = 0; i < line.nargs; ++i) {
        cal_arg value = line.args[i];
        value.due = nullptr;
        if (calfile_arg_due(value, si))
            return true;
    }
    return false;
}

const cal_custom_preset* calfile_custom_preset(int32_t board)
{
    static const cal_custom_preset config_bytes{
        9, {{1, 0}, {3, 0}, {4, 1}, {5, 0}, {6, 1}, {7, 1}, {9, 1}, {8, 0}, {10, 1}}, 1, "Setting interlaceFlag to %d\n"};
    static const cal_custom_preset field_ctrl{3, {{1, 1}, {2, 5}, {10, 0}}, 10, "Setting fieldCtrl to %d\n"};
    static const cal_custom_preset interlace{1, {{10, 0}}, 1, nullptr};
    switch (board) {
    case BD_BOARD01:
    case BD_FTP:
        return &config_bytes;
    case BD_HXI:
    case BD_MODEL31:
        return &field_ctrl;
    case BD_CAN:
    case BD_NOTNEEDED:
        return &interlace;
    default:
        return nullptr;
    }
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

void calfile_llc_ranges(const SysCalData& si, uint16_t range[4])
{
    range[0] = si.light[0].rangeLow;
    range[1] = si.light[0].rangeHigh;
    range[2] = si.light[1].rangeLow;
    range[3] = si.light[1].rangeHigh;
}

void calfile_complete_llc_range(SysCalData& si, int given)
{
    uint16_t range[4];
    calfile_llc_ranges(si, range);
    calfile_complete_llc_range(si.instrBdType, si.sysType, si.cameraType, given, range);
    si.light[0].rangeLow = range[0];
    si.light[0].rangeHigh = range[1];
    si.light[1].rangeLow = range[2];
    si.light[1].rangeHigh = range[3];
}

// ---------------------------------------------------------------------------------------------

namespace {
using R = cal_check_report;
}  // namespace

const cal_check calfile_checks[] = {
    {cal_need::system, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing system type info.", nullptr},
    {cal_need::version, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing frame grabber and instrument board Version info.",
     nullptr},
    {cal_need::comm, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing InstrComm info.", "Missing InstrComm info."},
    {cal_need::invert_data, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing InvertData info.", nullptr},
    {cal_need::can_mac, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing MAC Address for CAN bus.", nullptr},
    {cal_need::motion_ctrl, NO_ERROR, R::warning, "Missing MotionCtrl info.", nullptr},
    {cal_need::wm_comm, ERR_SB_CALFILE_INCOMPLETE, R::log, "Calibration file missing wave monitor comm info",
     "Missing wmComm info."},
    {cal_need::wm_mon_opd, ERR_SB_CALFILE_INCOMPLETE, R::log, "Calibration file missing wave monitor OPD info", nullptr},
    {cal_need::sys_gain, NO_ERROR, R::warning, "Calibration file missing system gain.", nullptr},
    {cal_need::bad_pixels_once, ERR_SB_CALFILE_INVALID, R::message,
     "Bad Camera pixels specified twice using: camera bad or bpixels and camera bpix", nullptr},
    {cal_need::llc_target, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing LLCTarget info.", nullptr},
    {cal_need::camera_type, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing Camera Type info.", nullptr},
    {cal_need::light, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing Light info.", nullptr},
    {cal_need::pifoc, ERR_SB_CALFILE_INCOMPLETE, R::message, "Missing PIFOC info.", "Missing PIFOC info."},
};
const std::size_t calfile_num_checks = sizeof calfile_checks / sizeof calfile_checks[0];

const cal_check& calfile_check(cal_need need)
{
    for (const cal_check& c : calfile_checks)
        if (c.need == need)
            return c;
    return calfile_checks[0];
}

bool calfile_lacks(cal_need need, const SysCalData& si, const cal_given& g)
{
    switch (need) {
    case cal_need::system:
        return si.sysType == SYS_UNKNOWN;
    case cal_need::version:
        return !g.version;
    case cal_need::comm:
        return calfile_board_needs_comm(si.instrBdType) && !g.comm;
    case cal_need::invert_data:
        return calfile_needs_invert_data(si.sysType) && !g.invertData;
    case cal_need::can_mac:
        return si.instrBdType == BD_CAN && !g.comm;
    case cal_need::motion_ctrl:
        return si.sysType == SYS_FTP && !si.motionCtrl[0].is_set();
    case cal_need::wm_comm:
        return calfile_has_wave_monitor(si.sysType) && !g.wmComm;
    case cal_need::wm_mon_opd:
        return calfile_has_wave_monitor(si.sysType) && !g.wmMonOpd;
    case cal_need::sys_gain:
        return calfile_needs_sys_gain(si.sysType) && !g.wmSysGain;
    case cal_need::bad_pixels_once:
        return g.badPixels > 0 && g.bpixFile;
    case cal_need::llc_target:
        return !g.llcTarget && (si.instrBdType == BD_HXI || calfile_is_one_of(si.sysType, {SYS_MODEL17, SYS_MODEL24,
                                                                                          SYS_MODEL19, SYS_MODEL20,
                                                                                          SYS_MODEL28}));
    case cal_need::camera_type:
        return si.fgType != FG_NONE && si.cameraType == CAM_UNKNOWN;
    case cal_need::light:
        return calfile_is_one_of(si.instrBdType, {BD_BOARD01, BD_MODEL13}) && g.wavelengths == 0;
    case cal_need::pifoc:
        return !g.pifoc && calfile_needs_pifoc(si.sysType);
    }
    return false;
}

// The lines whose presence the checks ask for, by the writer's conditions.
cal_given calfile_given_by(const SysCalData& si)
{
    auto due = [&](cal_token key) { return calfile_line_due(*calfile_find_line(key), si); };
    cal_given g;
    g.version = true;
    g.comm = due(TOK_INSTRCOMM) || due(TOK_MACADDRESS);
    g.invertData = due(TOK_INVERTDATA);
    g.llcTarget = calfile_line_due(*calfile_find_line(TOK_LLC, TOK_TARGET), si);
    g.pifoc = calfile_pifoc_value_due(si);
    g.wmComm = due(TOK_WMCOMM);
    g.wmMonOpd = due(TOK_WMMONOPD);
    g.wmSysGain = due(TOK_WMSYSGAIN);
    g.wavelengths = si.wavelength[0][0] != 0.0 ? 1 : 0;
    g.badPixels = sysinfo_bad_pixel_count(si);
    g.bpixFile = g.badPixels == 0 && si.bpixFileName.is_set();
    return g;
}
